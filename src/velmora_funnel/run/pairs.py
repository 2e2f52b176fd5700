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
from ..errors import ResultFileError
from ..io import RESULT_EXTENSIONS, ReadOptions, ResultTable, read_result
from .options import RunOptions
from .outcomes import FileOutcome, VariableOutcome, describe_exception, judge

__all__ = [
    "SPAN_RATIO_WARNING",
    "Figure",
    "compare_file_pair",
    "compare_tables",
    "pair_files",
    "pair_warnings",
    "read_checked",
    "read_pair",
    "time_goes_back",
]

#: What draws a variable that did not pass: its result and a title in,
#: ``(png, None)`` or ``(None, why it could not be drawn)`` out
#: (reports.plot.png). A run takes one from the caller, so that nothing
#: here imports plotting and a worker imports it only to draw.
Figure = Callable[[CompareResult, str], tuple[bytes, None] | tuple[None, str]]


def time_goes_back(table: ResultTable) -> ResultFileError | None:
    """The first data row where the abscissa goes back (or is not a number),
    which the module would reject for every variable of the file."""
    t = table.t
    with np.errstate(invalid="ignore"):
        bad = np.flatnonzero(~(t[1:] >= t[:-1]))
    if not len(bad):
        return None
    row = int(bad[0]) + 1
    return ResultFileError(
        table.path,
        f"time ({table.abscissa_name!r}) goes back at data row {row + 1} "
        f"(counted from 1 below the header): {float(t[row])!r} after {float(t[row - 1])!r}",
    )


#: Time spans further apart than this factor are taken for different units (ms against s).
SPAN_RATIO_WARNING = 100.0


def pair_warnings(reference: ResultTable, test: ResultTable) -> tuple[str, ...]:
    """What looks like a mix-up but is no failure: time columns named
    differently, time spans more than a factor of 100 apart."""
    found = []
    if reference.abscissa_name != test.abscissa_name:
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


def compare_tables(
    reference: ResultTable,
    test: ResultTable,
    options: RunOptions,
    *,
    file: str = "",
) -> Iterator[tuple[VariableOutcome, CompareResult | None]]:
    """Compare the variables ``options`` selects of two loaded result files,
    each with its own options. Yields each variable's outcome with its full
    result (None for a missing or ignored variable), one variable at a time."""
    paths = {"reference": reference.path, "test": test.path}
    for name, in_reference, in_test in options.select(reference.names, test.names):
        variable_options = options.for_variable(name)
        if variable_options is None:
            yield (
                VariableOutcome(file=file, name=name, verdict="ignored", status=None, message="ignored by the config"),
                None,
            )
            continue
        if not (in_reference and in_test):
            where = [label for label, present in (("reference", in_reference), ("test", in_test)) if not present]
            message = "; ".join(f"missing in {side} ({paths[side]})" for side in where)
            yield VariableOutcome(file=file, name=name, verdict="missing", status=None, message=message), None
            continue
        started = time.perf_counter()
        # The tables' arrays are read-only down to their owners: compared
        # as they are, not copied.
        result = compare_curves(Curve(*reference.curve(name)), Curve(*test.curve(name)), variable_options)
        seconds = time.perf_counter() - started
        verdict = judge(result, options.allow_non_finite)
        outcome = VariableOutcome(
            file=file,
            name=name,
            verdict=verdict,
            status=result.status,
            message=_rejected(result, reference, test) if verdict == "error" else result.message,
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
            unit=reference.units.get(name) or test.units.get(name) or None,
        )
        yield outcome, result


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
    options: ReadOptions | None,
    *,
    before: Callable[[str], None] | None = None,
) -> tuple[ResultTable, ResultTable]:
    """Read both files of a pair with the run's reading options (None: by
    their extensions), each once; ``before`` is called with each path before
    it is read (a progress bar). Raises ResultFileError (also for time that
    goes back) or OSError."""
    tables = []
    for path in (reference_path, test_path):
        if before is not None:
            before(path)
        tables.append(read_checked(path, options))
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
) -> FileOutcome:
    """Read and compare one file pair (runs in a worker): every variable's
    outcome, with the PNG ``figure`` draws for each one that did not pass.
    An unreadable file gives an outcome with ``error``, the reading options
    that would read it spelled by ``advice`` (ResultFileError.describe).
    ``reader_threads`` caps the threads that parse one CSV file (pandas' own
    choice when None)."""
    if reference_path is None or test_path is None:
        return FileOutcome(file, reference_path, test_path, missing="reference" if reference_path is None else "test")
    try:
        with _reader_threads(reader_threads):
            reference, test = read_pair(reference_path, test_path, options.read)
    except ResultFileError as exc:
        return FileOutcome(file, reference_path, test_path, error=exc.describe(advice))
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
                png, reason = figure(result, f"{file}: {outcome.label}")
                if reason is not None:
                    skipped.append(f"funnel plot of {outcome.name!r} skipped: {reason}")
                outcome = replace(outcome, figure=png)
            outcomes.append(outcome)
    except Exception as exc:
        problem = f"comparison failed: {describe_exception(exc)}"
    return FileOutcome(
        file,
        reference_path,
        test_path,
        error=problem,
        variables=tuple(outcomes),
        warnings=(*pair_warnings(reference, test), *skipped),
        matched=options.matched((*reference.names, *test.names)),
    )


def _result_files(directory: str) -> dict[str, str]:
    """The result files under ``directory`` by relative path. Symlinked
    folders are walked like any other (a run kept in several places has all
    its files), except one that leads back to a folder above it, which would
    go on for ever. A folder that cannot be listed raises OSError: a run
    with files left out would compare (or accept) less than it has."""
    found = {}

    def fail(error: OSError) -> None:
        raise error

    # The real folders above each folder walked, to know a loop when a symlink closes one.
    above: dict[str, frozenset[tuple[int, int]]] = {directory: frozenset()}
    for root, dirs, files in os.walk(directory, onerror=fail, followlinks=True):
        info = os.stat(root)
        here = above.pop(root) | {(info.st_dev, info.st_ino)}
        dirs.sort()
        for name in list(dirs):
            child = os.path.join(root, name)
            try:
                inner = os.stat(child)
            except OSError:
                continue  # gone since it was listed; os.walk skips it the same way
            if (inner.st_dev, inner.st_ino) in here:
                dirs.remove(name)
            else:
                above[child] = here
        for name in files:
            if name.lower().endswith(RESULT_EXTENSIONS):
                path = os.path.join(root, name)
                found[os.path.relpath(path, directory).replace(os.sep, "/")] = path
    return found


def _stem(relative: str) -> str:
    """The relative path without its result-file extension ("a/run.csv.gz" -> "a/run")."""
    lower = relative.lower()
    return relative[: -len(max((e for e in RESULT_EXTENSIONS if lower.endswith(e)), key=len))]


def pair_files(
    reference_dir: str | os.PathLike[str], test_dir: str | os.PathLike[str]
) -> list[tuple[str, str | None, str | None]]:
    """Pair the result files of two folders (searched recursively; CSV,
    compressed CSV, MAT, Parquet, Feather, Arrow) by their relative path:
    ``(relative_path, reference_path, test_path)``, sorted, with None on the
    side where the file is missing. Files of the same relative path pair
    first; then a file pairs with one of another format and the same path
    otherwise ("run.mat" with "run.csv") when that match is unique on both
    sides, and is named by the reference's relative path. Raises
    NotADirectoryError for a folder that does not exist, and OSError for a
    folder below that cannot be listed."""
    reference_dir, test_dir = os.fspath(reference_dir), os.fspath(test_dir)
    for directory in (reference_dir, test_dir):
        if not os.path.isdir(directory):
            raise NotADirectoryError(f"{directory}: not a directory")
    reference, test = _result_files(reference_dir), _result_files(test_dir)
    pairs = {rel: (reference[rel], test[rel]) for rel in set(reference) & set(test)}
    alone = [{rel: path for rel, path in side.items() if rel not in pairs} for side in (reference, test)]
    stems: list[dict[str, list[str]]] = [{}, {}]
    for side, files in zip(stems, alone, strict=True):
        for rel in files:
            side.setdefault(_stem(rel), []).append(rel)
    for stem, (reference_rel,) in ((s, r) for s, r in stems[0].items() if len(r) == 1):
        if len(stems[1].get(stem, ())) == 1:
            test_rel = stems[1][stem][0]
            pairs[reference_rel] = (alone[0].pop(reference_rel), alone[1].pop(test_rel))
    found: dict[str, tuple[str | None, str | None]] = dict(pairs)
    found.update({rel: (path, None) for rel, path in alone[0].items()})
    found.update({rel: (None, path) for rel, path in alone[1].items()})
    return [(rel, *found[rel]) for rel in sorted(found)]
