"""The C ABI of the installed shared library (velmora_funnel.h), called through ctypes: the module's
statuses, messages, defaults and version, and a status instead of a crash for every misuse the
header allows (null arrays, options or result pointers, lengths of 0, unknown curves, exhausted
memory). Under ``make test-sanitize`` this process loads the sanitized library, so a read past an
array or a leaked result is reported too."""

from __future__ import annotations

import ctypes
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import SANITIZED
from samples import T_REF, T_TEST, Y_REF, Y_TEST
from vf_ctypes import DOUBLES, FIELDS, Options, load, pointer

import _velmora_funnel as vf
from bitwise import assert_same_curve, assert_same_floats

VF_LOWER, VF_UPPER, VF_ERRORS = 0, 1, 2
VF_STATUS_NO_MEMORY = 20


@pytest.fixture(scope="module")
def lib(libdir):
    return load(libdir / "libvelmora_funnel.so")


def curve(lib, result, which):
    t, y = DOUBLES(), DOUBLES()
    n = lib.vf_result_curve(result, which, ctypes.byref(t), ctypes.byref(y))
    if n == 0:
        assert not t and not y, "an empty curve has null pointers"
        return [], []
    return t[:n], y[:n]


def compare(lib, t_ref, y_ref, t_test, y_test, options=None, n_ref=None, n_test=None):
    """vf_compare on arrays (None for a null pointer); returns the status and the result's three
    curves, after releasing the result."""
    n_ref = len(t_ref if t_ref is not None else y_ref if y_ref is not None else []) if n_ref is None else n_ref
    n_test = len(t_test if t_test is not None else y_test if y_test is not None else []) if n_test is None else n_test
    result = ctypes.c_void_p(1)  # not null before the call: vf_compare must set it
    status = lib.vf_compare(
        pointer(t_ref),
        pointer(y_ref),
        n_ref,
        pointer(t_test),
        pointer(y_test),
        n_test,
        None if options is None else ctypes.byref(options),
        ctypes.byref(result),
    )
    assert result.value, "every status but VF_STATUS_NO_MEMORY comes with a result"
    try:
        return status, {name: curve(lib, result, which) for name, which in zip(("lower", "upper", "errors"), range(3))}
    finally:
        lib.vf_result_free(result)


EMPTY = np.array([], dtype=np.float64)


def test_statuses_have_the_modules_messages(lib):
    """The message of each of the module's statuses is the module's, as a C string."""
    for name in vf.__all__:
        if name.startswith("STATUS_"):
            code = getattr(vf, name)
            assert lib.vf_status_message(code).decode() == vf.status_message_py(code)
    assert lib.vf_status_message(VF_STATUS_NO_MEMORY) == b"no memory: the result could not be allocated"


@pytest.mark.parametrize("code", [3, 9, 15, 19, 21, -2, 2**31 - 1, -(2**31)])
def test_values_that_are_no_status_have_no_message(lib, code):
    assert lib.vf_status_message(code) is None


def test_version_and_defaults_are_the_modules(lib):
    """vf_version is the module's version; vf_default_options holds the module's default options."""
    assert lib.vf_version().decode() == vf.version()
    defaults = lib.vf_default_options()
    module = vf.default_options()
    expected = [*module["tolerances"].values(), module["x_range"]["lo"], module["x_range"]["hi"]]
    assert_same_floats(expected, [getattr(defaults, name) for name in FIELDS], "vf_default_options")


@pytest.mark.parametrize("options", ["null", "defaults", "given"])
def test_options_reach_the_comparison(lib, options):
    """Null options are the defaults; given options are the module's options dict, field by field."""
    spike = Y_TEST.copy()
    spike[2] = 1.1
    given = Options(0.01, -0.5, 0.02, 0.03, 0.0, 0.004, 0.5, 3.5)
    chosen = {"null": None, "defaults": lib.vf_default_options(), "given": given}[options]
    status, curves = compare(lib, T_REF, Y_REF, T_TEST, spike, chosen)
    module_options = None
    if options == "given":
        values = dict(zip(FIELDS, (getattr(given, name) for name in FIELDS)))
        module_options = {
            "tolerances": {k: values[k] for k in FIELDS[:6]},
            "x_range": {"lo": values["lo"], "hi": values["hi"]},
        }
    expected = vf.compare(T_REF, Y_REF, T_TEST, spike, module_options)
    assert status == expected["status"]
    for name, pair in curves.items():
        assert_same_curve(expected[name], pair, name)


# (which arrays are null, the lengths given): a null array holds no points, whatever its length.
NULLS = {
    "reference-abscissae": ((0,), 5, 9),
    "reference-ordinates": ((1,), 5, 9),
    "test-abscissae": ((2,), 5, 9),
    "test-ordinates": ((3,), 5, 9),
    "whole-reference": ((0, 1), 5, 9),
    "whole-test-length-0": ((2, 3), 5, 0),
    "everything": ((0, 1, 2, 3), 5, 9),
    "nothing-null-lengths-0": ((), 0, 0),
}


@pytest.mark.parametrize("name", NULLS)
def test_null_arrays_and_lengths_of_0_are_rejected_like_empty_arrays(lib, name):
    """A null array is rejected by the module's own checks as an empty array would be (a length
    mismatch, or too few points), with a result of three empty curves."""
    nulls, n_ref, n_test = NULLS[name]
    arrays = [T_REF, Y_REF, T_TEST, Y_TEST]
    given = [None if i in nulls else a for i, a in enumerate(arrays)]
    status, curves = compare(lib, *given, n_ref=n_ref, n_test=n_test)
    as_module_sees_it = [EMPTY if a is None else a[: (n_ref, n_ref, n_test, n_test)[i]] for i, a in enumerate(given)]
    assert status == vf.compare(*as_module_sees_it)["status"]
    assert status in (vf.STATUS_LENGTH_MISMATCH, vf.STATUS_INSUFFICIENT_DATA)
    assert curves == {"lower": ([], []), "upper": ([], []), "errors": ([], [])}


@pytest.mark.parametrize(
    "arrays",
    [
        pytest.param((T_REF, Y_REF, T_TEST, Y_TEST), id="pass"),
        pytest.param((T_REF, Y_REF, T_TEST[1:], Y_TEST[1:]), id="missing-test"),
        pytest.param((T_REF[::-1].copy(), Y_REF, T_TEST, Y_TEST), id="non-monotonic"),
        pytest.param((None, None, T_TEST, Y_TEST), id="null-reference"),
    ],
)
def test_a_null_result_pointer_gets_the_status_alone(lib, arrays):
    """With no place for the result, vf_compare still returns the comparison's status."""
    n_ref, n_test = len(arrays[1] if arrays[1] is not None else EMPTY), len(arrays[3])
    alone = lib.vf_compare(*map(pointer, arrays[:2]), n_ref, *map(pointer, arrays[2:]), n_test, None, None)
    assert alone == compare(lib, *arrays)[0]


@pytest.mark.parametrize("which", [-1, 3, 1000, -(2**31)])
def test_unknown_curves_and_null_results_are_empty(lib, which):
    """vf_result_curve answers 0 with null pointers for an unknown curve or a null result, and
    fills only the pointers it is given; vf_result_free ignores null."""
    result = ctypes.c_void_p()
    assert (
        lib.vf_compare(*map(pointer, (T_REF, Y_REF)), 5, *map(pointer, (T_TEST, Y_TEST)), 9, None, ctypes.byref(result))
        == 0
    )
    try:
        t, y = DOUBLES(), DOUBLES()
        assert lib.vf_result_curve(result, which, ctypes.byref(t), ctypes.byref(y)) == 0
        assert not t and not y
        assert lib.vf_result_curve(None, VF_ERRORS, ctypes.byref(t), ctypes.byref(y)) == 0
        assert not t and not y
        assert lib.vf_result_curve(result, VF_ERRORS, None, None) == 9
        assert lib.vf_result_curve(result, VF_LOWER, ctypes.byref(t), None) > 0
        assert t[0] < T_REF[0]
    finally:
        lib.vf_result_free(result)
    lib.vf_result_free(None)


MEMORY_SCRIPT = textwrap.dedent(
    """
    import ctypes, json, resource, sys
    import numpy as np
    sys.path.insert(0, sys.argv[2])
    from vf_ctypes import load, pointer

    lib = load(sys.argv[1])

    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    n = 1_000_000
    t = np.linspace(0.0, 10.0, n)
    y = np.sin(t * 7.0)
    yt = y + 1e-4
    args = (pointer(t), pointer(y), n, pointer(t), pointer(yt), n, None)
    expected = lib.vf_compare(*args, None)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    for headroom_mb in (0, 1, 4, 8, 16, 32, 64, 128, 192):
        result = ctypes.c_void_p(1)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + headroom_mb * 2**20, hard))
        try:
            status = lib.vf_compare(*args, ctypes.byref(result))
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        outcomes.append([headroom_mb, status, result.value is not None])
        lib.vf_result_free(result)
    after = lib.vf_compare(*args, None)
    print(json.dumps({"expected": expected, "outcomes": outcomes, "after": after}))
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
@pytest.mark.skipif(SANITIZED, reason="no RLIMIT_AS under AddressSanitizer")
def test_exhausted_memory_is_a_status_with_a_null_result(libdir):
    """Wherever an allocation fails, vf_compare returns VF_STATUS_NO_MEMORY with a null result,
    and nothing is thrown through the C ABI; with memory back, the same call gives its status."""
    completed = subprocess.run(
        [sys.executable, "-c", MEMORY_SCRIPT, str(libdir / "libvelmora_funnel.so"), os.path.dirname(__file__)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert completed.returncode == 0, completed.stderr[-4000:]
    report = json.loads(completed.stdout)
    outcomes = {headroom: (status, has_result) for headroom, status, has_result in report["outcomes"]}
    assert outcomes[0] == (VF_STATUS_NO_MEMORY, False)
    assert set(outcomes.values()) <= {(VF_STATUS_NO_MEMORY, False), (report["expected"], True)}, outcomes
    assert report["after"] == report["expected"] == vf.STATUS_PASS
