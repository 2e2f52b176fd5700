"""The outputs of a run of file pairs (a batch, or its shards merged), fed
one file at a time as the outcomes arrive: the table, the counts, and the
reports, which spool what they write, so that a run of any number of files
holds no more than what its Markdown lists."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from typing import Any

from ..reports.cells import count, summary_line, tally
from ..reports.html_report import HtmlReport
from ..reports.json_report import JsonWriter
from ..reports.junit import JunitWriter
from ..reports.markdown import MarkdownWriter
from ..reports.table import Printer, print_file
from ..reports.text import printable
from ..run import FileOutcome
from .exits import EXIT_UNUSABLE, exit_code, unusable_variables, warn
from .files import Writer, write_each

__all__ = ["RunOutputs"]


class RunOutputs:
    """Where each file pair's outcome goes: the report (which keeps its plots
    apart), the JSON, JUnit and Markdown writers, the table and the counts."""

    def __init__(self, args: argparse.Namespace, out: Printer, report: HtmlReport | None) -> None:
        self._args = args
        self._out = out
        self.report = report
        self._json = JsonWriter(args.json) if args.json else None
        self._junit = JunitWriter(args.junit) if args.junit else None
        self._markdown = MarkdownWriter(args.markdown, passes=args.markdown_all) if args.markdown else None
        self.counts: dict[str, int] = dict(tally(()), files=0, missing_files=0, unusable_files=0)
        #: The files that could not be compared, and the variables the module rejected.
        self.problems: list[str] = []
        self._unusable: list[str] = []
        #: Indices of the globs that fit a variable of some file (RunOptions.patterns()).
        self.matched: set[int] = set()

    def add(self, outcome: FileOutcome) -> None:
        if self.report is not None:
            outcome = self.report.add(outcome)
        for writer in (self._json, self._junit, self._markdown):
            if writer is not None:
                writer.add(outcome)
        for key, value in tally(outcome.variables).items():
            self.counts[key] += value
        self.counts["files"] += 1
        self.counts["missing_files"] += outcome.missing is not None
        self.counts["unusable_files"] += outcome.error is not None
        if outcome.error is not None:
            self.problems.append(f"{outcome.file}: {outcome.error}")
        rejected = unusable_variables([outcome])
        if rejected is not None:
            self._unusable.append(rejected)
        self.matched |= outcome.matched
        for warning in outcome.warnings:
            warn(f"{outcome.file}: {warning}")
        print_file(outcome, self._out, quiet=self._args.quiet, verbose=self._args.verbose)

    def conclude(self, head: Callable[[str | None], dict[str, Any]], problems: list[str] | None = None) -> int:
        """The summary line, the reports written, and the exit code; ``head``
        gives the JSON document's keys before its files, with the error;
        ``problems`` replace those of the files (an unmatched glob)."""
        counts = self.counts
        error = "; ".join(filter(None, ["; ".join(problems or self.problems), "; ".join(self._unusable)])) or None
        line = summary_line(
            counts,
            f"{count(counts['files'], 'file')} ({counts['missing_files']} missing, {counts['unusable_files']} "
            "unusable), ",
        )
        writers: list[Writer] = []
        if self.report is not None:
            writers.append((self.report.path, self.report.close))
        if self._json is not None:
            json_writer = self._json
            summary = dict(counts)
            writers.append((json_writer.path, lambda: json_writer.close(head(error), summary)))
        if self._junit is not None:
            writers.append((self._junit.path, self._junit.close))
        if self._markdown is not None:
            markdown = self._markdown
            writers.append((markdown.path, lambda: markdown.close(line)))
        self._out(line)
        failed = write_each(writers)
        if self.report is not None and self.report.path not in failed:
            self._out(f"report: {self.report.path}")
        if error is not None and not counts["unusable_files"]:
            print(printable(f"velmora-funnel: error: {error}"), file=sys.stderr)
            return EXIT_UNUSABLE
        return EXIT_UNUSABLE if failed else exit_code(counts)
