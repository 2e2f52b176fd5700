"""Outcomes of a run: the verdict on each variable and on each file pair,
by one rule.

A variable passes when the module says PASS and nothing it compared is
outside the finite numbers (CompareResult.passed); with
``allow_non_finite``, on the module's verdict alone. A comparison the module
rejected (an empty range, too few points) is an error, never a failure.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Literal

from ..comparison import Status

if TYPE_CHECKING:
    from ..comparison import CompareResult

__all__ = ["PASSING", "POLICIES", "FileOutcome", "VariableOutcome", "Verdict", "describe_exception", "judge"]

#: The verdict on one variable.
Verdict = Literal["pass", "fail", "missing", "new", "ignored", "error", "not_compared"]

#: The verdicts that never fail a file (nor the run), whatever the policies.
PASSING: frozenset[Verdict] = frozenset({"pass", "ignored", "not_compared"})

#: What a variable on one side only does to the run (``on_missing``,
#: ``on_new``): fail it, or be reported as a warning only.
POLICIES = ("fail", "warn")


def judge(result: CompareResult, allow_non_finite: bool = False) -> Verdict:
    """The verdict on one comparison: "error" when the module rejected the
    input, else "pass" or "fail" (see the module's docstring)."""
    if not result.status.completed:
        return "error"
    if allow_non_finite:
        return "pass" if result.status is Status.PASS else "fail"
    return "pass" if result.passed else "fail"


def describe_exception(exc: BaseException) -> str:
    """One line for an unexpected exception: its type and message."""
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


@dataclass(frozen=True)
class VariableOutcome:
    """The verdict on one variable of one file pair."""

    #: The file pair, as a path relative to the compared folders (or a name).
    file: str
    #: The variable's column name.
    name: str
    #: "pass", "fail" (the funnel was left, or values that are not finite
    #: were found and not allowed), "missing" (in the reference, not in the
    #: test run: a lost output), "new" (in the test run only), "ignored" (by
    #: the config; never affects the exit code), "not_compared" (text or
    #: several numbers per cell in both files, listed with why; never affects
    #: the exit code either) or "error" (the module rejected the input: an
    #: empty range, too few points; or one file holds numbers and the other
    #: does not).
    verdict: Verdict
    #: The module's status; None for a variable missing, ignored or not compared.
    status: Status | None
    #: What the verdict says (CompareResult.message), or what is missing where.
    message: str
    max_error: float | None = None
    first_failure: float | None = None
    nan_reference: int = 0
    nan_test: int = 0
    #: The smallest margin inside the range (1 in the middle of the funnel, 0
    #: on a bound, negative outside) and its abscissa (CompareResult.margin).
    margin: float | None = None
    margin_t: float | None = None
    #: Test points outside the funnel inside the range.
    failing_count: int = 0
    #: The tolerances and range the variable was compared with.
    tolerances: dict[str, float] | None = None
    x_range: tuple[float, float] | None = None
    #: How far apart in t the ends could lie and still pass.
    end_tolerance: float = 0.0
    #: Smallest and largest half-width along t and y (CompareResult.half_widths).
    half_widths: dict[str, tuple[float, float]] | None = None
    #: Seconds the comparison took.
    seconds: float = 0.0
    #: The variable's unit, from a units row or the file's metadata (None: not known).
    unit: str | None = None
    #: PNG of the funnel plot, for a variable that did not pass (when asked).
    figure: bytes | None = field(default=None, repr=False)
    #: A missing or new variable that the run's policy (``on_missing``,
    #: ``on_new``) reports as a warning only: it does not fail the run.
    tolerated: bool = False

    @property
    def passed(self) -> bool:
        """True when the verdict is "pass"."""
        return self.verdict == "pass"

    @property
    def fails(self) -> bool:
        """Whether this variable fails its file: it failed, is unusable, or
        is missing or new and not tolerated."""
        return self.verdict not in PASSING and not self.tolerated

    @property
    def label(self) -> str:
        """The name as shown in tables and plots: with its unit when known."""
        return f"{self.name} [{self.unit}]" if self.unit else self.name


@dataclass(frozen=True)
class FileOutcome:
    """The verdicts on the variables of one file pair, or why it was unusable."""

    #: Path relative to the compared folders.
    file: str
    reference: str | None
    test: str | None
    #: The file is on one side only: "test" or "reference" is missing.
    missing: Literal["test", "reference"] | None = None
    #: Why the pair could not be compared (an unreadable file, an
    #: exception, a worker process that died), else None. The variables
    #: compared before it happened are kept.
    error: str | None = None
    variables: tuple[VariableOutcome, ...] = ()
    #: What looks wrong but is no failure (time columns named differently, time spans far
    #: apart), and the funnel plots that could not be drawn, with the reason.
    warnings: tuple[str, ...] = ()
    #: Indices into RunOptions.patterns() of the globs that fit a variable of this pair.
    matched: frozenset[int] = field(default=frozenset(), repr=False, compare=False)

    @property
    def verdict(self) -> Literal["pass", "fail", "missing", "error"]:
        """ "error" (the file or a variable is unusable), "missing", "fail" (a
        variable failed, or is missing or new and not tolerated) or "pass"
        (variables ignored, not compared or tolerated aside)."""
        if self.error is not None or any(v.verdict == "error" for v in self.variables):
            return "error"
        if self.missing is not None:
            return "missing"
        return "fail" if any(v.fails for v in self.variables) else "pass"
