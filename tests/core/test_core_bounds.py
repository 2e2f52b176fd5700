"""Bounds: corner curves of both sides, loops removed, abscissae normalised around it."""

import math

import pytest

from velmora_funnel import _core_testing as core


def test_scaled_peak_loses_its_loop():
    """x_mag 2: built on 0, 0.5, 1 with hx 0.125, then multiplied back by 2."""
    lower, upper = core.build_bounds([0, 1, 2], [0, 1, 0], [0.25] * 3, [0.1] * 3, 2.0)
    assert list(zip(*lower)) == [(-0.25, -0.1), (0.25, -0.1), (1.0, 0.65), (1.75, -0.1), (2.25, -0.1)]
    assert list(zip(*upper)) == [(-0.25, 0.1), (0.75, 1.1), (1.25, 1.1), (2.25, 0.1)]


@pytest.mark.parametrize(
    ("x_mag", "scaled"),
    [
        pytest.param(1e-5, False, id="at-threshold-raw"),
        pytest.param(math.nan, False, id="nan-raw"),
        pytest.param(2e-5, True, id="above-threshold-scaled"),
        pytest.param(3.0, True, id="ordinary-scaled"),
    ],
)
def test_normalisation_applies_strictly_above_threshold(x_mag, scaled):
    """Scaled abscissae pass through a division and a multiplication by x_mag."""
    x, hx = [0.1, 0.7, 2e-5], [0.3, 0.3, 0.3]
    x.sort()
    lower, _ = core.build_bounds(x, [0, 1, 2], hx, [0.1] * 3, x_mag)
    first = (x[0] / x_mag - hx[0] / x_mag) * x_mag if scaled else x[0] - hx[0]
    assert lower[0][0] == first


def test_tiny_abscissae_are_not_scaled():
    """Reference on [0, 1e-5]: the raw abscissae come back untouched by any division."""
    x = [0.0, 5e-6, 1e-5]
    lower, upper = core.build_bounds(x, [0, 0, 0], [1e-7] * 3, [0.1] * 3, 1e-5)
    assert lower[0] == [0.0 - 1e-7, 1e-5 + 1e-7]
    assert upper[0] == [0.0 - 1e-7, 1e-5 + 1e-7]


def test_negative_abscissae_keep_their_order():
    x = [-10.0, -8.0, -5.0]
    lower, upper = core.build_bounds(x, [0, 1, 0], [0.1] * 3, [0.1] * 3, 10.0)
    for bx, _ in (lower, upper):
        assert bx[0] < bx[-1] and bx[0] == pytest.approx(-10.1) and bx[-1] == pytest.approx(-4.9)


def test_sides_are_independent():
    """The ordinates of each side are exactly those of its own corner curve after loop removal."""
    x, y, hx, hy = [0, 1, 2, 3], [0, 2, -1, 1], [0.6] * 4, [0.2] * 4
    lower, upper = core.build_bounds(x, y, hx, hy, 3.0)
    xs = [v / 3.0 for v in x]
    ws = [v / 3.0 for v in hx]
    for side, got in ((False, lower), (True, upper)):
        cx, cy = core.remove_loop(*core.build_corner_curve(xs, y, ws, hy, side), side)
        assert got[1] == cy
        assert got[0] == [v * 3.0 for v in cx]
