"""The friendly compare(): conversions, guards, and results that are exactly the module's."""

import bisect
import dataclasses
import inspect
import math
import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _velmora_funnel as vfm
import funnel_reference
import velmora_funnel as vf
from velmora_funnel.comparison import immutable
from velmora_funnel.comparison.summaries import summarise

T = np.arange(9) * 0.5
Y = np.array([0, 0.5, 1, 0.5, 0, 0.5, 1, 0.5, 0])
R_T = np.array([0.0, 1, 2, 3, 4])
R_Y = np.array([0.0, 1, 0, 1, 0])


def raised():
    y = Y.copy()
    y[2] = 1.1
    return y


# --- the module's contract, unchanged -------------------------------------------


def test_status_members_are_the_modules_nine_statuses():
    """Status has one member per STATUS_* constant, same value, and the module's message."""
    constants = {name[len("STATUS_") :]: getattr(vfm, name) for name in vfm.__all__ if name.startswith("STATUS_")}
    assert {m.name: m.value for m in vf.Status} == constants
    for member in vf.Status:
        assert member.message == vfm.status_message_py(member.value)


def test_defaults_are_the_modules():
    """compare()'s keyword defaults equal the module's default_options()."""
    signature = inspect.signature(vf.compare)
    defaults = {name: signature.parameters[name].default for name in vf.TOLERANCE_NAMES}
    assert defaults == vfm.default_options()["tolerances"]
    assert signature.parameters["x_range"].default is None


def test_result_equals_raw_module_call():
    """Status, bounds and errors are the module's arrays, value for value."""
    result = vf.compare((R_T, R_Y), (T, raised()))
    raw = vfm.compare(R_T, R_Y, T, raised())
    assert result.status == raw["status"] == vf.Status.FAIL
    for key in ("lower", "upper", "errors"):
        for ours, theirs in zip(getattr(result, key), raw[key], strict=True):
            np.testing.assert_array_equal(ours, theirs)
    assert result.errors.y[2] == 0.09800000000000009


@given(
    st.lists(st.floats(-10, 10, allow_nan=False), min_size=2, max_size=30),
    st.lists(st.floats(-10, 10, allow_nan=False), min_size=2, max_size=30),
    st.sampled_from([None, (0.5, None), (None, 0.8), (0.2, 0.7)]),
    st.floats(0, 0.5),
)
def test_any_curves_give_the_modules_verdict(ys_ref, ys_test, x_range, atoly):
    """For arbitrary curves and options the result carries the raw module's status and curves."""
    t_ref = np.linspace(0, 1, len(ys_ref))
    t_test = np.linspace(0, 1, len(ys_test))
    result = vf.compare((t_ref, ys_ref), (t_test, ys_test), atoly=atoly, x_range=x_range)
    lo, hi = vf.check_x_range(x_range)
    tolerances = {**vfm.default_options()["tolerances"], "atoly": atoly}
    raw = vfm.compare(
        t_ref, np.array(ys_ref), t_test, np.array(ys_test), {"tolerances": tolerances, "x_range": {"lo": lo, "hi": hi}}
    )
    assert result.status == raw["status"]
    # With a range the test curve is cut to it (and a point beyond each end):
    # its errors are the module's at the points kept.
    start = int(np.searchsorted(t_test, result.test.t[0]))
    np.testing.assert_array_equal(result.errors.y, raw["errors"][1][start : start + len(result.test.t)])
    # first_failure is exactly the point that made the module say FAIL.
    assert (result.first_failure is not None) == (result.status is vf.Status.FAIL)


# --- conversions ------------------------------------------------------------------


CONVERSIONS = {
    "lists": (R_T.tolist(), R_Y.tolist()),
    "int64": (R_T.astype(np.int64), R_Y.astype(np.int64)),
    "uint8": (R_T.astype(np.uint8), R_Y.astype(np.uint8)),
    "float32": (R_T.astype(np.float32), R_Y.astype(np.float32)),
    "big-endian": (R_T.astype(">f8"), R_Y.astype(">f8")),
    "strided": (np.repeat(R_T, 2)[::2], np.repeat(R_Y, 2)[::2]),
    "fortran column": (np.asfortranarray(np.stack([R_T, R_Y])).T[:, 0].copy(), np.stack([R_T, R_Y], axis=1)[:, 1]),
    "read-only": (np.frombuffer(R_T.tobytes()), np.frombuffer(R_Y.tobytes())),
    "tuple of tuples": (tuple(R_T), tuple(R_Y)),
    "2xN array": np.stack([R_T, R_Y]),
    "series": pd.Series(R_Y, index=R_T),
    "int-indexed series": pd.Series(R_Y.astype(np.int32), index=pd.Index(R_T.astype(np.int64))),
    "pair of series": (pd.Series(R_T), pd.Series(R_Y)),
}


@pytest.mark.parametrize("reference", CONVERSIONS.values(), ids=CONVERSIONS.keys())
def test_real_inputs_of_any_layout_compare_like_float64(reference):
    """Every accepted form of the same reference gives the same bounds as contiguous float64."""
    expected = vf.compare((R_T, R_Y), (T, Y))
    result = vf.compare(reference, (T, Y))
    assert result.status is expected.status is vf.Status.PASS
    np.testing.assert_array_equal(result.lower.y, expected.lower.y)
    assert result.reference.t.dtype == np.float64 and result.reference.t.flags.c_contiguous


def _read_only_view(a):
    view = a.view()
    view.flags.writeable = False
    return view


KEPT_INPUTS = {
    "float64 arrays": lambda a: a,
    "read-only views": _read_only_view,
    "series": lambda a: pd.Series(a),
}


@pytest.mark.parametrize("copies", ["bytes", "blocks"])
@pytest.mark.parametrize("wrap", KEPT_INPUTS.values(), ids=KEPT_INPUTS.keys())
def test_result_never_changes_when_the_caller_reuses_its_buffers(wrap, copies, monkeypatch):
    """Nothing a result reports changes after compare() returns, and no array it
    holds (nor the storage under it) can be made writeable again, whether the
    copies are bytes (short curves) or blocks of the kernels' cache (long ones)."""
    if copies == "blocks":
        monkeypatch.setattr(immutable, "BLOCK_FROM", 0)
    buffers = [a.copy() for a in (R_T, R_Y, T, raised())]
    result = vf.compare((wrap(buffers[0]), wrap(buffers[1])), (wrap(buffers[2]), wrap(buffers[3])))
    before = pickle.dumps(result)
    for buffer in buffers:
        buffer *= 10.0
    assert pickle.dumps(result) == before
    assert result.failing_points().t.tolist() == [1.0]
    for curve in (result.lower, result.upper, result.errors, result.reference, result.test):
        for array in curve:
            while isinstance(array, np.ndarray):
                with pytest.raises(ValueError):
                    array.flags.writeable = True
                array = array.base


def test_kept_results_survive_the_reuse_of_released_copies():
    """Copies of released results are reused for new ones; a result still held never shares them."""
    t = np.linspace(0.0, 10.0, 40_000)  # 320 KB per array: copies come from the cache
    kept = [vf.compare((t, np.sin(t + k)), (t, np.sin(t + k) + 1e-4)) for k in range(3)]
    before = [pickle.dumps(result) for result in kept]
    for k in range(20):  # released at once, so their blocks go back to the cache
        result = vf.compare((t, np.cos(t * k)), (t, np.cos(t * k)))
        assert result.reference.y.tobytes() == np.cos(t * k).tobytes()
    assert [pickle.dumps(result) for result in kept] == before


def test_masked_values_count_as_missing():
    """A masked ordinate is NaN (missing), never its sentinel value."""
    y = np.ma.masked_equal(np.where(np.arange(len(Y)) == 3, 1e20, Y), 1e20)
    result = vf.compare((R_T, R_Y), (T, y))
    assert result.max_error == 0.0 and result.nan_test == 1 and not result.passed
    assert math.isnan(result.test.y[3]) and y.data[3] == 1e20


def test_strided_input_is_copied_and_left_alone():
    """A non-contiguous view is copied for the module; the caller's data is untouched."""
    base = np.repeat(R_Y, 2)
    view = base[::2]
    result = vf.compare((R_T, view), (T, Y))
    assert not np.shares_memory(result.reference.y, base)
    assert result.status is vf.Status.PASS


def test_nullable_series_with_missing_values_become_nan():
    """pandas' nullable Float64 with <NA> converts, and the NA is counted as NaN."""
    test = pd.Series(pd.array([0, 0.5, None, 0.5, 0, 0.5, 1, 0.5, 0], dtype="Float64"), index=T)
    result = vf.compare(pd.Series(R_Y, index=R_T), test)
    assert result.nan_test == 1 and not result.passed


REFUSED = {
    "scalar": (3.0, TypeError, "pair"),
    "string": ("ab", TypeError, "pair"),
    "dict": ({"t": R_T, "y": R_Y}, TypeError, "pair"),
    "three arrays": ((R_T, R_Y, R_Y), TypeError, "pair"),
    "bool ordinates": ((R_T, R_Y > 0), TypeError, "real numbers"),
    "complex ordinates": ((R_T, R_Y + 1j), TypeError, "real numbers"),
    "text ordinates": ((R_T, ["0", "1", "0", "1", "0"]), TypeError, "real numbers"),
    "2-D ordinates": ((R_T, np.ones((5, 2))), ValueError, "one-dimensional"),
    "datetime index": (pd.Series(R_Y, index=pd.date_range("2024", periods=5)), TypeError, "real numbers"),
    "bool series": (pd.Series([True] * 5, index=R_T), TypeError, "real numbers"),
}


@pytest.mark.parametrize(("reference", "error", "text"), REFUSED.values(), ids=REFUSED.keys())
def test_non_curves_are_refused_with_a_clear_error(reference, error, text):
    """Input that is not a curve of real numbers raises, naming the side and what is wrong."""
    with pytest.raises(error, match=text) as info:
        vf.compare(reference, (T, Y))
    assert "reference" in str(info.value)


def test_unequal_lengths_are_the_modules_status_not_an_exception():
    """Curve problems the module checks come back as its status, with empty curves."""
    result = vf.compare((R_T, R_Y[:-1]), (T, Y))
    assert result.status is vf.Status.LENGTH_MISMATCH
    assert result.max_error is None and result.first_failure is None and len(result.lower.t) == 0


# --- guards -----------------------------------------------------------------------


@pytest.mark.parametrize("name", ["atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly", "end_tolerance"])
@pytest.mark.parametrize("value", [-0.1, math.inf, -math.inf, math.nan], ids=["negative", "inf", "-inf", "nan"])
def test_bad_tolerances_are_refused_naming_the_option(name, value):
    """A negative or non-finite tolerance raises ValueError that names the option."""
    with pytest.raises(ValueError, match=f"^{name} must be a finite number >= 0"):
        vf.compare((R_T, R_Y), (T, Y), **{name: value})


@pytest.mark.parametrize("value", [True, "0.1", [0.1]], ids=["bool", "str", "list"])
def test_non_numeric_tolerance_is_a_type_error(value):
    """A tolerance that is not a real number raises TypeError naming it."""
    with pytest.raises(TypeError, match="atoly"):
        vf.compare((R_T, R_Y), (T, Y), atoly=value)


def test_zero_and_numpy_scalar_tolerances_are_accepted():
    """Zero is a valid half-width (the module floors it) and NumPy scalars count as numbers."""
    result = vf.compare((R_T, R_Y), (R_T, R_Y), atolx=np.float32(0), rtolx=0, rtoly=np.int64(0))
    assert result.passed and result.tolerances["rtoly"] == 0.0


@pytest.mark.parametrize("x_range", [(math.nan, 1.0), (0.0, math.nan)], ids=["lo", "hi"])
def test_nan_range_end_is_refused(x_range):
    """A NaN range end would silently retain no point; it is refused."""
    with pytest.raises(ValueError, match="must not be NaN"):
        vf.compare((R_T, R_Y), (T, Y), x_range=x_range)


def test_reversed_range_is_left_to_the_module():
    """lo > hi is not guessed at: the module reports EMPTY_RANGE."""
    assert vf.compare((R_T, R_Y), (T, Y), x_range=(3, 1)).status is vf.Status.EMPTY_RANGE


# --- NaN ordinates -----------------------------------------------------------------


def _with(values, index, value):
    values = np.array(values, dtype=float)
    values[index] = value
    return values


WIDE_T = np.array([-9e307, 0.0, 9e307])
NOT_FINITE = {
    "crashed run full of NaN": (
        ((R_T, R_Y), (T, np.full(len(T), np.nan))),
        "NaN ordinates in range: 0 in reference, 9 in test",
    ),
    "infinite reference ordinate": (
        ((R_T, _with(R_Y, 2, np.inf)), (T, Y + 5)),
        "infinite ordinates in range: 1 in reference, 0 in test",
    ),
    "-inf reference ordinate": (
        ((R_T, _with(R_Y, 0, -np.inf)), (T, Y - 5)),
        "infinite ordinates in range: 1 in reference",
    ),
    "infinite test ordinate": (
        ((R_T, R_Y), (T, _with(Y, 4, np.inf))),
        "infinite ordinates in range: 0 in reference, 1 in test",
    ),
    "abscissae spanning more than the largest double": (
        ((WIDE_T, np.zeros(3)), (WIDE_T, np.array([0.0, 1e300, 0.0]))),
        "funnel not finite",
    ),
}


@pytest.mark.parametrize("curves, reason", NOT_FINITE.values(), ids=NOT_FINITE.keys())
def test_funnel_or_ordinates_not_finite_never_pass(curves, reason):
    """The module passes these (an infinite span makes every half-width infinite,
    a NaN test point gets the error 0); the result is not passed and says why."""
    result = vf.compare(*curves)
    assert result.status.completed and not result.passed
    assert reason in result.message and reason in result.caveat
    if result.status is vf.Status.PASS:
        assert result.message.startswith("not passed: ") and result.message.endswith("(the funnel itself: pass)")


def test_nan_outside_the_range_is_not_counted():
    """Only NaN ordinates inside x_range matter for the verdict."""
    y = Y.copy()
    y[0] = np.nan
    result = vf.compare((R_T, R_Y), (T, y), x_range=(1.0, None))
    assert result.nan_test == 0 and result.passed


def test_nan_in_reference_is_counted():
    """A NaN reference ordinate is reported on the result too."""
    y = R_Y.copy()
    y[3] = np.nan
    assert vf.compare((R_T, y), (T, Y)).nan_reference == 1


# --- summaries -----------------------------------------------------------------------


def test_largest_error_and_first_failure_of_a_raised_point():
    """A point raised above the funnel gives its positive error and its abscissa."""
    result = vf.compare((R_T, R_Y), (T, raised()))
    assert result.max_error == pytest.approx(0.098)
    assert result.first_failure == 1.0
    np.testing.assert_array_equal(result.failing_points().t, [1.0])


def test_largest_error_keeps_its_sign():
    """A point below the funnel gives a negative largest error."""
    y = Y.copy()
    y[6] = 0.5
    result = vf.compare((R_T, R_Y), (T, y))
    assert result.max_error == pytest.approx(-0.49)


def test_errors_outside_the_range_do_not_count():
    """With the range [1.5, 3.5] the raised point at t=1 (error 1.098) and the point at t=4
    (error -0.998) lie outside; only the in-range errors are summarised."""
    result = vf.compare((R_T, R_Y), (T, raised()), x_range=(1.5, 3.5))
    assert result.status is vf.Status.FAIL
    assert result.first_failure == 1.5
    assert abs(result.max_error) == pytest.approx(0.498)


def _run(span, bump=0.0):
    t = np.round(np.arange(span[0], span[1] + 0.005, 0.01), 10)
    return t, np.sin(t) + bump


MISSING = "missing test: the test run"
ENDS = {
    "stopped early": ((0, 10), (0, 9), {}, f"{MISSING} ends at t = 9, the reference at t = 10"),
    "stopped early, a range it covers": ((0, 10), (0, 9), {"x_range": (0, 9)}, "PASS"),
    "stopped early inside the range": (
        *((0, 10), (0, 9), {"x_range": (None, 9.5)}),
        f"{MISSING} ends at t = 9, the reference at t = 9.5",
    ),
    "a range inside both": ((0, 10), (0, 9), {"x_range": (2, 5)}, "PASS"),
    "ends 0.01 apart": ((0, 3.01), (0, 3), {"atolx": 0.02}, f"{MISSING} ends at t = 3, the reference at t = 3.01"),
    "within the end tolerance": ((0, 3.01), (0, 3), {"end_tolerance": 0.02}, "PASS"),
    "beyond the end tolerance": (
        *((0, 10), (0, 9), {"end_tolerance": 0.5}),
        f"{MISSING} ends at t = 9, the reference at t = 10 (end tolerance 0.5)",
    ),
    "started late": ((0, 10), (1, 10), {}, f"{MISSING} starts at t = 1, the reference at t = 0"),
    "ran longer": ((0, 10), (0, 11), {}, "missing reference: the reference ends at t = 10, the test run at t = 11"),
    "started earlier inside the range": (
        *((1, 10), (0, 10), {"x_range": (0.5, None)}),
        "missing reference: the reference starts at t = 1, the test run at t = 0.5",
    ),
    "covers the range, outside the funnel": ((0, 10), (0, 9), {"x_range": (0, 9), "bump": 0.5}, "FAIL"),
}


@pytest.mark.parametrize(("reference", "test", "options", "said"), ENDS.values(), ids=ENDS.keys())
def test_ends_are_judged_inside_the_range_and_named(reference, test, options, said):
    """A run that covers the range passes its end check; the end tolerance lets the ends lie that far
    apart; a missing end is named with both curves' t (clipped to the range). A failure inside the
    range still fails."""
    options = dict(options)
    result = vf.compare(_run(reference), _run(test, options.pop("bump", 0.0)), **options)
    named = said if said in vf.Status.__members__ else said.split(":")[0].upper().replace(" ", "_")
    status = vf.Status[named]
    assert result.status is status
    assert result.message == (status.message if said == status.name else said)


ELEVEN = np.linspace(0, 1, 11)


def _flat(value, t=ELEVEN):
    return t, np.full(len(t), value)


@pytest.mark.parametrize(
    "reference, test, options, message",
    [
        pytest.param(_flat(15.0), _flat(21.0), {}, "constant changed: 15 -> 21", id="a parameter changed"),
        pytest.param(
            _flat(15.0, np.array([0.0, 1.0])), _flat(21.0), {}, "constant changed: 15 -> 21", id="two points, eleven"
        ),
        pytest.param(
            _flat(1.23456), _flat(1.23457), {"rtoly": 0.0}, "constant changed: 1.23456 -> 1.23457", id="digits to tell"
        ),
        pytest.param(
            (np.arange(4.0), np.array([9.0, 15, 15, 9])),
            _flat(21.0, np.arange(4.0)),
            {"x_range": (1, 2)},
            "constant changed: 15 -> 21",
            id="constant inside the range",
        ),
        pytest.param(_flat(15.0), (np.linspace(0, 1, 11), np.linspace(21, 22, 11)), {}, None, id="test not constant"),
        pytest.param(_flat(np.nan), _flat(21.0), {}, None, id="NaN is no constant"),
    ],
)
def test_a_changed_constant_is_said_so(reference, test, options, message):
    """Where both curves are constant over the compared range and the variable fails, the message
    names the two values (as reports format numbers); the failure and its counts stay the funnel's."""
    result = vf.compare(reference, test, **options)
    # A NaN constant is no constant: the caveat leads ("not passed: ...").
    assert result.message.startswith(message or ("not passed: " if result.caveat else result.status.message))
    if message is not None:
        assert result.status is vf.Status.FAIL and result.failing_count > 0


CONSTANT = (R_T, np.ones(len(R_T)))


@pytest.mark.parametrize(
    "y_test, margin, margin_t, failing",
    [
        pytest.param(np.ones(5), 1.0, 0.0, 0, id="middle"),
        pytest.param(np.full(5, 1.25), 0.5, 0.0, 0, id="the whole run half the tolerance off"),
        pytest.param([1, 1, 1.25, 1, 1], 0.5, 2.0, 0, id="halfway-to-the-bound"),
        pytest.param([1, 1, 1, 0.5, 1], 0.0, 3.0, 0, id="on-the-lower-bound"),
        pytest.param([1, 2.5, 1, 1, 0], -2.0, 1.0, 2, id="outside-by-twice-the-half-height"),
    ],
)
def test_margin_says_how_close_the_test_came(y_test, margin, margin_t, failing):
    """The smallest distance to the nearer bound, in y half-widths of the reference, with its abscissa."""
    result = vf.compare(CONSTANT, (R_T, np.array(y_test, dtype=float)), atoly=0.5, rtoly=0.0, rtolx=0.0)
    assert (result.margin, result.margin_t, result.failing_count) == (margin, margin_t, failing)


def _nan_passed_over(pick, values):
    return pick((v for v in values if not math.isnan(v)), default=math.nan)


def _model_reference_at(r, w, hy, q):
    """The reference at q: its y half-width (the smallest of the points at q, else interpolated
    between the two around q, else the end's) and, inside its span, the band of its ordinates."""
    j = bisect.bisect_left(r, q)
    at = r[j] if j < len(r) and r[j] == q else r[0] if j == 0 else r[-1] if j == len(r) else None
    if at is not None:
        group = [k for k, x in enumerate(r) if x == at]
        heights = [w[k] for k in group]
        band = (_nan_passed_over(min, heights), _nan_passed_over(max, heights))
        return _nan_passed_over(min, [hy[k] for k in group]), band if r[j : j + 1] == [q] else None
    d = r[j] - r[j - 1]
    y = w[j - 1] + (q - r[j - 1]) * (w[j] - w[j - 1]) / d
    return hy[j - 1] + (q - r[j - 1]) * (hy[j] - hy[j - 1]) / d, (y, y)


def _model_margins(result):
    """Each test point's margin on Python floats, from the bounds as the error curve interpolates them
    and the reference's half-widths as the funnel's rule gives them."""
    t, v = result.test.t.tolist(), result.test.y.tolist()
    lows = funnel_reference.interpolate_clamped(*(a.tolist() for a in result.lower), t)
    highs = funnel_reference.interpolate_clamped(*(a.tolist() for a in result.upper), t)
    lo, hi = max(result.x_range[0], result.reference.t[0]), min(result.x_range[1], result.reference.t[-1])
    inside = (result.reference.t >= result.x_range[0]) & (result.reference.t <= result.x_range[1])
    r, w = result.reference.t[inside].tolist(), result.reference.y[inside].tolist()
    order = ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly")
    _, hy = funnel_reference.tube_halfwidths(
        r, w, funnel_reference.get_data_char(r, w), [result.tolerances[name] for name in order]
    )
    margins = []
    for q, y, low, high, error in zip(t, v, lows, highs, result.errors.y.tolist(), strict=True):
        half, band = _model_reference_at(r, w, hy, q)
        if not lo <= q <= hi or math.isnan(y):
            margins.append(math.nan)
        elif error != 0:
            margin = -abs(error) / half
            margins.append(margin if math.isnan(margin) or margin < 0 else -5e-324)
        else:
            margin = min(high - y, y - low) / half
            if band is not None and not math.isnan(margin):
                # At least what the band of one half-width around the reference leaves to spare.
                off = math.nan  # a band of NaN ordinates
                if y < band[0] or y > band[1]:
                    off = band[0] - y if y < band[0] else y - band[1]
                elif band[0] <= y <= band[1]:
                    off = 0.0
                margin = max(margin, 1.0 - off / half)
            margins.append(max(margin, 0.0))
    return np.array(margins)


F = np.arange(4.0)
F.flags.writeable = False


@pytest.mark.parametrize(
    "call, error",
    [
        pytest.param(
            lambda k: k.margins(F[:0], F[:0], F, F, F, F, 0, 0, 0, F, F, F, F.copy()), ValueError, id="empty bound"
        ),
        pytest.param(
            lambda k: k.margins(F, F, F, F, F[:0], F[:0], 0, 0, 0, F, F, F, F.copy()), ValueError, id="no reference"
        ),
        pytest.param(
            lambda k: k.margins(F, F, F, F, F, F, 0, 0, 0, F, F, F[:2], F.copy()), ValueError, id="unequal lengths"
        ),
        pytest.param(
            lambda k: k.margins(F, F, F, F, F, F, 0, 0, 0, F, F, F, F), (ValueError, BufferError), id="read-only output"
        ),
        pytest.param(lambda k: k.format_csv(np.arange(4), F), TypeError, id="integers"),
        pytest.param(lambda k: k.format_csv(np.ones((2, 2)), F), TypeError, id="two dimensions"),
        pytest.param(lambda k: k.format_csv(), TypeError, id="no column"),
        pytest.param(lambda k: k.format_csv(F, F, F[:2]), ValueError, id="a shorter third column"),
        pytest.param(lambda k: k.half_widths(F[:0], F[:0], 0, 0, 0, 0, 0, 0), ValueError, id="no reference point"),
        pytest.param(lambda k: k.half_widths(F, F[:2], 0, 0, 0, 0, 0, 0), ValueError, id="shorter ordinates"),
        pytest.param(
            lambda k: k.half_widths(F[::-1].copy(), F, 0, 0, 0, 0, 0, 0), ValueError, id="unordered abscissae"
        ),
        pytest.param(lambda k: k.sealed_copy(F[::2]), (ValueError, BufferError), id="strided"),
        pytest.param(lambda k: k.lay_out_rows(F, 0, F.copy()), ValueError, id="no rows"),
        pytest.param(lambda k: k.lay_out_rows(F, 3, F.copy()), ValueError, id="rows that do not divide it"),
        pytest.param(lambda k: k.lay_out_rows(F, 2, F[:2].copy()), ValueError, id="a smaller output"),
        pytest.param(lambda k: k.lay_out_rows(F, 2, F), (ValueError, BufferError), id="read-only output"),
    ],
)
def test_kernels_refuse_what_they_cannot_read(call, error):
    """The package's own kernels raise on arrays they were not made for; they never read past one."""
    from velmora_funnel import _kernels

    with pytest.raises(error):
        call(_kernels)


@pytest.mark.parametrize("rows, cols", [(1, 1), (3, 8), (5, 17), (101, 1000)])
def test_laid_out_rows_are_the_stored_columns_transposed(rows, cols):
    """A binTrans matrix's rows, laid out from its columns (in blocks of eight and a tail)."""
    from velmora_funnel import _kernels

    stored = np.random.default_rng(rows).normal(size=(cols, rows))
    out = np.empty(rows * cols)
    _kernels.lay_out_rows(stored.reshape(-1), rows, out)
    assert np.array_equal(out.reshape(rows, cols), stored.T)


@pytest.mark.parametrize(
    "y_ref, tolerances",
    [
        pytest.param(np.sin, {}, id="defaults"),
        pytest.param(np.sin, {"ltoly": 0.01, "ltolx": 0.001, "atoly": 0.003}, id="point-relative"),
        pytest.param(lambda t: np.full(len(t), 3.0), {}, id="flat: fraction of the magnitude"),
        pytest.param(np.zeros_like, {}, id="zero: the smallest half-width"),
        pytest.param(
            lambda t: np.where(np.arange(len(t)) == np.searchsorted(t, 0.0), np.nan, np.sin(t)),
            {"atoly": 0.003},
            id="NaN first inside the range: no span along y",
        ),
    ],
)
def test_half_widths_are_the_funnels_own(y_ref, tolerances):
    """The smallest and largest half-width over the reference inside the range, by the funnel's rule."""
    t = np.linspace(-1, 10, 300)
    result = vf.compare((t, y_ref(t)), (t, y_ref(t)), x_range=(0.0, 8.0), **tolerances)
    inside = (t >= 0) & (t <= 8)
    x, y = t[inside].tolist(), y_ref(t)[inside].tolist()
    options = vf.CompareOptions.check(**tolerances).tolerances
    order = ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly")
    hx, hy = funnel_reference.tube_halfwidths(
        x, y, funnel_reference.get_data_char(x, y), [options[name] for name in order]
    )
    assert result.half_widths() == {"t": (min(hx), max(hx)), "y": (min(hy), max(hy))}


@pytest.mark.parametrize("x_range", [None, (2.0, 7.5)])
# On the reference's own lines the smallest margin is won by a hair.
@pytest.mark.parametrize("on_lines", [False, True], ids=["noisy", "on the reference's lines"])
def test_margins_are_measured_against_the_bounds_the_verdict_uses(x_range, on_lines):
    """Noisy test points, some outside, some NaN, some beyond the range: every margin, and the smallest,
    as the model gives them."""
    rng = np.random.default_rng(7)
    t_ref = np.linspace(0, 10, 400)
    t = np.sort(rng.uniform(-0.5, 10.5, 1500))
    if on_lines:
        # Both ends too, where the funnel is one half-width wide: two margins of 1 within rounding.
        t = np.concatenate([[0.0], t[(t > 0) & (t < 10)], [10.0]])
    y_ref = np.sin(t_ref) + 0.3
    y = np.interp(t, t_ref, y_ref) if on_lines else np.sin(t) + 0.3 + rng.normal(0, 0.004, len(t))
    y[1::97] = np.nan
    result = vf.compare((t_ref, y_ref), (t, y), x_range=x_range)
    assert (result.failing_count > 0) != on_lines
    model = _model_margins(result)
    np.testing.assert_array_equal(result.margins(), model)
    where = int(np.nanargmin(model))
    assert (result.margin, result.margin_t) == (model[where], result.test.t[where])


def _random_curve(seed, points=60):
    """A random walk with vertical steps: repeated abscissae where the ordinate jumps."""
    rng = np.random.default_rng(seed)
    t = np.cumsum(rng.choice([0.0, 0.1, 0.5, 1.0], points))
    return t, np.cumsum(rng.normal(0, 1, points))


EVENT_CURVES = [
    pytest.param(([0, 1, 2, 3, 3, 4, 5, 6], [0, 0, 0, 0, 1, 1, 1, 1]), id="step"),
    pytest.param(([0, 1, 2, 2, 2.5, 3, 3, 4, 5], [0, 0, 0, 5, 5, 5, 0, 0, 0]), id="pulse"),
    pytest.param((np.linspace(0, 10, 50), np.full(50, 2.0)), id="flat"),
    pytest.param(_random_curve(5), id="random"),
    # Long enough that the smallest margin is found past most points unexamined.
    pytest.param(_random_curve(6, 5000), id="long random"),
    # Where the rounding of the bounds' interpolation is no longer relative.
    *(
        pytest.param((t, y * scale), id=f"long random x {scale:g}")
        for t, y in [_random_curve(7, 3000)]
        for scale in (1e-300, 1e300)
    ),
]


@pytest.mark.parametrize("curve", EVENT_CURVES)
@pytest.mark.parametrize(
    "tolerances",
    [{}, {"ltoly": 0.05, "atoly": 1e-3}, {"atolx": 0.3, "atoly": 0.01, "x_range": (0.5, 4.5)}],
    ids=["defaults", "point-relative", "wide along t, a range"],
)
def test_margins_at_events_mean_tolerances_to_spare(curve, tolerances):
    """A test equal to its reference has a margin of at least 1 at every point, the points of a step
    included (not the step's height over the tolerance); a test moved off it by noise of about a
    half-width has a negative margin exactly where it fails, and none that is NaN in the range."""
    t, y = (np.asarray(a, dtype=float) for a in curve)
    same = vf.compare((t, y), (t, y), **tolerances)
    margins = same.margins()
    inside = ~np.isnan(margins)
    assert same.passed and inside.any() and (margins[inside] >= 1).all()
    half = same.half_widths()["y"][0]
    rng = np.random.default_rng(3)
    for scale in (0.5, 1.0, 2.0):
        moved = vf.compare((t, y), (t, y + rng.normal(0, scale * half, len(t))), **tolerances)
        margins = moved.margins()
        np.testing.assert_array_equal(np.isnan(margins), ~inside)
        np.testing.assert_array_equal(margins < 0, moved.failing_mask())


_SUMMARIES = (
    "nan_reference",
    "inf_reference",
    "nan_test",
    "inf_test",
    "non_finite_bounds",
    "max_error",
    "first_failure",
    "failing_count",
    "margin",
    "margin_t",
)


@pytest.mark.parametrize("curve", EVENT_CURVES)
@pytest.mark.parametrize("spoil", ["none", "noise", "nan and inf"])
@pytest.mark.parametrize("options", [{}, {"ltoly": 0.05, "atoly": 1e-3}, {"atolx": 0.3, "x_range": (0.5, 4.5)}])
def test_summaries_taken_at_once_are_those_taken_one_by_one(curve, spoil, options):
    """What a batch lists of every variable comes from one kernel call; it is what each summary gives
    when asked for alone (the smallest margin the first of the whole array's smallest)."""
    t, y = (np.asarray(a, dtype=float) for a in curve)
    y_test = y + np.random.default_rng(4).normal(0, 0.0 if spoil == "none" else 0.01, len(t))
    y_ref = y.copy()
    if spoil == "nan and inf":
        y_test[len(t) // 2], y_ref[len(t) // 3], y_test[-2] = np.nan, np.inf, -np.inf
    alone, at_once = (vf.compare((t, y_ref), (t, y_test), **options) for _ in range(2))
    summarise(at_once)
    assert [repr(getattr(at_once, name)) for name in _SUMMARIES] == [repr(getattr(alone, name)) for name in _SUMMARIES]
    assert repr(at_once.half_widths()) == repr(alone.half_widths())
    margins = alone.margins()
    if not np.isnan(margins).all():
        where = int(np.nanargmin(margins))
        assert (at_once.margin, at_once.margin_t) == (margins[where], alone.test.t[where])


# --- immutability ------------------------------------------------------------------------


def test_result_is_immutable():
    """Fields cannot be reassigned and no array can be written."""
    result = vf.compare((R_T, R_Y), (T, Y))
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.status = vf.Status.FAIL
    for curve in (result.lower, result.upper, result.errors, result.reference, result.test):
        for array in curve:
            with pytest.raises(ValueError, match="read-only"):
                array[0] = 1.0
    with pytest.raises(TypeError):
        result.tolerances["atolx"] = 1.0


def test_callers_arrays_stay_writeable():
    """Freezing the result never changes the flags of the caller's own arrays."""
    t, y = R_T.copy(), R_Y.copy()
    vf.compare((t, y), (T, Y))
    assert t.flags.writeable and y.flags.writeable


def test_result_keeps_what_was_compared_when_the_caller_writes_afterwards():
    """Summaries and curves are made on first access, yet writing the caller's
    arrays after compare() returns changes nothing the result reports."""
    arrays = [R_T.copy(), R_Y.copy(), T.copy(), raised()]
    result = vf.compare(arrays[:2], arrays[2:])
    rejected = vf.compare(arrays[:2], (arrays[2][::-1].copy(), arrays[3]))
    for array in arrays:
        array[:] = np.nan
    untouched = vf.compare((R_T, R_Y), (T, raised()))
    assert repr(result) == repr(untouched) and result.first_failure == 1.0 and result.max_error > 0
    assert result.reference.t.tolist() == R_T.tolist() and result.test.t.tolist() == T.tolist()
    assert result.test.y.tolist() == raised().tolist()
    assert rejected.status is vf.Status.NON_MONOTONIC and rejected.test.t.tolist() == T[::-1].tolist()


def test_strided_float64_curves_compare_as_their_copies():
    """Views with a stride (columns of a 2-D block) give the result of contiguous copies."""
    block = np.column_stack([T, raised(), T])
    strided = vf.compare((R_T, R_Y), (block[:, 0], block[:, 1]))
    contiguous = vf.compare((R_T, R_Y), (T, raised()))
    assert repr(strided) == repr(contiguous) and strided.errors.y.tolist() == contiguous.errors.y.tolist()
    assert strided.test.y.flags.c_contiguous


def test_result_pickles_and_stays_frozen():
    """A result that crosses a process boundary is equal in content and still read-only."""
    result = pickle.loads(pickle.dumps(vf.compare((R_T, R_Y), (T, raised()))))
    assert result.status is vf.Status.FAIL and result.first_failure == 1.0
    assert not result.errors.y.flags.writeable
    original = vf.compare((R_T, R_Y), (T, raised()))
    assert repr(result) == repr(original) and pickle.dumps(result) == pickle.dumps(original)


def test_package_metadata():
    """__version__ is the distribution version; stubs and py.typed are installed."""
    import importlib.metadata
    import importlib.resources
    import pathlib

    assert vf.__version__ == importlib.metadata.version("velmora-funnel") == "1.0.0b10"
    assert importlib.resources.files("velmora_funnel").joinpath("py.typed").is_file()
    assert (pathlib.Path(vfm.__file__).parent / "_velmora_funnel-stubs" / "__init__.pyi").is_file()
    for name in vf.__all__:
        if name != "__version__" and not name.isupper():
            assert getattr(vf, name).__doc__, name
