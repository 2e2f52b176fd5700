"""The result dict of ``_velmora_funnel.compare``: its form and the ownership of its arrays."""

import gc
import itertools
import os
import sys

import numpy as np
import pytest
from samples import T_REF, T_TEST, Y_REF, Y_TEST

import _velmora_funnel as vf

CURVE_KEYS = ("lower", "upper", "errors")


def run(**changes):
    args = {"t_reference": T_REF, "y_reference": Y_REF, "t_test": T_TEST, "y_test": Y_TEST}
    args.update(changes)
    return vf.compare(**args)


def result_arrays(result):
    return [array for key in CURVE_KEYS for array in result[key]]


RESULTS = [
    pytest.param(lambda: run(), id="pass"),
    pytest.param(lambda: run(y_test=Y_TEST + np.eye(9)[2] * 0.1), id="fail"),
    pytest.param(lambda: run(y_reference=Y_REF[:4]), id="length-mismatch"),
    pytest.param(lambda: run(t_test=T_TEST[::-1].copy()), id="non-monotonic"),
]


@pytest.mark.parametrize("make", RESULTS)
def test_result_dict_form(make):
    """Four keys in order; "status" an int; each curve a 2-tuple of fresh 1-D float64 arrays."""
    result = make()
    assert type(result) is dict
    assert list(result) == ["status", "lower", "upper", "errors"]
    assert type(result["status"]) is int
    for key in CURVE_KEYS:
        assert type(result[key]) is tuple and len(result[key]) == 2
        x, y = result[key]
        assert x.shape == y.shape
    for array in result_arrays(result):
        assert type(array) is np.ndarray
        assert array.dtype == np.float64 and array.dtype.isnative
        assert array.ndim == 1
        assert array.strides == (8,)
        assert array.flags.writeable and array.flags.c_contiguous and array.flags.aligned


def test_rejected_input_gives_six_empty_arrays():
    """A length mismatch is a status, not an exception; all six arrays are empty and writeable."""
    result = run(y_reference=Y_REF[:3])
    assert result["status"] == vf.STATUS_LENGTH_MISMATCH
    for array in result_arrays(result):
        assert array.shape == (0,)
        assert array.dtype == np.float64
        assert array.flags.writeable


@pytest.mark.parametrize("make", RESULTS)
def test_result_storage_is_owned_by_a_private_base(make):
    """Each array is a view over storage kept alive by its own base object, held by it alone."""
    result = make()
    arrays = result_arrays(result)
    bases = [array.base for array in arrays]
    for array, base in zip(arrays, bases):
        assert not array.flags.owndata
        assert base is not None and not isinstance(base, np.ndarray)
    assert len({id(base) for base in bases}) == 6
    del bases, base
    # Calibrated on a base held by one array alone; assert rewriting adds
    # references of its own, so the counts are taken in plain statements.
    owner = np.arange(3.0)
    view = owner[:]
    del owner
    alone = sys.getrefcount(view.base)
    counts = [sys.getrefcount(array.base) for array in arrays]
    assert counts == [alone] * 6


def test_arrays_share_no_storage():
    """The six arrays share memory neither with each other nor with the inputs."""
    inputs = [T_REF, Y_REF, T_TEST, Y_TEST]
    arrays = result_arrays(run())
    for a, b in itertools.combinations(arrays, 2):
        assert not np.shares_memory(a, b)
    for a in arrays:
        for b in inputs:
            assert not np.shares_memory(a, b)


def test_writing_into_results_changes_nothing_else():
    """Result arrays are writeable; writing changes neither inputs, other arrays nor later results."""
    inputs = [a.copy() for a in (T_REF, Y_REF, T_TEST, Y_TEST)]
    first = vf.compare(*inputs)
    snapshot = [a.copy() for a in result_arrays(first)]
    first["errors"][0][:] = -7.0
    first["lower"][1][:] = 42.0
    np.testing.assert_array_equal(first["errors"][1], snapshot[5])
    np.testing.assert_array_equal(first["upper"][0], snapshot[2])
    for got, want in zip(inputs, (T_REF, Y_REF, T_TEST, Y_TEST)):
        np.testing.assert_array_equal(got, want)
    second = vf.compare(*inputs)
    for got, want in zip(result_arrays(second), snapshot):
        np.testing.assert_array_equal(got, want)
    for a, b in zip(result_arrays(first), result_arrays(second)):
        assert a is not b and not np.shares_memory(a, b)


def test_results_outlive_the_call_and_the_inputs():
    """The arrays stay valid after the inputs and the dict are gone."""
    inputs = [a.copy() for a in (T_REF, Y_REF, T_TEST, Y_TEST)]
    result = vf.compare(*inputs)
    expected = [a.copy() for a in result_arrays(result)]
    lower_x = result["lower"][0]
    errors_y = result["errors"][1]
    del inputs, result
    gc.collect()
    vf.compare(T_REF.copy(), Y_REF.copy(), T_TEST.copy(), Y_TEST.copy())  # reuse freed memory
    np.testing.assert_array_equal(lower_x, expected[0])
    np.testing.assert_array_equal(errors_y, expected[5])


def test_views_keep_storage_alive():
    """A view of a result array keeps the storage alive after the array itself is dropped."""
    result = run()
    view = result["errors"][0][2:5]
    del result
    gc.collect()
    run()
    np.testing.assert_array_equal(view, [1.0, 1.5, 2.0])


def resident_bytes():
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


def test_result_storage_is_released_with_the_arrays():
    """Dropping the result arrays frees their storage: many large results do not accumulate."""
    m = 400_000  # 6.4 MB of error curve per call
    t = np.linspace(0.0, 1.0, m)
    y = np.zeros(m)
    ref_t = np.array([0.0, 1.0])
    ref_y = np.array([0.0, 0.0])
    for _ in range(3):
        vf.compare(ref_t, ref_y, t, y)
    gc.collect()
    before = resident_bytes()
    for _ in range(40):  # 256 MB if the storage leaked
        result = vf.compare(ref_t, ref_y, t, y)
        assert result["errors"][0].shape == (m,)
        del result
    gc.collect()
    assert resident_bytes() - before < 64 * 2**20


def test_end_to_end_pass_and_fail():
    """The binding delivers the core's bounds, error curve and status unchanged."""
    result = run()
    assert result["status"] == vf.STATUS_PASS
    np.testing.assert_array_equal(result["lower"][0], [-0.008, 0.008, 1.0, 1.992, 2.008, 3.0, 3.992, 4.008])
    np.testing.assert_array_equal(result["lower"][1], [-0.002, -0.002, 0.99, -0.002, -0.002, 0.99, -0.002, -0.002])
    np.testing.assert_array_equal(result["upper"][0], [-0.008, 0.992, 1.008, 2.0, 2.992, 3.008, 4.008])
    np.testing.assert_array_equal(result["upper"][1], [0.002, 1.002, 1.002, 0.010000000000000009, 1.002, 1.002, 0.002])
    np.testing.assert_array_equal(result["errors"][0], T_TEST)
    np.testing.assert_array_equal(result["errors"][1], np.zeros(9))

    raised = Y_TEST.copy()
    raised[2] = 1.1
    failed = run(y_test=raised)
    assert failed["status"] == vf.STATUS_FAIL
    expected_errors = np.zeros(9)
    expected_errors[2] = 0.09800000000000009
    np.testing.assert_array_equal(failed["errors"][1], expected_errors)
    for key in ("lower", "upper"):
        for got, want in zip(failed[key], result[key]):
            np.testing.assert_array_equal(got, want)
