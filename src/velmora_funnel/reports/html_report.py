"""A self-contained HTML report of a batch: summary table first, then a funnel
plot (embedded as base64 PNG) for every variable that did not pass.

Outcomes are added one file at a time; plots go straight to a spool file, so
a large batch holds only the small table rows in memory.
"""

from __future__ import annotations

import base64
import datetime
import html
import os
import tempfile
from dataclasses import replace
from typing import IO, TYPE_CHECKING

from ..io.atomic import replacing
from .cells import COUNTED, count, failing_cell, format_number, status_cell, tolerances_cell
from .text import printable

if TYPE_CHECKING:
    from ..run.outcomes import FileOutcome, VariableOutcome

__all__ = ["HtmlReport"]


def _e(text: str) -> str:
    """Text for the page: names come from file names and headers, which may
    hold control characters or bytes that are not UTF-8 (lone surrogates);
    they are shown escaped as on the terminal, then made safe as HTML."""
    return html.escape(printable(text))


_STYLE = """
body{font-family:system-ui,-apple-system,Segoe UI,Roboto,sans-serif;margin:2em auto;max-width:1200px;color:#222;padding:0 1em}
h1{font-size:1.6em;margin-bottom:.2em}h2{margin-top:2em;border-bottom:1px solid #ddd;padding-bottom:.2em}
.meta{color:#555;font-size:.9em}.meta code{background:#f4f4f4;padding:0 .3em}
.counts span{display:inline-block;margin:.6em .6em 0 0;padding:.4em .8em;border-radius:4px;font-weight:600}
.c-pass{background:#e3f4e1;color:#1b6e20}.c-fail{background:#fde2e1;color:#b3261e}
.c-files{background:#f4f4f4;color:#333}.c-missing,.c-new{background:#fff1d6;color:#8a5a00}.c-error{background:#ece3f7;color:#5b2a86}.c-ignored,.c-not_compared{background:#eee;color:#555}
table{border-collapse:collapse;width:100%;font-size:.9em;margin-top:1em}
th,td{border-bottom:1px solid #e4e4e4;padding:.35em .6em;text-align:left;vertical-align:top}
th{background:#f6f6f6;position:sticky;top:0}td.num{text-align:right;font-variant-numeric:tabular-nums}
tr.v-fail td.v,tr.v-error td.v{color:#b3261e;font-weight:600}tr.v-missing td.v,tr.v-new td.v{color:#8a5a00;font-weight:600}
tr.v-pass td.v{color:#1b6e20}tr.v-ignored td,tr.v-not_compared td{color:#888}
figure{margin:1.5em 0;border:1px solid #e4e4e4;padding:.8em}figure img{max-width:100%}
figcaption{font-size:.9em;color:#444;margin-bottom:.5em}
"""


class HtmlReport:
    """Collects outcomes and writes the report to ``path`` on close()."""

    def __init__(self, path: str | os.PathLike[str], *, reference: str, test: str, settings: str) -> None:
        self.path = os.fspath(path)
        self._reference = reference
        self._test = test
        # RunOptions.describe(): the settings of every variable, and the config file.
        self._settings = settings
        self._rows: list[tuple[str, ...]] = []
        self._figures = tempfile.TemporaryFile("w+", encoding="utf-8")  # noqa: SIM115 - closed by close()
        self._figure_count = 0
        self._warnings: list[str] = []
        # Variables by verdict, as the summary line counts them; the files
        # missing on one side or unusable apart, as it counts those.
        self.counts = dict.fromkeys(COUNTED, 0)
        self.files = {"files": 0, "missing": 0, "unusable": 0}
        # What fails the run: missing and new variables the run only warns about do not.
        self._failing = 0

    def add(self, outcome: FileOutcome) -> FileOutcome:
        """Record one file's outcome; returns it without its plots."""
        file = outcome.file
        self._warnings += [f"{file}: {warning}" for warning in outcome.warnings]
        self.files["files"] += 1
        if outcome.error is not None:
            self.files["unusable"] += 1
            self._failing += 1
            self._rows.append(("error", file, "", "unusable", "-", outcome.error, "-", "-", "-", "-", "", ""))
        if outcome.missing is not None:
            self.files["missing"] += 1
            self._failing += 1
            side_path = outcome.reference if outcome.missing == "test" else outcome.test
            message = f"file missing in {outcome.missing} (present: {side_path})"
            self._rows.append(("missing", file, "", "missing", "-", message, "-", "-", "-", "-", "", ""))
            return outcome
        stripped = []
        for variable in outcome.variables:
            self.counts[variable.verdict] += 1
            self._failing += variable.fails
            anchor = self._add_figure(variable) if variable.figure else ""
            self._rows.append(
                (
                    variable.verdict,
                    file,
                    variable.name,
                    variable.verdict.replace("_", " "),
                    status_cell(variable),
                    variable.message,
                    format_number(variable.max_error),
                    format_number(variable.first_failure, 6),
                    format_number(variable.margin, 3),
                    failing_cell(variable),
                    tolerances_cell(variable),
                    anchor,
                )
            )
            stripped.append(replace(variable, figure=None))
        return replace(outcome, variables=tuple(stripped))

    def _add_figure(self, variable: VariableOutcome) -> str:
        self._figure_count += 1
        anchor = f"plot-{self._figure_count}"
        assert variable.figure is not None
        encoded = base64.b64encode(variable.figure).decode("ascii")
        self._figures.write(
            f'<figure id="{anchor}"><figcaption><strong>{_e(variable.file)}: {_e(variable.name)}</strong>'
            f" &mdash; {_e(variable.message)}</figcaption>"
            f'<img alt="funnel plot of {_e(variable.name)}" src="data:image/png;base64,{encoded}"></figure>\n'
        )
        return anchor

    def close(self) -> None:
        """Write the report file (summary table first, then the plots); a
        write that fails leaves no half-written report behind."""
        try:
            with replacing(self.path) as out:
                self._write(out)
        finally:
            self._figures.close()

    def _write(self, out: IO[str]) -> None:
        e = _e
        stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
        out.write(
            f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>velmora-funnel report</title><style>{_STYLE}</style></head><body>\n'
        )
        out.write("<h1>velmora-funnel report</h1>\n")
        out.write(
            f'<p class="meta">reference <code>{e(self._reference)}</code> &middot; test <code>{e(self._test)}</code>'
            f"<br>{e(self._settings)} &middot; {stamp}</p>\n"
        )
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
        out.write(
            "</p>\n<table><thead><tr><th>file</th><th>variable</th><th>verdict</th><th>status</th><th>message</th>"
            "<th>largest error</th><th>first failure at t</th><th>smallest margin</th><th>failing points</th>"
            "<th>compared with</th></tr></thead><tbody>\n"
        )
        for (
            kind,
            file,
            name,
            verdict_text,
            status,
            message,
            largest,
            first,
            margin,
            failing,
            settings,
            anchor,
        ) in self._rows:
            shown = f'<a href="#{anchor}">{e(name)}</a>' if anchor else e(name)
            out.write(
                f'<tr class="v-{kind}"><td>{e(file)}</td><td>{shown}</td><td class="v">{e(verdict_text)}</td>'
                f'<td>{e(status)}</td><td>{e(message)}</td><td class="num">{e(largest)}</td><td class="num">{e(first)}</td>'
                f'<td class="num">{e(margin)}</td><td class="num">{e(failing)}</td><td>{e(settings)}</td></tr>\n'
            )
        out.write("</tbody></table>\n")
        if self._warnings:
            out.write("<h2>Warnings</h2>\n<ul>" + "".join(f"<li>{e(w)}</li>" for w in self._warnings) + "</ul>\n")
        if self._figure_count:
            out.write(f"<h2>Funnel plots of the variables that did not pass ({self._figure_count})</h2>\n")
            self._figures.seek(0)
            while chunk := self._figures.read(1 << 20):
                out.write(chunk)
        out.write("</body></html>\n")
