"""The command line: ``velmora-funnel compare | batch | accept | demo``.

Exit codes: 0 when every variable passed (ignored ones aside), 1 when any
failed or is missing, 2 for unusable input (a file that cannot be read, time
that goes back, a range the module rejects, a bad option or config), with a
one-line error that names the file and what is wrong.
"""

from __future__ import annotations

import argparse
import json
import math
import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import closing, contextmanager
from dataclasses import replace
from typing import Any, TextIO

from . import __version__
from ._api import TOLERANCE_NAMES, CompareResult, check_tolerances
from ._many import default_workers, keep_freed_memory
from ._options import FORMATS, READ_KEYS
from .batch import (
    FileOutcome,
    VariableOutcome,
    compare_tables,
    describe_exception,
    pair_files,
    pair_warnings,
    read_pair,
    run_batch,
    time_goes_back,
)
from .ci import write_junit, write_markdown
from .loader import ReadOptions, ResultFileError, ResultTable, read_result
from .names import output_stem, printable
from .options import ConfigError, RunOptions, SettingError, find_config
from .outputs import write_curve
from .plot import PlotUnavailableError
from .report import HtmlReport, format_number

__all__ = ["main"]

EXIT_PASS, EXIT_FAIL, EXIT_UNUSABLE = 0, 1, 2

_VALUE_OPTIONS = frozenset(f"--{name}" for name in TOLERANCE_NAMES)


def _attach_values(argv: Sequence[str]) -> list[str]:
    """Join each tolerance option with its value (``--atoly=-1``) and the
    range option with both ends (``--x-range=-1e-3 5``): argparse takes a
    value such as "-1e-3" or "-inf" standing alone for an option, and the
    numbers must reach the checks that explain what is wrong with them."""
    joined: list[str] = []
    rest = list(argv)
    while rest:
        token = rest.pop(0)
        if token == "--":
            joined += [token, *rest]
            break
        if token == "--x-range" and len(rest) >= 2:
            joined.append(f"--x-range={rest.pop(0)} {rest.pop(0)}")
        elif token in _VALUE_OPTIONS and rest:
            joined.append(f"{token}={rest.pop(0)}")
        else:
            joined.append(token)
    return joined


class UsageError(Exception):
    """Unusable input: reported as one line, exit code 2."""


def _parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        allow_abbrev=False,
        description="Decide whether test curves stay inside tolerance funnels around reference curves.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    options = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    group = options.add_argument_group("funnel (stronger than the config file, for every variable)")
    defaults = check_tolerances()
    for name in TOLERANCE_NAMES:
        axis = name[-1]
        kind = {
            "a": "absolute",
            "l": "local relative (fraction of each reference point's magnitude)",
            "r": "relative (fraction of the reference span)",
        }[name[0]]
        group.add_argument(
            f"--{name}", type=float, metavar="V", help=f"{kind} half-width along {axis} (default {defaults[name]:g})"
        )
    group.add_argument(
        "--x-range", metavar="LO HI", help="compare only where LO <= t <= HI ('none' or 'inf' for an open end)"
    )
    group.add_argument(
        "--config",
        metavar="FILE",
        help="per-variable tolerances (TOML; default: velmora-funnel.toml beside the "
        "reference file or in the reference folder)",
    )
    group.add_argument(
        "--column",
        nargs="+",
        action="extend",
        metavar="GLOB",
        help="compare only the variables these names or globs match (repeatable)",
    )
    group.add_argument(
        "--exclude",
        nargs="+",
        action="extend",
        metavar="GLOB",
        default=[],
        help="do not compare the variables these globs match (repeatable)",
    )
    group.add_argument(
        "--allow-non-finite",
        "--allow-nan",
        dest="allow_nan",
        action="store_true",
        help="let a variable pass on the module's verdict alone, even with NaN or infinite "
        "ordinates or a funnel that is not finite (--allow-nan is the older name)",
    )
    _reading_options(options)
    outputs = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    group = outputs.add_argument_group("reports")
    group.add_argument("--junit", metavar="FILE", help="write JUnit XML: one test case per variable")
    group.add_argument("--markdown", metavar="FILE", help="write a Markdown summary table, what did not pass first")
    group.add_argument(
        "--verbose", action="store_true", help="add the half-widths each variable was compared with to the table"
    )

    compare = commands.add_parser(
        "compare",
        parents=[options, outputs],
        allow_abbrev=False,
        help="compare the variables of two result files",
        description="Compare each variable of REFERENCE with the same-named variable of TEST.",
    )
    compare.add_argument(
        "reference",
        metavar="REFERENCE",
        help="reference result file (.csv, .csv.gz/.bz2/.xz/.zst, .mat, .parquet, .feather, .arrow)",
    )
    compare.add_argument("test", metavar="TEST", help="test result file")
    compare.add_argument("--output", metavar="DIR", help="write each variable's bounds and error curve as CSV into DIR")
    compare.add_argument(
        "--plot",
        metavar="FILE_OR_DIR",
        help="write a funnel plot: FILE (.png/.svg) for one variable, or one PNG per variable into DIR",
    )
    compare.add_argument("--json", action="store_true", help="print the outcome as JSON instead of a table")
    compare.add_argument(
        "--quiet", action="store_true", help="no progress bar, print only the summary and what did not pass"
    )

    batch = commands.add_parser(
        "batch",
        parents=[options, outputs],
        allow_abbrev=False,
        help="compare folders of result files in parallel",
        description="Pair the result files of two folders by relative path and compare all their variables.",
    )
    batch.add_argument("reference", metavar="REFERENCE_DIR")
    batch.add_argument("test", metavar="TEST_DIR")
    batch.add_argument("--jobs", type=int, metavar="N", help="worker processes (default and most: the usable cores)")
    batch.add_argument("--report", metavar="FILE", help="write a self-contained HTML report")
    batch.add_argument("--json", metavar="FILE", help="write the outcome as JSON")
    batch.add_argument(
        "--quiet", action="store_true", help="no progress bar, print only the summary and what did not pass"
    )

    accept = commands.add_parser(
        "accept",
        parents=[options],
        allow_abbrev=False,
        help="make a new run the reference",
        description="Replace the reference result files with the test files, after printing what "
        "changes. Only result files inside REFERENCE are written or removed; the config stays.",
    )
    accept.add_argument("reference", metavar="REFERENCE", help="reference file or folder")
    accept.add_argument("test", metavar="TEST", help="test file or folder (the run to accept)")
    accept.add_argument("--dry-run", action="store_true", help="only print what would change")

    demo = commands.add_parser(
        "demo", allow_abbrev=False, help="compare the shipped example result files and plot them"
    )
    demo.add_argument(
        "--output",
        metavar="DIR",
        help="where to write the plots and the report (default: build/demo in a checkout, else a temporary folder)",
    )
    return parser


def _reading_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("reading result files")
    group.add_argument(
        "--format",
        choices=FORMATS,
        help="read every file as this format (default: by its extension; unknown ones as CSV)",
    )
    group.add_argument(
        "--time", metavar="NAME", help="the abscissa is the column (MAT: variable) NAME (default: the first)"
    )
    group.add_argument(
        "--delimiter",
        choices=[",", ";", "tab", "auto"],
        help="CSV cell delimiter; 'auto' sniffs it from the first rows (default ',')",
    )
    group.add_argument("--decimal", choices=[".", ","], help="CSV decimal mark (default '.')")
    group.add_argument(
        "--comment",
        metavar="CHAR",
        help="CSV: lines starting with CHAR (e.g. '#') are comments, as is the rest of a line after it",
    )
    group.add_argument("--units-row", action="store_true", help="CSV: the row under the header holds units, not data")
    group.add_argument(
        "--empty-as-nan", action="store_true", help="CSV: an empty cell is a missing value (NaN) instead of an error"
    )


def _read_options(args: argparse.Namespace) -> dict[str, Any]:
    """The reading options given on the command line (the config's [read] fills in the rest)."""
    given = {key: getattr(args, key) for key in READ_KEYS}
    return {key: value for key, value in given.items() if value is not None and value is not False}


def _range_end(text: str, flag: str) -> float | None:
    if text.strip().lower() in {"none", ""}:
        return None
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"--x-range: {flag} {text!r} is not a number") from None


def _x_range(text: str | None) -> tuple[float | None, float | None] | None:
    if text is None:
        return None
    ends = text.split()
    if len(ends) != 2:
        raise UsageError(f"--x-range takes two ends, LO and HI; got {text!r}")
    return (_range_end(ends[0], "LO"), _range_end(ends[1], "HI"))


def _run_options(args: argparse.Namespace) -> RunOptions:
    """The command line's options, with the config file, checked before any file is read."""
    settings: dict[str, Any] = {name: getattr(args, name) for name in TOLERANCE_NAMES}
    settings["x_range"] = _x_range(args.x_range)
    config = args.config or find_config(args.reference)
    try:
        return RunOptions.build(
            config=config,
            columns=args.column,
            exclude=args.exclude,
            allow_non_finite=args.allow_nan,
            read=_read_options(args),
            **settings,
        )
    except SettingError as exc:
        raise UsageError(f"--{exc.key.replace('_', '-')}: {exc}") from None
    except ConfigError as exc:
        raise UsageError(str(exc)) from None


# --- output -------------------------------------------------------------------


class _Printer:
    """Writes lines to stdout; goes through tqdm while a progress bar is shown."""

    def __init__(self, progress: bool = False, stream: TextIO | None = None) -> None:
        self.progress = progress
        self.stream = stream or sys.stdout

    def __call__(self, line: str = "") -> None:
        # Names and paths come from files anyone can write: a header must not
        # be able to retitle or clear the user's terminal.
        line = printable(line)
        if self.progress:
            from tqdm import tqdm

            tqdm.write(line, file=self.stream)
        else:
            print(line, file=self.stream)


_HEADINGS = ("variable", "verdict", "status", "largest error", "first failure", "margin", "at t", "failing")
_VERBOSE_HEADINGS = ("half-width t", "half-width y")
_SHOWN = {"pass": "pass", "ignored": "ignored", "fail": "FAIL", "missing": "MISSING", "error": "UNUSABLE"}


def _half_width(widths: dict[str, tuple[float, float]] | None, axis: str) -> str:
    if widths is None:
        return "-"
    low, high = widths[axis]
    return format_number(high) if low == high else f"{format_number(low)}..{format_number(high)}"


def _row(variable: VariableOutcome, verbose: bool = False) -> tuple[str, ...]:
    # Escaped before the columns are measured, so the table stays aligned.
    status = variable.status
    cells: tuple[str, ...] = (
        printable(variable.label),
        _SHOWN[variable.verdict],
        status.name if status is not None else "-",
        format_number(variable.max_error),
        format_number(variable.first_failure, 6),
        format_number(variable.margin, 3),
        format_number(variable.margin_t, 6),
        str(variable.failing_count) if status is not None else "-",
    )
    if verbose:
        cells += (_half_width(variable.half_widths, "t"), _half_width(variable.half_widths, "y"))
    return (*cells, printable(variable.message))


def _print_table(rows: Sequence[tuple[str, ...]], out: _Printer, indent: str = "") -> None:
    headings = (*_HEADINGS, *(_VERBOSE_HEADINGS if rows and len(rows[0]) > len(_HEADINGS) + 1 else ()), "message")
    widths = [max(len(row[i]) for row in [headings, *rows]) for i in range(len(headings) - 1)]
    for row in [headings, *rows]:
        out(indent + "  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=False)) + "  " + row[-1])


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" + ("" if number == 1 else "s")


_COUNTED = {"pass": "passed", "fail": "failed", "missing": "missing", "ignored": "ignored", "error": "unusable"}


def _summary(variables: Iterable[VariableOutcome]) -> dict[str, int]:
    counts = {"variables": 0, "passed": 0, "failed": 0, "missing": 0, "ignored": 0, "unusable": 0}
    for variable in variables:
        counts["variables"] += 1
        counts[_COUNTED[variable.verdict]] += 1
    return counts


def _summary_line(counts: dict[str, int], files: str = "") -> str:
    verdict = "PASS" if counts["failed"] == counts["missing"] == counts["unusable"] == 0 else "FAIL"
    extra = "".join(f", {counts[key]} {key}" for key in ("ignored", "unusable") if counts[key])
    return f"{verdict}: {files}{_count(counts['variables'], 'variable')}, {counts['passed']} passed, {counts['failed']} failed, {counts['missing']} missing{extra}"


def _exit_code(counts: dict[str, int]) -> int:
    if counts["unusable"] or counts.get("unusable_files"):
        return EXIT_UNUSABLE
    if counts["failed"] or counts["missing"] or counts.get("missing_files"):
        return EXIT_FAIL
    return EXIT_PASS


def _json_document(
    args: argparse.Namespace, options: RunOptions | None, error: str | None = None, **entries: Any
) -> dict[str, Any]:
    """The JSON report: what was compared and with which options (each
    variable's own are in its entry), why the input is unusable (``error``,
    else null), then the command's own entries."""
    document: dict[str, Any] = {
        "reference": args.reference,
        "test": args.test,
        "config": None,
        "tolerances": None,
        "x_range": None,
    }
    if options is not None:
        base = options.base()
        lo, hi = base.x_range
        document.update(
            config=options.config.path,
            tolerances=dict(base.tolerances),
            x_range={"lo": lo if math.isfinite(lo) else None, "hi": hi if math.isfinite(hi) else None},
        )
    document["error"] = error
    return {**document, **entries}


def _write_reports(args: argparse.Namespace, files: Sequence[FileOutcome], summary: str) -> None:
    try:
        if args.junit:
            write_junit(args.junit, files)
        if args.markdown:
            write_markdown(args.markdown, files, summary)
    except OSError as exc:
        raise UsageError(f"{exc.filename}: cannot write: {exc.strerror or exc}") from None


def _warn(message: str) -> None:
    print(printable(f"velmora-funnel: warning: {message}"), file=sys.stderr)


# --- commands -----------------------------------------------------------------


def _read(reference: str, test: str, options: ReadOptions | None = None) -> tuple[ResultTable, ResultTable]:
    return _translated(read_pair, reference, test, options)


def _read_one(path: str, options: ReadOptions | None) -> ResultTable:
    """read_pair's first half: one file read, its time not checked yet."""
    return _translated(read_result, path, options)


def _check_pair(reference: ResultTable, test: ResultTable) -> None:
    """read_pair's second half: time that goes back makes the pair unusable."""
    for table in (reference, test):
        problem = time_goes_back(table)
        if problem is not None:
            raise UsageError(str(problem))


def _translated[R](read: Callable[..., R], *arguments: Any) -> R:
    try:
        return read(*arguments)
    except ResultFileError as exc:
        raise UsageError(str(exc)) from None
    except IsADirectoryError as exc:
        raise UsageError(f"{exc.filename}: is a directory, expected a result file") from None
    except OSError as exc:
        raise UsageError(f"{exc.filename}: {exc.strerror or exc}") from None


def _unusable_variables(files: Iterable[FileOutcome]) -> str | None:
    bad = [f"{f.file}: {v.name!r}: {v.message}" for f in files for v in f.variables if v.verdict == "error"]
    return "; ".join(bad) or None


def _command_compare(args: argparse.Namespace) -> int:
    options = _run_options(args)
    plot_file = args.plot is not None and _plot_is_file(args.plot)
    if args.output:
        _writable_directory(args.output)
    if args.plot and plot_file:
        _writable_file(args.plot, "--plot")
    elif args.plot:
        _writable_directory(args.plot)
    for path, option in ((args.junit, "--junit"), (args.markdown, "--markdown")):
        if path:
            _writable_file(path, option)
    # Reading, comparing and plotting long runs takes minutes: a terminal
    # shows how far it got; a pipe or --quiet gets nothing.
    bar = _Steps(not args.quiet and sys.stderr.isatty())
    with bar:
        return _compare_files(args, options, plot_file, bar)


class _Steps:
    """A progress bar of the steps of one command (a no-op when not shown)."""

    def __init__(self, shown: bool) -> None:
        self.bar: Any = None
        if shown:
            from tqdm import tqdm

            self.bar = tqdm(total=2, unit="step", leave=False)

    def __enter__(self) -> _Steps:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()

    def add(self, steps: int) -> None:
        if self.bar is not None:
            self.bar.total += steps
            self.bar.refresh()

    def doing(self, what: str) -> None:
        if self.bar is not None:
            self.bar.set_description_str(printable(what)[-40:])

    def done(self) -> None:
        if self.bar is not None:
            self.bar.update()


def _compare_files(args: argparse.Namespace, options: RunOptions, plot_file: bool, bar: _Steps) -> int:
    bar.doing(f"reading {os.path.basename(args.reference)}")
    reference = _read_one(args.reference, options.read)
    bar.done()
    bar.doing(f"reading {os.path.basename(args.test)}")
    test = _read_one(args.test, options.read)
    bar.done()
    _check_pair(reference, test)
    names = (*reference.names, *test.names)
    unmatched = options.unmatched(options.matched(names), names, config=False)
    if unmatched:
        raise UsageError("; ".join(unmatched))
    selected = options.select(reference.names, test.names)
    compared = sum(
        in_reference and in_test and options.for_variable(name) is not None for name, in_reference, in_test in selected
    )
    if plot_file and compared != 1:
        raise UsageError(
            f"--plot {args.plot}: a file holds one plot but {compared} variables were compared; "
            "give a directory or select one variable with --column"
        )
    warnings = pair_warnings(reference, test)
    for warning in warnings:
        _warn(warning)
    outcomes: list[VariableOutcome] = []
    results: list[tuple[str, str, CompareResult]] = []
    bar.add(len(selected) + compared * ((args.output is not None) + (args.plot is not None)))
    bar.doing("comparing")
    # Results are kept only for what is written after the table; a result
    # of 10^6 points holds about 50 MB.
    keep = args.output is not None or args.plot is not None
    for outcome, result in compare_tables(reference, test, options, file=os.path.basename(args.test)):
        outcomes.append(outcome)
        bar.done()
        if result is not None and keep:
            results.append((outcome.name, outcome.label, result))
    skipped = _write_outputs(args, reference.abscissa_name, results, plot_file, bar)
    counts = _summary(outcomes)
    file = FileOutcome(
        os.path.basename(args.test), args.reference, args.test, variables=tuple(outcomes), warnings=warnings
    )
    error = _unusable_variables([file])
    if args.json:
        document = _json_document(
            args, options, error, variables=[o.to_json() for o in outcomes], warnings=list(warnings), summary=counts
        )
        json.dump(document, sys.stdout, indent=2)
        print()
    else:
        out = _Printer()
        shown = [o for o in outcomes if o.verdict not in ("pass", "ignored")] if args.quiet else outcomes
        if shown:
            _print_table([_row(o, args.verbose) for o in shown], out)
        out(_summary_line(counts))
    _write_reports(args, [file], _summary_line(counts))
    for name, reason in skipped:
        print(printable(f"velmora-funnel: plot of {name!r} skipped: {reason}"), file=sys.stderr)
    if error:
        print(printable(f"velmora-funnel: error: {error}"), file=sys.stderr)
    return _exit_code(counts)


def _plot_is_file(path: str) -> bool:
    """--plot names one file (its suffix is a format matplotlib writes) or a directory."""
    from .plot import plot_formats

    formats = plot_formats()  # without matplotlib: exit 2 before the work, not after
    suffix = os.path.splitext(path)[1].lower()
    if not suffix or os.path.isdir(path):
        return False
    if suffix not in formats:
        raise UsageError(
            f"--plot {path}: plots cannot be written as {suffix!r}; give a .png, .svg or .pdf file, "
            "or a directory (end its name with '/')"
        )
    return True


def _writable_file(path: str, option: str) -> None:
    """Refuse an output file that cannot be written before the work starts,
    not after it (an existing file is left as it is)."""
    if os.path.isdir(path):
        raise UsageError(f"{option} {path}: is a directory, expected a file")
    existed = os.path.lexists(path)
    try:
        with open(path, "ab"):
            pass
    except OSError as exc:
        raise UsageError(f"{path}: cannot write: {exc.strerror or exc}") from None
    if not existed:
        os.unlink(path)


def _writable_directory(path: str) -> None:
    try:
        os.makedirs(path, exist_ok=True)
        with tempfile.TemporaryFile(dir=path):
            pass
    except OSError as exc:
        raise UsageError(f"{exc.filename or path}: cannot write: {exc.strerror or exc}") from None


def _plot_or_skip(skipped: list[tuple[str, str]], name: str, result: CompareResult, path: str, title: str) -> None:
    # A plot that cannot be drawn or written costs that plot only, never the verdicts.
    try:
        result.plot(path, title=title)
    except PlotUnavailableError:
        raise
    except Exception as exc:
        skipped.append((name, describe_exception(exc)))


def _write_outputs(
    args: argparse.Namespace,
    abscissa: str,
    results: list[tuple[str, str, CompareResult]],
    plot_file: bool,
    bar: _Steps | None = None,
) -> list[tuple[str, str]]:
    """Write --output and --plot; returns the plots skipped, with the reason."""
    skipped: list[tuple[str, str]] = []
    bar = bar or _Steps(False)
    try:
        if args.output:
            os.makedirs(args.output, exist_ok=True)
            taken: set[str] = set()
            bar.doing("writing curves")
            for name, _, result in results:
                stem = os.path.join(args.output, output_stem(name, taken))
                write_curve(stem + ".lower.csv", abscissa, "lower", *result.lower)
                write_curve(stem + ".upper.csv", abscissa, "upper", *result.upper)
                write_curve(stem + ".errors.csv", abscissa, "error", *result.errors)
                bar.done()
        if args.plot:
            bar.doing("plotting")
            if plot_file:
                name, label, result = results[0]
                _plot_or_skip(skipped, name, result, args.plot, f"{os.path.basename(args.test)}: {label}")
                bar.done()
            else:
                os.makedirs(args.plot, exist_ok=True)
                taken = set()
                for name, label, result in results:
                    _plot_or_skip(
                        skipped,
                        name,
                        result,
                        os.path.join(args.plot, output_stem(name, taken) + ".png"),
                        f"{os.path.basename(args.test)}: {label}",
                    )
                    bar.done()
    except OSError as exc:
        raise UsageError(f"{exc.filename or args.output}: cannot write: {exc.strerror or exc}") from None
    return skipped


class _Terminated(BaseException):
    """SIGTERM arrived: unwinds the batch so that its worker processes are ended too."""


def _raise_terminated(signum: int, frame: object) -> None:
    # A second SIGTERM ends the process at once, even in the middle of the cleanup.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    raise _Terminated


@contextmanager
def _sigterm_unwinds() -> Iterator[None]:
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _command_batch(args: argparse.Namespace) -> int:
    options = _run_options(args)
    if args.jobs is not None and args.jobs < 1:
        raise UsageError(f"--jobs must be at least 1, got {args.jobs}")
    try:
        pairs = pair_files(args.reference, args.test)
    except NotADirectoryError as exc:
        raise UsageError(str(exc)) from None
    if not pairs:
        raise UsageError(f"{args.reference}: no result files found (nor in {args.test})")
    for path, option in (
        (args.report, "--report"),
        (args.json, "--json"),
        (args.junit, "--junit"),
        (args.markdown, "--markdown"),
    ):
        if path:
            _writable_file(path, option)
    jobs = args.jobs
    if jobs is not None and jobs > default_workers():
        # More processes than CPUs only adds memory and switching.
        print(f"velmora-funnel: --jobs {jobs} capped to the {default_workers()} usable CPUs", file=sys.stderr)
        jobs = default_workers()
    if (jobs or default_workers()) > 1:
        # The workers fork from one server that imported what they all need
        # once, instead of each importing pandas. matplotlib is left to the
        # workers that draw: they import it side by side, only when needed.
        multiprocessing.get_context("forkserver").set_forkserver_preload(["velmora_funnel.batch", "pandas"])
    progress = not args.quiet and sys.stderr.isatty()
    out = _Printer(progress=progress)
    report = (
        HtmlReport(args.report, reference=args.reference, test=args.test, settings=options.describe())
        if args.report
        else None
    )
    files: list[FileOutcome] = []

    def record(outcome: FileOutcome) -> None:
        if report is not None:
            outcome = report.add(outcome)
        files.append(outcome)
        for warning in outcome.warnings:
            _warn(f"{outcome.file}: {warning}")
        _print_file(outcome, out, quiet=args.quiet, verbose=args.verbose)

    try:
        with (
            _sigterm_unwinds(),
            closing(
                run_batch(pairs, options=options, plots=report is not None, jobs=jobs, progress=progress)
            ) as outcomes,
        ):
            try:
                for outcome in outcomes:
                    record(outcome)
            except Exception as exc:
                # The batch itself broke down (its worker processes could not
                # start): the pairs not reported yet are unusable, for this reason.
                why = f"not compared: {describe_exception(exc)}"
                for rel, reference_path, test_path in pairs[len(files) :]:
                    record(FileOutcome(rel, reference_path, test_path, error=why))
    except _Terminated:
        print("velmora-funnel: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    variables = [v for f in files for v in f.variables]
    counts = _summary(variables)
    counts["files"] = len(files)
    counts["missing_files"] = sum(f.missing is not None for f in files)
    counts["unusable_files"] = sum(f.error is not None for f in files)
    problems = [f"{f.file}: {f.error}" for f in files if f.error is not None]
    if not problems:
        # A glob that fits no variable of the whole run is a typo in the config or on the command line.
        problems = options.unmatched(frozenset().union(*(f.matched for f in files)))
    error = "; ".join(filter(None, ["; ".join(problems), _unusable_variables(files)])) or None
    line = _summary_line(
        counts,
        f"{_count(counts['files'], 'file')} ({counts['missing_files']} missing, {counts['unusable_files']} unusable), ",
    )
    if counts["missing_files"] or counts["unusable_files"]:
        line = line.replace("PASS:", "FAIL:", 1)
    try:
        if report is not None:
            report.close()
        if args.json:
            document = _json_document(args, options, error, files=[f.to_json() for f in files], summary=counts)
            with open(args.json, "w", encoding="utf-8") as handle:
                json.dump(document, handle, indent=2)
    except OSError as exc:
        raise UsageError(f"{exc.filename}: cannot write: {exc.strerror or exc}") from None
    _write_reports(args, files, line)
    out(line)
    if report is not None:
        out(f"report: {report.path}")
    if error is not None and not counts["unusable_files"]:
        print(printable(f"velmora-funnel: error: {error}"), file=sys.stderr)
        return EXIT_UNUSABLE
    return _exit_code(counts)


def _print_file(outcome: FileOutcome, out: _Printer, *, quiet: bool, verbose: bool = False) -> None:
    if outcome.error is not None:
        out(f"{outcome.file}: UNUSABLE: {outcome.error}")
        if not outcome.variables:
            return
    elif outcome.missing is not None:
        present = outcome.reference if outcome.missing == "test" else outcome.test
        out(f"{outcome.file}: MISSING in {outcome.missing} (present: {present})")
        return
    bad = [v for v in outcome.variables if v.verdict not in ("pass", "ignored")]
    if quiet and not bad:
        return
    if outcome.error is None:
        compared = [v for v in outcome.variables if v.verdict != "ignored"]
        out(
            f"{outcome.file}: {'pass' if not bad else 'FAIL'} ({len(compared) - len(bad)} of {_count(len(compared), 'variable')} passed)"
        )
    shown = bad if quiet else outcome.variables
    if shown:
        _print_table([_row(v, verbose) for v in shown], out, indent="    ")


def _examples_dir() -> tuple[str, str, bool]:
    """The example files: the checkout's examples/ when run inside one, else
    freshly generated into a temporary folder. Returns (dir, output, in_checkout)."""
    for base in (os.getcwd(), os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))):
        candidate = os.path.join(base, "examples")
        if os.path.isfile(os.path.join(candidate, "reference", "oscillator.csv")):
            return candidate, os.path.join(base, "build", "demo"), True
    import tempfile

    from ._examples import write_examples

    directory = tempfile.mkdtemp(prefix="velmora-funnel-demo-")
    write_examples(directory)
    return directory, os.path.join(directory, "output"), False


def _command_demo(args: argparse.Namespace) -> int:
    examples, default_output, in_checkout = _examples_dir()
    output = args.output or default_output
    options = RunOptions()
    from .plot import figure_bytes

    out = _Printer()
    out(f"examples: {examples}" + ("" if in_checkout else " (generated; no checkout found)"))
    try:
        os.makedirs(output, exist_ok=True)
        report = HtmlReport(
            os.path.join(output, "report.html"),
            reference=os.path.join(examples, "reference"),
            test=os.path.join(examples, "test"),
            settings=options.describe(),
        )
        plots = []
        taken: set[str] = set()
        variables: list[VariableOutcome] = []
        for rel, reference_path, test_path in pair_files(
            os.path.join(examples, "reference"), os.path.join(examples, "test")
        ):
            reference, test = _read(reference_path or "", test_path or "")
            out()
            out(f"velmora-funnel compare {os.path.relpath(reference_path or '')} {os.path.relpath(test_path or '')}")
            rows, file_variables = [], []
            for outcome, result in compare_tables(reference, test, options, file=rel):
                rows.append(_row(outcome))
                if result is not None and not outcome.passed:
                    path = os.path.join(
                        output, output_stem(f"{os.path.splitext(rel)[0]}.{outcome.name}", taken) + ".png"
                    )
                    figure = result.plot(path, title=f"{rel}: {outcome.label}")
                    outcome = replace(outcome, figure=figure_bytes(figure))
                    plots.append(path)
                file_variables.append(outcome)
            _print_table(rows, out)
            report.add(FileOutcome(rel, reference_path, test_path, variables=tuple(file_variables)))
            variables.extend(file_variables)
        report.close()
    except OSError as exc:
        raise UsageError(f"{exc.filename or output}: cannot write: {exc.strerror or exc}") from None
    out()
    out(_summary_line(_summary(variables)) + " (the demo's test run has a deliberate glitch)")
    for path in plots:
        out(f"plot: {path}")
    out(f"report: {report.path}")
    return EXIT_PASS


def _inside(path: str, folder: str) -> bool:
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder


def _accept_plan(args: argparse.Namespace, options: RunOptions) -> list[tuple[str, str, str | None, str]]:
    """What accepting the test run does: ``(action, destination, source, line)``
    per result file, action "replace", "new", "remove" or "keep"."""
    reference, test = args.reference, args.test
    if os.path.isdir(test):
        if os.path.exists(reference) and not os.path.isdir(reference):
            raise UsageError(f"{reference}: is a file, but {test} is a folder")
        if os.path.realpath(test) == os.path.realpath(reference) or _inside(test, reference):
            raise UsageError(f"{test}: lies inside the reference folder {reference}")
        pairs = pair_files(reference, test) if os.path.isdir(reference) else pair_files(test, test)
        if not os.path.isdir(reference):
            pairs = [(rel, None, path) for rel, path, _ in pairs]
        targets = [
            (rel, ref or os.path.join(reference, *rel.split("/")), ref is not None, path) for rel, ref, path in pairs
        ]
    elif os.path.isfile(test):
        if os.path.isdir(reference):
            raise UsageError(f"{reference}: is a folder, but {test} is a file")
        targets = [(os.path.basename(test), reference, os.path.isfile(reference), test)]
    else:
        raise UsageError(f"{test}: no such file or folder")
    plan: list[tuple[str, str, str | None, str]] = []
    for rel, destination, exists, source in targets:
        if source is None:
            plan.append(("remove", destination, None, f"{rel}: gone in the test run: removed"))
            continue
        # A run that cannot be read never becomes the reference.
        try:
            new = read_pair(source, source)[0]
        except (ResultFileError, OSError) as exc:
            raise UsageError(f"{exc}: not accepted, nothing was changed") from None
        if not exists:
            plan.append(("new", destination, source, f"{rel}: new: written"))
            continue
        try:
            old = read_pair(destination, destination)[0]
        except (ResultFileError, OSError) as exc:
            plan.append(("replace", destination, source, f"{rel}: the reference cannot be read ({exc}): replaced"))
            continue
        with open(destination, "rb") as a, open(source, "rb") as b:
            if a.read() == b.read():
                plan.append(("keep", destination, source, f"{rel}: unchanged"))
                continue
        changes = []
        outcomes = [o for o, _ in compare_tables(old, new, options, file=rel)]
        failed = [o.name for o in outcomes if o.verdict in ("fail", "error")]
        added = [o.name for o in outcomes if o.verdict == "missing" and o.name in new and o.name not in old]
        gone = [o.name for o in outcomes if o.verdict == "missing" and o.name in old and o.name not in new]
        compared = [o for o in outcomes if o.verdict not in ("missing", "ignored")]
        changes.append(
            f"{len(failed)} of {_count(len(compared), 'variable')} failed"
            + (f" ({', '.join(failed)})" if failed else "")
        )
        if added:
            changes.append(f"new: {', '.join(added)}")
        if gone:
            changes.append(f"gone: {', '.join(gone)}")
        plan.append(("replace", destination, source, f"{rel}: {'; '.join(changes)}: replaced"))
    return plan


def _command_accept(args: argparse.Namespace) -> int:
    options = _run_options(args)
    plan = _accept_plan(args, options)
    out = _Printer()
    for _action, _, _, line in plan:
        out(
            line
            if not args.dry_run
            else line.replace(": replaced", ": would be replaced")
            .replace(": removed", ": would be removed")
            .replace(": written", ": would be written")
        )
    changed = [step for step in plan if step[0] != "keep"]
    if args.dry_run:
        out(f"dry run: {_count(len(changed), 'file')} would change, nothing was written")
        return EXIT_PASS
    try:
        for action, destination, source, _ in changed:
            if action == "remove":
                os.unlink(destination)
                continue
            folder = os.path.dirname(destination) or "."
            os.makedirs(folder, exist_ok=True)
            # Written beside the reference and renamed over it: a reader never sees half a file.
            handle, temporary = tempfile.mkstemp(dir=folder, prefix=".velmora-funnel-", suffix=".tmp")
            os.close(handle)
            try:
                shutil.copyfile(source or "", temporary)
                os.replace(temporary, destination)
            finally:
                if os.path.exists(temporary):
                    os.unlink(temporary)
    except OSError as exc:
        raise UsageError(f"{exc.filename or args.reference}: cannot write: {exc.strerror or exc}") from None
    out(f"accepted: {_count(len(changed), 'file')} changed in {args.reference}")
    return EXIT_PASS


def _error_document(args: argparse.Namespace, message: str) -> None:
    """--json writes a document also when the input is unusable, with its ``error``."""
    if args.command == "compare" and getattr(args, "json", False):
        json.dump(_json_document(args, None, message, variables=[], warnings=[], summary=None), sys.stdout, indent=2)
        print()
    elif args.command == "batch" and getattr(args, "json", None):
        try:
            with open(args.json, "w", encoding="utf-8") as handle:
                json.dump(_json_document(args, None, message, files=[], summary=None), handle, indent=2)
        except OSError:
            pass  # the path itself was the problem: the message says so


def main(argv: Sequence[str] | None = None, prog: str = "velmora-funnel") -> int:
    """Run the command line; returns the exit code."""
    args = _parser(prog).parse_args(_attach_values(sys.argv[1:] if argv is None else argv))
    command = {"compare": _command_compare, "batch": _command_batch, "accept": _command_accept, "demo": _command_demo}[
        args.command
    ]
    try:
        return command(args)
    except (UsageError, PlotUnavailableError) as exc:
        _error_document(args, str(exc))
        print(f"{prog}: error: {printable(str(exc))}", file=sys.stderr)
        return EXIT_UNUSABLE
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader (head, less) went away: stop quietly, like other tools.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAIL


def entry_point() -> None:
    """Console script ``velmora-funnel``."""
    keep_freed_memory()  # the command's own process
    raise SystemExit(main())
