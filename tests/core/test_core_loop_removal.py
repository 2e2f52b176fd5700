"""Loop removal: cutting the folds of a corner curve at their self-crossings."""

import itertools
import math

import pytest

from velmora_funnel import _core_testing as core

REMOVERS = [
    pytest.param(core.remove_loop, id="fast"),
    pytest.param(core.remove_loop_in_place, id="in-place"),
]


def split(points):
    return [p[0] for p in points], [p[1] for p in points]


@pytest.fixture(params=REMOVERS)
def remove(request):
    def run(points, upper):
        x, y = split(points)
        rx, ry = request.param(x, y, upper)
        return list(zip(rx, ry))

    return run


@pytest.mark.parametrize(
    "points",
    [
        pytest.param([], id="empty"),
        pytest.param([(3, 0)], id="one"),
        pytest.param([(3, 0), (1, 1), (2, 0)], id="three-backward"),
        pytest.param([(2, 0), (1, 1), (3, 2), (4, 3)], id="backward-first-segment"),
        pytest.param([(0, 0), (1, 1), (2, 2), (1.5, 3)], id="backward-last-segment"),
    ],
)
@pytest.mark.parametrize("upper", [False, True], ids=["lower", "upper"])
def test_unexamined_steps_are_left_alone(remove, points, upper):
    """Curves under 4 points, and backward steps in the first or last segment, stay as they are."""
    assert remove(points, upper) == points


def test_single_loop_lower(remove):
    got = remove([(0.25, -0.1), (1.25, 0.9), (0.75, 0.9), (1.75, -0.1)], False)
    assert got == [(0.25, -0.1), (1.0, 0.65), (1.75, -0.1)]


def test_single_loop_upper_is_the_mirror(remove):
    got = remove([(0.25, 0.1), (1.25, -0.9), (0.75, -0.9), (1.75, 0.1)], True)
    assert got == [(0.25, 0.1), (1.0, -0.65), (1.75, 0.1)]


def test_restart_cuts_back_to_a_single_point(remove):
    """A later branch reaching back past the first point cuts everything before it."""
    got = remove([(1, 1), (2, 1.5), (3, 2), (0.5, 3), (0.8, 3), (1.2, -5)], False)
    assert got == [(1.2, -5)]


def test_crossing_on_the_following_point_is_not_inserted(remove):
    """A crossing point within 1e-10 of the point behind the cut adds nothing."""
    # The loop closes exactly at (1.0, 0.5): the later branch passes through it.
    got = remove([(0, 0), (1.5, 0.75), (1, 0.5), (2, 0)], False)
    assert got[0] == (0, 0) and got[-1] == (2, 0)
    assert len(got) == 3 and got[1][0] == pytest.approx(1.0)


def test_parallel_crossing_cuts_without_inserting(remove):
    """Slopes within 1e-10 of each other: the loop is cut, no crossing point is inserted."""
    got = remove([(0, 0), (1, 1), (2, 2), (1.5, 1.5), (3, 3), (4, 0)], False)
    assert len(got) < 6
    xs = [p[0] for p in got]
    assert xs == sorted(xs)


def test_vertical_closing_meets_vertical_crossing(remove):
    """Both segments vertical: no crossing point, the cut still happens."""
    got = remove([(0, 0), (1, 0), (1, 2), (3, 2), (1, 3), (1, -1), (4, -1)], False)
    assert got == [(0, 0), (1, 0), (1, -1), (4, -1)]


def test_merge_of_coinciding_neighbours(remove):
    """Neighbours that coincide after the repair are merged into the first of them."""
    got = remove([(0, 0), (1, 1), (2, 2), (1, 1), (3, 3), (4, 4)], False)
    for (x0, y0), (x1, y1) in itertools.pairwise(got):
        assert not (abs(x0 - x1) < 1e-10 and abs(y0 - y1) < 1e-10)


@pytest.mark.parametrize("where", [1, 2, 3])
def test_nan_abscissa_never_counts_as_backward(remove, where):
    points = [(0, 0), (1, 1), (2, 2), (3, 3), (4, 4)]
    points[where] = (math.nan, points[where][1])
    got = remove(points, False)
    assert repr(got) == repr([(float(x), float(y)) for x, y in points])


@pytest.mark.parametrize("bad", [math.inf, -math.inf, math.nan])
@pytest.mark.parametrize("where", range(6))
@pytest.mark.parametrize("upper", [False, True], ids=["lower", "upper"])
def test_non_finite_values_terminate_and_keep_a_point(remove, bad, where, upper):
    """Infinities and NaN anywhere, in x or y, only change test outcomes: no hang, never empty."""
    points = [(0, 0), (1.2, 1), (0.8, 1), (2, 0), (1.5, 0.5), (3, 0)]
    for axis in (0, 1):
        p = list(points)
        p[where] = tuple(bad if k == axis else v for k, v in enumerate(p[where]))
        assert len(remove(p, upper)) >= 1


@pytest.mark.parametrize("upper", [False, True], ids=["lower", "upper"])
def test_loop_free_curve_is_unchanged(remove, upper):
    points = [(i * 0.5, math.sin(i)) for i in range(20)]
    assert remove(points, upper) == points
