"""Corner curves: which corners of the tolerance rectangles trace each bound."""

import math

import pytest

from velmora_funnel import _core_testing as core


def corners(points, upper, hx=0.1, hy=0.1):
    x = [p[0] for p in points]
    y = [p[1] for p in points]
    hxs = hx if isinstance(hx, list) else [hx] * len(x)
    hys = hy if isinstance(hy, list) else [hy] * len(x)
    cx, cy = core.build_corner_curve(x, y, hxs, hys, upper)
    return list(zip(cx, cy))


def assert_points(actual, expected):
    assert len(actual) == len(expected), actual
    for (ax, ay), (ex, ey) in zip(actual, expected):
        assert ax == pytest.approx(ex, abs=1e-12) and ay == pytest.approx(ey, abs=1e-12), actual


CASES = [
    pytest.param(
        [(0, 0), (1, 1)],
        [(-0.1, -0.1), (0.1, -0.1), (1.1, 0.9)],
        [(-0.1, 0.1), (0.9, 1.1), (1.1, 1.1)],
        id="rising-segment",
    ),
    pytest.param(
        [(0, 0), (1, 1), (2, 2), (3, 3)],
        [(-0.1, -0.1), (0.1, -0.1), (3.1, 2.9)],
        [(-0.1, 0.1), (2.9, 3.1), (3.1, 3.1)],
        id="straight-run",
    ),
    pytest.param(
        [(0, 0), (1, 1), (2, 0)],
        [(-0.1, -0.1), (0.1, -0.1), (1.1, 0.9), (0.9, 0.9), (1.9, -0.1), (2.1, -0.1)],
        [(-0.1, 0.1), (0.9, 1.1), (1.1, 1.1), (2.1, 0.1)],
        id="peak",
    ),
    pytest.param(
        [(0, 1), (1, 0), (2, 1)],
        [(-0.1, 0.9), (0.9, -0.1), (1.1, -0.1), (2.1, 0.9)],
        [(-0.1, 1.1), (0.1, 1.1), (1.1, 0.1), (0.9, 0.1), (1.9, 1.1), (2.1, 1.1)],
        id="valley",
    ),
    pytest.param(
        [(0, 1), (1, 1), (2, 1)],
        [(-0.1, 0.9), (2.1, 0.9)],
        [(-0.1, 1.1), (2.1, 1.1)],
        id="constant",
    ),
    pytest.param(
        [(0, 0), (1, 0), (1, 1), (2, 1)],
        [(-0.1, -0.1), (1.1, -0.1), (1.1, 0.9), (2.1, 0.9)],
        [(-0.1, 0.1), (0.9, 0.1), (0.9, 1.1), (2.1, 1.1)],
        id="vertical-step",
    ),
    pytest.param(
        [(1, 2), (1, 2), (1, 2)],
        [(0.9, 1.9), (1.1, 1.9)],
        [(0.9, 2.1), (1.1, 2.1)],
        id="three-equal-points",
    ),
    pytest.param([(1, 2)], [(0.9, 1.9), (1.1, 1.9)], [(0.9, 2.1), (1.1, 2.1)], id="single-point"),
    # A vertical segment has slope 1e15: a segment of exactly that slope
    # continues its straight run, one of width exactly 1e-10 is no vertical one.
    pytest.param(
        [(0, 0), (0, 1e5), (1e-10, 2e5)],
        [(-0.1, -0.1), (0.1, -0.1), (0.1000000001, 199999.9)],
        [(-0.1, 0.1), (-0.0999999999, 200000.1), (0.1000000001, 200000.1)],
        id="vertical-then-slope-1e15",
    ),
    pytest.param(
        [(0, 0), (0, 1), (1e-10, 2), (1, 2)],
        [(-0.1, -0.1), (0.1, -0.1), (0.1, 0.9), (0.1000000001, 1.9), (1.1, 1.9)],
        [(-0.1, 0.1), (-0.1, 1.1), (-0.0999999999, 2.1), (1.1, 2.1)],
        id="vertical-then-width-1e-10",
    ),
    pytest.param(
        [(0, 0), (1e-10, 1), (1e-10, 2)],
        [(-0.1, -0.1), (0.1, -0.1), (0.1000000001, 0.9), (0.1000000001, 1.9)],
        [(-0.1, 0.1), (-0.0999999999, 1.1), (-0.0999999999, 2.1), (0.1000000001, 2.1)],
        id="width-1e-10-then-vertical",
    ),
    # Points exactly 1e-10 apart are no repeated pair.
    pytest.param(
        [(0, 0), (1e-10, 0), (1, 1)],
        [(-0.1, -0.1), (0.1000000001, -0.1), (1.1, 0.9)],
        [(-0.1, 0.1), (-0.0999999999, 0.1), (0.9, 1.1), (1.1, 1.1)],
        id="points-1e-10-apart",
    ),
]


@pytest.mark.parametrize(("points", "lower", "upper"), CASES)
def test_corner_tables(points, lower, upper):
    assert_points(corners(points, upper=False), lower)
    assert_points(corners(points, upper=True), upper)


@pytest.mark.parametrize("upper", [False, True], ids=["lower", "upper"])
def test_leading_repeated_point_is_skipped(upper):
    """A point that repeats its successor contributes nothing; the last of a run stands for it."""
    assert corners([(0, 0), (0, 0), (1, 1), (2, 1)], upper) == corners([(0, 0), (1, 1), (2, 1)], upper)


def test_repeated_run_uses_the_halfwidths_of_its_last_point():
    cx, _ = core.build_corner_curve([0, 0, 1], [0, 0, 1], [5, 0.1, 0.1], [0.1] * 3, False)
    assert cx[0] == pytest.approx(-0.1)


def test_merge_drops_one_corner_in_a_horizontal_run():
    """The left corner of point 1 lies level with the boundary before it and the next point."""
    got = corners([(0, 0), (1, 1), (2, 3), (3, 4)], True, hy=[3.5, 2.5, 0.5, 0.1])
    assert_points(got, [(-0.1, 3.5), (1.9, 3.5), (2.9, 4.1), (3.1, 4.1)])


def test_merge_drops_both_corners_of_a_flat_valley():
    got = corners([(0, 1), (1, 0), (2, 1)], True, hy=[0, 1, 0])
    assert_points(got, [(-0.1, 1), (0.1, 1), (1.9, 1), (2.1, 1)])


# Rectangles of no size, so the heights are the ordinates: a height exactly
# 1e-10 from the corner's is not level with it, and the corner stays.
MERGE_AT_THE_THRESHOLD = [
    pytest.param([0, 0.001, 1, 2], [-5e-11, 0, 1e-10, 1], True, 5, id="rising-next-1e-10-above"),
    pytest.param([0, 0.001, 1, 2], [-1e-10, 0, 5e-11, 1], False, 5, id="rising-before-1e-10-below"),
    pytest.param([0, 1, 2, 3], [0, 0, 1e-10, 1], False, 4, id="turn-next-1e-10-above"),
    pytest.param([0, 1, 2, 3], [1e-10, 0, 0, 1], True, 6, id="turn-before-1e-10-above"),
]


@pytest.mark.parametrize(("x", "y", "upper", "size"), MERGE_AT_THE_THRESHOLD)
def test_no_merge_at_the_threshold(x, y, upper, size):
    cx, cy = core.build_corner_curve(x, y, [0.0] * 4, [0.0] * 4, upper)
    assert len(cx) == size
    assert set(zip(x, y)) <= set(zip(cx, cy))


@pytest.mark.parametrize("upper", [False, True], ids=["lower", "upper"])
def test_output_size_and_ends(upper):
    """2..2n points; first is the left corner of the start, last the right corner of the end."""
    x = [0, 1, 2, 3, 4, 5, 6]
    y = [0, 3, -1, 4, -2, 5, 0]
    cx, cy = core.build_corner_curve(x, y, [0.2] * 7, [0.3] * 7, upper)
    assert 2 <= len(cx) <= 2 * len(x)
    assert cx[0] == pytest.approx(-0.2) and cx[-1] == pytest.approx(6.2)
    assert cy[-1] == pytest.approx(0.3 if upper else -0.3)


def test_nan_ordinate_flows_into_the_corners():
    """A NaN ordinate gives a flat sign and NaN corner heights, never a crash."""
    cx, cy = core.build_corner_curve([0, 1, 2], [0, math.nan, 0], [0.1] * 3, [0.1] * 3, True)
    assert len(cx) >= 2
    assert any(math.isnan(v) for v in cy)
