"""What the commands write besides the table: output files checked before
the work starts, the curves and plots of ``compare``, the CI reports."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from collections.abc import Callable, Sequence, Set

from ..comparison import CompareResult
from ..io import write_curve
from ..reports.html_report import HtmlReport
from ..reports.junit import write_junit
from ..reports.markdown import write_markdown
from ..reports.text import output_stem, printable
from ..run import FileOutcome
from ..run.outcomes import describe_exception
from ..run.pairs import Figure
from .exits import UsageError, warn
from .progress import Steps

__all__ = [
    "html_report",
    "plot_is_file",
    "report_figures",
    "report_writers",
    "writable_directory",
    "writable_file",
    "write_each",
    "write_outputs",
]


def plot_is_file(path: str) -> bool:
    """--plot names one file (its suffix is a format matplotlib writes) or a directory."""
    from ..reports.plot import plot_formats

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


def writable_file(path: str, option: str) -> None:
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


def writable_directory(path: str) -> None:
    try:
        os.makedirs(path, exist_ok=True)
        with tempfile.TemporaryFile(dir=path):
            pass
    except OSError as exc:
        raise UsageError(f"{exc.filename or path}: cannot write: {exc.strerror or exc}") from None


def write_outputs(
    args: argparse.Namespace,
    abscissa: str,
    results: list[tuple[str, str, CompareResult]],
    plot_file: bool,
    bar: Steps,
    plotted: Set[str] = frozenset(),
    time_label: str | None = None,
) -> list[tuple[str, str]]:
    """Write --output, and --plot for the variables ``plotted`` names;
    returns the plots skipped, with the reason."""
    from ..reports.plot import plot_or_reason

    skipped: list[tuple[str, str]] = []
    title = os.path.basename(args.test)
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
            if not plot_file:
                os.makedirs(args.plot, exist_ok=True)
            taken = set()
            for name, label, result in (r for r in results if r[0] in plotted):
                path = args.plot if plot_file else os.path.join(args.plot, output_stem(name, taken) + ".png")
                _, reason = plot_or_reason(result, path, f"{title}: {label}", label, time_label, log_time=args.log_time)
                if reason is not None:
                    skipped.append((name, reason))
                bar.done()
    except OSError as exc:
        raise UsageError(f"{exc.filename or args.output}: cannot write: {exc.strerror or exc}") from None
    return skipped


#: A report to write: its path, and what writes it.
Writer = tuple[str, Callable[[], None]]


def html_report(args: argparse.Namespace, settings: str) -> HtmlReport:
    """The --report of a run, as --report-plots and --log-time ask."""
    return HtmlReport(
        args.report,
        reference=args.reference,
        test=args.test,
        settings=settings,
        plots=args.report_plots,
        log_time=args.log_time,
    )


def report_figures() -> Figure | None:
    """What makes the data of the report's interactive plots (where the
    comparison runs: in a batch, its workers); None, with a warning, without
    the plotting library (the report then lists the verdicts alone)."""
    from ..reports import html_assets, html_data

    if not html_assets.library_available():
        warn(f"the report has no funnel plots: {html_assets.LIBRARY_HINT}")
        return None
    return html_data.plot_data


def report_writers(args: argparse.Namespace, files: Sequence[FileOutcome], summary: str) -> list[Writer]:
    """--junit and --markdown."""
    writers: list[Writer] = []
    if args.junit:
        writers.append((args.junit, lambda: write_junit(args.junit, files)))
    if args.markdown:
        writers.append((args.markdown, lambda: write_markdown(args.markdown, files, summary, passes=args.markdown_all)))
    return writers


def write_each(writers: Sequence[Writer]) -> list[str]:
    """Write every report, whatever became of the ones before: the work is
    done, and a full disk or a broken report costs that report only (each is
    written whole or not at all). Each that could not be written gets one
    error line on stderr; returns their paths."""
    failed = []
    for path, write in writers:
        try:
            write()
        except OSError as exc:
            # Named by its own path: the error's file name may be the temporary file beside it.
            why = exc.strerror or describe_exception(exc)
        except Exception as exc:
            why = describe_exception(exc)
        else:
            continue
        failed.append(path)
        print(printable(f"velmora-funnel: error: {path}: cannot write: {why}"), file=sys.stderr)
    return failed
