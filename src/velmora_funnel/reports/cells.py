"""The cells every report shares: numbers, verdict labels, counts and the
summary line, and the one-line verdict of a variable. The terminal table,
JSON, JUnit, Markdown and HTML all take them from here, so a verdict reads
the same wherever it is shown."""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

# One rule for numbers, shared with the verdicts' own wording.
from ..comparison.verdicts import format_number

if TYPE_CHECKING:
    from ..run.outcomes import VariableOutcome

__all__ = [
    "COUNTED",
    "LABELS",
    "all_passed",
    "count",
    "failing_cell",
    "format_number",
    "half_width_cell",
    "status_cell",
    "summary_line",
    "tally",
    "tolerances_cell",
    "verdict_line",
]

#: A verdict as tables show it: what did not pass in capitals.
LABELS = {
    "pass": "pass",
    "ignored": "ignored",
    "fail": "FAIL",
    "missing": "MISSING",
    "new": "NEW",
    "error": "UNUSABLE",
    "not_compared": "NOT_COMPARED",
}
#: The key under which a verdict is counted.
COUNTED = {
    "pass": "passed",
    "fail": "failed",
    "missing": "missing",
    "new": "new",
    "error": "unusable",
    "ignored": "ignored",
    "not_compared": "not_compared",
}


def count(number: int, noun: str) -> str:
    """ "1 variable", "2 variables"."""
    return f"{number} {noun}" + ("" if number == 1 else "s")


def tally(variables: Iterable[VariableOutcome]) -> dict[str, int]:
    """The variables counted by verdict (``variables``, ``passed``, ``failed``,
    ``missing``, ``new``, ``ignored``, ``unusable``, ``not_compared``), and
    ``tolerated``: the missing and new ones that are warnings only
    (VariableOutcome.tolerated)."""
    counts = dict.fromkeys(
        ("variables", "passed", "failed", "missing", "new", "ignored", "unusable", "not_compared", "tolerated"), 0
    )
    for variable in variables:
        counts["variables"] += 1
        counts[COUNTED[variable.verdict]] += 1
        counts["tolerated"] += variable.tolerated
    return counts


def all_passed(counts: Mapping[str, int]) -> bool:
    """Nothing failed, is unusable, or is missing or new without being
    tolerated (ignored variables aside); a batch's missing and unusable
    files count too."""
    keys = ("failed", "unusable", "missing_files", "unusable_files")
    one_sided = counts.get("missing", 0) + counts.get("new", 0) - counts.get("tolerated", 0)
    return not (any(counts.get(key) for key in keys) or one_sided > 0)


def summary_line(counts: Mapping[str, int], files: str = "") -> str:
    """``PASS: 3 variables, 3 passed, 0 failed, 0 missing`` (new, ignored,
    unusable and not compared ones when there are any), after ``files`` when
    given."""
    verdict = "PASS" if all_passed(counts) else "FAIL"
    extra = "".join(
        f", {counts[key]} {key.replace('_', ' ')}"
        for key in ("new", "ignored", "unusable", "not_compared")
        if counts.get(key)
    )
    return (
        f"{verdict}: {files}{count(counts['variables'], 'variable')}, {counts['passed']} passed, "
        f"{counts['failed']} failed, {counts['missing']} missing{extra}"
    )


def status_cell(variable: VariableOutcome) -> str:
    return variable.status.name if variable.status is not None else "-"


def failing_cell(variable: VariableOutcome) -> str:
    return str(variable.failing_count) if variable.status is not None else "-"


def half_width_cell(widths: Mapping[str, tuple[float, float]] | None, axis: str) -> str:
    """The half-width along ``axis``: one number, or ``low..high`` where it varies."""
    if widths is None:
        return "-"
    low, high = widths[axis]
    return format_number(high) if low == high else f"{format_number(low)}..{format_number(high)}"


def tolerances_cell(variable: VariableOutcome) -> str:
    """The tolerances a variable was compared with: those that are not 0, and a range that is not open."""
    if variable.tolerances is None:
        return ""
    text = ", ".join(f"{name} {value:g}" for name, value in variable.tolerances.items() if value)
    if variable.x_range is not None and any(map(math.isfinite, variable.x_range)):
        text += ", x range [{:g}, {:g}]".format(*variable.x_range)
    if getattr(variable, "end_tolerance", 0.0):
        text += f", end tolerance {variable.end_tolerance:g}"
    return text


def verdict_line(outcome: Any) -> str:
    """The verdict in one line: the message, the first failure, the largest
    error and the smallest margin (of a VariableOutcome or a CompareResult)."""
    parts = [outcome.message]
    if outcome.first_failure is not None:
        parts.append(f"first failure at t = {format_number(outcome.first_failure, 6)}")
    if outcome.max_error is not None:
        parts.append(f"largest error {format_number(outcome.max_error)}")
    if outcome.margin is not None:
        parts.append(
            f"smallest margin {format_number(outcome.margin, 3)} at t = {format_number(outcome.margin_t, 6)} "
            f"({outcome.failing_count} failing points)"
        )
    return "; ".join(parts)
