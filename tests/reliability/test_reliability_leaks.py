"""Leaks and ownership of ``_velmora_funnel.compare`` over many calls.

Every path of a call, the comparisons that run to the end, the rejected
inputs and each exception the module raises, is repeated many times, and:

- the reference counts of the inputs, of the options and of every value in
  them come back to where they were;
- the objects the call returns are owned by the caller alone;
- the Python allocations (tracemalloc) and the resident memory of the process
  stay flat, so neither an object nor the storage of a result curve is lost;
- dropping the result arrays gives their storage back.
"""

from __future__ import annotations

import gc
import sys
import tracemalloc
import weakref

import numpy as np
import pytest
from samples import T_REF, T_TEST, Y_REF, Y_TEST

import _velmora_funnel as vf

Y_FAIL = Y_TEST + np.eye(9)[2] * 0.1


class Refuses:
    """A tolerance whose conversion raises an exception of its own."""

    def __float__(self):
        raise LookupError("no number here")


class Hooked:
    """A tolerance converted through __index__ only."""

    def __index__(self):
        return 1


def misaligned(values):
    """A contiguous float64 vector whose data is not 8-byte aligned."""
    a = np.ndarray(shape=(len(values),), dtype=np.float64, buffer=bytearray(8 * len(values) + 1), offset=1)
    a[:] = values
    return a


def full_options():
    return {
        "tolerances": {"atolx": 0.01, "atoly": 0.02, "ltolx": 0, "ltoly": True, "rtolx": Hooked(), "rtoly": 0.002},
        "x_range": {"lo": 0.5, "hi": 3.5},
        "unknown": [1, 2, 3],
    }


# Each case: (args, kwargs, expected exception type or None). Built freshly
# per test so that the objects whose counts are watched belong to it alone.
def make_cases():
    ok = lambda *arrays, **kw: (arrays, kw, None)  # noqa: E731
    bad = lambda exc, *arrays, **kw: (arrays, kw, exc)  # noqa: E731
    t_ref, y_ref, t_test, y_test = (a.copy() for a in (T_REF, Y_REF, T_TEST, Y_TEST))
    return {
        "pass": ok(t_ref, y_ref, t_test, y_test),
        "fail-with-options": ok(t_ref, y_ref, t_test, Y_FAIL.copy(), options=full_options()),
        "missing-reference": ok(t_ref, y_ref, np.append(t_test, 4.5), np.append(y_test, 0.0)),
        "misaligned-input": ok(misaligned(T_REF), y_ref, t_test, misaligned(Y_TEST)),
        "status-length-mismatch": ok(t_ref, y_ref[:3], t_test, y_test),
        "status-non-monotonic": ok(t_ref, y_ref, t_test[::-1].copy(), y_test),
        "status-empty-range": ok(t_ref, y_ref, t_test, y_test, options={"x_range": {"lo": 9.0}}),
        "too-many-positional": bad(TypeError, t_ref, y_ref, t_test, y_test, None, None),
        "unexpected-keyword": bad(TypeError, t_ref, y_ref, t_test, y_test, tolerance=1.0),
        "given-twice": bad(TypeError, t_ref, y_ref, t_test, y_test, t_reference=t_ref),
        "missing-argument": bad(TypeError, t_ref, y_ref),
        "array-is-list": bad(TypeError, [0.0, 1.0], y_ref, t_test, y_test),
        "array-is-int64": bad(TypeError, t_ref, y_ref, t_test, np.arange(9)),
        "array-is-2d": bad(TypeError, t_ref, y_ref.reshape(1, 5), t_test, y_test),
        "options-not-dict": bad(ValueError, t_ref, y_ref, t_test, y_test, options=[1.0]),
        "tolerances-not-dict": bad(TypeError, t_ref, y_ref, t_test, y_test, options={"tolerances": [1, 2]}),
        "x-range-not-dict": bad(TypeError, t_ref, y_ref, t_test, y_test, options={"x_range": (0, 1)}),
        "tolerance-is-str": bad(TypeError, t_ref, y_ref, t_test, y_test, options={"tolerances": {"atolx": "0.1"}}),
        "tolerance-overflows": bad(
            OverflowError, t_ref, y_ref, t_test, y_test, options={"tolerances": {"atoly": 10**400}}
        ),
        "range-end-refuses": bad(LookupError, t_ref, y_ref, t_test, y_test, options={"x_range": {"hi": Refuses()}}),
        "non-contiguous": bad(TypeError, t_ref, y_ref, np.repeat(t_test, 2)[::2], y_test),
    }


CASE_IDS = list(make_cases())


def call(args, kwargs, expected):
    """One call; the exception, if any, is dropped here with its traceback."""
    if expected is None:
        return vf.compare(*args, **kwargs)
    try:
        vf.compare(*args, **kwargs)
    except expected:
        return None
    raise AssertionError(f"{expected.__name__} was not raised")


def watched_objects(args, kwargs):
    """The inputs, the options and every value inside them that is not immortal."""
    found = []

    def visit(obj):
        if isinstance(obj, dict):
            found.append(obj)
            for v in obj.values():
                visit(v)
        elif isinstance(obj, (list, tuple)):
            found.append(obj)
            for v in obj:
                visit(v)
        elif obj is not None and not isinstance(obj, bool):
            found.append(obj)

    for a in args:
        visit(a)
    for v in kwargs.values():
        visit(v)
    # Immortal objects (small ints, interned strings) report a fixed huge count.
    return [o for o in found if sys.getrefcount(o) < 2**29]


@pytest.mark.parametrize("case", CASE_IDS)
def test_reference_counts_of_inputs_and_options_are_balanced(case):
    """A thousand calls leave the count of every input, option and option value unchanged."""
    args, kwargs, expected = make_cases()[case]
    objects = watched_objects(args, kwargs)
    call(args, kwargs, expected)  # first call: NumPy's API table, caches
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(1000):
        call(args, kwargs, expected)
    assert [sys.getrefcount(o) for o in objects] == before


@pytest.mark.parametrize("case", [c for c in CASE_IDS if make_cases()[c][2] is None])
def test_returned_objects_are_owned_by_the_caller_alone(case):
    """The result dict, its tuples, arrays and their storage owners have no other holder."""
    args, kwargs, _ = make_cases()[case]
    result = vf.compare(*args, **kwargs)
    # getrefcount sees its own argument: 2 means exactly one holder.
    assert sys.getrefcount(result) == 2
    for key in ("lower", "upper", "errors"):
        pair = result[key]
        assert sys.getrefcount(pair) == 3  # the dict and the local name
        for array in pair:
            assert sys.getrefcount(array) == 3  # the tuple and the loop variable
            base = array.base
            if base is not None:
                assert sys.getrefcount(base) == 3  # the array and the local name
            del base
    # Dropping the dict destroys everything it held.
    arrays = [weakref.ref(a) for k in ("lower", "upper", "errors") for a in result[k]]
    del result, pair, array
    assert all(r() is None for r in arrays)


@pytest.mark.parametrize("case", CASE_IDS)
def test_python_allocations_stay_flat(case):
    """Two thousand calls leave no Python object behind (tracemalloc sees every object allocation)."""
    args, kwargs, expected = make_cases()[case]
    for _ in range(50):
        call(args, kwargs, expected)
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(100):
            call(args, kwargs, expected)
        gc.collect()
        warm, _ = tracemalloc.get_traced_memory()
        for _ in range(2000):
            call(args, kwargs, expected)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # The smallest Python object is 16 bytes: one lost per call would be 32 KB.
    assert after - warm < 8 * 1024


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.fixture
def large_curves():
    """A reference and a test curve whose result curves need tens of megabytes per call."""
    n = 200_000
    t = np.linspace(0.0, 1.0, n)
    y = np.sin(40.0 * t)
    return t, y, t.copy(), y + 1e-4


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_resident_memory_stays_flat_over_large_calls(large_curves):
    """Fifty comparisons with large results, each dropped, leave the resident memory where it was."""
    t_ref, y_ref, t_test, y_test = large_curves
    for _ in range(3):
        vf.compare(t_ref, y_ref, t_test, y_test)
    gc.collect()
    before = resident_bytes()
    for _ in range(50):
        result = vf.compare(t_ref, y_ref, t_test, y_test)
        assert result["status"] == vf.STATUS_PASS
        del result
    gc.collect()
    # Each call makes bounds of ~400k points and a 200k-point error curve
    # (about 13 MB); lost storage would show as more than half a gigabyte.
    assert resident_bytes() - before < 48 * 2**20


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_result_storage_lives_with_the_arrays_and_goes_with_them(large_curves):
    """Kept results hold their storage; dropping them releases it, whichever array goes last."""
    t_ref, y_ref, t_test, y_test = large_curves
    vf.compare(t_ref, y_ref, t_test, y_test)
    gc.collect()
    before = resident_bytes()
    kept = [vf.compare(t_ref, y_ref, t_test, y_test) for _ in range(20)]
    # Keep only one array of each result alive (through a view, even): the
    # others go now, the storage of the kept one must stay readable.
    views = [r["errors"][0][10:20] for r in kept]
    held = resident_bytes() - before
    assert held > 20 * 200_000 * 8  # at least the kept error abscissae
    del kept
    gc.collect()
    for v in views:
        assert np.array_equal(v, t_test[10:20])
    del views, v
    gc.collect()
    assert resident_bytes() - before < 48 * 2**20
