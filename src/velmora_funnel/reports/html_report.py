"""A self-contained HTML report of a run: the counts, a summary of each file
that did not pass, a table of every variable (filtered by text and verdict,
sorted by any column; what did not pass first, the passes there but hidden
until asked for), then the interactive funnel plots of the ``plots``
variables with the worst margins.

Outcomes are added one file at a time; table rows go straight to spool
files, so a large run holds in memory one small summary per file and the
data of at most ``plots`` plots (html_data bounds each).
"""

from __future__ import annotations

import datetime
import heapq
import html
import math
import os
import tempfile
from dataclasses import dataclass, field, replace
from typing import IO, TYPE_CHECKING

from ..io.atomic import replacing
from ..run.outcomes import PASSING
from . import html_assets
from .cells import COUNTED, LABELS, count, failing_cell, format_number, status_cell, tolerances_cell
from .text import printable

if TYPE_CHECKING:
    from ..run.outcomes import FileOutcome, VariableOutcome

__all__ = ["DEFAULT_PLOTS", "HtmlReport"]

#: Funnel plots a report embeds unless told otherwise.
DEFAULT_PLOTS = 30

# The order what did not pass comes in: by verdict, then by margin.
_RANK = {"fail": 0, "error": 1, "missing": 2, "new": 3, "not_compared": 4, "ignored": 5, "pass": 6}
_COLUMNS = (
    "file",
    "variable",
    "verdict",
    "status",
    "smallest margin",
    "largest error",
    "first failure at t",
    "failing points",
    "compared with",
    "message",
)
_VERDICT_COLUMN, _MARGIN_COLUMN = _COLUMNS.index("verdict"), _COLUMNS.index("smallest margin")


def _e(text: str) -> str:
    """Text for the page: names come from file names and headers, which may
    hold control characters or bytes that are not UTF-8 (lone surrogates);
    they are shown escaped as on the terminal, then made safe as HTML."""
    return html.escape(printable(text))


def _sort_value(value: float | None) -> str:
    """A number as the table sorts it (its shortest exact form); none sorts last."""
    return "" if value is None or math.isnan(value) else repr(float(value))


@dataclass
class _File:
    """What the summary of one file shows."""

    name: str
    verdict: str
    note: str = ""
    counts: dict[str, int] = field(default_factory=lambda: dict.fromkeys(COUNTED, 0))
    worst: float | None = None


class HtmlReport:
    """Collects outcomes and writes the report to ``path`` on close()."""

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        reference: str,
        test: str,
        settings: str,
        plots: int = DEFAULT_PLOTS,
        log_time: bool = False,
    ) -> None:
        self.path = os.fspath(path)
        self._reference = reference
        self._test = test
        # RunOptions.describe(): the settings of every variable, and the config file.
        self._settings = settings
        self._log_time = log_time
        self._limit = max(plots, 0)
        # Rows of what did not pass, then of the passes: the page opens with the former in view.
        self._rows = [tempfile.TemporaryFile("w+", encoding="utf-8") for _ in range(2)]  # noqa: SIM115 - closed by close()
        self._row_count = 0
        self._files: list[_File] = []
        self._warnings: list[str] = []
        # The worst plots so far, as a heap whose top is the least bad: (key negated, anchor, caption, data).
        self._plots: list[tuple[tuple[float, float, int], str, str, bytes]] = []
        self.plotted = 0
        #: Variables by verdict, as the summary line counts them; the files
        #: missing on one side or unusable apart, as it counts those.
        self.counts = dict.fromkeys(COUNTED, 0)
        self.files = {"files": 0, "missing": 0, "unusable": 0}
        # What fails the run: missing and new variables the run only warns about do not.
        self._failing = 0

    def add(self, outcome: FileOutcome) -> FileOutcome:
        """Record one file's outcome; returns it without its plot data."""
        file = outcome.file
        self._warnings += [f"{file}: {warning}" for warning in outcome.warnings]
        self.files["files"] += 1
        summary = _File(file, outcome.verdict)
        self._files.append(summary)
        if outcome.error is not None:
            self.files["unusable"] += 1
            self._failing += 1
            summary.note = outcome.error
            self._file_row("error", file, "unusable", outcome.error)
        if outcome.missing is not None:
            self.files["missing"] += 1
            self._failing += 1
            side_path = outcome.reference if outcome.missing == "test" else outcome.test
            summary.note = f"file missing in {outcome.missing} (present: {side_path})"
            self._file_row("missing", file, "missing", summary.note)
            return outcome
        stripped = []
        for variable in outcome.variables:
            self.counts[variable.verdict] += 1
            summary.counts[variable.verdict] += 1
            self._failing += variable.fails
            if variable.margin is not None and (summary.worst is None or variable.margin < summary.worst):
                summary.worst = variable.margin
            self._variable_row(variable)
            if variable.figure is not None:
                stripped.append(replace(variable, figure=None))
            else:
                stripped.append(variable)
        return replace(outcome, variables=tuple(stripped))

    def _file_row(self, kind: str, file: str, verdict: str, message: str) -> None:
        cells = [f'<td class="name">{_e(file)}</td><td></td>', f'<td class="v" data-v="{_RANK[kind]}">{verdict}</td>']
        cells += ["<td>-</td>", '<td class="num" data-v="">-</td>', '<td class="num" data-v="">-</td>']
        cells += ['<td class="num" data-v="">-</td>', '<td class="num" data-v="">-</td>', "<td></td>"]
        cells.append(f'<td class="msg" title="{_e(message)}">{_e(message)}</td>')
        # A file's row: no variable, so the table's count of variables leaves it out.
        self._rows[0].write(f'<tr class="v-{kind}" data-kind="{kind}" data-file-row="1">{"".join(cells)}</tr>\n')

    def _variable_row(self, variable: VariableOutcome) -> None:
        self._row_count += 1
        name = _e(variable.name)
        if variable.figure is not None:
            anchor = f"plot-{self._row_count}"
            self._keep_plot(variable, anchor)
            name = f'<a class="plot-link" href="#figure-{anchor}">{name}</a>'
        margin = variable.margin
        cells = (
            f'<td class="name">{_e(variable.file)}</td><td class="name">{name}</td>'
            f'<td class="v" data-v="{_RANK[variable.verdict]}">{_e(LABELS[variable.verdict])}</td>'
            f"<td>{_e(status_cell(variable))}</td>"
            f'<td class="num" data-v="{_sort_value(margin)}">{_e(format_number(margin, 3))}</td>'
            f'<td class="num" data-v="{_sort_value(variable.max_error)}">{_e(format_number(variable.max_error))}</td>'
            f'<td class="num" data-v="{_sort_value(variable.first_failure)}">'
            f"{_e(format_number(variable.first_failure, 6))}</td>"
            f'<td class="num" data-v="{variable.failing_count if variable.status is not None else ""}">'
            f"{_e(failing_cell(variable))}</td>"
            f"<td>{_e(tolerances_cell(variable))}</td>"
            f'<td class="msg" title="{_e(variable.message)}">{_e(variable.message)}</td>'
        )
        passed = variable.verdict in PASSING
        spool = self._rows[1 if passed else 0]
        spool.write(
            f'<tr class="v-{variable.verdict}" data-kind="{variable.verdict}"{' data-passed="1"' if passed else ""}>'
            f"{cells}</tr>\n"
        )

    def _keep_plot(self, variable: VariableOutcome, anchor: str) -> None:
        """Keep the data of the plot if it is among the ``plots`` worst so far."""
        assert variable.figure is not None
        self.plotted += 1
        margin = variable.margin if variable.margin is not None and not math.isnan(variable.margin) else math.inf
        key = (-float(_RANK[variable.verdict]), -margin, -self._row_count)
        caption = f"{_e(variable.file)}: {_e(variable.label)} &mdash; {_e(variable.message)}"
        entry = (key, anchor, caption, variable.figure)
        if len(self._plots) < self._limit:
            heapq.heappush(self._plots, entry)
        elif self._limit and entry[0] > self._plots[0][0]:
            heapq.heapreplace(self._plots, entry)

    def close(self) -> None:
        """Write the report file; a write that fails leaves no half-written report behind."""
        try:
            with replacing(self.path) as out:
                self._write(out)
        finally:
            for spool in self._rows:
                spool.close()

    def _write(self, out: IO[str]) -> None:
        e = _e
        stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
        out.write(
            '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>velmora-funnel report</title><style>{html_assets.style()}</style></head><body>\n"
        )
        out.write("<h1>velmora-funnel report</h1>\n")
        out.write(
            f'<p class="meta">reference <code>{e(self._reference)}</code> &middot; test <code>{e(self._test)}</code>'
            f"<br>{e(self._settings)} &middot; {stamp}</p>\n"
        )
        self._write_counts(out)
        self._write_files(out)
        self._write_table(out)
        if self._warnings:
            out.write("<h2>Warnings</h2>\n<ul>" + "".join(f"<li>{e(w)}</li>" for w in self._warnings) + "</ul>\n")
        self._write_plots(out)
        out.write(f"<script>{html_assets.script_safe(html_assets.page_script())}</script>\n</body></html>\n")

    def _write_counts(self, out: IO[str]) -> None:
        verdict = "all passed" if not self._failing else "not all passed"
        out.write(f'<h2>Summary: {verdict}</h2>\n<p class="counts">')
        files = self.files
        out.write(f'<span class="c-files">{count(files["files"], "file")}</span>')
        for key, css in (("missing", "missing"), ("unusable", "error")):
            if files[key]:
                out.write(f'<span class="c-{css}">{files[key]} {"file" if files[key] == 1 else "files"} {key}</span>')
        out.write(f'<span class="c-files">{count(sum(self.counts.values()), "variable")}</span>')
        for key, label in COUNTED.items():
            out.write(f'<span class="c-{key}">{self.counts[key]} {label.replace("_", " ")}</span>')
        out.write("</p>\n")

    def _write_files(self, out: IO[str]) -> None:
        """One line per file, what did not pass first (the worst margin first)."""
        keys = ("fail", "error", "missing", "new", "pass")
        head = "".join(f"<th>{LABELS[key].lower() if key != 'error' else 'unusable'}</th>" for key in keys)
        start = f'<div class="scroll"><table class="files"><thead><tr><th>file</th><th>verdict</th>{head}'
        start += "<th>smallest margin</th><th>note</th></tr></thead><tbody>\n"

        def write_rows(files: list[_File]) -> None:
            out.write(start)
            for file in files:
                numbers = "".join(f'<td class="num">{file.counts[key]}</td>' for key in keys)
                out.write(
                    f'<tr class="v-{file.verdict}"><td class="name"><a href="#variables" data-file="{_e(file.name)}">'
                    f'{_e(file.name)}</a></td><td class="v">{_e(LABELS[file.verdict])}</td>{numbers}'
                    f'<td class="num">{_e(format_number(file.worst, 3))}</td>'
                    f'<td class="msg" title="{_e(file.note)}">{_e(file.note)}</td></tr>\n'
                )
            out.write("</tbody></table></div>\n")

        def order(file: _File) -> tuple[int, float]:
            return _RANK[file.verdict], file.worst if file.worst is not None else math.inf

        bad = sorted((f for f in self._files if f.verdict != "pass"), key=order)
        good = [f for f in self._files if f.verdict == "pass"]
        out.write(f"<h2>Files ({len(bad)} of {len(self._files)} did not pass)</h2>\n")
        if bad:
            write_rows(bad)
        if good:
            out.write(f"<details><summary>{count(len(good), 'file')} passed</summary>\n")
            write_rows(good)
            out.write("</details>\n")

    def _write_table(self, out: IO[str]) -> None:
        options = [("not-passed", "what did not pass"), ("all", "every verdict")]
        options += [(key, LABELS[key]) for key in _RANK]
        choices = "".join(f'<option value="{value}">{label}</option>' for value, label in options)
        out.write(
            f"<h2>Variables ({self.counts['pass']} passed, shown on asking)</h2>\n"
            '<div class="controls"><input type="search" id="filter" placeholder="filter by file or variable name" '
            f'aria-label="filter by name"><select id="verdict" aria-label="verdict">{choices}</select>'
            '<label><input type="checkbox" id="log-time"'
            f"{' checked' if self._log_time else ''}> time on a log axis in the plots</label>"
            '<span id="shown" class="note"></span></div>\n'
        )
        head = "".join(f"<th>{column}</th>" for column in _COLUMNS)
        out.write(
            f'<div class="scroll"><table id="variables" data-verdict="{_VERDICT_COLUMN}" data-margin="{_MARGIN_COLUMN}">'
            f"<thead><tr>{head}</tr></thead><tbody>\n"
        )
        for spool in self._rows:
            spool.seek(0)
            while chunk := spool.read(1 << 20):
                out.write(chunk)
        out.write("</tbody></table></div>\n")

    def _write_plots(self, out: IO[str]) -> None:
        if not self.plotted:
            return
        chosen = sorted(self._plots, reverse=True)
        out.write(f"<h2>Funnel plots ({len(chosen)} of the {self.plotted} variables that did not pass)</h2>\n")
        out.write(
            '<p class="note">Drag to pan, scroll to zoom the time axis (both panels follow); what is drawn is thinned '
            "to the screen, never losing a failing point or an extreme, and shows every point in the windows around "
            "the failures.</p>\n"
        )
        if len(chosen) < self.plotted:
            out.write(
                f'<p class="note">{self.plotted - len(chosen)} more did not pass and are not plotted '
                "(at most --report-plots, the worst margins first): the table lists them with their numbers.</p>\n"
            )
        if not html_assets.library_available():
            out.write(f'<p class="note">No plots: {_e(html_assets.LIBRARY_HINT)}</p>\n')
            return
        out.write(f"<script>{html_assets.script_safe(html_assets.library_script())}</script>\n")
        for index, (_, anchor, caption, data) in enumerate(chosen):
            out.write(
                f'<section class="figure" id="figure-{anchor}"><h3>{caption}</h3>'
                f'<div class="plot" id="plot-{index}" data-index="{index}"></div>'
                f'<script type="application/json" id="plot-data-{index}">'
            )
            out.write(html_assets.script_safe(data.decode("utf-8")))
            out.write("</script></section>\n")
