"""Statuses as the module reports them: rejected inputs come back as statuses, never as exceptions."""

import math

import numpy as np
import pytest

import _velmora_funnel as vf

NAN, INF = math.nan, math.inf
REJECTED = {vf.STATUS_NON_MONOTONIC, vf.STATUS_LENGTH_MISMATCH, vf.STATUS_EMPTY_RANGE, vf.STATUS_INSUFFICIENT_DATA}


def a(*values):
    return np.array(values, dtype=np.float64)


def view(*values):
    """A contiguous view of the first values of a longer array, whose next
    element in memory (-5) no step may read."""
    return a(*values, -5)[:-1]


def compare(t_ref, y_ref=None, t_test=None, y_test=None, options=None):
    """Curves default to zero ordinates and to the reference abscissae for the test."""
    t_ref = a(*t_ref)
    y_ref = np.zeros_like(t_ref) if y_ref is None else a(*y_ref)
    t_test = t_ref.copy() if t_test is None else a(*t_test)
    y_test = np.zeros_like(t_test) if y_test is None else a(*y_test)
    return vf.compare(t_ref, y_ref, t_test, y_test, options)


CASES = [
    # lengths, checked first
    pytest.param(lambda: compare([0, 1, 2], [0, 1]), vf.STATUS_LENGTH_MISMATCH, id="reference-lengths"),
    pytest.param(lambda: compare([0, 1, 2], None, [0, 1], [0]), vf.STATUS_LENGTH_MISMATCH, id="test-lengths"),
    pytest.param(lambda: compare([0, 1, 2], [0, 1], [0], [0]), vf.STATUS_LENGTH_MISMATCH, id="mismatch-before-short"),
    pytest.param(
        lambda: compare([2, 1, 0], [0, 1], [5, 1], [0]), vf.STATUS_LENGTH_MISMATCH, id="mismatch-before-monotonic"
    ),
    # point counts, before monotonicity
    pytest.param(lambda: compare([0, 1, 2], None, [0]), vf.STATUS_INSUFFICIENT_DATA, id="test-one-point"),
    pytest.param(lambda: compare([0], None, [0, 1, 2]), vf.STATUS_INSUFFICIENT_DATA, id="reference-one-point"),
    pytest.param(lambda: compare([], None, [0, 1]), vf.STATUS_INSUFFICIENT_DATA, id="reference-empty"),
    pytest.param(lambda: compare([2, 1, 0], None, [NAN]), vf.STATUS_INSUFFICIENT_DATA, id="short-before-monotonic"),
    # monotonic abscissae
    pytest.param(lambda: compare([0, 1, 1, 2]), vf.STATUS_PASS, id="equal-neighbours-accepted"),
    pytest.param(lambda: compare([0, 2, 1]), vf.STATUS_NON_MONOTONIC, id="reference-decreases"),
    pytest.param(lambda: compare([0, 1, 2], None, [0, 2, 1]), vf.STATUS_NON_MONOTONIC, id="test-decreases"),
    # An even count leaves the last pair to the check after the paired one.
    pytest.param(lambda: compare([0, 1, 3, 2]), vf.STATUS_NON_MONOTONIC, id="reference-decreases-in-the-last-pair"),
    pytest.param(lambda: compare([0, NAN, 2]), vf.STATUS_NON_MONOTONIC, id="reference-nan"),
    pytest.param(lambda: compare([0, 1, 2], None, [0, NAN, 2]), vf.STATUS_NON_MONOTONIC, id="test-nan"),
    pytest.param(lambda: compare([NAN, 1, 2]), vf.STATUS_NON_MONOTONIC, id="reference-leading-nan"),
    pytest.param(lambda: compare([0, 1, 2], None, [0, 1, NAN]), vf.STATUS_NON_MONOTONIC, id="test-trailing-nan"),
    # An abscissa that is not finite is refused like NaN, in either curve.
    pytest.param(lambda: compare([0, 1, INF]), vf.STATUS_NON_MONOTONIC, id="reference-trailing-inf"),
    pytest.param(lambda: compare([-INF, 0, 1]), vf.STATUS_NON_MONOTONIC, id="reference-leading-minus-inf"),
    pytest.param(lambda: compare([0, 1, 2], None, [0, 1, INF]), vf.STATUS_NON_MONOTONIC, id="test-trailing-inf"),
    pytest.param(lambda: compare([0, 1, 2], None, [-INF, 1, 2]), vf.STATUS_NON_MONOTONIC, id="test-leading-minus-inf"),
    pytest.param(lambda: compare([0, 1, 2], None, [0, INF, INF]), vf.STATUS_NON_MONOTONIC, id="test-repeated-inf"),
    # range
    pytest.param(lambda: compare([1, 1, 1]), vf.STATUS_EMPTY_RANGE, id="constant-abscissae"),
    pytest.param(
        lambda: compare([0, 1, 2, 3], options={"x_range": {"lo": 3}}), vf.STATUS_EMPTY_RANGE, id="lo-at-last-reference"
    ),
    pytest.param(
        lambda: compare([0, 1, 2, 3], None, [0, 1], options={"x_range": {"lo": 1.5, "hi": 3}}),
        vf.STATUS_EMPTY_RANGE,
        id="range-after-test",
    ),
    pytest.param(
        lambda: compare([0, 1, 2, 3], None, [2, 3], options={"x_range": {"lo": 0, "hi": 1.5}}),
        vf.STATUS_EMPTY_RANGE,
        id="range-before-test",
    ),
    pytest.param(
        lambda: compare([0, 1, 2], options={"x_range": {"lo": NAN, "hi": INF}}),
        vf.STATUS_INSUFFICIENT_DATA,
        id="nan-lo-retains-nothing",
    ),
    pytest.param(
        lambda: compare([0, 1, 2, 3], options={"x_range": {"lo": 0.5, "hi": 1.5}}),
        vf.STATUS_INSUFFICIENT_DATA,
        id="one-reference-point-in-range",
    ),
    pytest.param(
        lambda: compare([0, 1, 2, 3, 4], None, [0, 2, 4], options={"x_range": {"lo": 1, "hi": 3}}),
        vf.STATUS_INSUFFICIENT_DATA,
        id="one-test-point-in-range",
    ),
    pytest.param(
        lambda: compare([0, 1, 2, 3], options={"x_range": {"lo": 1, "hi": 2}}), vf.STATUS_PASS, id="range-inclusive"
    ),
    pytest.param(
        lambda: compare([0, 1], options={"x_range": {"lo": NAN}}), vf.STATUS_INSUFFICIENT_DATA, id="nan-lo-two-points"
    ),
    pytest.param(
        lambda: compare([0, 1, 2], None, [0, 1.5, 2], options={"x_range": {"hi": 1}}),
        vf.STATUS_INSUFFICIENT_DATA,
        id="second-test-point-past-hi",
    ),
    pytest.param(
        lambda: compare([0, 1, 2, 3], None, [2, 3], options={"x_range": {"hi": 2}}),
        vf.STATUS_INSUFFICIENT_DATA,
        id="test-starts-at-hi",
    ),
    pytest.param(
        lambda: compare([0, 1, 2, 3], None, [0, 1], options={"x_range": {"lo": 1}}),
        vf.STATUS_INSUFFICIENT_DATA,
        id="test-ends-at-lo",
    ),
    # Curves that are views into longer arrays end where the view ends.
    pytest.param(
        lambda: vf.compare(view(0, 1, 2), view(0, 0, 0), view(0, 1, 2), view(0, 0, 0)), vf.STATUS_PASS, id="views"
    ),
    pytest.param(
        lambda: vf.compare(view(0, 1, 2), view(0, 0, 0), view(0, 1, 2), view(0, 0, 0), {"x_range": {"hi": NAN}}),
        vf.STATUS_INSUFFICIENT_DATA,
        id="views-nan-hi",
    ),
    pytest.param(
        lambda: vf.compare(view(0, 1, 2), view(0, 0, 0), view(0, 1, 2), view(0, 0, 5), {"x_range": {"hi": 1.5}}),
        vf.STATUS_PASS,
        id="views-error-past-hi-ignored",
    ),
    # The ordinates' span is 1 (half-width 0.002), not that of the -5 after them.
    pytest.param(
        lambda: vf.compare(a(0, 1, 2, 3), view(0, 1, 0, 1), a(0, 1, 2, 3), a(0, 1, 0, 1.01)),
        vf.STATUS_FAIL,
        id="view-ordinates-span",
    ),
    # comparisons that ran to the end
    pytest.param(lambda: compare([0, 1, 2], None, [0, 1, 2 + 1e-9]), vf.STATUS_MISSING_REFERENCE, id="test-ends-later"),
    pytest.param(lambda: compare([0, 1, 2], None, [0, 1, 2 + 1e-13]), vf.STATUS_PASS, id="test-ends-within-slack"),
    pytest.param(lambda: compare([-1, 0], None, [-1, 1e-13]), vf.STATUS_MISSING_REFERENCE, id="slack-scales-with-ends"),
    pytest.param(lambda: compare([0, 1, 2], None, [0.5, 1, 2]), vf.STATUS_MISSING_TEST, id="test-starts-later"),
    pytest.param(lambda: compare([0, 1, 2], None, [0, 1, 2], [0, 5, 0]), vf.STATUS_FAIL, id="outside-funnel"),
    pytest.param(
        lambda: compare([0, 1, 2], None, [0, 1, 3], [0, 5, 0]), vf.STATUS_FAIL, id="fail-before-missing-reference"
    ),
    pytest.param(
        lambda: compare([0, 1, 2], None, [0, 1, 2], [0, 0, 5], options={"x_range": {"hi": 1.5}}),
        vf.STATUS_PASS,
        id="error-outside-range-ignored",
    ),
    pytest.param(lambda: compare([0, 1, 2], None, [0, 1, 2], [0, NAN, 0]), vf.STATUS_PASS, id="nan-test-ordinate"),
    # The range's upper end is inclusive: a failure on the very last point counts.
    pytest.param(lambda: compare([0, 1, 2], None, [0, 1, 2], [0, 0, 5]), vf.STATUS_FAIL, id="fail-on-last-point"),
    pytest.param(lambda: compare([0, 1, 2], None, [0, 1, 2], [5, 0, 0]), vf.STATUS_FAIL, id="fail-on-first-point"),
    pytest.param(
        lambda: compare([0, 1, 2], None, [0, 1, 2], [5, 0, 0], options={"x_range": {"lo": 0.5}}),
        vf.STATUS_PASS,
        id="error-before-lo-ignored",
    ),
    # |rtoly| below 1e-10 turns the magnitude fallback off even where
    # rtoly x magnitude (1e-9) would beat the 1e-10 floor: 5e-10 above fails.
    pytest.param(
        lambda: compare(
            [0, 1, 2], [100, 100, 100], None, [100, 100 + 5e-10, 100], options={"tolerances": {"rtoly": 1e-11}}
        ),
        vf.STATUS_FAIL,
        id="tiny-rtoly-no-magnitude-fallback",
    ),
    # Without span the half-width falls back on rtoly x the largest |y|: 0.01
    # here, where the largest ordinate itself (-5) would leave only the floor.
    pytest.param(
        lambda: compare([0, 1, 2], [-5, -5, -5], None, [-5, -5.005, -5]),
        vf.STATUS_PASS,
        id="negative-constant-falls-back-on-its-magnitude",
    ),
    # A half-width of exactly 1e-10 is not below the threshold: no fallback
    # (which rtoly would give: 0.002 of the magnitude 5, wide enough to pass).
    pytest.param(
        lambda: compare(
            [0, 1, 2], [5, 5, 5], None, [5, 5.005, 5], options={"tolerances": {"atoly": 1e-10, "rtoly": 0.002}}
        ),
        vf.STATUS_FAIL,
        id="halfwidth-exactly-1e-10-keeps-it",
    ),
    # Local tolerances on both axes: every point has its own half-width (10 %
    # of its magnitude, 1.0 here), never the one of the span alone (0.002).
    pytest.param(
        lambda: compare(
            [0, 1, 2, 3],
            [10, 10, 10, 11],
            None,
            [10, 10.5, 10, 11],
            options={"tolerances": {"ltolx": 0.1, "ltoly": 0.1, "rtoly": 0.002}},
        ),
        vf.STATUS_PASS,
        id="local-tolerances-on-both-axes-widen-each-point",
    ),
    # A NaN second ordinate is passed over, also when an extreme of the
    # ordinates is zero: the span is 2, the half-width 0.004 (the test point
    # lies away from the NaN, which poisons the bounds next to it).
    pytest.param(
        lambda: compare([0, 1, 2, 3, 4], [-2, NAN, 0, 0, 0], None, [-2, 0, 0, 0, 0.003]),
        vf.STATUS_PASS,
        id="nan-second-ordinate-top-0",
    ),
    pytest.param(
        lambda: compare([0, 1, 2, 3, 4], [2, NAN, 0, 0, 0], None, [2, 0, 0, 0, 0.003]),
        vf.STATUS_PASS,
        id="nan-second-ordinate-bottom-0",
    ),
    # ... and so is one in the second lane of the paired scan: the span is 8,
    # the half-width 0.016.
    pytest.param(
        lambda: compare([0, 1, 2, 3, 4], [1, NAN, 2, -3, 5], None, [1, 0, 2, -3, 5.012]),
        vf.STATUS_PASS,
        id="nan-second-ordinate-spans-8",
    ),
]


@pytest.mark.parametrize(("call", "status"), CASES)
def test_status(call, status):
    """Each input reaches the status the driver assigns to it; rejected ones have six empty arrays."""
    result = call()
    assert result["status"] == status
    sizes = [array.size for key in ("lower", "upper", "errors") for array in result[key]]
    if status in REJECTED:
        assert sizes == [0] * 6
    else:
        assert min(sizes) > 0
        assert result["errors"][0].size == result["errors"][1].size


def test_error_curve_covers_every_test_point():
    """The error curve holds every test abscissa, also those outside the range, with their errors."""
    result = compare([0, 1, 2, 3], None, [0, 1, 2, 3], [0, 0, 0, 4], options={"x_range": {"hi": 2}})
    assert result["status"] == vf.STATUS_PASS
    np.testing.assert_array_equal(result["errors"][0], [0, 1, 2, 3])
    assert result["errors"][1][:3].tolist() == [0, 0, 0]
    assert result["errors"][1][3] > 3.9
