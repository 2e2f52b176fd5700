"""``velmora-funnel compare REFERENCE TEST``: the variables of two result files."""

from __future__ import annotations

import argparse
import os
import sys
from dataclasses import replace

from ..comparison import CompareResult
from ..errors import ResultFileError
from ..reports import json_report
from ..reports.cells import summary_line, tally
from ..reports.table import Printer, print_quiet, print_table, row
from ..reports.text import printable
from ..run import FileOutcome, RunOptions, VariableOutcome
from ..run.pairs import compare_tables, pair_warnings, read_pair, refuse_named, time_label
from .exits import EXIT_CODES_HELP, EXIT_UNUSABLE, UsageError, exit_code, side_flags, unusable, unusable_variables, warn
from .files import (
    html_report,
    plot_is_file,
    report_figures,
    report_writers,
    writable_directory,
    writable_file,
    write_each,
    write_outputs,
)
from .options import FLAGS, run_options
from .progress import Steps

__all__ = ["register"]


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser], *parents: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "compare",
        parents=list(parents),
        allow_abbrev=False,
        help="compare the variables of two result files",
        description="Compare each variable of REFERENCE with the same-named variable of TEST.",
        epilog=EXIT_CODES_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "reference",
        metavar="REFERENCE",
        help="reference result file (.csv, .csv.gz/.bz2/.xz/.zst, .mat, .parquet, .feather, .arrow)",
    )
    parser.add_argument("test", metavar="TEST", help="test result file (the new run), in any of the same formats")
    parser.add_argument("--output", metavar="DIR", help="write each variable's bounds and error curve as CSV into DIR")
    parser.add_argument(
        "--plot",
        metavar="FILE_OR_DIR",
        help="write a funnel plot: FILE (.png/.svg) for one variable, or one PNG per variable that did "
        "not pass into DIR",
    )
    parser.add_argument("--plot-all", action="store_true", help="with --plot DIR: plot the passes too")
    parser.add_argument(
        "--json", metavar="FILE", help="write the outcome as JSON to FILE, or to stdout for '-' (instead of the table)"
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    options = run_options(args)
    plot_file = args.plot is not None and plot_is_file(args.plot)
    if args.output:
        writable_directory(args.output)
    if args.plot and plot_file:
        writable_file(args.plot, "--plot")
    elif args.plot:
        writable_directory(args.plot)
    for path, option in (
        (args.junit, "--junit"),
        (args.markdown, "--markdown"),
        (args.json, "--json"),
        (args.report, "--report"),
    ):
        if path and path != "-":
            writable_file(path, option)
    # Reading, comparing and plotting long runs takes minutes: a terminal
    # shows how far it got; a pipe or --quiet gets nothing.
    with Steps(not args.quiet and sys.stderr.isatty(), steps=2) as bar:
        return _compare_files(args, options, plot_file, bar)


def _compare_files(args: argparse.Namespace, options: RunOptions, plot_file: bool, bar: Steps) -> int:
    started = False

    def before(path: str) -> None:
        nonlocal started
        if started:
            bar.done()
        started = True
        bar.doing(f"reading {os.path.basename(path)}")

    try:
        reference, test = read_pair(args.reference, args.test, options.sides(), before=before)
        refuse_named(reference, test, options)
    except ResultFileError as exc:
        if exc.path == args.test and exc.advice and not os.path.samefile(args.test, args.reference):
            # The reference was read as it is: what would read the test file is for it alone.
            raise UsageError(exc.describe(lambda advice: side_flags("test", advice))) from None
        raise unusable(exc) from None
    except OSError as exc:
        raise unusable(exc) from None
    bar.done()
    names = (*reference.all_names, *test.all_names)
    unmatched = options.unmatched(options.matched(names), names, config=False, spell=FLAGS)
    if unmatched:
        raise UsageError("; ".join(unmatched))
    selected = options.variables(reference.all_names, test.all_names, (reference.path, test.path))
    compared = sum(
        in_reference is not None
        and in_test is not None
        and in_reference in reference
        and in_test in test
        and options.for_variable(name, in_test) is not None
        for name, in_reference, in_test in selected
    )
    if plot_file and compared != 1:
        raise UsageError(
            f"--plot {args.plot}: a file holds one plot but {compared} variables were compared; "
            "give a directory or select one variable with --column"
        )
    warnings = pair_warnings(reference, test)
    for warning in warnings:
        warn(warning)
    outcomes: list[VariableOutcome] = []
    results: list[tuple[str, str, CompareResult]] = []
    bar.add(len(selected) + compared * (args.output is not None))
    bar.doing("comparing")
    # Results are kept only for what is written after the table; a result
    # of 10^6 points holds about 50 MB.
    keep = args.output is not None or args.plot is not None
    plotted: set[str] = set()
    report_data = report_figures() if args.report else None
    name = os.path.basename(args.test)
    for outcome, result in compare_tables(reference, test, options, file=name):
        if report_data is not None and result is not None and not outcome.passed:
            data, reason = report_data(result, f"{name}: {outcome.label}", outcome.label, time_label(reference))
            if reason is not None:
                warn(f"funnel plot of {outcome.name!r} skipped in the report: {reason}")
            outcome = replace(outcome, figure=data)
        outcomes.append(outcome)
        bar.done()
        if result is not None and keep:
            results.append((outcome.name, outcome.label, result))
            # A folder of plots shows what needs looking at; one file, the variable asked for.
            if args.plot is not None and (plot_file or args.plot_all or not outcome.passed):
                plotted.add(outcome.name)
    bar.add(len(plotted))
    skipped = write_outputs(args, reference.abscissa_name, results, plot_file, bar, plotted, time_label(reference))
    file = FileOutcome(name, args.reference, args.test, variables=tuple(outcomes), warnings=warnings)
    if args.report:
        report = html_report(args, options.describe())
        file = report.add(file)
        outcomes = list(file.variables)
    counts = tally(outcomes)
    error = unusable_variables([file])
    writers = []
    if args.json:
        document = json_report.document(
            args.reference,
            args.test,
            options,
            error,
            variables=[json_report.variable_json(o) for o in outcomes],
            warnings=list(warnings),
            summary=counts,
        )
        writers.append((args.json, lambda: json_report.write_json(args.json, document)))
    if args.json != "-":
        out = Printer()
        shown = print_quiet(outcomes, out) if args.quiet else outcomes
        if shown:
            print_table([row(o, args.verbose) for o in shown], out)
        out(summary_line(counts))
    if args.report:
        writers.append((report.path, report.close))
    failed = write_each([*writers, *report_writers(args, [file], summary_line(counts))])
    if args.report and args.report not in failed and args.json != "-":
        Printer()(f"report: {args.report}")
    for name, reason in skipped:
        print(printable(f"velmora-funnel: plot of {name!r} skipped: {reason}"), file=sys.stderr)
    if error:
        print(printable(f"velmora-funnel: error: {error}"), file=sys.stderr)
    return EXIT_UNUSABLE if failed else exit_code(counts)
