"""Data characteristics and half-widths of the funnel."""

import math

import pytest

from velmora_funnel import _core_testing as core

NAN = math.nan
DEFAULT = (0.0, 0.0, 0.0, 0.0, 0.002, 0.002)
ZERO = (0.0,) * 6


def halfwidths(x, y, tolerances=DEFAULT):
    return core.tube_halfwidths(x, y, core.get_data_char(x, y), tolerances)


def test_data_char_spans_and_magnitudes():
    """Spans are largest minus smallest; magnitudes the larger of largest and |smallest|."""
    assert core.get_data_char([-7, -3, 2], [1, 4, 2]) == (9.0, 3.0, 7.0, 4.0)


def test_nan_first_ordinate_poisons_the_axis_later_nan_is_passed_over():
    """A NaN at index 0 is never replaced; a NaN later never replaces a running value."""
    x_span, y_span, x_mag, y_mag = core.get_data_char([0, 1, 2], [NAN, 1, 3])
    assert (x_span, x_mag) == (2.0, 2.0)
    assert math.isnan(y_span) and math.isnan(y_mag)
    assert core.get_data_char([0, 1, 2], [1, NAN, 3]) == (2.0, 2.0, 2.0, 3.0)


@pytest.mark.parametrize(
    ("y", "expected"),
    [
        pytest.param([5, 5, 5], 0.002 * 5, id="constant-5-falls-back-to-magnitude"),
        pytest.param([0, 0, 0], 1e-10, id="constant-0-floors"),
    ],
)
def test_constant_reference_uses_the_magnitude_fallback(y, expected):
    """Without span, the relative tolerance applies to the magnitude, then the 1e-10 floor."""
    _, hy = halfwidths([0, 1, 2], y)
    assert hy == [expected] * 3


def test_all_tolerances_zero_floor_every_halfwidth():
    hx, hy = halfwidths([0, 1, 2], [0, 3, 1], ZERO)
    assert hx == hy == [1e-10] * 3


def test_tiny_relative_tolerance_disables_the_fallback():
    """|rtoly| below 1e-10 switches the magnitude fallback off: the floor applies."""
    _, hy = halfwidths([0, 1, 2], [5, 5, 5], (0, 0, 0, 0, 0, 1e-11))
    assert hy == [1e-10] * 3


def test_local_tolerance_scales_with_each_abscissa():
    """A point at x = 0 gets nothing from ltolx and, with rtolx 0, falls to the floor."""
    hx, _ = halfwidths([0, 10, 20], [0, 1, 2], (0, 0, 0.1, 0, 0, 0))
    assert hx == [1e-10, 1.0, 2.0]


@pytest.mark.parametrize(("span", "expected"), [(100, 0.5), (1000, 2.0)])
def test_absolute_and_span_relative_take_the_larger(span, expected):
    _, hy = halfwidths([0, 1], [0, span], (0, 0.5, 0, 0, 0, 0.002))
    assert hy == [expected, expected]


def test_default_tolerances_are_span_relative():
    hx, hy = halfwidths([0, 1, 4], [2, -1, 3])
    assert hx == [0.002 * 4] * 3
    assert hy == [0.002 * 4] * 3


def test_nan_span_drops_out_of_the_maxima():
    """With a NaN first ordinate, each hy is max(atoly, ltoly*|y|), floored at 1e-10."""
    _, hy = halfwidths([0, 1, 2], [NAN, 2, -4], (0, 0.25, 0, 0.5, 0.002, 0.002))
    assert hy[1:] == [1.0, 2.0]
    assert hy[0] == 0.25  # ltoly * |NaN| is NaN and is ignored


def test_negative_tolerances_pass_through():
    """Tolerances are not validated: all-negative terms can give a negative half-width."""
    hx, _ = halfwidths([0, 1], [0, 1], (-0.5, 0, -1, 0, -0.1, 0))
    # At x = 0 the local term is -0.0, the largest, and falls to the floor.
    assert hx == [1e-10, -0.1]


def test_nan_tolerances_pass_through_unchanged():
    hx, hy = halfwidths([0, 1], [0, 1], (NAN, 0, NAN, 0, NAN, 0.002))
    assert all(math.isnan(h) for h in hx)
    assert hy == [0.002, 0.002]
