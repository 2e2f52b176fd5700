"""What a result derives from its arrays, on first access: the error
summary, the counts of values that are not finite, the margins and the
half-widths. The loops over whole curves run in the package's compiled
kernels; the half-width rule is the core's own."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np

from .. import _kernels
from .types import Curve, FloatArray, Status

if TYPE_CHECKING:
    from .result import CompareResult

__all__ = ["SUMMARIES", "effective_range", "half_widths", "margins", "smallest_margin", "summarise"]

# Below this many values one isfinite pass is cheaper than the error state a sum needs.
_SUM_CHECK_FROM = 4096


def _all_finite(*arrays: FloatArray) -> bool:
    for a in arrays:
        if len(a) < _SUM_CHECK_FROM:
            if not np.isfinite(a).all():
                return False
            continue
        # A NaN or an infinity makes the sum NaN or infinite, so a finite sum
        # proves every value finite in one pass that allocates nothing; a
        # sum that overflows only sends the array to the exact check.
        with np.errstate(over="ignore", invalid="ignore"):
            total = float(np.add.reduce(a))
        if not math.isfinite(total) and not np.isfinite(a).all():
            return False
    return True


def _count_non_finite(t: FloatArray, y: FloatArray, lo: float, hi: float) -> tuple[int, int]:
    """NaN and infinite ordinates inside the range ``lo <= t <= hi``."""
    if _all_finite(y):
        return 0, 0
    if len(t) == len(y):
        inside = (t >= lo) & (t <= hi)
        nan = int(np.count_nonzero(np.isnan(y) & inside))
        return nan, int(np.count_nonzero(np.isinf(y) & inside))
    # Unequal lengths (rejected by the module): no point can be placed.
    return int(np.count_nonzero(np.isnan(y))), int(np.count_nonzero(np.isinf(y)))


def _count_non_finite_points(*curves: Curve) -> int:
    if _all_finite(*(a for curve in curves for a in curve)):
        return 0
    return sum(int(np.count_nonzero(~(np.isfinite(c.t) & np.isfinite(c.y)))) for c in curves)


_MarginArguments: TypeAlias = tuple[
    FloatArray,
    FloatArray,
    FloatArray,
    FloatArray,
    FloatArray,
    FloatArray,
    float,
    float,
    float,
    FloatArray,
    FloatArray,
    FloatArray,
]


def _margin_inputs(result: CompareResult) -> tuple[slice, _MarginArguments] | None:
    """The test points inside the range and what the margins kernel reads
    of them, or None when no margin can be taken."""
    t, v = result.test
    if not result.status.completed or len(result.reference.t) == 0 or len(t) == 0:
        return None
    lo, hi = effective_range(result.x_range, result.reference.t)
    # A completed comparison had non-decreasing test abscissae without NaN
    # (the module rejects others), so the range is one slice of them.
    inside = slice(int(np.searchsorted(t, lo, side="left")), int(np.searchsorted(t, hi, side="right")))
    # The reference points the funnel was built from: the module filters
    # them with the requested range, not the clipped one.
    r, w = _reference_inside(result)
    if len(r) == 0:
        return None
    lower, upper, tol = result.lower, result.upper, result.tolerances
    return inside, (
        *(lower.t, lower.y, upper.t, upper.y),
        *(r, w, tol["atoly"], tol["ltoly"], tol["rtoly"]),
        *(t[inside], v[inside], result.errors.y[inside]),
    )


def _reference_inside(result: CompareResult) -> Curve:
    t, y = result.reference
    lo, hi = result.x_range
    # Validated abscissae are non-decreasing: the range is one slice.
    inside = slice(int(np.searchsorted(t, lo, side="left")), int(np.searchsorted(t, hi, side="right")))
    return Curve(t[inside], y[inside])


def margins(result: CompareResult) -> FloatArray:
    margins = np.full(len(result.test.t), np.nan)
    found = _margin_inputs(result)
    if found is not None:
        inside, arrays = found
        _kernels.margins(*arrays, margins[inside])
    return margins


def smallest_margin(result: CompareResult) -> tuple[float | None, float | None]:
    # The kernel's own minimum: no array of every margin is needed for it.
    found = _margin_inputs(result)
    if found is None:
        return None, None
    inside, arrays = found
    smallest, where = _kernels.margins(*arrays, None)
    if where < 0:
        return None, None
    return smallest, float(result.test.t[inside.start + where])


def effective_range(x_range: tuple[float, float], reference_t: FloatArray) -> tuple[float, float]:
    """The requested range clipped to the reference span, as the module does."""
    return max(x_range[0], float(reference_t[0])), min(x_range[1], float(reference_t[-1]))


def _summarise_errors(
    status: Status, reference_t: FloatArray, errors: Curve, lo: float, hi: float
) -> tuple[float | None, float | None, int]:
    """Largest error, first failing abscissa and the number of failing points
    inside the range on which the module decides FAIL: the requested range
    clipped to the reference span."""
    if not status.completed or len(reference_t) == 0:
        return None, None, 0
    effective_lo, effective_hi = effective_range((lo, hi), reference_t)
    # A failing error is one that is not 0, NaN included, exactly as in the
    # module's own failure scan.
    inside, failing, first, largest, nan = _kernels.error_summary(*errors, effective_lo, effective_hi)
    first_failure = float(errors.t[first]) if failing else None
    if not inside:
        return 0.0, first_failure, 0
    return (math.nan if nan else largest), first_failure, failing


def _error_summary(result: CompareResult) -> dict[str, Any]:
    lo, hi = result.x_range
    max_error, first_failure, failing = _summarise_errors(result.status, result.reference.t, result.errors, lo, hi)
    summary = {"max_error": max_error, "first_failure": first_failure, "failing_count": failing}
    # A result built by hand keeps the summaries it was given.
    return {name: value for name, value in summary.items() if name not in result._derived}


def _reference_counts(result: CompareResult) -> dict[str, Any]:
    nan, inf = _count_non_finite(*result.reference, *result.x_range)
    return {"nan_reference": nan, "inf_reference": inf}


def _test_counts(result: CompareResult) -> dict[str, Any]:
    nan, inf = _count_non_finite(*result.test, *result.x_range)
    return {"nan_test": nan, "inf_test": inf}


def _bound_counts(result: CompareResult) -> dict[str, Any]:
    return {"non_finite_bounds": _count_non_finite_points(result.lower, result.upper)}


# Which pass computes each summary (the pass also stores its siblings).
SUMMARIES: dict[str, Callable[[CompareResult], dict[str, Any]]] = {
    "max_error": _error_summary,
    "first_failure": _error_summary,
    "failing_count": _error_summary,
    "nan_reference": _reference_counts,
    "inf_reference": _reference_counts,
    "nan_test": _test_counts,
    "inf_test": _test_counts,
    "non_finite_bounds": _bound_counts,
}


def half_widths(result: CompareResult) -> dict[str, tuple[float, float]] | None:
    """The smallest and largest half-width along t and y over the reference
    points inside the range (see CompareResult.half_widths)."""
    if not result.status.completed or len(result.reference.t) == 0:
        return None
    if "half_widths" in result._derived:
        known: dict[str, tuple[float, float]] | None = result._derived["half_widths"]
        return None if known is None else dict(known)
    t, y = _reference_inside(result)
    if len(t) == 0:
        return None
    tol = result.tolerances
    # The core's own data characteristics of these points and its rule of
    # each axis: the half-widths the funnel was built with, NaN ordinates
    # included as the core reads them.
    along_t, along_y = _kernels.half_widths(
        t, y, tol["atolx"], tol["ltolx"], tol["rtolx"], tol["atoly"], tol["ltoly"], tol["rtoly"]
    )
    return {"t": along_t, "y": along_y}


def summarise(result: CompareResult) -> None:
    """Every summary above at once, for a caller that lists them all (a
    batch's reports): one call of the compiled kernels reads each curve once,
    where the summaries one by one would each take a pass of their own. A
    result the module did not complete keeps them for first access."""
    derived = result._derived
    if not result.status.completed or len(result.reference.t) == 0:
        return
    (t, v), errors = result.test, result.errors
    tol = result.tolerances
    (
        *counts,
        inside,
        failing,
        first,
        largest,
        nan,
        smallest,
        where,
        widths,
    ) = _kernels.summarise(
        *result.reference,
        t,
        v,
        errors.y,
        *result.lower,
        *result.upper,
        *result.x_range,
        *(tol[name] for name in ("atolx", "ltolx", "rtolx", "atoly", "ltoly", "rtoly")),
    )
    first_failure = float(errors.t[first]) if failing else None
    found: dict[str, Any] = dict(
        zip(("nan_reference", "inf_reference", "nan_test", "inf_test", "non_finite_bounds"), counts, strict=True)
    )
    found.update(
        max_error=(math.nan if nan else largest) if inside else 0.0,
        first_failure=first_failure,
        failing_count=failing if inside else 0,
        smallest_margin=(None, None) if where < 0 else (smallest, float(t[where])),
        half_widths=None if widths is None else {"t": widths[0], "y": widths[1]},
    )
    # A result built by hand keeps the summaries it was given.
    for name, value in found.items():
        derived.setdefault(name, value)
