"""A Markdown summary of a run, for a CI system's job page: the summary line,
then one table row per variable that did not pass, worst first; passes are
counted, not listed (unless asked for), and the whole stays under the size a
job summary accepts."""

from __future__ import annotations

import math
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ..io.atomic import replacing
from .cells import LABELS, failing_cell, format_number
from .text import printable

if TYPE_CHECKING:
    from ..run.outcomes import FileOutcome

__all__ = ["MARKDOWN_LIMIT", "MarkdownWriter", "write_markdown"]

#: A CI job summary takes at most 1 MiB; the table is cut to stay below it.
MARKDOWN_LIMIT = 1024 * 1024


# CommonMark lets a backslash escape ASCII punctuation: names such as
# "*.der(x)" or "a|b" then show as they are, and no HTML gets through.
_PUNCTUATION = re.compile(r"([\\`*_\[\]<>|&~])")


def _md(text: str) -> str:
    return _PUNCTUATION.sub(r"\\\1", printable(text))


_ORDER = {"error": 0, "fail": 1, "missing": 2, "new": 3, "pass": 4, "not_compared": 5, "ignored": 6}


class MarkdownWriter:
    """The Markdown summary, kept as the file pairs' outcomes arrive: only
    the rows it lists (what did not pass; the passes too with ``passes``),
    the rest counted."""

    def __init__(self, path: str, *, passes: bool = False, limit: int = MARKDOWN_LIMIT) -> None:
        self.path = path
        self._passes = passes
        self._limit = limit
        self._rows: list[tuple[tuple[Any, ...], list[str]]] = []
        self._unlisted = 0

    def add(self, file: FileOutcome) -> None:
        if file.error is not None or file.missing is not None:
            verdict = "error" if file.error is not None else "missing"
            message = file.error or f"file missing in {file.missing}"
            self._rows.append(
                ((_ORDER[verdict], 0.0), [LABELS[verdict], _md(file.file), "", "-", "-", "-", "-", _md(message)])
            )
        for v in file.variables:
            if not self._passes and v.verdict in ("pass", "ignored"):
                self._unlisted += 1
                continue
            margin = v.margin if v.margin is not None and not math.isnan(v.margin) else math.inf
            self._rows.append(
                (
                    (_ORDER[v.verdict], margin),
                    [
                        LABELS[v.verdict],
                        _md(file.file),
                        _md(v.name),
                        format_number(v.max_error),
                        format_number(v.first_failure, 6),
                        format_number(v.margin, 3),
                        failing_cell(v),
                        _md(v.message),
                    ],
                )
            )

    def close(self, summary: str) -> None:
        """Write the summary line, then the rows worst first, cut with a
        count where the file would reach the limit."""
        rows = sorted(self._rows, key=lambda row: row[0])
        limit = self._limit
        lines = [
            f"### velmora-funnel: {printable(summary)}",
            "",
            "| verdict | file | variable | largest error | first failure | margin | failing points | message |",
            "|---|---|---|---:|---:|---:|---:|---|",
        ]
        # Room kept for the closing lines; sizes in bytes, as the limit counts them.
        size = sum(len(line.encode()) + 1 for line in lines) + 200
        shown = 0
        for _, cells in rows:
            line = "| " + " | ".join(cells) + " |"
            size += len(line.encode()) + 1
            if size > limit:
                break
            lines.append(line)
            shown += 1
        if shown < len(rows):
            cut = f"... and {len(rows) - shown:,} more rows, cut to keep this summary under {limit // 1024:,} KiB"
            lines += ["", cut + " (see --json)."]
        if self._unlisted:
            lines += [
                "",
                f"{self._unlisted:,} passed or ignored variables are counted, not listed (--markdown-all lists them).",
            ]
        with replacing(self.path) as handle:
            handle.write("\n".join(lines) + "\n")


def write_markdown(
    path: str, files: Sequence[FileOutcome], summary: str, *, passes: bool = False, limit: int = MARKDOWN_LIMIT
) -> None:
    """Write a Markdown summary: the summary line, then one table row per
    variable that did not pass, worst first (with ``passes``, then the passes
    closest to a bound), cut with a count where the file would reach
    ``limit`` bytes."""
    writer = MarkdownWriter(path, passes=passes, limit=limit)
    for file in files:
        writer.add(file)
    writer.close(summary)
