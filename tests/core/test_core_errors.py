"""Error curve: bound values at the test abscissae and the signed distance outside."""

import math

import pytest

from velmora_funnel import _core_testing as core

NAN = math.nan


@pytest.mark.parametrize(
    ("X", "Y", "queries", "expected"),
    [
        pytest.param([0, 1, 1, 2], [0, 1, 3, 4], [1, 1.5], [1.0, 3.5], id="vertical-step-left-value"),
        pytest.param([0, 1, 1], [0, 1, 5], [1, 2, 7], [5.0, 5.0, 5.0], id="step-at-end-outermost-wins"),
        pytest.param([0, 1, 2], [3, 4, 6], [-1, 0, 2, 9], [3.0, 3.0, 6.0, 6.0], id="clamped-both-ends"),
        pytest.param([0, 1, 1 + 1e-11, 2], [0, 1, 7, 8], [1 + 5e-12], [1.0], id="narrow-segment-left"),
        pytest.param([0, 2], [0, 1], [0.5, 1.0, 1.5], [0.25, 0.5, 0.75], id="linear"),
        pytest.param([4], [2], [-1, 4, 9], [2.0, 2.0, 2.0], id="single-point-constant"),
        pytest.param([NAN], [2], [-1, 0, 9], [2.0, 2.0, 2.0], id="single-nan-point-constant"),
        pytest.param([0, 1], [0, 1], [], [], id="no-queries"),
    ],
)
def test_interpolate_clamped(X, Y, queries, expected):
    assert core.interpolate_clamped(X, Y, queries) == expected


def test_just_past_a_vertical_step_interpolates_from_its_last_point():
    (v,) = core.interpolate_clamped([0, 1, 1, 2], [0, 1, 3, 4], [1 + 1e-9])
    assert 3.0 < v < 3.0 + 1e-8


def test_nan_bound_abscissae_never_read_out_of_range():
    values = core.interpolate_clamped([0, NAN, NAN, 3], [0, 1, 2, 3], [0.5, 1, 2, 2.5, 4])
    assert len(values) == 5 and values[-1] == 3.0


def errors(t, y, lower, upper):
    return core.compute_errors(t, y, lower[0], lower[1], upper[0], upper[1])


@pytest.mark.parametrize(
    ("v", "expected"),
    [
        pytest.param(2.5, 0.5, id="above-upper"),
        pytest.param(0.25, -0.75, id="below-lower"),
        pytest.param(2.0, 0.0, id="on-upper"),
        pytest.param(1.0, 0.0, id="on-lower"),
        pytest.param(1.5, 0.0, id="inside"),
        pytest.param(NAN, 0.0, id="nan-ordinate"),
    ],
)
def test_signed_error(v, expected):
    ex, ey = errors([5.0, 6.0], [v, 1.5], ([0, 10], [1, 1]), ([0, 10], [2, 2]))
    assert ex == [5.0, 6.0]
    assert ey == [expected, 0.0]


@pytest.mark.parametrize(
    ("v", "lower", "upper"),
    [(math.inf, 1.0, math.inf), (-math.inf, -math.inf, 2.0)],
    ids=["on-an-infinite-upper-bound", "on-an-infinite-lower-bound"],
)
def test_an_ordinate_on_an_infinite_bound_is_inside(v, lower, upper):
    """Equal to its bound is inside, infinite too: an error of 0, not inf - inf."""
    _, ey = errors([0.0, 10.0], [v, v], ([0, 10], [lower, lower]), ([0, 10], [upper, upper]))
    assert ey == [0.0, 0.0]


def test_crossed_bounds_report_against_the_upper_one():
    _, ey = errors([0.0], [5.0], ([0, 1], [6, 6]), ([0, 1], [4, 4]))
    assert ey == [1.0]
