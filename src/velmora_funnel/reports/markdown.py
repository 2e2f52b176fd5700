"""A Markdown summary of a run, for a CI system's job page: the summary line,
then one table row per variable, what did not pass first."""

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

__all__ = ["write_markdown"]


# CommonMark lets a backslash escape ASCII punctuation: names such as
# "*.der(x)" or "a|b" then show as they are, and no HTML gets through.
_PUNCTUATION = re.compile(r"([\\`*_\[\]<>|&~])")


def _md(text: str) -> str:
    return _PUNCTUATION.sub(r"\\\1", printable(text))


_ORDER = {"error": 0, "fail": 1, "missing": 2, "pass": 3, "not_compared": 4, "ignored": 5}


def write_markdown(path: str, files: Sequence[FileOutcome], summary: str) -> None:
    """Write a Markdown summary: the summary line, then one table row per
    variable, what did not pass first, then the passes closest to a bound."""
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
    lines = [
        f"### velmora-funnel: {printable(summary)}",
        "",
        "| verdict | file | variable | largest error | first failure | margin | failing points | message |",
        "|---|---|---|---:|---:|---:|---:|---|",
    ]
    lines += ["| " + " | ".join(cells) + " |" for _, cells in rows]
    with replacing(path) as handle:
        handle.write("\n".join(lines) + "\n")
