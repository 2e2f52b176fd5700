"""One pair of curves over the compiled module.

compare() turns whatever the caller holds (lists, NumPy arrays of any real
dtype or layout, pandas Series) into the contiguous float64 arrays that
_velmora_funnel.compare insists on, refuses tolerances that would build a
meaningless funnel, and wraps the result dict in an immutable CompareResult.
The verdict itself is always the compiled module's.

Layers: types (statuses, curves), immutable (the one rule that keeps result
arrays unwritable), convert (the caller's data), options (checked
tolerances, range and end tolerance), summaries, ends and verdicts (what a
result derives and says) and result (CompareResult), api (the entry
points). Nothing here imports from the layers above it but lazily, for
CompareResult.plot().
"""

from .api import compare, compare_checked, compare_curves
from .convert import as_curve
from .options import CompareOptions, check_end_tolerance, check_tolerances, check_x_range
from .result import CompareResult
from .types import TOLERANCE_NAMES, Curve, CurveLike, Status

__all__ = [
    "TOLERANCE_NAMES",
    "CompareOptions",
    "CompareResult",
    "Curve",
    "CurveLike",
    "Status",
    "as_curve",
    "check_end_tolerance",
    "check_tolerances",
    "check_x_range",
    "compare",
    "compare_checked",
    "compare_curves",
]
