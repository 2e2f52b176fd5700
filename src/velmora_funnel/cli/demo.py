"""``velmora-funnel demo``: compare the shipped example runs, plot what did
not pass and write the HTML report."""

from __future__ import annotations

import argparse
import os
import sys
from dataclasses import replace

from ..errors import ResultFileError
from ..reports.cells import summary_line, tally
from ..reports.html_report import HtmlReport
from ..reports.table import Printer, print_table, row
from ..reports.text import output_stem, printable
from ..run import FileOutcome, RunOptions, VariableOutcome
from ..run.pairs import compare_tables, pair_files, read_pair, time_label
from .exits import EXIT_PASS, UsageError, unusable

__all__ = ["register"]

# The checkout this file lies in when run from one: src/velmora_funnel/cli/.
_CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser], *parents: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "demo", allow_abbrev=False, help="compare the shipped example result files and plot them"
    )
    parser.add_argument(
        "--output",
        metavar="DIR",
        help="where to write the plots and the report (default: build/demo in a checkout, else a temporary folder)",
    )
    parser.set_defaults(run=run)


def _examples_dir() -> tuple[str, str, bool]:
    """The example files: the checkout's examples/ when run inside one, else
    freshly generated into a temporary folder. Returns (dir, output, in_checkout)."""
    for base in (os.getcwd(), _CHECKOUT):
        candidate = os.path.join(base, "examples")
        if os.path.isfile(os.path.join(candidate, "reference", "oscillator.csv")):
            return candidate, os.path.join(base, "build", "demo"), True
    import tempfile

    from .examples import write_examples

    directory = tempfile.mkdtemp(prefix="velmora-funnel-demo-")
    write_examples(directory)
    return directory, os.path.join(directory, "output"), False


def run(args: argparse.Namespace) -> int:
    from ..reports.html_data import plot_data
    from ..reports.plot import plot_or_reason

    examples, default_output, in_checkout = _examples_dir()
    output = args.output or default_output
    options = RunOptions()
    out = Printer()
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
            try:
                reference, test = read_pair(reference_path or "", test_path or "", options.read)
            except (ResultFileError, OSError) as exc:
                raise unusable(exc) from None
            out()
            out(f"velmora-funnel compare {os.path.relpath(reference_path or '')} {os.path.relpath(test_path or '')}")
            rows, file_variables = [], []
            for outcome, result in compare_tables(reference, test, options, file=rel):
                rows.append(row(outcome))
                if result is not None and not outcome.passed:
                    stem = output_stem(f"{os.path.splitext(rel)[0]}.{outcome.name}", taken)
                    path = os.path.join(output, stem + ".png")
                    title = f"{rel}: {outcome.label}"
                    figure, reason = plot_or_reason(result, path, title, outcome.label, time_label(reference))
                    if figure is not None:
                        plots.append(path)
                        outcome = replace(
                            outcome, figure=plot_data(result, title, outcome.label, time_label(reference))[0]
                        )
                    else:
                        print(printable(f"velmora-funnel: plot of {outcome.name!r} skipped: {reason}"), file=sys.stderr)
                file_variables.append(outcome)
            print_table(rows, out)
            report.add(FileOutcome(rel, reference_path, test_path, variables=tuple(file_variables)))
            variables.extend(file_variables)
        report.close()
    except OSError as exc:
        raise UsageError(f"{exc.filename or output}: cannot write: {exc.strerror or exc}") from None
    out()
    out(summary_line(tally(variables)) + " (the demo's test run has a deliberate glitch)")
    for path in plots:
        out(f"plot: {path}")
    out(f"report: {report.path}")
    return EXIT_PASS
