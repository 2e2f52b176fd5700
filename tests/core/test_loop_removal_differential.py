"""The fast loop removal and the streamed funnel against the plain transcription.

remove_loop cuts loops around a movable gap and, inside the bounds, runs a
stretch behind the corner tracing, resuming wherever the points traced so far
leave a test undecided. remove_loop_in_place moves the tail of both vectors
at every cut and insertion and runs on the finished corner curve: it is the
oracle. Both must give the same lengths and the same doubles (any NaN matches
any NaN), on curves made to loop a lot: noise, alternating peaks and valleys,
half-widths far wider than the point spacing, vertical steps, repeated
points, NaN and infinities. Curves run to a few thousand points, so that
loops, excursions and cuts straddle the stretches of the streamed tracing.

The default hypothesis profile keeps this quick; VELMORA_HEAVY=1 runs the
heavy one.
"""

import math

import numpy as np
from hypothesis import example, given
from hypothesis import strategies as st

import _velmora_funnel as vf
from bitwise import assert_same_curve
from velmora_funnel import _core_testing as core

NAN, INF = math.nan, math.inf
X_SCALE_MIN = 1e-5


# --- generated curves ----------------------------------------------------------

SHAPES = ["noise", "alternating", "steps", "repeats", "random-walk"]


@st.composite
def references(draw, max_size=3000):
    """Reference curves (non-decreasing abscissae) shaped to fold their corner curves."""
    # Short ones, and ones spanning several of the 256-point stretches that the
    # bounds are traced in.
    n = draw(st.one_of(st.integers(2, 40), st.integers(240, max_size)))
    shape = draw(st.sampled_from(SHAPES))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    spacing = draw(st.sampled_from([1.0, 1e-3, 1e-7, 1e4]))
    if shape == "steps":  # levels joined by vertical steps: repeated abscissae
        k = np.arange(n)
        run = draw(st.integers(1, 12))
        x = (k - k // run).astype(float)
        y = rng.integers(0, 4, n // run + 1).astype(float)[k // run]
    elif shape == "repeats":  # whole points repeated, on an integer grid
        x = np.sort(rng.integers(0, max(n // 3, 1), n)).astype(float)
        y = np.floor(x / 2.0) + rng.integers(0, 2, n)
    else:
        x = np.cumsum(rng.choice([0.0, 0.5, 1.0, 1.0, 2.0], n))
        if shape == "noise":
            y = np.sin(x / 50.0) + 0.5 * rng.standard_normal(n)
        elif shape == "alternating":
            y = np.where(np.arange(n) % 2 == 0, 1.0, -1.0) * rng.uniform(0.5, 2.0, n)
        else:
            y = np.cumsum(rng.standard_normal(n))
    x = x * spacing + draw(st.sampled_from([0.0, -1e3, 7.5]))
    y = y * draw(st.sampled_from([1.0, 1e-9, 1e6]))
    # NaN and infinities in the ordinates, where the corner tests must cope.
    for _ in range(draw(st.integers(0, 3))):
        if draw(st.integers(0, 2)) == 0:
            y[draw(st.integers(0, n - 1))] = draw(st.sampled_from([NAN, INF, -INF]))
    return x, y


# From below the smallness threshold to hundreds of point spacings.
halfwidths = st.sampled_from([1e-12, 1e-10, 0.3, 1.0, 3.0, 25.0, 400.0])


@st.composite
def loopy_curves(draw):
    """Arbitrary polylines with frequent backward steps, vertical segments,
    repeated points, NaN and infinities: not necessarily corner curves."""
    n = draw(st.one_of(st.integers(0, 40), st.integers(200, 1500)))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    back = draw(st.sampled_from([0.1, 0.3, 0.5]))
    steps = np.where(rng.random(n) < back, -rng.exponential(3.0, n), rng.exponential(1.0, n))
    steps[rng.random(n) < 0.1] = 0.0  # vertical segments
    x = np.cumsum(steps)
    y = np.cumsum(rng.standard_normal(n))
    dup = rng.random(n) < 0.05  # repeated points
    x[1:][dup[1:]] = x[:-1][dup[1:]]
    y[1:][dup[1:]] = y[:-1][dup[1:]]
    for _ in range(draw(st.integers(0, 3))):
        if n and draw(st.integers(0, 2)) == 0:
            axis = x if draw(st.booleans()) else y
            axis[draw(st.integers(0, n - 1))] = draw(st.sampled_from([NAN, INF, -INF]))
    return x.tolist(), y.tolist()


def scaled(values, x_mag):
    return [v / x_mag for v in values] if x_mag > X_SCALE_MIN else list(values)


def corner_curves(x, y, hx, hy, x_mag):
    """The corner curves of both sides as the bounds start from them."""
    xs, ws = scaled(x, x_mag), scaled(hx, x_mag)
    return [core.build_corner_curve(xs, list(y), ws, list(hy), upper) for upper in (False, True)]


def transcribed_bounds(x, y, hx, hy, x_mag):
    """The bounds the plain way: corner curves, tail-moving loop removal, scaling back."""
    bounds = []
    for upper, (cx, cy) in zip((False, True), corner_curves(x, y, hx, hy, x_mag)):
        rx, ry = core.remove_loop_in_place(cx, cy, upper)
        if x_mag > X_SCALE_MIN:
            rx = [v * x_mag for v in rx]
        bounds.append((rx, ry))
    return bounds


# --- loop removal on its own ------------------------------------------------------


@given(loopy_curves(), st.booleans())
@example(([0.25, 1.25, 0.75, 1.75], [-0.1, 0.9, 0.9, -0.1]), False)
@example(([1, 2, 3, 0.5, 0.8, 1.2], [1, 1.5, 2, 3, 3, -5]), False)
@example(([0, 1, 1, 3, 1, 1, 4], [0, 0, 2, 2, 3, -1, -1]), False)
def test_fast_removal_matches_on_loopy_polylines(curve, upper):
    """Any polyline, folds everywhere: the gap and the tail moves give the same curve."""
    x, y = curve
    assert_same_curve(core.remove_loop_in_place(x, y, upper), core.remove_loop(x, y, upper), "removed")


@given(references(), halfwidths, halfwidths)
def test_fast_removal_matches_on_corner_curves(reference, hx, hy):
    """The curves the removal really gets: corners of noisy, alternating and stepped
    references with half-widths up to hundreds of point spacings."""
    x, y = reference
    n = len(x)
    for upper, (cx, cy) in zip((False, True), corner_curves(x, y, [hx] * n, [hy] * n, 1.0)):
        expected = core.remove_loop_in_place(cx, cy, upper)
        assert_same_curve(expected, core.remove_loop(cx, cy, upper), "upper" if upper else "lower")


# --- the streamed bounds --------------------------------------------------------


def stepped_reference(n, run, seed):
    """Levels of `run` points each, joined by vertical steps, at a spacing of 1e-7."""
    k = np.arange(n)
    y = np.random.default_rng(seed).integers(0, 4, n // run + 1).astype(float)[k // run]
    return (k - k // run).astype(float) * 1e-7, y


@given(references(), halfwidths, halfwidths, st.sampled_from([1.0, 1e-6, 3.5e3, NAN]), st.booleans())
# Half-widths of thousands of point spacings: excursions still open when a
# stretch ends, whose end is known only once later stretches are traced.
@example(stepped_reference(600, 10, 0), 1.0, 3.0, 3.5e3, True)
def test_streamed_bounds_match_the_transcription(reference, hx, hy, x_mag, varying):
    """build_bounds traces both sides in one pass and removes loops a stretch behind;
    the result is that of the whole corner curves after the plain removal."""
    x, y = reference
    n = len(x)
    rng = np.random.default_rng(n)
    hxs = (hx * rng.uniform(0.5, 2.0, n) if varying else np.full(n, hx)).tolist()
    hys = (hy * rng.uniform(0.5, 2.0, n) if varying else np.full(n, hy)).tolist()
    lower, upper = core.build_bounds(x.tolist(), y.tolist(), hxs, hys, x_mag)
    want_lower, want_upper = transcribed_bounds(x.tolist(), y.tolist(), hxs, hys, x_mag)
    assert_same_curve(want_lower, lower, "lower")
    assert_same_curve(want_upper, upper, "upper")


# --- the whole comparison -----------------------------------------------------


def transcribed_compare(tr, yr, tt, yt, tolerances):
    """compare() step by step from the plain pieces (validated inputs, no range)."""
    r = core.filter_to_range(tr, yr, -INF, INF)
    data = core.get_data_char(*r)
    hx, hy = core.tube_halfwidths(r[0], r[1], data, tolerances)
    lower, upper = transcribed_bounds(r[0], r[1], hx, hy, data[2])
    errors = core.compute_errors(tt, yt, lower[0], lower[1], upper[0], upper[1])
    status = core.classify_status(tr, tt, errors[1], tr[0], tr[-1])
    return status, lower, upper, errors


TOLERANCE_SETS = [
    (0.0, 0.0, 0.0, 0.0, 0.002, 0.002),  # the defaults: the same half-width everywhere
    (0.0, 0.01, 0.001, 0.0, 0.002, 0.0),  # a local x tolerance: one per point
    (0.0, 0.0, 0.0, 0.05, 0.0, 0.0),  # a local y tolerance, zero for a zero ordinate
    (0.1, 0.0, 0.0, 0.0, 0.0, 0.0),  # absolute x only: the y half-width falls to the floor
]


@given(references(max_size=1500), st.sampled_from(TOLERANCE_SETS), st.integers(0, 2**32 - 1))
def test_compare_matches_the_transcription(reference, tolerances, seed):
    """The fused path of compare (validation, data characteristics, half-widths evaluated
    while tracing, streamed bounds, errors with the verdict) against the pieces."""
    tr, yr = reference
    rng = np.random.default_rng(seed)
    tt = np.sort(rng.uniform(tr[0] - 1.0, tr[-1] + 1.0, max(len(tr), 2)))
    yt = np.interp(tt, tr, np.nan_to_num(yr)) + 0.05 * rng.standard_normal(len(tt))
    keys = ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly")
    result = vf.compare(tr, yr, tt, yt, {"tolerances": dict(zip(keys, tolerances))})
    if result["status"] >= 10:  # a reference whose abscissae all coincide
        assert tr[0] == tr[-1]
        return
    status, lower, upper, errors = transcribed_compare(tr.tolist(), yr.tolist(), tt.tolist(), yt.tolist(), tolerances)
    assert result["status"] == status
    assert_same_curve(lower, result["lower"], "lower")
    assert_same_curve(upper, result["upper"], "upper")
    assert_same_curve(errors, result["errors"], "errors")
