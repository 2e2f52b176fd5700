"""Comparing whole result files and folders of them.

Variables pair by name, files by their path relative to the two folders; an
item present on one side only is reported as missing, never skipped. In a
batch each worker reads its own pair of files, so only paths travel to the
workers and only small per-variable outcomes (and the PNG of a funnel plot
for a variable that did not pass) travel back.
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Generator, Iterator, Sequence
from concurrent.futures import Executor
from contextlib import AbstractContextManager, closing, nullcontext
from dataclasses import asdict, dataclass, field, replace
from typing import Any, Literal, cast

import numpy as np

from ._api import CompareResult, Curve, Status, compare_curves
from ._many import WorkerDiedError, default_workers, imap_settled, process_pool
from ._options import RESULT_EXTENSIONS
from .loader import ReadOptions, ResultFileError, ResultTable, read_result
from .options import RunOptions

__all__ = [
    "FileOutcome",
    "VariableOutcome",
    "compare_file_pair",
    "compare_tables",
    "pair_files",
    "pair_variables",
    "pair_warnings",
    "run_batch",
    "time_goes_back",
]

Verdict = Literal["pass", "fail", "missing", "ignored", "error"]


def _finite_or_none(value: float | None) -> float | None:
    return None if value is None or not math.isfinite(value) else value


@dataclass(frozen=True)
class VariableOutcome:
    """The verdict on one variable of one file pair."""

    #: The file pair, as a path relative to the compared folders (or a name).
    file: str
    #: The variable's column name.
    name: str
    #: "pass", "fail" (the funnel was left, or values that are not finite
    #: were found and not allowed), "missing" (on one side only), "ignored"
    #: (by the config; never affects the exit code) or "error" (the module
    #: rejected the input: an empty range, too few points).
    verdict: Verdict
    #: The module's status; None for a missing or ignored variable.
    status: Status | None
    #: The module's message, or what is missing where.
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
    #: Smallest and largest half-width along t and y (CompareResult.half_widths).
    half_widths: dict[str, tuple[float, float]] | None = None
    #: Seconds the comparison took.
    seconds: float = 0.0
    #: The variable's unit, from a units row or the file's metadata (None: not known).
    unit: str | None = None
    #: PNG of the funnel plot, for a variable that did not pass (when asked).
    figure: bytes | None = field(default=None, repr=False)

    @property
    def passed(self) -> bool:
        """True when the verdict is "pass"."""
        return self.verdict == "pass"

    @property
    def label(self) -> str:
        """The name as shown in tables and plots: with its unit when known."""
        return f"{self.name} [{self.unit}]" if self.unit else self.name

    def to_json(self) -> dict[str, Any]:
        """A JSON-ready dict (NaN and infinities become null)."""
        data = asdict(self)
        data.pop("figure")
        data["status"] = None if self.status is None else self.status.name
        data["status_code"] = None if self.status is None else int(self.status)
        data["max_error"] = _finite_or_none(self.max_error)
        data["margin"] = _finite_or_none(self.margin)
        if self.x_range is not None:
            lo, hi = self.x_range
            data["x_range"] = {"lo": _finite_or_none(lo), "hi": _finite_or_none(hi)}
        if self.half_widths is not None:
            data["half_widths"] = {
                axis: {"min": _finite_or_none(low), "max": _finite_or_none(high)}
                for axis, (low, high) in self.half_widths.items()
            }
        data["passed"] = self.passed
        return data


@dataclass(frozen=True)
class FileOutcome:
    """The verdicts on the variables of one file pair, or why it was unusable."""

    #: Path relative to the compared folders.
    file: str
    reference: str | None
    test: str | None
    #: The file is on one side only: "test" or "reference" is missing.
    missing: Literal["test", "reference"] | None = None
    #: Why the pair could not be compared or plotted (an unreadable file, an
    #: exception, a worker process that died), else None. The variables
    #: compared before it happened are kept.
    error: str | None = None
    variables: tuple[VariableOutcome, ...] = ()
    #: What looks wrong but is no failure (time columns named differently, time spans far apart).
    warnings: tuple[str, ...] = ()
    #: Indices into RunOptions.patterns() of the globs that fit a variable of this pair.
    matched: frozenset[int] = field(default=frozenset(), repr=False, compare=False)

    @property
    def verdict(self) -> Literal["pass", "fail", "missing", "error"]:
        """ "error" (the file or a variable is unusable), "missing", "fail" (a
        variable failed or is missing) or "pass" (ignored variables aside)."""
        if self.error is not None or any(v.verdict == "error" for v in self.variables):
            return "error"
        if self.missing is not None:
            return "missing"
        return "pass" if all(v.verdict in ("pass", "ignored") for v in self.variables) else "fail"

    def to_json(self) -> dict[str, Any]:
        """A JSON-ready dict."""
        return {
            "file": self.file,
            "reference": self.reference,
            "test": self.test,
            "verdict": self.verdict,
            "missing": self.missing,
            "error": self.error,
            "warnings": list(self.warnings),
            "variables": [v.to_json() for v in self.variables],
        }


def pair_variables(
    reference: Sequence[str], test: Sequence[str], columns: Sequence[str] | None = None
) -> list[tuple[str, bool, bool]]:
    """Pair variables by name: ``(name, in_reference, in_test)`` in reference
    order, then the test's own; with ``columns``, exactly those, in that order."""
    in_reference, in_test = set(reference), set(test)
    if columns is not None:
        names = list(dict.fromkeys(columns))
    else:
        names = list(reference) + [name for name in test if name not in in_reference]
    return [(name, name in in_reference, name in in_test) for name in names]


def _verdict(result: CompareResult, allow_non_finite: bool) -> Verdict:
    if not result.status.completed:
        return "error"
    # allow_non_finite takes the module's verdict as it is, whatever is not finite.
    if allow_non_finite:
        return "pass" if result.status is Status.PASS else "fail"
    return "pass" if result.passed else "fail"


def _rejected(result: CompareResult, reference: ResultTable, test: ResultTable) -> str:
    """The module's reason for rejecting a variable, with what each file holds."""
    lo, hi = result.x_range

    def holds(table: ResultTable) -> str:
        span = f"t from {table.t[0]:g} to {table.t[-1]:g}" if len(table) else "no rows"
        return f"{table.path} has {span} ({len(table)} rows)"

    return f"unusable: {result.message}; x_range [{lo:g}, {hi:g}], {holds(reference)}, {holds(test)}"


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
        verdict = _verdict(result, options.allow_non_finite)
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
            half_widths=result.half_widths(),
            seconds=seconds,
            unit=reference.units.get(name) or test.units.get(name) or None,
        )
        yield outcome, result


def read_pair(
    reference_path: str, test_path: str, options: ReadOptions | None = None
) -> tuple[ResultTable, ResultTable]:
    """Read both files of a pair; raises ResultFileError (also for time that
    goes back) or OSError."""
    tables = read_result(reference_path, options), read_result(test_path, options)
    for table in tables:
        problem = time_goes_back(table)
        if problem is not None:
            raise problem
    return tables


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
    plots: bool = False,
    read_options: ReadOptions | None = None,
    reader_threads: int | None = None,
) -> FileOutcome:
    """Read and compare one file pair (runs in a worker): every variable's
    outcome, with a PNG funnel plot for each one that did not pass when
    ``plots`` is set. An unreadable file gives an outcome with ``error``.
    ``reader_threads`` caps the threads that parse one CSV file (pandas'
    own choice when None)."""
    if reference_path is None or test_path is None:
        return FileOutcome(file, reference_path, test_path, missing="reference" if reference_path is None else "test")
    try:
        with _reader_threads(reader_threads):
            reference, test = read_pair(reference_path, test_path, options.read)
    except ResultFileError as exc:
        return FileOutcome(file, reference_path, test_path, error=str(exc))
    except OSError as exc:
        return FileOutcome(file, reference_path, test_path, error=f"{exc.filename or file}: {exc.strerror or exc}")
    # Whatever goes wrong with one variable (a plot matplotlib cannot draw,
    # MemoryError) makes this pair unusable, with the reason, and must not
    # cost the other pairs of the batch.
    outcomes: list[VariableOutcome] = []
    problems = []
    try:
        for outcome, result in compare_tables(reference, test, options, file=file):
            if plots and result is not None and not outcome.passed:
                try:
                    outcome = replace(outcome, figure=_png(result, f"{file}: {outcome.label}"))
                except Exception as exc:
                    problems.append(f"funnel plot of {outcome.name!r} failed: {describe_exception(exc)}")
            outcomes.append(outcome)
    except Exception as exc:
        problems.append(f"comparison failed: {describe_exception(exc)}")
    return FileOutcome(
        file,
        reference_path,
        test_path,
        error="; ".join(problems) or None,
        variables=tuple(outcomes),
        warnings=pair_warnings(reference, test),
        matched=options.matched((*reference.names, *test.names)),
    )


def describe_exception(exc: BaseException) -> str:
    """One line for an unexpected exception: its type and message."""
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _png(result: CompareResult, title: str) -> bytes | None:
    from .plot import PlotUnavailableError, figure_bytes, plot_result

    try:
        return figure_bytes(plot_result(result, title=title))
    except PlotUnavailableError:  # pragma: no cover - matplotlib is an optional extra
        return None


def _result_files(directory: str) -> dict[str, str]:
    found = {}
    for root, dirs, files in os.walk(directory):
        dirs.sort()
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
    NotADirectoryError for a folder that does not exist."""
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


def run_batch(
    pairs: Sequence[tuple[str, str | None, str | None]],
    *,
    options: RunOptions,
    plots: bool = True,
    executor: Executor | None = None,
    jobs: int | None = None,
    progress: bool = False,
    read_options: ReadOptions | None = None,
) -> Generator[FileOutcome, None, None]:
    """Compare file pairs (from pair_files) in worker processes; yield one
    FileOutcome per pair, in order.

    ``executor`` may be any concurrent.futures.Executor (a Dask cluster's
    included: the workers must see the same paths); by default a process
    pool of ``jobs`` workers (all cores when None) is created and shut down.
    A pair whose comparison raises, or whose worker process dies, gives an
    outcome with ``error``; the other pairs are still compared (a pool whose
    worker died is replaced).
    """
    from tqdm import tqdm

    owned = executor is None
    workers = jobs or default_workers()
    # Our own pool's workers split the cores between them.
    threads = max(1, default_workers() // workers) if owned else None
    tasks = ((rel, ref, test, options, plots, None, threads) for rel, ref, test in pairs)
    settled = imap_settled(
        compare_file_pair,
        tasks,
        2 * workers if owned else 64,
        executor=executor,
        pool_factory=process_pool if owned else None,
        workers=workers,
    )
    with (
        closing(settled),
        tqdm(total=len(pairs), disable=not progress, unit="file", desc="compare", leave=False) as bar,
    ):
        for item in settled:
            if item.error is None:
                outcome = cast(FileOutcome, item.value)
            else:
                rel, ref, test = item.arguments[:3]
                why = str(item.error) if isinstance(item.error, WorkerDiedError) else describe_exception(item.error)
                outcome = FileOutcome(rel, ref, test, error=f"not compared: {why}")
            bar.set_postfix_str(outcome.file[-30:], refresh=False)
            bar.update()
            yield outcome
