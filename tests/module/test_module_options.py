"""The options dict of ``_velmora_funnel.compare``: form, defaults, errors and what reaches the core.

The tolerances are observed through the bounds of a flat reference: for the
points (1, 5), (2, 5), (3, 5) the lower bound runs from (1 - hx, 5 - hy) to
(3 + hx, 5 - hy) and the upper bound likewise at 5 + hy.
"""

import math
import re
import types

import numpy as np
import pytest

import _velmora_funnel as vf

X = np.array([1.0, 2.0, 3.0])
Y = np.full(3, 5.0)
INF = math.inf
FLOOR = 1e-10  # no half-width is smaller


def funnel(options):
    """(first bound abscissa, last bound abscissa, y half-width) of the flat reference."""
    result = vf.compare(X, Y, X, Y, options)
    assert result["status"] == vf.STATUS_PASS
    (lx, _), (ux, uy) = result["lower"], result["upper"]
    np.testing.assert_array_equal(lx, ux)
    return lx[0], lx[-1], uy[0] - 5.0


def approx(*values):
    return pytest.approx(values, rel=1e-12, abs=1e-15)


def raises_exactly(exc_type, message):
    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")


def assert_same_result(a, b):
    assert a["status"] == b["status"]
    for key in ("lower", "upper", "errors"):
        for got, want in zip(a[key], b[key]):
            np.testing.assert_array_equal(got, want)


# Defaults: rtolx = rtoly = 0.002, so hx = 0.002 * x_span (2) and, the
# reference being flat, hy falls back to 0.002 * y_mag (5).
DEFAULT = approx(1.0 - 0.004, 3.0 + 0.004, 0.01)
ALL_ZERO = approx(1.0 - FLOOR, 3.0 + FLOOR, FLOOR)


@pytest.mark.parametrize(
    ("options", "expected"),
    [
        pytest.param(None, DEFAULT, id="none"),
        pytest.param({}, DEFAULT, id="empty-dict"),
        pytest.param({"tolerances": None}, DEFAULT, id="tolerances-none"),
        pytest.param({"tolerances": None, "x_range": None}, DEFAULT, id="both-none"),
        pytest.param({"x_range": {"lo": None, "hi": None}}, DEFAULT, id="range-ends-none"),
        pytest.param({"tolerance": {"atoly": 3.0}, "range": {"lo": 2.0}}, DEFAULT, id="unknown-keys"),
        pytest.param(vf.default_options(), DEFAULT, id="default-options"),
        pytest.param({"tolerances": {}}, ALL_ZERO, id="tolerances-empty"),
        pytest.param({"tolerances": {"atolx": None, "rtoly": None}}, ALL_ZERO, id="tolerance-values-none"),
        pytest.param({"tolerances": {"rtolx ": 1.0, "RTOLY": 1.0}}, ALL_ZERO, id="near-miss-keys"),
        pytest.param({"tolerances": {"atoly": 1}}, approx(1.0 - FLOOR, 3.0 + FLOOR, 1.0), id="atoly-int"),
        pytest.param({"tolerances": {"atoly": True}}, approx(1.0 - FLOOR, 3.0 + FLOOR, 1.0), id="atoly-bool"),
        pytest.param({"tolerances": {"atolx": 0.25, "atoly": 0.5}}, approx(0.75, 3.25, 0.5), id="absolute"),
        pytest.param({"tolerances": {"ltolx": 0.1}}, approx(0.9, 3.3, FLOOR), id="local-x"),
        pytest.param({"tolerances": {"ltoly": 0.1}}, approx(1.0 - FLOOR, 3.0 + FLOOR, 0.5), id="local-y"),
        pytest.param({"tolerances": {"rtolx": 0.5}}, approx(0.0, 4.0, FLOOR), id="span-relative-x"),
        pytest.param({"tolerances": {"rtoly": 0.5}}, approx(1.0 - FLOOR, 3.0 + FLOOR, 2.5), id="magnitude-fallback-y"),
        pytest.param(
            {"tolerances": {"atoly": np.float32(0.5)}}, approx(1.0 - FLOOR, 3.0 + FLOOR, 0.5), id="numpy-scalar"
        ),
    ],
)
def test_tolerances_reach_the_core(options, expected):
    """Absent or None entries keep the defaults; a tolerances dict replaces all six, omitted ones 0."""
    assert funnel(options) == expected


def test_default_options_without_rtolx():
    """default_options() with "rtolx" deleted sets rtolx to 0.0, not to 0.002."""
    options = vf.default_options()
    del options["tolerances"]["rtolx"]
    assert funnel(options) == approx(1.0 - FLOOR, 3.0 + FLOOR, 0.01)


def test_number_protocols_are_accepted():
    """Objects with __float__ or __index__ are converted like numbers."""

    class Floaty:
        def __float__(self):
            return 0.25

    class Indexy:
        def __index__(self):
            return 1

    assert funnel({"tolerances": {"atolx": Floaty(), "atoly": Indexy()}}) == approx(0.75, 3.25, 1.0)


def test_infinite_tolerance_passes_unchanged():
    """Values are not checked: an infinite atoly gives an infinite funnel."""
    _, _, hy = funnel({"tolerances": {"atoly": INF}})
    assert hy == INF


@pytest.mark.parametrize(
    ("x_range", "first", "last"),
    [
        pytest.param({"lo": 1.5}, 2.0 - 0.002, 3.0 + 0.002, id="lo"),
        pytest.param({"hi": 2.5}, 1.0 - 0.002, 2.0 + 0.002, id="hi"),
        pytest.param({"lo": 2, "hi": 3}, 2.0 - 0.002, 3.0 + 0.002, id="int-ends"),
        pytest.param({"lo": -INF, "hi": INF}, 1.0 - 0.004, 3.0 + 0.004, id="infinite-ends"),
        pytest.param({"lo": 0.0, "hi": None}, 1.0 - 0.004, 3.0 + 0.004, id="hi-none"),
    ],
)
def test_range_filters_the_reference(x_range, first, last):
    """ "lo" and "hi" restrict the reference the funnel is built from; absent ends are infinite."""
    lx0, lxn, _ = funnel({"x_range": x_range})
    assert (lx0, lxn) == approx(first, last)


@pytest.mark.parametrize(
    ("x_range", "status"),
    [
        pytest.param({"lo": 3.0}, vf.STATUS_EMPTY_RANGE, id="lo-at-last-point"),
        pytest.param({"lo": 2.5, "hi": 1.5}, vf.STATUS_EMPTY_RANGE, id="lo-above-hi"),
        pytest.param({"lo": math.nan}, vf.STATUS_INSUFFICIENT_DATA, id="lo-nan"),
        pytest.param({"lo": math.nan, "hi": INF}, vf.STATUS_INSUFFICIENT_DATA, id="lo-nan-hi-inf"),
        pytest.param({"hi": -INF}, vf.STATUS_EMPTY_RANGE, id="hi-minus-inf"),
    ],
)
def test_range_ends_pass_unchecked(x_range, status):
    """The binding does not check the range; the core turns odd ranges into statuses."""
    assert vf.compare(X, Y, X, Y, {"x_range": x_range})["status"] == status


# --- dict subclasses ---------------------------------------------------------


class Missing(dict):
    def __missing__(self, key):
        return 1.0


class Overridden(dict):
    def __getitem__(self, key):
        return {"atoly": 3.0} if key == "tolerances" else 3.0

    def get(self, key, default=None):
        return self[key]


def test_dict_subclasses_are_read_as_plain_dicts():
    """Only stored entries count: __missing__ and overridden item access are bypassed."""
    assert funnel(Missing()) == DEFAULT
    assert funnel(Overridden()) == DEFAULT
    assert funnel({"tolerances": Missing()}) == ALL_ZERO
    assert funnel({"tolerances": Overridden(atoly=0.5)}) == approx(1.0 - FLOOR, 3.0 + FLOOR, 0.5)
    lx0, lxn, _ = funnel(Missing(x_range=Overridden(lo=1.5)))
    assert (lx0, lxn) == approx(2.0 - 0.002, 3.0 + 0.002)


def test_default_options_equal_none():
    """Passing default_options() gives the same result as passing None."""
    t = np.linspace(0.0, 4.0, 9)
    y = np.sin(t)
    assert_same_result(vf.compare(t, y, t, y + 0.001, vf.default_options()), vf.compare(t, y, t, y + 0.001))


# --- errors ------------------------------------------------------------------


@pytest.mark.parametrize(
    "options",
    [
        pytest.param([], id="list"),
        pytest.param(0, id="zero"),
        pytest.param("tolerances", id="str"),
        pytest.param((), id="tuple"),
        pytest.param(types.MappingProxyType({}), id="mappingproxy"),
        pytest.param(False, id="false"),
    ],
)
def test_options_not_a_dict(options):
    """options that is neither None nor a dict raises ValueError."""
    with raises_exactly(ValueError, "options must be a dict or None"):
        vf.compare(X, Y, X, Y, options)


@pytest.mark.parametrize("entry", ["tolerances", "x_range"])
@pytest.mark.parametrize(
    ("value", "type_name"),
    [
        pytest.param([1, 2], "list", id="list"),
        pytest.param((0.0, 1.0), "tuple", id="tuple"),
        pytest.param(0.5, "float", id="float"),
        pytest.param("lo", "str", id="str"),
        pytest.param(types.MappingProxyType({}), "mappingproxy", id="mappingproxy"),
    ],
)
def test_entry_not_a_dict(entry, value, type_name):
    """A "tolerances" or "x_range" entry that is neither None nor a dict raises the conversion TypeError."""
    with raises_exactly(TypeError, f"'{type_name}' object cannot be converted to 'PyDict'"):
        vf.compare(X, Y, X, Y, {entry: value})


def interpreter_error(value):
    """The exception the interpreter's own float conversion raises for value."""
    try:
        math.isnan(value)  # converts its argument with PyFloat_AsDouble
    except Exception as error:  # whatever it is, it is the oracle
        return type(error), str(error)
    raise AssertionError("value converts")


class FloatRaises:
    def __float__(self):
        raise ValueError("no float today")


class IndexRaises:
    def __index__(self):
        raise LookupError("no index today")


@pytest.mark.parametrize(
    "value",
    [
        pytest.param("0.1", id="str"),
        pytest.param([1.0], id="list"),
        pytest.param(b"1", id="bytes"),
        pytest.param(object(), id="object"),
        pytest.param(1j, id="complex"),
        pytest.param(10**400, id="int-beyond-double"),
        pytest.param(-(10**400), id="negative-int-beyond-double"),
    ],
)
@pytest.mark.parametrize(
    "where",
    [
        pytest.param(lambda v: {"tolerances": {"atolx": v}}, id="atolx"),
        pytest.param(lambda v: {"tolerances": {"rtoly": v}}, id="rtoly"),
        pytest.param(lambda v: {"x_range": {"lo": v}}, id="lo"),
        pytest.param(lambda v: {"x_range": {"hi": v}}, id="hi"),
    ],
)
def test_conversion_errors_pass_unchanged(value, where):
    """A refused number raises the interpreter's own exception, without the key's name."""
    exc_type, message = interpreter_error(value)
    with pytest.raises(exc_type) as caught:
        vf.compare(X, Y, X, Y, where(value))
    assert type(caught.value) is exc_type
    assert str(caught.value) == message


@pytest.mark.parametrize(
    ("value", "exc_type", "message"),
    [
        pytest.param(FloatRaises(), ValueError, "no float today", id="float-hook-raises"),
        pytest.param(IndexRaises(), LookupError, "no index today", id="index-hook-raises"),
    ],
)
def test_conversion_hook_errors_pass_unchanged(value, exc_type, message):
    """An exception raised by __float__ or __index__ reaches the caller as it is."""
    with raises_exactly(exc_type, message):
        vf.compare(X, Y, X, Y, {"tolerances": {"ltoly": value}})


class Recorder:
    """A number that notes that it was converted."""

    def __init__(self, log, name):
        self.log, self.name = log, name

    def __float__(self):
        self.log.append(self.name)
        return 0.0


@pytest.mark.parametrize(
    ("options", "converted"),
    [
        pytest.param(
            lambda log: {
                "tolerances": {"ltolx": "bad", "rtoly": Recorder(log, "rtoly"), "atolx": Recorder(log, "atolx")}
            },
            ["atolx"],
            id="tolerances-in-field-order",
        ),
        pytest.param(
            lambda log: {"x_range": {"hi": Recorder(log, "hi"), "lo": "bad"}},
            [],
            id="lo-before-hi",
        ),
        pytest.param(
            lambda log: {"x_range": {"lo": Recorder(log, "lo")}, "tolerances": {"rtoly": "bad"}},
            [],
            id="tolerances-before-range",
        ),
    ],
)
def test_first_conversion_error_ends_parsing(options, converted):
    """Tolerances are read in field order, then "lo", then "hi"; the first error stops the reading."""
    log = []
    with pytest.raises(TypeError, match=r"^must be real number, not str$"):
        vf.compare(X, Y, X, Y, options(log))
    assert log == converted


def test_option_errors_carry_no_argument_prefix():
    """Errors about the options dict are not prefixed with an argument name."""
    for options in ({"tolerances": [1, 2]}, {"tolerances": {"atolx": "0.1"}}):
        with pytest.raises(TypeError) as caught:
            vf.compare(X, Y, X, Y, options)
        assert "argument" not in str(caught.value)
        assert "atolx" not in str(caught.value)


def test_converting_a_value_that_removes_itself():
    """A __float__ hook that empties the options dicts cannot pull the value from under the reader."""
    tolerances = {}
    options = {"tolerances": tolerances}

    class Vanishing:
        def __float__(self):
            tolerances.clear()
            options.clear()
            return 0.5

    tolerances["atoly"] = Vanishing()
    tolerances["ltoly"] = 0.1  # removed before it is read: counts as absent
    assert funnel(options) == approx(1.0 - FLOOR, 3.0 + FLOOR, 0.5)
