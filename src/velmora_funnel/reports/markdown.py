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

__all__ = ["MARKDOWN_LIMIT", "write_markdown"]

#: A CI job summary takes at most 1 MiB; the table is cut to stay below it.
MARKDOWN_LIMIT = 1024 * 1024


# CommonMark lets a backslash escape ASCII punctuation: names such as
# "*.der(x)" or "a|b" then show as they are, and no HTML gets through.
_PUNCTUATION = re.compile(r"([\\`*_\[\]<>|&~])")


def _md(text: str) -> str:
    return _PUNCTUATION.sub(r"\\\1", printable(text))


_ORDER = {"error": 0, "fail": 1, "missing": 2, "new": 3, "pass": 4, "ignored": 5}


def write_markdown(
    path: str, files: Sequence[FileOutcome], summary: str, *, passes: bool = False, limit: int = MARKDOWN_LIMIT
) -> None:
    """Write a Markdown summary: the summary line, then one table row per
    variable that did not pass, worst first (with ``passes``, then the passes
    closest to a bound), cut with a count where the file would reach
    ``limit`` bytes."""
    rows: list[tuple[tuple[Any, ...], list[str]]] = []
    for file in files:
        if file.error is not None or file.missing is not None:
            verdict = "error" if file.error is not None else "missing"
            message = file.error or f"file missing in {file.missing}"
            rows.append(
                ((_ORDER[verdict], 0.0), [LABELS[verdict], _md(file.file), "", "-", "-", "-", "-", _md(message)])
            )
        for v in file.variables:
            margin = v.margin if v.margin is not None and not math.isnan(v.margin) else math.inf
            rows.append(
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
    rows.sort(key=lambda row: row[0])
    quiet = {_ORDER["pass"], _ORDER["ignored"]}
    unlisted = 0 if passes else sum(key[0] in quiet for key, _ in rows)
    lines = [
        f"### velmora-funnel: {printable(summary)}",
        "",
        "| verdict | file | variable | largest error | first failure | margin | failing points | message |",
        "|---|---|---|---:|---:|---:|---:|---|",
    ]
    # Room kept for the closing lines; sizes in bytes, as the limit counts them.
    size = sum(len(line.encode()) + 1 for line in lines) + 200
    shown = 0
    for key, cells in rows:
        if not passes and key[0] in quiet:
            continue
        line = "| " + " | ".join(cells) + " |"
        size += len(line.encode()) + 1
        if size > limit:
            break
        lines.append(line)
        shown += 1
    listed = len(rows) - unlisted
    if shown < listed:
        lines += [
            "",
            f"... and {listed - shown:,} more rows, cut to keep this summary under {limit // 1024:,} KiB (see --json).",
        ]
    if unlisted:
        lines += ["", f"{unlisted:,} passed or ignored variables are counted, not listed (--markdown-all lists them)."]
    with replacing(path) as handle:
        handle.write("\n".join(lines) + "\n")
