"""One file pair of a run: reading both files, checking that they can be
compared, comparing the variables the run options select, and pairing the
result files of two folders.

In a batch each worker reads its own pair of files, so only paths travel to
the workers and only small per-variable outcomes (and the PNG of a funnel
plot for a variable that did not pass) travel back.
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Callable, Iterator, Mapping
from contextlib import AbstractContextManager, nullcontext
from dataclasses import replace
from typing import cast

import numpy as np

from ..comparison import CompareResult, Curve, compare_curves
from ..comparison.summaries import summarise
from ..errors import ResultFileError
from ..io import ReadOptions, ResultTable, read_result
from .options import RunOptions
from .outcomes import FileOutcome, VariableOutcome, Verdict, describe_exception, judge
from .pairing import name_pattern, pair_by_patterns, pair_files

__all__ = [
    "SPAN_RATIO_WARNING",
    "Figure",
    "compare_file_pair",
    "compare_tables",
    "name_pattern",
    "pair_by_patterns",
    "pair_files",
    "pair_warnings",
    "read_checked",
    "read_pair",
    "refuse_named",
    "time_goes_back",
]

#: What draws a variable that did not pass: its result, a title and the
#: labels of the ordinate and the abscissa in, ``(png, None)`` or
#: ``(None, why it could not be drawn)`` out
#: (reports.plot.png). A run takes one from the caller, so that nothing
#: here imports plotting and a worker imports it only to draw.
Figure = Callable[[CompareResult, str, str, str], tuple[bytes, None] | tuple[None, str]]


def time_label(table: ResultTable) -> str:
    """The abscissa as a plot's axis names it: its name, and its unit when known."""
    unit = table.units.get(table.abscissa_name)
    return f"{table.abscissa_name} [{unit}]" if unit else table.abscissa_name


def time_goes_back(table: ResultTable) -> ResultFileError | None:
    """The first data row where the abscissa goes back (or is not a number),
    which the module would reject for every variable of the file."""
    t = table.t
    with np.errstate(invalid="ignore"):
        bad = np.flatnonzero(~(t[1:] >= t[:-1]))
    if not len(bad):
        return None
    row = int(bad[0]) + 1
    values = f"{float(t[row])!r} after {float(t[row - 1])!r}"
    if table.line_of is not None:
        # A text file's rows are its lines, as in every other message about it.
        return ResultFileError(
            table.path, f"time ({table.abscissa_name!r}) goes back: {values}", row=table.line_of(row)
        )
    return ResultFileError(table.path, f"time ({table.abscissa_name!r}) goes back at data row {row + 1}: {values}")


#: Time spans further apart than this factor are taken for different units (ms against s).
SPAN_RATIO_WARNING = 100.0


def pair_warnings(reference: ResultTable, test: ResultTable) -> tuple[str, ...]:
    """What looks like a mix-up but is no failure: time columns named
    differently, time spans more than a factor of 100 apart."""
    found = []
    # Tools differ in case alone (Dymola's "Time", an FMU export's "time"): no mix-up.
    if reference.abscissa_name.casefold() != test.abscissa_name.casefold():
        found.append(
            f"the time columns are named differently: {reference.abscissa_name!r} in {reference.path}, "
            f"{test.abscissa_name!r} in {test.path}"
        )
    spans = [float(table.t[-1] - table.t[0]) if len(table) > 1 else 0.0 for table in (reference, test)]
    if all(math.isfinite(span) and span > 0 for span in spans):
        ratio = max(spans) / min(spans)
        if ratio > SPAN_RATIO_WARNING:
            found.append(
                f"the time spans differ by a factor of {ratio:.3g} ({spans[0]:g} in {reference.path}, "
                f"{spans[1]:g} in {test.path}): different units?"
            )
    return tuple(found)


def _rejected(result: CompareResult, reference: ResultTable, test: ResultTable) -> str:
    """The module's reason for rejecting a variable, with what each file holds."""
    lo, hi = result.x_range

    def holds(table: ResultTable) -> str:
        span = f"t from {table.t[0]:g} to {table.t[-1]:g}" if len(table) else "no rows"
        return f"{table.path} has {span} ({len(table)} rows)"

    return f"unusable: {result.message}; x_range [{lo:g}, {hi:g}], {holds(reference)}, {holds(test)}"


def _message(result: CompareResult, verdict: str, reference: ResultTable, test: ResultTable) -> str:
    """The variable's message, which leads with its verdict: a caveat the
    run allows lets the module's PASS stand, and says so."""
    if verdict == "error":
        return _rejected(result, reference, test)
    if verdict == "pass" and result.caveat is not None:
        return f"{result.status.message}; {result.caveat} (allowed)"
    return result.message


def _one_sided(
    file: str,
    name: str,
    in_reference: bool,
    in_test: bool,
    reference: ResultTable,
    test: ResultTable,
    options: RunOptions,
) -> VariableOutcome:
    """A variable that is not in both files: missing (not in the test run: a
    lost output, or given by name and in neither) or new (in the test run
    only); the run's policy says whether it fails."""
    policy = options.policy(name)
    if in_test:
        return VariableOutcome(
            file=file,
            name=name,
            verdict="new",
            status=None,
            message=f"new: not in reference ({reference.path})",
            tolerated=policy.on_new == "warn",
        )
    where = ["test"] if in_reference else ["reference", "test"]
    paths = {"reference": reference.path, "test": test.path}
    return VariableOutcome(
        file=file,
        name=name,
        verdict="missing",
        status=None,
        message="; ".join(f"missing in {side} ({paths[side]})" for side in where),
        tolerated=policy.on_missing == "warn",
    )


def refuse_named(reference: ResultTable, test: ResultTable, options: RunOptions) -> None:
    """Raise the reading error of a column a file skipped (text, several
    numbers per cell) that the user asked for by its name: it cannot be
    compared, and silence would pass it."""
    for table in (reference, test):
        for name in table.skipped:
            refusal = table.refusal(name)
            if refusal is not None and options.named(name):
                raise refusal


def compare_tables(
    reference: ResultTable,
    test: ResultTable,
    options: RunOptions,
    *,
    file: str = "",
) -> Iterator[tuple[VariableOutcome, CompareResult | None]]:
    """Compare the variables ``options`` selects of two loaded result files,
    each with its own options, paired as ``options.names`` says (the
    reference's spelling shown). Yields each variable's outcome with its full
    result (None for a variable missing, new, ignored or not compared), one
    variable at a time. The columns a file skipped are listed as not
    compared, with why; one the user named raises its ResultFileError at
    once (refuse_named), as do names of one file that pair as one."""
    refuse_named(reference, test, options)
    return _compared(reference, test, options, file)


def _compared(
    reference: ResultTable, test: ResultTable, options: RunOptions, file: str
) -> Iterator[tuple[VariableOutcome, CompareResult | None]]:
    variables = options.variables(reference.all_names, test.all_names, (reference.path, test.path))
    for name, reference_name, test_name in variables:
        variable_options = options.for_variable(name, test_name)
        if variable_options is None:
            yield (
                VariableOutcome(file=file, name=name, verdict="ignored", status=None, message="ignored by the config"),
                None,
            )
            continue
        if reference_name is None or test_name is None:
            present = (reference_name is not None, test_name is not None)
            yield _one_sided(file, name, *present, reference, test, options), None
            continue
        unit = reference.units.get(reference_name) or test.units.get(test_name) or None
        if reference_name in reference.skipped or test_name in test.skipped:
            yield _not_compared(file, name, (reference_name, test_name), reference, test, unit), None
            continue
        started = time.perf_counter()
        # The tables' arrays are read-only down to their owners: compared
        # as they are, not copied.
        result = compare_curves(
            Curve(*reference.curve(reference_name)), Curve(*test.curve(test_name)), variable_options
        )
        seconds = time.perf_counter() - started
        # The outcome lists every summary: all of them in one kernel call.
        summarise(result)
        verdict = judge(result, options.allow_non_finite)
        outcome = VariableOutcome(
            file=file,
            name=name,
            verdict=verdict,
            status=result.status,
            message=_message(result, verdict, reference, test),
            max_error=result.max_error,
            first_failure=result.first_failure,
            nan_reference=result.nan_reference,
            nan_test=result.nan_test,
            margin=result.margin,
            margin_t=result.margin_t,
            failing_count=result.failing_count,
            tolerances=dict(variable_options.tolerances),
            x_range=variable_options.x_range,
            end_tolerance=variable_options.end_tolerance,
            half_widths=result.half_widths(),
            seconds=seconds,
            unit=unit,
        )
        yield outcome, result


def _not_compared(
    file: str, name: str, spelled: tuple[str, str], reference: ResultTable, test: ResultTable, unit: str | None
) -> VariableOutcome:
    """A variable that one file or both hold as something other than
    numbers: not compared when both do (text in both runs is no
    regression); unusable when one holds numbers, which the other run does
    not give as numbers."""
    found = {
        side: table.skipped.get(spelling)
        for side, table, spelling in (("reference", reference, spelled[0]), ("test", test, spelled[1]))
    }
    verdict: Verdict = "not_compared"
    if found["reference"] == found["test"]:
        message = f"not compared: {found['reference']}"
    elif found["reference"] and found["test"]:
        message = f"not compared: {found['reference']} in reference, {found['test']} in test"
    else:
        paths = {"reference": reference.path, "test": test.path}
        side, other = ("reference", "test") if found["reference"] else ("test", "reference")
        message = f"not compared: {found[side]} in {side} ({paths[side]}), numbers in {other} ({paths[other]})"
        verdict = "error"
    return VariableOutcome(file=file, name=name, verdict=verdict, status=None, message=message, unit=unit)


def read_checked(path: str, options: ReadOptions | None) -> ResultTable:
    """Read one result file as the run's options say, and refuse time that
    goes back; raises ResultFileError or OSError."""
    table = read_result(path, options)
    problem = time_goes_back(table)
    if problem is not None:
        raise problem
    return table


def read_pair(
    reference_path: str,
    test_path: str,
    options: ReadOptions | tuple[ReadOptions | None, ReadOptions | None] | None,
    *,
    before: Callable[[str], None] | None = None,
) -> tuple[ResultTable, ResultTable]:
    """Read both files of a pair with the run's reading options (None: by
    their extensions; a pair: the reference's and the test's, as
    RunOptions.sides() gives them), each once; ``before`` is called with
    each path before it is read (a progress bar). Raises ResultFileError
    (also for time that goes back) or OSError."""
    sides = options if isinstance(options, tuple) else (options, options)
    tables = []
    for path, how in zip((reference_path, test_path), sides, strict=True):
        if before is not None:
            before(path)
        tables.append(read_checked(path, how))
    return tables[0], tables[1]


def _reader_threads(threads: int | None) -> AbstractContextManager[object]:
    """pandas parses a large CSV file on every core; workers that each read
    their own files share the cores instead of each taking them all."""
    if threads is None:
        return nullcontext()
    import pandas as pd

    try:
        pd.get_option("mode.max_threads")
    except KeyError:  # OptionError: pandas before 3.1 parses on one thread anyway
        return nullcontext()
    return cast(AbstractContextManager[object], pd.option_context("mode.max_threads", threads))


def compare_file_pair(
    file: str,
    reference_path: str | None,
    test_path: str | None,
    options: RunOptions,
    figure: Figure | None = None,
    reader_threads: int | None = None,
    advice: Callable[[Mapping[str, str]], str] | None = None,
    test_advice: Callable[[Mapping[str, str]], str] | None = None,
) -> FileOutcome:
    """Read and compare one file pair (runs in a worker): every variable's
    outcome, with the PNG ``figure`` draws for each one that did not pass.
    An unreadable file gives an outcome with ``error``, the reading options
    that would read it spelled by ``advice`` (ResultFileError.describe), or
    by ``test_advice`` for a test file whose reference was read as it is.
    ``reader_threads`` caps the threads that parse one CSV file (pandas' own
    choice when None)."""
    if reference_path is None or test_path is None:
        return FileOutcome(file, reference_path, test_path, missing="reference" if reference_path is None else "test")
    try:
        with _reader_threads(reader_threads):
            reference, test = read_pair(reference_path, test_path, options.sides())
        refuse_named(reference, test, options)
    except ResultFileError as exc:
        # The reference is read first: when the test file fails, what reads it is for the test side alone.
        alone = test_advice is not None and exc.path == test_path and not os.path.samefile(test_path, reference_path)
        return FileOutcome(file, reference_path, test_path, error=exc.describe(test_advice if alone else advice))
    except OSError as exc:
        return FileOutcome(file, reference_path, test_path, error=f"{exc.filename or file}: {exc.strerror or exc}")
    # A comparison that raises (MemoryError) makes this pair unusable, with
    # the reason, and must not cost the other pairs of the batch; a plot
    # that cannot be drawn costs that plot only.
    outcomes: list[VariableOutcome] = []
    problem, skipped = None, []
    try:
        for outcome, result in compare_tables(reference, test, options, file=file):
            if figure is not None and result is not None and not outcome.passed:
                png, reason = figure(result, f"{file}: {outcome.label}", outcome.label, time_label(reference))
                if reason is not None:
                    skipped.append(f"funnel plot of {outcome.name!r} skipped: {reason}")
                outcome = replace(outcome, figure=png)
            outcomes.append(outcome)
    except ResultFileError as exc:  # names that cannot be paired
        problem = exc.describe(advice)
    except Exception as exc:
        problem = f"comparison failed: {describe_exception(exc)}"
    return FileOutcome(
        file,
        reference_path,
        test_path,
        error=problem,
        variables=tuple(outcomes),
        warnings=(*pair_warnings(reference, test), *skipped),
        matched=options.matched((*reference.all_names, *test.all_names)),
    )
