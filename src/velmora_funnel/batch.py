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
from collections.abc import Iterator, Mapping, Sequence
from concurrent.futures import Executor
from contextlib import closing
from dataclasses import asdict, dataclass, field, replace
from typing import Any, Literal, cast

from ._api import CompareResult, Status, _compare_checked
from ._many import WorkerDiedError, default_workers, imap_settled, process_pool
from ._options import RESULT_EXTENSIONS
from .loader import ReadOptions, ResultFileError, ResultTable, read_result

__all__ = [
    "FileOutcome",
    "VariableOutcome",
    "compare_file_pair",
    "compare_tables",
    "pair_files",
    "pair_variables",
    "run_batch",
]

Verdict = Literal["pass", "fail", "missing"]


def _finite_or_none(value: float | None) -> float | None:
    return None if value is None or not math.isfinite(value) else value


@dataclass(frozen=True)
class VariableOutcome:
    """The verdict on one variable of one file pair."""

    #: The file pair, as a path relative to the compared folders (or a name).
    file: str
    #: The variable's column name.
    name: str
    #: "pass", "fail" (the funnel was left, the input was rejected, or values
    #: that are not finite were found and not allowed) or "missing" (on one
    #: side only).
    verdict: Verdict
    #: The module's status; None for a missing variable.
    status: Status | None
    #: The module's message, or what is missing where.
    message: str
    max_error: float | None = None
    first_failure: float | None = None
    nan_reference: int = 0
    nan_test: int = 0
    #: PNG of the funnel plot, for a variable that did not pass (when asked).
    figure: bytes | None = field(default=None, repr=False)

    @property
    def passed(self) -> bool:
        """True when the verdict is "pass"."""
        return self.verdict == "pass"

    def to_json(self) -> dict[str, Any]:
        """A JSON-ready dict (NaN and infinities become null)."""
        data = asdict(self)
        data.pop("figure")
        data["status"] = None if self.status is None else self.status.name
        data["status_code"] = None if self.status is None else int(self.status)
        data["max_error"] = _finite_or_none(self.max_error)
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

    @property
    def verdict(self) -> Literal["pass", "fail", "missing", "error"]:
        """"error" (unusable), "missing", "fail" (any variable not passed) or "pass"."""
        if self.error is not None:
            return "error"
        if self.missing is not None:
            return "missing"
        return "pass" if all(v.passed for v in self.variables) else "fail"

    def to_json(self) -> dict[str, Any]:
        """A JSON-ready dict."""
        return {
            "file": self.file,
            "reference": self.reference,
            "test": self.test,
            "verdict": self.verdict,
            "missing": self.missing,
            "error": self.error,
            "variables": [v.to_json() for v in self.variables],
        }


def pair_variables(reference: Sequence[str], test: Sequence[str], columns: Sequence[str] | None = None) -> list[tuple[str, bool, bool]]:
    """Pair variables by name: ``(name, in_reference, in_test)`` in reference
    order, then the test's own; with ``columns``, exactly those, in that order."""
    in_reference, in_test = set(reference), set(test)
    if columns is not None:
        names = list(dict.fromkeys(columns))
    else:
        names = list(reference) + [name for name in test if name not in in_reference]
    return [(name, name in in_reference, name in in_test) for name in names]


def _verdict(result: CompareResult, allow_nan: bool) -> Verdict:
    # allow_nan takes the module's verdict as it is, whatever is not finite.
    if allow_nan:
        return "pass" if result.status is Status.PASS else "fail"
    return "pass" if result.passed else "fail"


def compare_tables(
    reference: ResultTable,
    test: ResultTable,
    *,
    tolerances: Mapping[str, float],
    x_range: tuple[float, float],
    columns: Sequence[str] | None = None,
    allow_nan: bool = False,
    file: str = "",
) -> Iterator[tuple[VariableOutcome, CompareResult | None]]:
    """Compare every paired variable of two loaded result files.

    ``tolerances`` and ``x_range`` must be checked already (check_tolerances,
    check_x_range). Yields each variable's outcome with its full result (None
    for a missing variable), one variable at a time.
    """
    for name, in_reference, in_test in pair_variables(reference.names, test.names, columns):
        if not (in_reference and in_test):
            where = [label for label, present in (("reference", in_reference), ("test", in_test)) if not present]
            paths = {"reference": reference.path, "test": test.path}
            message = "; ".join(f"missing in {side} ({paths[side]})" for side in where)
            yield VariableOutcome(file=file, name=name, verdict="missing", status=None, message=message), None
            continue
        result = _compare_checked(reference.curve(name), test.curve(name), tolerances, x_range)
        outcome = VariableOutcome(
            file=file,
            name=name,
            verdict=_verdict(result, allow_nan),
            status=result.status,
            message=result.message,
            max_error=result.max_error,
            first_failure=result.first_failure,
            nan_reference=result.nan_reference,
            nan_test=result.nan_test,
        )
        yield outcome, result


def compare_file_pair(
    file: str,
    reference_path: str | None,
    test_path: str | None,
    tolerances: Mapping[str, float],
    x_range: tuple[float, float],
    columns: Sequence[str] | None = None,
    allow_nan: bool = False,
    plots: bool = False,
    read_options: ReadOptions | None = None,
) -> FileOutcome:
    """Read and compare one file pair (runs in a worker): every variable's
    outcome, with a PNG funnel plot for each one that did not pass when
    ``plots`` is set. An unreadable file gives an outcome with ``error``."""
    if reference_path is None or test_path is None:
        return FileOutcome(file, reference_path, test_path, missing="reference" if reference_path is None else "test")
    try:
        reference = read_result(reference_path, read_options)
        test = read_result(test_path, read_options)
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
        for outcome, result in compare_tables(
            reference, test, tolerances=tolerances, x_range=x_range, columns=columns, allow_nan=allow_nan, file=file
        ):
            if plots and result is not None and not outcome.passed:
                try:
                    outcome = replace(outcome, figure=_png(result, f"{file}: {outcome.name}"))
                except Exception as exc:
                    problems.append(f"funnel plot of {outcome.name!r} failed: {describe_exception(exc)}")
            outcomes.append(outcome)
    except Exception as exc:
        problems.append(f"comparison failed: {describe_exception(exc)}")
    return FileOutcome(file, reference_path, test_path, error="; ".join(problems) or None, variables=tuple(outcomes))


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


def pair_files(reference_dir: str | os.PathLike[str], test_dir: str | os.PathLike[str]) -> list[tuple[str, str | None, str | None]]:
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
    tolerances: Mapping[str, float],
    x_range: tuple[float, float],
    columns: Sequence[str] | None = None,
    allow_nan: bool = False,
    plots: bool = True,
    executor: Executor | None = None,
    jobs: int | None = None,
    progress: bool = False,
    read_options: ReadOptions | None = None,
) -> Iterator[FileOutcome]:
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
    tasks = ((rel, ref, test, dict(tolerances), x_range, columns, allow_nan, plots, read_options) for rel, ref, test in pairs)
    settled = imap_settled(compare_file_pair, tasks, 2 * workers if owned else 64, executor=executor,
                           pool_factory=process_pool if owned else None, workers=workers)
    with closing(settled), tqdm(total=len(pairs), disable=not progress, unit="file", desc="compare", leave=False) as bar:
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
