"""What a verdict says of the curves it was given, in the words a user acts
on: which ends are missing, at which t, and which constant changed, instead
of the module's general message for the status."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from .ends import END_SLACK, clipped_ends
from .summaries import effective_range
from .types import Status

if TYPE_CHECKING:
    from .result import CompareResult

__all__ = ["constant_change", "describe", "format_number", "format_pair"]


def format_number(value: float | None, digits: int = 4) -> str:
    """Compact text for a number in a report: ``digits`` significant
    digits, "-" for None."""
    if value is None:
        return "-"
    if math.isnan(value):
        return "nan"
    return f"{value:.{digits}g}"


def format_pair(a: float, b: float, digits: int = 4) -> tuple[str, str]:
    """Two numbers as format_number() gives them, with as many more digits
    as it takes to tell them apart when they differ."""
    for more in range(digits, 18):
        texts = format_number(a, more), format_number(b, more)
        if texts[0] != texts[1] or a == b:
            return texts
    return texts


def constant_change(result: CompareResult) -> tuple[float, float] | None:
    """The reference's and the test's value where both curves are constant
    over the compared range (the reference points the funnel is built from,
    the test points the verdict looks at) and the two differ; else None."""
    if not result.status.completed:
        return None
    (t_ref, y_ref), (t_test, y_test) = result.reference, result.test
    lo, hi = result.x_range
    # Validated, so non-decreasing: each range is one slice.
    y_ref = y_ref[int(np.searchsorted(t_ref, lo, side="left")) : int(np.searchsorted(t_ref, hi, side="right"))]
    lo, hi = effective_range(result.x_range, t_ref)
    y_test = y_test[int(np.searchsorted(t_test, lo, side="left")) : int(np.searchsorted(t_test, hi, side="right"))]
    if len(y_ref) == 0 or len(y_test) == 0:
        return None
    before, after = float(y_ref[0]), float(y_test[0])
    # NaN is no constant: it equals nothing, itself included.
    if before == after or not (np.all(y_ref == before) and np.all(y_test == after)):
        return None
    return before, after


def _missing_ends(result: CompareResult) -> str | None:
    """The ends that make the status MISSING_*, each with both curves' t."""
    r_first, r_last = clipped_ends(result.reference.t, result.x_range)
    t_first, t_last = clipped_ends(result.test.t, result.x_range)
    magnitudes = [abs(v) for v in (r_last, t_last) if not math.isnan(v)]
    clauses: list[str] = []
    # The slack the ends were judged with, near enough to tell which end it
    # was; failing that, every end where the two curves differ at all.
    for slack in (max(END_SLACK * max(magnitudes, default=0.0), result.end_tolerance), 0.0):
        clauses = []
        if result.status is Status.MISSING_TEST:
            if r_first < t_first - slack:
                clauses.append("the test run starts at t = {}, the reference at t = {}".format(*_t(t_first, r_first)))
            if t_last + slack < r_last:
                clauses.append("the test run ends at t = {}, the reference at t = {}".format(*_t(t_last, r_last)))
        else:
            if r_first - slack > t_first:
                clauses.append("the reference starts at t = {}, the test run at t = {}".format(*_t(r_first, t_first)))
            if t_last > r_last + slack:
                clauses.append("the reference ends at t = {}, the test run at t = {}".format(*_t(r_last, t_last)))
        if clauses:
            break
    if not clauses:
        return None
    what = "missing test" if result.status is Status.MISSING_TEST else "missing reference"
    text = f"{what}: " + "; ".join(clauses)
    if result.end_tolerance:
        text += f" (end tolerance {format_number(result.end_tolerance, 6)})"
    return text


def _t(a: float, b: float) -> tuple[str, str]:
    # Abscissae as the reports print them: six significant digits.
    return format_pair(a, b, 6)


def describe(result: CompareResult) -> str:
    """The status said of these curves: the missing ends with both curves'
    t, ``constant changed: 15 -> 21`` for a failure of two constants, else
    the module's message."""
    status = result.status
    if status in (Status.MISSING_TEST, Status.MISSING_REFERENCE) and len(result.test.t) > 0:
        missing = _missing_ends(result)
        if missing is not None:
            return missing
    elif status is Status.FAIL:
        change = constant_change(result)
        if change is not None:
            return "constant changed: {} -> {}".format(*format_pair(*change))
    return status.message
