"""Properties of compare that hold for any curves, checked on generated inputs."""

import math

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import _velmora_funnel as vf
from velmora_funnel import _core_testing as core

finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False, allow_infinity=False)
anything = st.floats(allow_nan=True, allow_infinity=True, width=64)
tolerance = st.one_of(
    st.just(0.0), st.floats(min_value=0, max_value=10), st.floats(min_value=-1, max_value=1), anything
)


@st.composite
def curves(draw, values=finite, min_size=2, max_size=60):
    """Non-decreasing abscissae (with repeats: vertical steps) and arbitrary ordinates."""
    n = draw(st.integers(min_size, max_size))
    start = draw(st.floats(min_value=-1e3, max_value=1e3))
    scale = draw(st.sampled_from([1e-9, 1e-6, 1e-3, 1.0, 1e3, 1e6]))
    steps = draw(st.lists(st.sampled_from([0.0, 0.1, 0.5, 1.0, 2.0, 7.0]), min_size=n - 1, max_size=n - 1))
    t = np.concatenate([[start], start + scale * np.cumsum(steps)]) if n > 1 else np.array([start])
    y = np.array(draw(st.lists(values, min_size=n, max_size=n)), dtype=np.float64)
    return np.ascontiguousarray(t, dtype=np.float64), y


@st.composite
def options(draw):
    tol = {k: draw(tolerance) for k in ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly")}
    rng = draw(st.one_of(st.none(), st.fixed_dictionaries({"lo": anything, "hi": anything})))
    return {"tolerances": tol, "x_range": rng}


@given(curves())
def test_reference_compared_with_itself_passes(curve):
    """Holds where the abscissae are resolved: the funnel's closeness tests compare abscissae
    with a threshold of 1e-10, after dividing them by their largest magnitude when that exceeds
    1e-5, so points closer than that resolution count as one abscissa."""
    t, y = curve
    assume(t[-1] > t[0])
    x_mag = np.abs(t).max()
    resolution = 1e-10 * (x_mag if x_mag > 1e-5 else 1.0)
    gaps = np.diff(t)
    assume(gaps[gaps > 0].min() > 1e3 * resolution)
    r = vf.compare(t, y, t, y)
    assert r["status"] == vf.STATUS_PASS, r


@given(curves(), curves(), st.one_of(st.none(), options()))
def test_error_curve_has_the_test_abscissae(ref, test, opts):
    r = vf.compare(ref[0], ref[1], test[0], test[1], opts)
    if r["status"] in (vf.STATUS_PASS, vf.STATUS_FAIL, vf.STATUS_MISSING_REFERENCE, vf.STATUS_MISSING_TEST):
        assert r["errors"][0].tobytes() == test[0].tobytes()
        assert len(r["lower"][0]) >= 1 and len(r["upper"][0]) >= 1
    else:
        assert all(len(a) == 0 for key in ("lower", "upper", "errors") for a in r[key])


@given(curves(), curves())
def test_non_zero_errors_lie_outside_the_bounds_they_were_measured_against(ref, test):
    r = vf.compare(ref[0], ref[1], test[0], test[1])
    assume(r["status"] < 10)
    (lx, ly), (ux, uy) = r["lower"], r["upper"]
    low = np.array(core.interpolate_clamped(lx.tolist(), ly.tolist(), test[0].tolist()))
    high = np.array(core.interpolate_clamped(ux.tolist(), uy.tolist(), test[0].tolist()))
    for v, e, lo, hi in zip(test[1], r["errors"][1], low, high):
        if e > 0:
            assert v > hi and e == v - hi
        elif e < 0:
            assert lo > v and e == v - lo
        else:
            assert not (v > hi) and not (lo > v)


@given(curves(values=anything), curves(values=anything), st.one_of(st.none(), options()))
def test_any_curves_and_options_give_a_status(ref, test, opts):
    """NaN, infinities, huge and tiny magnitudes, any tolerances and ranges: an answer, never a crash."""
    r = vf.compare(ref[0], ref[1], test[0], test[1], opts)
    assert r["status"] in (-1, 0, 1, 2, 10, 12, 14)


@pytest.mark.parametrize("bad", [math.inf, -math.inf, math.nan])
@pytest.mark.parametrize("side", ["reference", "test"])
@pytest.mark.parametrize("where", [0, 1, 2])
def test_non_finite_abscissa_is_non_monotonic(bad, side, where):
    """An infinite abscissa would make every bound abscissa NaN and let anything pass: rejected."""
    t = np.array([0.0, 1.0, 2.0])
    bad_t = t.copy()
    bad_t[where] = bad
    ref_t, test_t = (bad_t, t) if side == "reference" else (t, bad_t)
    r = vf.compare(ref_t, np.zeros(3), test_t, np.full(3, 9.0))
    assert r["status"] == vf.STATUS_NON_MONOTONIC
