"""Argument binding and array intake of ``_velmora_funnel.compare``."""

import re
import sys
import warnings

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from samples import T_REF, T_TEST, Y_REF, Y_TEST

import _velmora_funnel as vf

NAMES = ("t_reference", "y_reference", "t_test", "y_test")


def curves():
    return [T_REF.copy(), Y_REF.copy(), T_TEST.copy(), Y_TEST.copy()]


def assert_same_result(a, b):
    assert a["status"] == b["status"]
    for key in ("lower", "upper", "errors"):
        for got, want in zip(a[key], b[key]):
            np.testing.assert_array_equal(got, want)


def raises_exactly(exc_type, message):
    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")


# --- binding -----------------------------------------------------------------


def test_all_parameters_bind_by_position_or_keyword():
    """Each of the five parameters can be given by position or by keyword."""
    a, b, c, d = curves()
    reference = vf.compare(a, b, c, d)
    assert_same_result(vf.compare(a, b, c, d, None), reference)
    assert_same_result(vf.compare(t_reference=a, y_reference=b, t_test=c, y_test=d), reference)
    assert_same_result(vf.compare(y_test=d, t_test=c, y_reference=b, t_reference=a, options=None), reference)
    assert_same_result(vf.compare(a, b, y_test=d, t_test=c, options={}), reference)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        pytest.param(
            lambda a, b, c, d: vf.compare(a, b, c, d, None, None),
            "compare() takes from 4 to 5 positional arguments but 6 were given",
            id="six-positional",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a, b, c, d, None, 1, 2),
            "compare() takes from 4 to 5 positional arguments but 7 were given",
            id="seven-positional",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a, b, c, d, tolerances={}),
            "compare() got an unexpected keyword argument 'tolerances'",
            id="unknown-keyword",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a, b, c, d, t_reference=a),
            "compare() got multiple values for argument 't_reference'",
            id="position-and-keyword",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a, b, c, d, None, options=None),
            "compare() got multiple values for argument 'options'",
            id="options-twice",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a, b, c),
            "compare() missing 1 required positional argument: 'y_test'",
            id="missing-one",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a, y_test=d),
            "compare() missing 2 required positional arguments: 'y_reference' and 't_test'",
            id="missing-two-inner",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a, b),
            "compare() missing 2 required positional arguments: 't_test' and 'y_test'",
            id="missing-two",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a),
            "compare() missing 3 required positional arguments: 'y_reference', 't_test', and 'y_test'",
            id="missing-three",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(),
            "compare() missing 4 required positional arguments: 't_reference', 'y_reference', 't_test', and 'y_test'",
            id="missing-four",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(options={}),
            "compare() missing 4 required positional arguments: 't_reference', 'y_reference', 't_test', and 'y_test'",
            id="only-options",
        ),
    ],
)
def test_binding_errors(call, message):
    """Malformed calls raise the binding TypeError with its exact wording."""
    with raises_exactly(TypeError, message):
        call(*curves())


@pytest.mark.parametrize(
    ("call", "message"),
    [
        pytest.param(
            lambda a, b, c, d: vf.compare(a, b, c, d, None, None, bogus=1),
            "compare() takes from 4 to 5 positional arguments but 6 were given",
            id="too-many-before-keywords",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a, b, c, d, bogus=1, t_reference=a),
            "compare() got an unexpected keyword argument 'bogus'",
            id="first-keyword-unknown",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a, b, c, d, t_reference=a, bogus=1),
            "compare() got multiple values for argument 't_reference'",
            id="first-keyword-repeats",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare(a, bogus=1),
            "compare() got an unexpected keyword argument 'bogus'",
            id="keywords-before-missing",
        ),
        pytest.param(
            lambda a, b, c, d: vf.compare([1], [2], bogus=1),
            "compare() got an unexpected keyword argument 'bogus'",
            id="binding-before-arrays",
        ),
    ],
)
def test_binding_error_order(call, message):
    """Too many positionals, then each keyword in turn, then missing ones; all before the arrays."""
    with raises_exactly(TypeError, message):
        call(*curves())


# --- array intake ------------------------------------------------------------

NOT_ARRAYS = [
    pytest.param([0.0, 1.0], "list", id="list"),
    pytest.param((0.0, 1.0), "tuple", id="tuple"),
    pytest.param(None, "NoneType", id="none"),
    pytest.param(1.5, "float", id="float"),
    pytest.param(np.float64(1.5), "float64", id="numpy-scalar"),
    pytest.param(memoryview(np.arange(3.0)), "memoryview", id="memoryview"),
    pytest.param(np.arange(3, dtype=np.int64), "ndarray", id="int64"),
    pytest.param(np.arange(3, dtype=np.float32), "ndarray", id="float32"),
    pytest.param(np.arange(3, dtype=np.complex128), "ndarray", id="complex128"),
    pytest.param(np.arange(3, dtype=np.longdouble), "ndarray", id="longdouble"),
    pytest.param(np.arange(3.0).astype(">f8" if sys.byteorder == "little" else "<f8"), "ndarray", id="byte-swapped"),
    pytest.param(np.zeros((3, 2)), "ndarray", id="two-dimensional"),
    pytest.param(np.zeros((3, 1)), "ndarray", id="column"),
    pytest.param(np.array(1.5), "ndarray", id="zero-dimensional"),
    pytest.param(np.array([1.0, 2.0], dtype=object), "ndarray", id="object"),
]


@pytest.mark.parametrize("position", range(4), ids=NAMES)
@pytest.mark.parametrize(("value", "type_name"), NOT_ARRAYS)
def test_refused_arrays(position, value, type_name):
    """Anything but a 1-D native float64 ndarray is refused, never cast, with the argument's name."""
    args = curves()
    args[position] = value
    message = f"argument '{NAMES[position]}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    with raises_exactly(TypeError, message):
        vf.compare(*args)


def test_first_bad_array_is_reported():
    """With t_reference and y_test both wrong, only the t_reference error is raised."""
    _, b, c, _ = curves()
    with raises_exactly(TypeError, "argument 't_reference': 'list' object cannot be converted to 'PyArray<T, D>'"):
        vf.compare([0.0, 1.0], b, c, np.zeros(9, dtype=np.int64))


def test_array_types_before_options():
    """A refused array is reported before a malformed options dict."""
    a, b, c, _ = curves()
    with raises_exactly(TypeError, "argument 'y_test': 'list' object cannot be converted to 'PyArray<T, D>'"):
        vf.compare(a, b, c, [0.0], options=[])


def test_type_name_is_qualified_name():
    """A refused ndarray subclass is named by its qualified name."""

    class Holder:
        class Matrixish(np.ndarray):
            pass

    bad = np.zeros((2, 2)).view(Holder.Matrixish)
    a, _, c, d = curves()
    message = (
        "argument 'y_reference': "
        "'test_type_name_is_qualified_name.<locals>.Holder.Matrixish' object cannot be converted to 'PyArray<T, D>'"
    )
    with raises_exactly(TypeError, message):
        vf.compare(a, bad, c, d)


# --- accepted layouts --------------------------------------------------------


class Tagged(np.ndarray):
    """A trivial ndarray subclass."""


def unaligned(values):
    """A contiguous float64 array at an address that is not a multiple of 8."""
    values = np.asarray(values, dtype=np.float64)
    raw = bytearray(values.nbytes + 1)
    array = np.frombuffer(raw, dtype=np.float64, count=values.size, offset=1)
    array[...] = values
    assert array.ctypes.data % 8 != 0 and array.flags.c_contiguous
    assert not array.flags.aligned or array.size == 0  # NumPy calls empty arrays aligned
    return array


def read_only(values):
    array = np.array(values, dtype=np.float64)
    array.flags.writeable = False
    return array


LAYOUTS = [
    pytest.param(lambda v: v.view(Tagged), id="subclass"),
    pytest.param(read_only, id="read-only"),
    pytest.param(unaligned, id="unaligned"),
    pytest.param(lambda v: np.asfortranarray(v), id="fortran-order"),
    pytest.param(lambda v: np.array(v, dtype="=f8"), id="native-order-spelling"),
    pytest.param(lambda v: np.array(v, dtype=np.dtype("f8", metadata={"unit": "s"})), id="dtype-metadata"),
    pytest.param(lambda v: np.array(list(v) + [99.0])[:-1], id="prefix-view"),
]


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("position", range(4), ids=NAMES)
def test_accepted_layouts_give_identical_results(layout, position):
    """Subclass, read-only, unaligned and other contiguous float64 inputs read the same values."""
    plain = curves()
    args = curves()
    args[position] = layout(args[position])
    assert_same_result(vf.compare(*args), vf.compare(*plain))


ordinates = st.floats(-1e3, 1e3) | st.just(float("nan"))
abscissae = st.lists(st.floats(-1e3, 1e3, allow_nan=False), min_size=0, max_size=12).map(sorted)


@st.composite
def curve_pairs(draw):
    t = draw(abscissae)
    y = draw(st.lists(ordinates, min_size=len(t), max_size=len(t)))
    return np.array(t, dtype=np.float64), np.array(y, dtype=np.float64)


@given(
    reference=curve_pairs(),
    test=curve_pairs(),
    layouts=st.lists(
        st.sampled_from([unaligned, read_only, lambda v: v.view(Tagged), lambda v: v]), min_size=4, max_size=4
    ),
    atoly=st.floats(0.0, 1.0),
)
def test_layouts_are_read_alike(reference, test, layouts, atoly):
    """Whatever mix of layouts carries the values, compare sees the same doubles."""
    plain = [*reference, *test]
    dressed = [layout(v.copy()) for layout, v in zip(layouts, plain)]
    options = {"tolerances": {"atoly": atoly, "rtolx": 0.002}}
    assert_same_result(vf.compare(*dressed, options), vf.compare(*plain, options))


def test_all_inputs_unaligned():
    """Four unaligned inputs at once, with options, give the aligned result bit for bit."""
    options = {"tolerances": {"atoly": 0.05, "rtolx": 0.01}, "x_range": {"lo": 0.5, "hi": 3.5}}
    want = vf.compare(*curves(), options)
    got = vf.compare(*[unaligned(v) for v in curves()], options)
    assert_same_result(got, want)
    assert got["status"] == want["status"] == vf.STATUS_FAIL


def test_inputs_are_not_modified():
    """compare only reads its inputs, unaligned ones included."""
    args = curves() + [unaligned(Y_TEST)]
    snapshot = [a.copy() for a in args]
    vf.compare(args[0], args[1], args[2], args[4])
    vf.compare(args[0], args[1], args[2], args[3])
    for after, before in zip(args, snapshot):
        np.testing.assert_array_equal(after, before)


# --- contiguity --------------------------------------------------------------


@pytest.mark.parametrize("position", range(4), ids=NAMES)
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda v: v[::-1], id="reversed"),
        pytest.param(lambda v: np.repeat(v, 2)[::2], id="strided"),
        pytest.param(lambda v: np.stack([v, v], axis=1)[:, 1], id="column-of-2d"),
    ],
)
def test_non_contiguous_arrays_are_refused(position, make):
    """A strided view is refused with the contiguity TypeError, without an argument name."""
    args = curves()
    args[position] = make(args[position])
    with raises_exactly(TypeError, "The given array is not contiguous"):
        vf.compare(*args)


@pytest.mark.parametrize(
    "value",
    [
        pytest.param(np.array([3.0])[::-1], id="reversed-one-element"),
        pytest.param(np.array([1.0, 2.0, 3.0])[::2][:1], id="strided-one-element"),
        pytest.param(np.array([])[::-1], id="reversed-empty"),
        pytest.param(np.empty(0), id="empty"),
    ],
)
def test_trivially_contiguous_views_are_accepted(value):
    """One-element and empty views count as contiguous; the core then reports the short curve."""
    a, b, _, _ = curves()
    assert vf.compare(a, b, value, value)["status"] == vf.STATUS_INSUFFICIENT_DATA


def test_options_are_checked_before_contiguity():
    """A malformed options dict is reported before a non-contiguous array."""
    a, b, c, d = curves()
    with raises_exactly(ValueError, "options must be a dict or None"):
        vf.compare(a[::-1], b, c, d, 0)
    with raises_exactly(TypeError, "'list' object cannot be converted to 'PyDict'"):
        vf.compare(a, b, c, d[::-1], {"x_range": [0, 1]})


def test_array_reshaped_while_options_are_read():
    """An array turned into a 2-D or float32 array by a __float__ hook is refused, not over-read."""
    a, b, c, d = curves()

    class Sneaky:
        def __init__(self, mutate):
            self.mutate = mutate

        def __float__(self):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                self.mutate()
            return 0.0

    def retype():
        d.dtype = np.float32  # the same bytes now read as twice as many values

    with raises_exactly(TypeError, "argument 'y_test': 'ndarray' object cannot be converted to 'PyArray<T, D>'"):
        vf.compare(a, b, c, d, {"tolerances": {"atolx": Sneaky(retype)}})

    a2, b2, c2, d2 = curves()

    def reshape():
        b2.shape = (5, 1)

    with raises_exactly(TypeError, "argument 'y_reference': 'ndarray' object cannot be converted to 'PyArray<T, D>'"):
        vf.compare(a2, b2, c2, d2, {"x_range": {"hi": Sneaky(reshape)}})


def test_array_resized_while_options_are_read():
    """A buffer reallocated by a __float__ hook is read at its new address and length."""
    a, b, c, d = curves()

    class Grow:
        def __float__(self):
            c.resize(12, refcheck=False)
            d.resize(12, refcheck=False)
            c[9:] = [4.5, 5.0, 5.5]
            return 0.0

    result = vf.compare(a, b, c, d, {"tolerances": {"rtolx": 0.002, "rtoly": Grow()}})
    assert result["errors"][0].shape == (12,)
    np.testing.assert_array_equal(result["errors"][0], c)
    assert result["status"] == vf.STATUS_MISSING_REFERENCE


# --- reference counts --------------------------------------------------------


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def test_reference_counts_balanced_on_success():
    """Many successful calls leave the reference counts of inputs and options unchanged."""
    a, b, c, d = curves()
    atoly, lo = float("0.01"), float("0.5")
    tolerances = {"atoly": atoly, "rtolx": 3}
    x_range = {"lo": lo, "hi": None}
    options = {"tolerances": tolerances, "x_range": x_range}
    watched = [a, b, c, d, options, tolerances, x_range, atoly, lo]
    before = refcounts(watched)
    for _ in range(200):
        vf.compare(a, b, c, d, options)
        vf.compare(t_reference=a, y_reference=b, t_test=c, y_test=d, options=options)
    assert refcounts(watched) == before


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda a, b, c, d, o: vf.compare(a, b, c, [1.0], o), id="bad-array"),
        pytest.param(
            lambda a, b, c, d, o: vf.compare(a, b, c, d, {"tolerances": o["tolerances"], "x_range": ()}), id="bad-range"
        ),
        pytest.param(lambda a, b, c, d, o: vf.compare(a, b, c, d, {"x_range": {"lo": "x"}}), id="bad-bound"),
        pytest.param(lambda a, b, c, d, o: vf.compare(a, b, c, d[::-1], o), id="not-contiguous"),
        pytest.param(lambda a, b, c, d, o: vf.compare(a, b, c, d, o, t_test=c), id="binding"),
    ],
)
def test_reference_counts_balanced_on_errors(call):
    """Calls that raise release everything they took."""
    a, b, c, d = curves()
    tolerances = {"atoly": float("0.25")}
    options = {"tolerances": tolerances}
    watched = [a, b, c, d, options, tolerances]
    before = refcounts(watched)
    for _ in range(200):
        with pytest.raises((TypeError, ValueError)):
            call(a, b, c, d, options)
    assert refcounts(watched) == before
