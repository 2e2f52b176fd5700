"""Assertions for test suites: ``assert_funnel`` fails like ``numpy.testing`` does.

The pytest fixture ``funnel_regression`` (velmora_funnel.pytest_plugin,
registered through the ``pytest11`` entry point) keeps reference files beside
the test module and compares every run with them.
"""

from __future__ import annotations

from .comparison import CompareResult, CurveLike, compare
from .reports.cells import verdict_line
from .run.outcomes import judge

__all__ = ["assert_funnel", "failure_message"]


def failure_message(result: CompareResult, header: str = "Test curve is not inside the funnel") -> str:
    """The lines of a failed check: the verdict, first failure, largest
    error, smallest margin and the options compared with."""
    lo, hi = result.x_range
    options = ", ".join(f"{name}={value:g}" for name, value in result.tolerances.items())
    ends = f"; end_tolerance {result.end_tolerance:g}" if result.end_tolerance else ""
    lines = [f"{header} ({options}; x_range [{lo:g}, {hi:g}]{ends})", f" status: {result.status.name}"]
    lines += [f" {part}" for part in verdict_line(result).split("; ")]
    return "\n".join(lines)


def assert_funnel(
    reference: CurveLike,
    test: CurveLike,
    *,
    x_range: tuple[float | None, float | None] | None = None,
    allow_non_finite: bool = False,
    **tolerances: float,
) -> CompareResult:
    """Raise AssertionError unless ``test`` stays inside the funnel around
    ``reference``; the arguments are compare()'s. Values that are not finite
    fail unless ``allow_non_finite``. Returns the result when it passes."""
    result = compare(reference, test, x_range=x_range, **tolerances)
    if judge(result, allow_non_finite) != "pass":
        raise AssertionError(failure_message(result))
    return result
