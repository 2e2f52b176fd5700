"""The C++ funnel core against the plain Python model in funnel_reference.py.

Every step of the funnel is run on both sides with the same generated inputs
and the results must agree bit for bit (a not-a-number matches any
not-a-number). The generators favour what the worked examples leave out:
repeated and vertically stacked points, flat runs, alternating peaks and
valleys, half-widths far wider than the point spacing (so corner curves fold
into loops), small integer grids (so ties and coincidences are frequent), and
not-a-number or infinite values.
"""

import math

import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import _velmora_funnel as vf
import funnel_reference as ref
import velmora_funnel as package
from bitwise import assert_same_curve, assert_same_floats
from velmora_funnel import _core_testing as core

NAN, INF = math.nan, math.inf


# --- bitwise equality ----------------------------------------------------------


# --- generators -------------------------------------------------------------------

# Half-integers in [-3, 3]: ties, repeats and equal slopes come up constantly.
grid = st.integers(-6, 6).map(lambda k: k * 0.5)
special = st.sampled_from([NAN, INF, -INF, 0.0, -0.0, 1e-11, -1e-11, 1e300])
plain = st.floats(-10, 10, allow_nan=False, allow_infinity=False)
coordinate = st.one_of(grid, plain)
anything = st.one_of(grid, plain, special)

# From far below the smallness threshold to far wider than the point spacing.
halfwidth_size = st.sampled_from([0.0, 1e-11, 1e-10, 0.05, 0.25, 0.5, 1.0, 2.0, 5.0, 50.0])
odd_halfwidth = st.one_of(halfwidth_size, plain, special)


@st.composite
def abscissae(draw, n, sorted_only=True):
    """Non-decreasing abscissae with vertical steps and near-coincidences; or, when
    allowed, arbitrary ones."""
    if not sorted_only and draw(st.integers(0, 4)) == 0:
        return draw(st.lists(anything if draw(st.booleans()) else grid, min_size=n, max_size=n))
    start = draw(st.one_of(grid, plain))
    scale = draw(st.sampled_from([1.0, 1.0, 1.0, 1e-6, 4e-6, 1e-3, 1e3, 0.1]))
    steps = draw(
        st.lists(
            st.one_of(st.sampled_from([0.0, 0.0, 0.5, 1.0, 1.0, 2.0, 3.0, 1e-11]), st.floats(0, 3)),
            min_size=max(n - 1, 0),
            max_size=max(n - 1, 0),
        )
    )
    xs = [start * scale]
    for step in steps:
        xs.append(xs[-1] + step * scale)
    return xs[:n]


@st.composite
def ordinates(draw, n):
    """Alternating peaks and valleys, flat runs, grid values or noise."""
    kind = draw(st.sampled_from(["zigzag", "flat runs", "grid", "noise"]))
    if kind == "zigzag":
        amplitude = draw(st.sampled_from([0.5, 1.0, 2.0, 1e-3]))
        noise = draw(st.lists(st.sampled_from([0.0, 0.0, 0.5, -0.5, 1e-11]), min_size=n, max_size=n))
        return [(amplitude if i % 2 else -amplitude) + noise[i] for i in range(n)]
    if kind == "flat runs":
        levels = draw(st.lists(grid, min_size=1, max_size=3))
        return [levels[draw(st.integers(0, len(levels) - 1))] for _ in range(n)]
    if kind == "grid":
        return draw(st.lists(grid, min_size=n, max_size=n))
    return draw(st.lists(coordinate, min_size=n, max_size=n))


def _sprinkle(draw, values, pool=special):
    """Now and then replace one value by a not-a-number, an infinity or a signed zero."""
    values = list(values)
    if values and draw(st.integers(0, 5)) == 0:
        values[draw(st.integers(0, len(values) - 1))] = draw(pool)
    return values


@st.composite
def halfwidths(draw, n, values=None):
    """Uniform or per-point half-widths, odd ones (negative, NaN, inf), or ones that
    level the boundary heights of the given ordinates."""
    kind = draw(st.sampled_from(["uniform", "per point", "odd", "levelled"]))
    if kind == "uniform":
        return [draw(halfwidth_size)] * n
    if kind == "per point":
        return draw(st.lists(halfwidth_size, min_size=n, max_size=n))
    if kind == "levelled" and values is not None:
        # Rectangles reaching exactly to one level: the bound runs horizontally
        # there, which is where corners get merged away.
        level = draw(grid)
        return [abs(level - v) if not math.isnan(v) else 0.0 for v in values]
    return draw(st.lists(odd_halfwidth, min_size=n, max_size=n))


@st.composite
def corner_inputs(draw, min_size=1, max_size=10, sorted_only=False):
    """(x, y, hx, hy) of a small reference curve."""
    n = draw(st.integers(min_size, max_size))
    x = _sprinkle(draw, draw(abscissae(n, sorted_only=sorted_only)))
    y = _sprinkle(draw, draw(ordinates(n)))
    hx = draw(halfwidths(n))
    hy = draw(halfwidths(n, values=y))
    return x, y, hx, hy


@st.composite
def arbitrary_curves(draw, max_size=12):
    """Any curve at all: unsorted abscissae, coincident points, stray NaN/inf."""
    n = draw(st.integers(0, max_size))
    values = st.one_of(grid, grid, anything)
    return draw(st.lists(values, min_size=n, max_size=n)), draw(st.lists(values, min_size=n, max_size=n))


@st.composite
def folded_curves(draw):
    """Two or three rightward runs on the half-integer grid, each starting at or left of
    an abscissa of the run before it and lifted or lowered as a whole: loops whose
    branches share abscissae (ties), with vertical steps and, now and then, abscissae
    nudged by less than the closeness threshold."""
    x, y = [], []
    for _ in range(draw(st.integers(2, 3))):
        if x and draw(st.booleans()):
            # Retrace abscissae of the run before, one of them doubled into a vertical step.
            run = x[draw(st.integers(0, len(x) - 1)) :]
            run = sorted(run + [draw(st.sampled_from(run))])[: draw(st.integers(1, 5))]
        else:
            start = draw(st.sampled_from(x)) - draw(st.sampled_from([0, 0, 1, 2])) if x else 0
            steps = draw(st.lists(st.sampled_from([0, 0, 1, 1, 2]), min_size=0, max_size=4))
            run = [start]
            for step in steps:
                run.append(run[-1] + step)
        size = len(run)
        lift = draw(st.sampled_from([-2, -1, 0, 1, 2]))
        x += run
        y += [v + lift for v in draw(st.lists(grid, min_size=size, max_size=size))]
    x = [v * 0.5 for v in x]
    for _ in range(draw(st.integers(0, 2))):
        i = draw(st.integers(0, len(x) - 1))
        x[i] += draw(st.sampled_from([1e-11, -1e-11, 5e-11]))
    return x, y


# --- half-widths and data characteristics -------------------------------------------


@given(corner_inputs(sorted_only=False), st.tuples(*[odd_halfwidth] * 6))
@example(([NAN, 0.0], [1.5, 1.5], [0.0, 0.0], [0.0, 0.0]), (0.0, 0.0, 0.0, 0.0, 0.0, 1e-10))
@example(([0.0, 1.0], [1.5, 1.5], [0.0, 0.0], [0.0, 0.0]), (0.0, 0.0, 0.0, 0.0, 0.0, -1e-10))
def test_data_char_and_halfwidths_match(inputs, tolerances):
    """Spans, magnitudes and per-point half-widths, NaN-ignoring maxima included."""
    x, y, _, _ = inputs
    data_char = ref.get_data_char(x, y)
    assert_same_floats(data_char, core.get_data_char(x, y), "data_char")
    assert_same_curve(
        ref.tube_halfwidths(x, y, data_char, tolerances),
        core.tube_halfwidths(x, y, data_char, tolerances),
        "halfwidths",
    )


# --- corner curves ------------------------------------------------------------------


@pytest.mark.parametrize("upper", [False, True], ids=["lower", "upper"])
@given(inputs=corner_inputs(sorted_only=False))
def test_corner_curve_matches(inputs, upper):
    """Corner table cells, straight runs, merges, repeated points and NaN/inf paths."""
    x, y, hx, hy = inputs
    assert_same_curve(
        ref.build_corner_curve(x, y, hx, hy, upper),
        core.build_corner_curve(x, y, hx, hy, upper),
        "corner curve",
    )


# --- loop removal -----------------------------------------------------------------------


def _assert_loop_removal_matches(x, y, upper):
    rx, ry = list(x), list(y)
    ref.remove_loop(rx, ry, upper)
    assert_same_curve((rx, ry), core.remove_loop(x, y, upper), "remove_loop")
    assert_same_curve((rx, ry), core.remove_loop_in_place(x, y, upper), "remove_loop_in_place")


@pytest.mark.parametrize("upper", [False, True], ids=["lower", "upper"])
@given(inputs=corner_inputs(min_size=2, max_size=12, sorted_only=True))
def test_loop_removal_of_corner_curves_matches(inputs, upper):
    """Loops as the funnel produces them: corner curves of references with wide half-widths."""
    x, y, hx, hy = inputs
    corner_x, corner_y = ref.build_corner_curve(x, y, hx, hy, upper)
    _assert_loop_removal_matches(corner_x, corner_y, upper)


@pytest.mark.parametrize("upper", [False, True], ids=["lower", "upper"])
@given(curve=st.one_of(arbitrary_curves(), folded_curves()))
@example(curve=([0.25, 1.25, 0.75, 1.75], [-0.1, 0.9, 0.9, -0.1]))
@example(curve=([1.0, 2.0, 3.0, 0.5, 0.8, 1.2], [1.0, 1.5, 2.0, 3.0, 3.0, -5.0]))
def test_loop_removal_of_arbitrary_curves_matches(curve, upper):
    """Walk ties, vertical closing and crossing segments, merges and restarts on any curve."""
    _assert_loop_removal_matches(curve[0], curve[1], upper)


# Rare cells of the loop removal, each pinned so that even a short run meets it.
RARE_LOOPS = [
    pytest.param(
        [0.0, 0.5, -0.5, 0.0, 0.0], [-2.0, -2.0, -1.0, -1.0, -1.5], False, id="tie-kept-by-vertical-step-lower"
    ),
    pytest.param(
        [0.0, 0.0, 0.5, -0.5, 0.0, 0.0],
        [-1.5, -2.0, -2.0, -2.0, -2.0, -1.5],
        True,
        id="tie-kept-by-vertical-step-upper",
    ),
    # The later point (1, 1) sits exactly level with the earlier one: the tie is
    # kept (the earlier branch is not above it), so the whole loop is cut.
    pytest.param(
        [1.0, 1.0, 3.0, 0.0, 1.0, 2.0], [1.0, 2.0, 1.0, 0.0, 1.0, 3.0], True, id="tie-at-equal-height-kept-upper"
    ),
    pytest.param(
        [1.0, 1.0, 3.0, 0.0, 1.0, 2.0], [-1.0, -2.0, -1.0, 0.0, -1.0, -3.0], False, id="tie-at-equal-height-kept-lower"
    ),
    pytest.param(
        [1.0, 1.0, 0.0, 0.5, 0.0], [-1.0, -3.5, 3.5, 2.5, -1.0], False, id="crossing-slopes-of-equal-magnitude"
    ),
    # Slopes 1e-10 and 0: exactly the threshold apart, so not parallel, and the
    # crossing point (0.5, 5e-11) is inserted.
    pytest.param([0.0, 1.0, 0.75, 2.0], [0.0, 1e-10, 5e-11, 5e-11], False, id="slopes-exactly-1e-10-apart-cross"),
    pytest.param(
        [0.0, 0.0, -0.5, 0.0, 0.0, -0.5, 0.0],
        [0.0, 0.0, -INF, 0.0, 0.0, 0.0, 0.0],
        True,
        id="restart-after-cut-to-start",
    ),
    pytest.param([1.0, 2.0, 3.0, 0.5, 0.8, 1.2], [1.0, 1.5, 2.0, 3.0, 3.0, -5.0], False, id="cut-to-single-point"),
    pytest.param(
        [0.5, 0.5, 0.0, 0.49999999999, 0.5],
        [-2.5, -2.0, -2.0, -2.0, -2.5],
        False,
        id="next-step-vertical-within-threshold",
    ),
    pytest.param(
        [-1e-11, 0.5, -0.5, 0.0, 0.0], [0.0, 0.5, -0.5, 0.0, 0.0], True, id="candidate-just-left-is-passed-over"
    ),
]


@pytest.mark.parametrize(("x", "y", "upper"), RARE_LOOPS)
def test_rare_loop_cases_match(x, y, upper):
    """Tie rule with a vertical next step, equal slope magnitudes at the crossing, restarts."""
    _assert_loop_removal_matches(x, y, upper)


# --- bounds ---------------------------------------------------------------------------


@given(
    inputs=corner_inputs(min_size=2, max_size=10, sorted_only=True),
    x_mag=st.one_of(st.none(), st.sampled_from([1e-5, 1.00001e-5, 1e-6, NAN, 3.0, 0.5])),
)
@example(([0.0, 5e-6, 7e-6], [1.0, 0.5, 0.5], [1e-11] * 3, [0.1] * 3), 1e-5)  # at the threshold: not normalised
def test_bounds_match(inputs, x_mag):
    """Normalisation of the abscissae, both corner curves, their loop removal and the rescale."""
    x, y, hx, hy = inputs
    if x_mag is None:
        x_mag = ref.get_data_char(x, y)[2]
    expected_lower, expected_upper = ref.build_bounds(x, y, hx, hy, x_mag)
    actual_lower, actual_upper = core.build_bounds(x, y, hx, hy, x_mag)
    assert_same_curve(expected_lower, actual_lower, "lower")
    assert_same_curve(expected_upper, actual_upper, "upper")


# --- error curve --------------------------------------------------------------------------


@st.composite
def bound_and_queries(draw):
    n = draw(st.integers(1, 8))
    X = _sprinkle(draw, draw(abscissae(n, sorted_only=False)))
    Y = _sprinkle(draw, draw(st.lists(anything, min_size=n, max_size=n)))
    m = draw(st.integers(0, 10))
    queries = draw(st.lists(st.one_of(st.sampled_from(X), grid, plain), min_size=m, max_size=m))
    if draw(st.integers(0, 4)):
        queries.sort()
    return X, Y, _sprinkle(draw, queries)


@given(bound_and_queries())
@example(([NAN], [2.0], [0.0, 1.0]))
@example(([0.0, 1.0, 1.0, 2.0], [0.0, 1.0, 3.0, 4.0], [1.0, 1.5]))
@example(([0.0, -0.5], [0.0, 0.0], [NAN]))  # a NaN query reaches a backward segment
@example(([0.0, 1.0, 2.0], [0.1, -0.3, 0.5], [1.0]))  # at an inner abscissa: the segment before it
@example(([0.0, 1e-10, 1.0], [0.0, 1.0, 2.0], [5e-11]))  # a segment exactly 1e-10 wide is interpolated
def test_interpolate_clamped_matches(case):
    """Clamping at both ends, vertical steps, near-vertical segments and single-point bounds."""
    X, Y, queries = case
    assert_same_floats(ref.interpolate_clamped(X, Y, queries), core.interpolate_clamped(X, Y, queries), "values")


@given(bound_and_queries(), bound_and_queries(), st.data())
def test_compute_errors_matches(lower, upper, data):
    """Signed errors against crossing, single-point and NaN bounds."""
    t = sorted(data.draw(st.lists(st.one_of(grid, plain), min_size=0, max_size=8)))
    y = _sprinkle(data.draw, data.draw(st.lists(coordinate, min_size=len(t), max_size=len(t))))
    assert_same_curve(
        ref.compute_errors(t, y, lower[0], lower[1], upper[0], upper[1]),
        core.compute_errors(t, y, lower[0], lower[1], upper[0], upper[1]),
        "errors",
    )


# --- driver -------------------------------------------------------------------------------


@given(arbitrary_curves(), anything, anything)
def test_filter_to_range_matches(curve, lo, hi):
    """Closed range, NaN ends retain nothing."""
    assert_same_curve(ref.filter_to_range(*curve, lo, hi), core.filter_to_range(*curve, lo, hi), "filtered")


@given(st.data())
def test_classify_status_matches(data):
    """Failure scan, then the end slack on both ends."""
    r = data.draw(abscissae(data.draw(st.integers(1, 5))))
    t = data.draw(abscissae(data.draw(st.integers(1, 5))))
    e = data.draw(st.lists(st.sampled_from([0.0, -0.0, 1.0, -0.5, NAN]), min_size=len(t), max_size=len(t)))
    lo, hi = data.draw(anything), data.draw(anything)
    assert ref.classify_status(r, t, e, lo, hi) == core.classify_status(r, t, e, lo, hi)


TOLERANCE_KEYS = ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly")
DEFAULT_TOLERANCES = (0.0, 0.0, 0.0, 0.0, 0.002, 0.002)


def options_record(options):
    """The eight values that an options dict stands for (None counts as absent)."""
    if options is None:
        return DEFAULT_TOLERANCES + (-INF, INF)
    tolerances = options.get("tolerances")
    if tolerances is None:
        values = DEFAULT_TOLERANCES
    else:
        values = tuple(0.0 if tolerances.get(k) is None else float(tolerances[k]) for k in TOLERANCE_KEYS)
    x_range = options.get("x_range")
    if x_range is None:
        return values + (-INF, INF)
    lo = -INF if x_range.get("lo") is None else float(x_range["lo"])
    hi = INF if x_range.get("hi") is None else float(x_range["hi"])
    return values + (lo, hi)


tolerance_value = st.one_of(
    st.none(),
    st.sampled_from([0.0, 0.002, 0.01, 0.1, 0.5, 2.0, -0.1, 1e-11, 1e-10, -1e-10]),
    st.floats(0, 1),
    special,
)
range_end = st.one_of(st.none(), grid, plain, special)


@st.composite
def options_dicts(draw):
    if draw(st.integers(0, 5)) == 0:
        return None
    options = {}
    if draw(st.booleans()):
        keys = draw(st.lists(st.sampled_from(TOLERANCE_KEYS), unique=True))
        options["tolerances"] = {k: draw(tolerance_value) for k in keys}
    elif draw(st.booleans()):
        options["tolerances"] = None
    if draw(st.booleans()):
        options["x_range"] = {k: draw(range_end) for k in draw(st.lists(st.sampled_from(["lo", "hi"]), unique=True))}
    return options


@st.composite
def compare_inputs(draw, min_size=0, max_size=9):
    """A reference and a test curve: often the test follows the reference closely, so
    passes, failures and missing ends all come up."""
    n = draw(st.integers(min_size, max_size))
    r = draw(abscissae(n))
    yr = draw(ordinates(n))
    kind = draw(st.sampled_from(["same abscissae", "shifted", "independent"]))
    if kind == "same abscissae":
        t = list(r)
    elif kind == "shifted":
        shift = draw(st.sampled_from([0.0, 1e-13, -1e-13, 0.5, -1.0]))
        t = [v + shift for v in r]
    else:
        t = draw(abscissae(draw(st.integers(min_size, max_size))))
    yt = [v + draw(st.sampled_from([0.0, 0.0, 0.001, -0.001, 0.5, -2.0])) for v in (yr + yr)[: len(t)]]
    if len(yt) < len(t):
        yt += draw(st.lists(grid, min_size=len(t) - len(yt), max_size=len(t) - len(yt)))
    # Now and then a NaN or infinite abscissa or ordinate, or a length mismatch.
    r, yr = _sprinkle(draw, r), _sprinkle(draw, yr)
    t, yt = _sprinkle(draw, t), _sprinkle(draw, yt)
    if draw(st.integers(0, 15)) == 0:
        yt = yt[:-1]
    return r, yr, t, yt


def _array(values):
    return np.array(values, dtype=np.float64)


@given(compare_inputs(), options_dicts())
@example(
    ([0.0, 1.0, 2.0, 3.0, 4.0], [0.0, 1.0, 0.0, 1.0, 0.0], [0.0, 1.0, 2.0, 3.0, 4.0], [0.0, 1.1, 0.0, 1.0, 0.0]),
    {"x_range": {"lo": 1.5, "hi": 3.5}},
)
@example(([0.0, 1.0, 2.0, 3.0, 4.0], [0.0] * 5, [0.0, 2.0, 4.0], [0.0] * 3), {"x_range": {"lo": 1.0, "hi": 3.0}})
@example(([0.0, INF], [0.0, 1.0], [0.0, 1.0], [0.0, 1.0]), None)
@example(([0.0, 1.0], [0.0, 1.0], [-INF, 1.0], [0.0, 1.0]), None)
# Bounds that start at different abscissae (per-point x half-widths): one
# is interpolated at -1.5, the other is not yet (and the mirror image).
@example(
    ([0.0, 2.0, 2.0], [-1.0, 3.0, -1.0], [-3.0, -1.5, 5.0], [4.0, 2.0, -2.0]),
    {"tolerances": {"ltolx": 2.0, "atoly": 0.5}},
)
@example(
    ([0.0, 2.0, 2.0], [1.0, -3.0, 1.0], [-3.0, -1.5, 5.0], [-4.0, -2.0, 2.0]),
    {"tolerances": {"ltolx": 2.0, "atoly": 0.5}},
)
# Local tolerances on both axes: a half-width per point on each.
@example(
    ([0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 0.0, 2.0], [0.0, 1.0, 2.0, 3.0], [0.0, 1.05, 0.0, 2.0]),
    {"tolerances": {"ltolx": 0.1, "ltoly": 0.1}},
)
# An infinite ordinate gets its own half-width, -inf here, and a NaN corner.
@example(
    ([0.0, 1.0, 2.0], [0.0, INF, 0.0], [0.0, 1.0, 2.0], [0.0, 0.0, 0.0]), {"tolerances": {"atoly": -INF, "rtoly": 0.0}}
)
# The range keeps two repeated points; the point after them, outside the
# range, would repeat them too and must not be read.
@example(
    ([0.0, 1.0, 1.0, 1.0 + 8e-11], [0.0, 2.0, 2.0, 2.0], [0.5, 0.75, 1.0], [2.0, 2.0, 2.0]),
    {"x_range": {"lo": 0.5, "hi": 1.0 + 5e-11}},
)
# A test point at an infinite bound of its own value is inside: error 0, not inf - inf.
@example(([0.0, 1.0, 2.0], [0.0, 0.0, INF], [0.0, 1.0, 2.0], [0.0, 0.0, INF]), None)
@example(([0.0, 1.0, 2.0], [0.0, 0.0, -INF], [0.0, 1.0, 2.0], [0.0, 0.0, -INF]), None)
# A bound segment exactly 1e-10 wide, (-1e-10, 0): interpolated, not vertical.
@example(
    ([0.0, 1e-10, 1.0], [0.0, 1.0, 2.0], [-5e-11, -2e-11, 0.5, 1.0], [0.5, 0.5, 1.5, 2.0]),
    {"tolerances": dict.fromkeys(TOLERANCE_KEYS, 0.0)},
)
def test_compare_matches(curves, options):
    """Whole comparisons through the module: status and all three curves."""
    r, yr, t, yt = curves
    status, lower, upper, errors = ref.compare(r, yr, t, yt, options_record(options))
    result = vf.compare(_array(r), _array(yr), _array(t), _array(yt), options)
    assert result["status"] == status
    for name, expected in (("lower", lower), ("upper", upper), ("errors", errors)):
        actual = tuple(a.tolist() for a in result[name])
        assert_same_curve(expected, actual, name)


# --- the package's cut to the range ----------------------------------------------------

package_tolerance = st.sampled_from([0.0, 0.002, 0.01, 0.1, 0.5, 2.0, 1e-11, 1e-10])


@st.composite
def valid_inputs(draw):
    """Two curves the module accepts, long enough to be cut."""
    r = draw(abscissae(draw(st.integers(4, 14))))
    t = list(r) if draw(st.booleans()) else draw(abscissae(draw(st.integers(4, 14))))
    yr = draw(ordinates(len(r)))
    base = yr if len(t) == len(r) else draw(ordinates(len(t)))
    return r, yr, t, [v + draw(st.sampled_from([0.0, 0.0, 0.001, -0.5])) for v in base]


@st.composite
def ranged_comparisons(draw):
    """compare_inputs() with tolerances the package accepts and an explicit range whose ends often
    fall on, between or just beside the curves' abscissae."""
    r, yr, t, yt = draw(st.one_of(compare_inputs(), compare_inputs(4, 14), valid_inputs()))
    known = [v for v in r + t if math.isfinite(v)] or [0.0]
    # Inner abscissae first: a range that leaves points out on both sides is what gets cut.
    known = sorted(known)[1:-1] or known
    end = st.one_of(
        st.sampled_from(known).map(lambda v: v + draw(st.sampled_from([0.0, 0.0, 0.25, -0.25, 1e-13]))),
        plain,
    )
    lo, hi = draw(st.one_of(end, st.just(-INF))), draw(st.one_of(end, st.just(INF)))
    if draw(st.booleans()):
        lo, hi = sorted((lo, hi))
    tolerances = {k: draw(package_tolerance) for k in draw(st.lists(st.sampled_from(TOLERANCE_KEYS), unique=True))}
    return (r, yr, t, yt), tolerances, (lo, hi)


@given(ranged_comparisons())
@example(
    (
        ([0.0, 1.0, 2.0, 3.0, 4.0], [0.0, 1.0, 0.0, 1.0, 0.0], [0.0, 1.0, 2.0, 3.0, 4.0], [0.0, 1.1, 0.0, 1.0, 0.0]),
        {},
        (1.5, 3.5),
    )
)
@example((([0.0, 1.0, 2.0, 3.0, 4.0], [0.0] * 5, [0.0, 2.0, 4.0], [0.0] * 3), {}, (1.0, 3.0)))
@example((([0.0, 1.0, 1.0, 2.0], [0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 1.0, 2.0], [0.0] * 4), {}, (1.0, 1.0)))
@example((([0.0, 2.5, 5.0, 7.5, 10.0], [0.0, 1.0, 0.0, 1.0, 0.0], [0.0, 3.0, 6.0, 9.0], [0.0] * 4), {}, (1.0, 9.0)))
@example((([0.0, 0.0, 0.5, 0.5], [NAN, 0.0, 0.0, 0.0], [-INF, 0.0, 0.5, 0.5], [0.0] * 4), {}, (0.0, INF)))
def test_range_cut_keeps_the_modules_funnel_and_errors(case):
    """The package cuts both curves to an explicit range, and one point beyond each end, before the
    module compares them: the funnel, the errors at the test points inside the range and every
    rejection are the module's on the whole curves, and so is the status wherever the whole curves
    did not fail on their ends (only a missing end may be judged otherwise, inside the range)."""
    (r, yr, t, yt), tolerances, (lo, hi) = case
    result = package.compare((r, yr), (t, yt), x_range=(lo, hi), **tolerances)
    options = {"tolerances": dict(zip(TOLERANCE_KEYS, DEFAULT_TOLERANCES, strict=True)) | tolerances}
    raw = vf.compare(_array(r), _array(yr), _array(t), _array(yt), options | {"x_range": {"lo": lo, "hi": hi}})
    if raw["status"] not in (vf.STATUS_FAIL, vf.STATUS_PASS, vf.STATUS_MISSING_REFERENCE, vf.STATUS_MISSING_TEST):
        assert result.status == raw["status"]
        return
    for name in ("lower", "upper"):
        assert_same_curve(tuple(a.tolist() for a in raw[name]), tuple(a.tolist() for a in getattr(result, name)), name)
    expected, actual = (_in_range(errors, lo, hi) for errors in (raw["errors"], result.errors))
    assert_same_curve(expected, actual, "errors in range")
    if raw["status"] in (vf.STATUS_FAIL, vf.STATUS_PASS):
        assert result.status == raw["status"]
    else:
        assert result.status in (package.Status.PASS, package.Status.MISSING_REFERENCE, package.Status.MISSING_TEST)


def _in_range(curve, lo, hi):
    inside = (curve[0] >= lo) & (curve[0] <= hi)
    return curve[0][inside].tolist(), curve[1][inside].tolist()
