"""The command line: ``velmora-funnel compare | batch | demo``.

Exit codes: 0 when every variable passed, 1 when any failed or is missing,
2 for unusable input (a file that cannot be read, a bad option), with a
one-line error that names the file and what is wrong.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import signal
import sys
import tempfile
import threading
from collections.abc import Iterable, Iterator, Sequence
from contextlib import closing, contextmanager
from dataclasses import replace
from typing import Any, TextIO


from . import __version__
from ._api import TOLERANCE_NAMES, CompareResult, check_tolerances, check_x_range
from ._many import default_workers
from ._options import FORMATS
from .batch import FileOutcome, VariableOutcome, compare_tables, describe_exception, pair_files, pair_variables, run_batch
from .loader import ReadOptions, ResultFileError, read_result
from .names import output_stem, printable
from .outputs import write_curve
from .plot import PlotUnavailableError
from .report import HtmlReport, format_number

__all__ = ["main"]

EXIT_PASS, EXIT_FAIL, EXIT_UNUSABLE = 0, 1, 2

# argparse takes "-1e-3" or "-inf" for an option unless told that they are
# numbers; range ends and (refused) negative tolerances must reach our checks.
_NEGATIVE_NUMBER = re.compile(r"^-(\d+\.?\d*([eE][-+]?\d+)?|\.\d+([eE][-+]?\d+)?|inf(inity)?|nan)$", re.IGNORECASE)


class UsageError(Exception):
    """Unusable input: reported as one line, exit code 2."""


def _parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=prog, description="Decide whether test curves stay inside tolerance funnels around reference curves.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    options = argparse.ArgumentParser(add_help=False)
    group = options.add_argument_group("funnel")
    defaults = check_tolerances()
    for name in TOLERANCE_NAMES:
        axis = name[-1]
        kind = {"a": "absolute", "l": "local relative (fraction of each reference point's magnitude)", "r": "relative (fraction of the reference span)"}[name[0]]
        group.add_argument(f"--{name}", type=float, metavar="V", default=defaults[name], help=f"{kind} half-width along {axis} (default {defaults[name]:g})")
    group.add_argument("--x-range", nargs=2, metavar=("LO", "HI"), help="compare only where LO <= t <= HI ('none' for an open end)")
    group.add_argument("--column", nargs="+", action="extend", metavar="NAME", help="compare only these variables (repeatable)")
    group.add_argument("--allow-non-finite", "--allow-nan", dest="allow_nan", action="store_true",
                       help="let a variable pass on the module's verdict alone, even with NaN or infinite "
                            "ordinates or a funnel that is not finite (--allow-nan is the older name)")
    _reading_options(options)

    compare = commands.add_parser("compare", parents=[options], help="compare the variables of two result files",
                                  description="Compare each variable of REFERENCE with the same-named variable of TEST.")
    compare.add_argument("reference", metavar="REFERENCE", help="reference result file (.csv, .csv.gz/.bz2/.xz/.zst, .mat, .parquet, .feather, .arrow)")
    compare.add_argument("test", metavar="TEST", help="test result file")
    compare.add_argument("--output", metavar="DIR", help="write each variable's bounds and error curve as CSV into DIR")
    compare.add_argument("--plot", metavar="FILE_OR_DIR", help="write a funnel plot: FILE (.png/.svg) for one variable, or one PNG per variable into DIR")
    compare.add_argument("--json", action="store_true", help="print the outcome as JSON instead of a table")

    batch = commands.add_parser("batch", parents=[options], help="compare folders of result files in parallel",
                                description="Pair the result files of two folders by relative path and compare all their variables.")
    batch.add_argument("reference", metavar="REFERENCE_DIR")
    batch.add_argument("test", metavar="TEST_DIR")
    batch.add_argument("--jobs", type=int, metavar="N", help="worker processes (default and most: the usable cores)")
    batch.add_argument("--report", metavar="FILE", help="write a self-contained HTML report")
    batch.add_argument("--json", metavar="FILE", help="write the outcome as JSON")
    batch.add_argument("--quiet", action="store_true", help="no progress bar, print only the summary and what did not pass")

    demo = commands.add_parser("demo", help="compare the shipped example result files and plot them")
    demo.add_argument("--output", metavar="DIR", help="where to write the plots and the report (default: build/demo in a checkout, else a temporary folder)")

    for each in (parser, compare, batch, demo):
        each._negative_number_matcher = _NEGATIVE_NUMBER  # type: ignore[attr-defined]
    return parser


def _reading_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("reading result files")
    group.add_argument("--format", choices=FORMATS, help="read every file as this format (default: by its extension; unknown ones as CSV)")
    group.add_argument("--time", metavar="NAME", help="the abscissa is the column (MAT: variable) NAME (default: the first)")
    group.add_argument("--delimiter", choices=[",", ";", "tab", "auto"], default=",", help="CSV cell delimiter; 'auto' sniffs it from the first rows (default ',')")
    group.add_argument("--decimal", choices=[".", ","], default=".", help="CSV decimal mark (default '.')")
    group.add_argument("--comment", metavar="CHAR", help="CSV: lines starting with CHAR (e.g. '#') are comments, as is the rest of a line after it")
    group.add_argument("--units-row", action="store_true", help="CSV: the row under the header holds units, not data")
    group.add_argument("--empty-as-nan", action="store_true", help="CSV: an empty cell is a missing value (NaN) instead of an error")


def _read_options(args: argparse.Namespace) -> ReadOptions:
    try:
        return ReadOptions(format=args.format, time=args.time, delimiter=args.delimiter, decimal=args.decimal,
                           comment=args.comment, units_row=args.units_row, empty_as_nan=args.empty_as_nan)
    except ValueError as exc:
        raise UsageError(f"--{exc}") from None


def _range_end(text: str, flag: str) -> float | None:
    if text.strip().lower() in {"none", ""}:
        return None
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"--x-range: {flag} {text!r} is not a number") from None


def _checked_options(args: argparse.Namespace) -> tuple[dict[str, float], tuple[float, float]]:
    try:
        tolerances = check_tolerances(**{name: getattr(args, name) for name in TOLERANCE_NAMES})
        ends = None if args.x_range is None else (_range_end(args.x_range[0], "LO"), _range_end(args.x_range[1], "HI"))
        x_range = check_x_range(ends)
    except ValueError as exc:
        raise UsageError(f"--{exc}" if str(exc).split()[0] in TOLERANCE_NAMES else f"--x-range: {exc}") from None
    return tolerances, x_range


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


_HEADINGS = ("variable", "verdict", "status", "largest error", "first failure", "message")


def _row(variable: VariableOutcome) -> tuple[str, ...]:
    # Escaped before the columns are measured, so the table stays aligned.
    return (
        printable(variable.name),
        variable.verdict if variable.passed else variable.verdict.upper(),
        variable.status.name if variable.status is not None else "-",
        format_number(variable.max_error),
        format_number(variable.first_failure, 6),
        printable(variable.message),
    )


def _print_table(rows: Sequence[tuple[str, ...]], out: _Printer, indent: str = "") -> None:
    widths = [max(len(row[i]) for row in [_HEADINGS, *rows]) for i in range(len(_HEADINGS) - 1)]
    for row in [_HEADINGS, *rows]:
        out(indent + "  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=False)) + "  " + row[-1])


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" + ("" if number == 1 else "s")


def _summary(variables: Iterable[VariableOutcome]) -> dict[str, int]:
    counts = {"variables": 0, "passed": 0, "failed": 0, "missing": 0}
    for variable in variables:
        counts["variables"] += 1
        counts[{"pass": "passed", "fail": "failed", "missing": "missing"}[variable.verdict]] += 1
    return counts


def _summary_line(counts: dict[str, int], files: str = "") -> str:
    verdict = "PASS" if counts["failed"] == counts["missing"] == 0 else "FAIL"
    return f"{verdict}: {files}{_count(counts['variables'], 'variable')}, {counts['passed']} passed, {counts['failed']} failed, {counts['missing']} missing"


def _json_document(args: argparse.Namespace, tolerances: dict[str, float], x_range: tuple[float, float],
                   **entries: Any) -> dict[str, Any]:
    """The JSON report: what was compared and with which options, then the command's own entries."""
    lo, hi = x_range
    return {
        "reference": args.reference,
        "test": args.test,
        "tolerances": tolerances,
        "x_range": {"lo": lo if math.isfinite(lo) else None, "hi": hi if math.isfinite(hi) else None},
        **entries,
    }


# --- commands -----------------------------------------------------------------


def _read(path: str, options: ReadOptions | None = None) -> Any:
    try:
        return read_result(path, options)
    except ResultFileError as exc:
        raise UsageError(str(exc)) from None
    except IsADirectoryError:
        raise UsageError(f"{path}: is a directory, expected a result file") from None
    except OSError as exc:
        raise UsageError(f"{path}: {exc.strerror or exc}") from None


def _command_compare(args: argparse.Namespace) -> int:
    tolerances, x_range = _checked_options(args)
    plot_file = args.plot is not None and _plot_is_file(args.plot)
    if args.output:
        _writable_directory(args.output)
    if args.plot and plot_file:
        _writable_file(args.plot, "--plot")
    elif args.plot:
        _writable_directory(args.plot)
    read_options = _read_options(args)
    reference, test = _read(args.reference, read_options), _read(args.test, read_options)
    compared = sum(in_reference and in_test for _, in_reference, in_test in pair_variables(reference.names, test.names, args.column))
    if plot_file and compared != 1:
        raise UsageError(f"--plot {args.plot}: a file holds one plot but {compared} variables were compared; "
                         "give a directory or select one variable with --column")
    outcomes: list[VariableOutcome] = []
    results: list[tuple[str, CompareResult]] = []
    for outcome, result in compare_tables(reference, test, tolerances=tolerances, x_range=x_range, columns=args.column,
                                          allow_nan=args.allow_nan, file=os.path.basename(args.test)):
        outcomes.append(outcome)
        if result is not None:
            results.append((outcome.name, result))
    skipped = _write_outputs(args, reference.abscissa_name, results, plot_file)
    counts = _summary(outcomes)
    if args.json:
        document = _json_document(args, tolerances, x_range,
                                  variables=[o.to_json() for o in outcomes], summary=counts)
        json.dump(document, sys.stdout, indent=2)
        print()
    else:
        out = _Printer()
        _print_table([_row(o) for o in outcomes], out)
        out(_summary_line(counts))
    for name, reason in skipped:
        print(printable(f"velmora-funnel: plot of {name!r} skipped: {reason}"), file=sys.stderr)
    return EXIT_PASS if counts["failed"] == counts["missing"] == 0 else EXIT_FAIL


def _plot_is_file(path: str) -> bool:
    """--plot names one file (its suffix is a format matplotlib writes) or a directory."""
    from .plot import plot_formats

    formats = plot_formats()  # without matplotlib: exit 2 before the work, not after
    suffix = os.path.splitext(path)[1].lower()
    if not suffix or os.path.isdir(path):
        return False
    if suffix not in formats:
        raise UsageError(f"--plot {path}: plots cannot be written as {suffix!r}; give a .png, .svg or .pdf file, "
                         "or a directory (end its name with '/')")
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


def _write_outputs(args: argparse.Namespace, abscissa: str, results: list[tuple[str, CompareResult]], plot_file: bool) -> list[tuple[str, str]]:
    """Write --output and --plot; returns the plots skipped, with the reason."""
    skipped: list[tuple[str, str]] = []
    try:
        if args.output:
            os.makedirs(args.output, exist_ok=True)
            taken: set[str] = set()
            for name, result in results:
                stem = os.path.join(args.output, output_stem(name, taken))
                write_curve(stem + ".lower.csv", abscissa, "lower", *result.lower)
                write_curve(stem + ".upper.csv", abscissa, "upper", *result.upper)
                write_curve(stem + ".errors.csv", abscissa, "error", *result.errors)
        if args.plot:
            if plot_file:
                name, result = results[0]
                _plot_or_skip(skipped, name, result, args.plot, f"{os.path.basename(args.test)}: {name}")
            else:
                os.makedirs(args.plot, exist_ok=True)
                taken = set()
                for name, result in results:
                    _plot_or_skip(skipped, name, result, os.path.join(args.plot, output_stem(name, taken) + ".png"), f"{os.path.basename(args.test)}: {name}")
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
    tolerances, x_range = _checked_options(args)
    read_options = _read_options(args)
    if args.jobs is not None and args.jobs < 1:
        raise UsageError(f"--jobs must be at least 1, got {args.jobs}")
    try:
        pairs = pair_files(args.reference, args.test)
    except NotADirectoryError as exc:
        raise UsageError(str(exc)) from None
    if not pairs:
        raise UsageError(f"{args.reference}: no result files found (nor in {args.test})")
    for path, option in ((args.report, "--report"), (args.json, "--json")):
        if path:
            _writable_file(path, option)
    jobs = args.jobs
    if jobs is not None and jobs > default_workers():
        # More processes than CPUs only adds memory and switching.
        print(f"velmora-funnel: --jobs {jobs} capped to the {default_workers()} usable CPUs", file=sys.stderr)
        jobs = default_workers()
    progress = not args.quiet and sys.stderr.isatty()
    out = _Printer(progress=progress)
    report = HtmlReport(args.report, reference=args.reference, test=args.test, tolerances=tolerances, x_range=x_range) if args.report else None
    files: list[FileOutcome] = []

    def record(outcome: FileOutcome) -> None:
        if report is not None:
            outcome = report.add(outcome)
        files.append(outcome)
        _print_file(outcome, out, quiet=args.quiet)

    try:
        with _sigterm_unwinds(), closing(run_batch(pairs, tolerances=tolerances, x_range=x_range, columns=args.column,
                                                   allow_nan=args.allow_nan, plots=report is not None, jobs=jobs,
                                                   progress=progress, read_options=read_options)) as outcomes:
            try:
                for outcome in outcomes:
                    record(outcome)
            except Exception as exc:
                # The batch itself broke down (its worker processes could not
                # start): the pairs not reported yet are unusable, for this reason.
                why = f"not compared: {describe_exception(exc)}"
                for rel, reference_path, test_path in pairs[len(files):]:
                    record(FileOutcome(rel, reference_path, test_path, error=why))
    except _Terminated:
        print("velmora-funnel: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    variables = [v for f in files for v in f.variables]
    counts = _summary(variables)
    counts["files"] = len(files)
    counts["missing_files"] = sum(f.missing is not None for f in files)
    counts["unusable_files"] = sum(f.error is not None for f in files)
    try:
        if report is not None:
            report.close()
        if args.json:
            document = _json_document(args, tolerances, x_range,
                                      files=[f.to_json() for f in files], summary=counts)
            with open(args.json, "w", encoding="utf-8") as handle:
                json.dump(document, handle, indent=2)
    except OSError as exc:
        raise UsageError(f"{exc.filename}: cannot write: {exc.strerror or exc}") from None
    line = _summary_line(counts, f"{_count(counts['files'], 'file')} ({counts['missing_files']} missing, {counts['unusable_files']} unusable), ")
    if counts["missing_files"] or counts["unusable_files"]:
        line = line.replace("PASS:", "FAIL:", 1)
    out(line)
    if report is not None:
        out(f"report: {report.path}")
    if counts["unusable_files"]:
        return EXIT_UNUSABLE
    ok = counts["failed"] == counts["missing"] == counts["missing_files"] == 0
    return EXIT_PASS if ok else EXIT_FAIL


def _print_file(outcome: FileOutcome, out: _Printer, *, quiet: bool) -> None:
    if outcome.error is not None:
        out(f"{outcome.file}: UNUSABLE: {outcome.error}")
        if not outcome.variables:
            return
    elif outcome.missing is not None:
        present = outcome.reference if outcome.missing == "test" else outcome.test
        out(f"{outcome.file}: MISSING in {outcome.missing} (present: {present})")
        return
    bad = [v for v in outcome.variables if not v.passed]
    if quiet and not bad:
        return
    if outcome.error is None:
        out(f"{outcome.file}: {'pass' if not bad else 'FAIL'} ({len(outcome.variables) - len(bad)} of {_count(len(outcome.variables), 'variable')} passed)")
    shown = bad if quiet else outcome.variables
    if shown:
        _print_table([_row(v) for v in shown], out, indent="    ")


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
    tolerances, x_range = check_tolerances(), check_x_range(None)
    from .plot import figure_bytes

    out = _Printer()
    out(f"examples: {examples}" + ("" if in_checkout else " (generated; no checkout found)"))
    try:
        os.makedirs(output, exist_ok=True)
        report = HtmlReport(os.path.join(output, "report.html"), reference=os.path.join(examples, "reference"),
                            test=os.path.join(examples, "test"), tolerances=tolerances, x_range=x_range)
        plots = []
        taken: set[str] = set()
        variables: list[VariableOutcome] = []
        for rel, reference_path, test_path in pair_files(os.path.join(examples, "reference"), os.path.join(examples, "test")):
            reference, test = _read(reference_path or ""), _read(test_path or "")
            out()
            out(f"velmora-funnel compare {os.path.relpath(reference_path or '')} {os.path.relpath(test_path or '')}")
            rows, file_variables = [], []
            for outcome, result in compare_tables(reference, test, tolerances=tolerances, x_range=x_range, file=rel):
                rows.append(_row(outcome))
                if result is not None and not outcome.passed:
                    path = os.path.join(output, output_stem(f"{os.path.splitext(rel)[0]}.{outcome.name}", taken) + ".png")
                    figure = result.plot(path, title=f"{rel}: {outcome.name}")
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


def main(argv: Sequence[str] | None = None, prog: str = "velmora-funnel") -> int:
    """Run the command line; returns the exit code."""
    args = _parser(prog).parse_args(argv)
    command = {"compare": _command_compare, "batch": _command_batch, "demo": _command_demo}[args.command]
    try:
        return command(args)
    except (UsageError, PlotUnavailableError) as exc:
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
    raise SystemExit(main())
