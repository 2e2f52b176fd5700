"""The ends of a comparison, judged inside its range and within its end
tolerance, and the cut of both curves to the range that leaves the module's
funnel and errors there exactly as they are.

The module judges the ends on the complete curves whatever the range, so a
run that stopped early could never be compared where it has data. With an
explicit range or an end tolerance the package judges them instead: each
curve's first and last abscissa clipped to the range, compared as the module
compares them, with the end tolerance added to its slack.
"""

from __future__ import annotations

import math

import numpy as np

from .types import FloatArray, Status

__all__ = ["END_SLACK", "clipped_ends", "cut_to_range", "judge_ends"]

#: The module's relative end slack: a fraction of the larger last abscissa.
END_SLACK = 1e-12


def _kept(t: FloatArray, lo: float, hi: float) -> tuple[int, int, int]:
    """The run of points a cut keeps, those with lo <= t <= hi and one more
    on each side where there is one, and how many lie inside. On abscissae
    the module rejects the numbers mean nothing: _valid() decides first
    whether they are used."""
    first = int(np.searchsorted(t, lo, side="left"))
    stop = int(np.searchsorted(t, hi, side="right"))
    return max(first - 1, 0), min(stop + 1, len(t)), stop - first


def _valid(t: FloatArray) -> bool:
    # The module's own test of abscissae: non-decreasing (a NaN fails the
    # comparison with its neighbour) and finite, which the ends alone then
    # decide.
    return math.isfinite(t[0]) and math.isfinite(t[-1]) and bool(np.all(t[1:] >= t[:-1]))


def cut_to_range(
    t_ref: FloatArray, y_ref: FloatArray, t_test: FloatArray, y_test: FloatArray, lo: float, hi: float
) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray] | None:
    """Both curves cut to ``[lo, hi]`` and one point beyond each end (views,
    contiguous), or None when there is nothing to cut.

    The module, given the cut curves and the same range, computes the same
    funnel and the same errors at every test point it is given, and the
    same failures:
    - it filters the reference to the range before the funnel is built, and
      the cut keeps exactly the points the filter retains;
    - its effective range, the range clipped to the reference's first and
      last abscissa, is unchanged: a point kept beyond an end lies strictly
      outside the range, so the range end still wins, and where none lies
      beyond, the curve's own end is kept;
    - each error depends only on its test point and the bounds (the bounds
      are interpolated along non-decreasing abscissae, so dropped points
      change no value at the others), and every test point that can fail
      lies inside the range;
    - the rejections come out alike: the curves are cut only when both are
      valid and at least two points of each lie inside the range, so no
      check of lengths, order, counts or an empty range can turn out
      otherwise.
    Only the end check differs, which the package then makes itself
    (judge_ends).
    """
    if lo == -math.inf and hi == math.inf:
        return None
    if len(t_ref) != len(y_ref) or len(t_test) != len(y_test) or len(t_ref) < 2 or len(t_test) < 2:
        return None
    (a, b, ref_inside), (c, d, test_inside) = _kept(t_ref, lo, hi), _kept(t_test, lo, hi)
    # Leaving the curves whole is always right; the check of their order, a
    # pass over both, is made only where a cut would save something.
    if (a, b, c, d) == (0, len(t_ref), 0, len(t_test)) or ref_inside < 2 or test_inside < 2:
        return None
    if not (_valid(t_ref) and _valid(t_test)):
        return None
    return t_ref[a:b], y_ref[a:b], t_test[c:d], y_test[c:d]


def clipped_ends(t: FloatArray, x_range: tuple[float, float]) -> tuple[float, float]:
    """A curve's first and last abscissa, clipped to the range: where the
    curve starts and ends as far as the range can see."""
    lo, hi = x_range
    return max(lo, float(t[0])), min(hi, float(t[-1]))


def _slack(*last: float) -> float:
    # The larger magnitude, NaN passed over, as the module takes it.
    magnitudes = [abs(v) for v in last if not math.isnan(v)]
    return END_SLACK * max(magnitudes, default=math.nan)


def judge_ends(
    reference_t: FloatArray, test_t: FloatArray, x_range: tuple[float, float], end_tolerance: float
) -> Status:
    """PASS, MISSING_REFERENCE or MISSING_TEST for two validated curves
    (their complete abscissae), as the module classifies the ends of a
    comparison that found no failure, with each end clipped to the range and
    the end tolerance added to the slack.

    With an open range and no end tolerance this is the module's own rule,
    operation for operation. The slack comes from the complete curves' last
    abscissae, as the module's does, so whatever the module passes whole
    passes here too: clipping two ends to a range never moves them further
    apart.
    """
    slack = max(_slack(float(reference_t[-1]), float(test_t[-1])), end_tolerance)
    r_first, r_last = clipped_ends(reference_t, x_range)
    t_first, t_last = clipped_ends(test_t, x_range)
    if t_last > r_last + slack or r_first - slack > t_first:
        return Status.MISSING_REFERENCE
    if r_first < t_first - slack or t_last + slack < r_last:
        return Status.MISSING_TEST
    return Status.PASS
