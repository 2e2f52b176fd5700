"""The terminal table: one row per variable, and a file's heading in a batch.

Every line goes through printable(): names come from file headers, which
must not be able to retitle or clear the user's terminal.
"""

from __future__ import annotations

import shutil
import sys
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, TextIO

from ..run.outcomes import PASSING
from .cells import LABELS, count, failing_cell, format_number, half_width_cell, status_cell
from .text import printable

if TYPE_CHECKING:
    from ..run.outcomes import FileOutcome, VariableOutcome

__all__ = ["Printer", "print_file", "print_quiet", "print_table", "row"]


class Printer:
    """Writes lines to stdout; goes through tqdm while a progress bar is shown."""

    def __init__(self, progress: bool = False, stream: TextIO | None = None) -> None:
        self.progress = progress
        self.stream = stream or sys.stdout

    @property
    def width(self) -> int | None:
        """The terminal's width when the lines go to one; None for a pipe or
        a file, which get every character."""
        isatty = getattr(self.stream, "isatty", None)
        return shutil.get_terminal_size().columns if isatty is not None and isatty() else None

    def __call__(self, line: str = "") -> None:
        line = printable(line)
        if self.progress:
            from tqdm import tqdm

            tqdm.write(line, file=self.stream)
        else:
            print(line, file=self.stream)


_HEADINGS = ("variable", "verdict", "status", "largest error", "first failure", "margin", "at t", "failing")
_VERBOSE_HEADINGS = ("half-width t", "half-width y")


def row(variable: VariableOutcome, verbose: bool = False) -> tuple[str, ...]:
    """The cells of one variable; ``verbose`` adds the half-widths it was compared with."""
    # Escaped before the columns are measured, so the table stays aligned.
    cells: tuple[str, ...] = (
        printable(variable.label),
        LABELS[variable.verdict],
        status_cell(variable),
        format_number(variable.max_error),
        format_number(variable.first_failure, 6),
        format_number(variable.margin, 3),
        format_number(variable.margin_t, 6),
        failing_cell(variable),
    )
    if verbose:
        cells += (half_width_cell(variable.half_widths, "t"), half_width_cell(variable.half_widths, "y"))
    return (*cells, printable(variable.message))


def _cut_middle(text: str, width: int) -> str:
    """``text`` in at most ``width`` characters, its middle replaced by an
    ellipsis: a model's names differ at both ends (the component, the variable)."""
    if len(text) <= width:
        return text
    head = width // 2
    return text[:head] + "…" + text[len(text) - (width - 1 - head) :]


#: The narrowest a cut name gets: enough to recognise it.
_NAME_WIDTH = 16


def print_table(rows: Sequence[tuple[str, ...]], out: Printer, indent: str = "") -> None:
    """The rows under their headings, in aligned columns (the message last,
    unpadded). On a terminal the lines fit its width: long names are cut in
    the middle, then the message at its end (``--json`` has them whole)."""
    headings = (*_HEADINGS, *(_VERBOSE_HEADINGS if rows and len(rows[0]) > len(_HEADINGS) + 1 else ()), "message")
    widths = [max(len(cells[i]) for cells in [headings, *rows]) for i in range(len(headings) - 1)]
    room = out.width
    if room is not None:
        fixed = len(indent) + sum(widths[1:]) + 2 * (len(widths) - 1) + 2 + len("message")
        widths[0] = min(widths[0], max(_NAME_WIDTH, room - fixed))
    for cells in [headings, *rows]:
        line = (
            indent
            + "  ".join(_cut_middle(cell, width).ljust(width) for cell, width in zip(cells, widths, strict=False))
            + "  "
            + cells[-1]
        )
        out(line if room is None or len(line) <= room else line[: room - 1] + "…")


def print_quiet(variables: Iterable[VariableOutcome], out: Printer) -> list[VariableOutcome]:
    """What ``--quiet`` prints beside the table: one line per kind for the
    variables that are merely missing or new (``1,609 missing in test: a, b,
    ...``). Returns the variables for the table: those that failed or are
    unusable."""
    table: list[VariableOutcome] = []
    kinds: dict[str, list[str]] = {}
    for variable in variables:
        if variable.verdict in ("missing", "new"):
            kind = variable.message.split(" (", 1)[0] if ";" not in variable.message else "missing on both sides"
            kinds.setdefault(kind, []).append(variable.name)
        elif variable.verdict not in PASSING:
            table.append(variable)
    room = out.width or 160
    for kind, names in kinds.items():
        head, tail = f"{len(names):,} {kind}: ", " (see --json)"
        shown = ", ".join(map(printable, names))
        if len(head) + len(shown) + len(tail) > room:
            shown = shown[: max(20, room - len(head) - len(tail) - 5)].rsplit(", ", 1)[0] + ", ..."
        out(head + shown + tail)
    return table


def print_file(outcome: FileOutcome, out: Printer, *, quiet: bool, verbose: bool = False) -> None:
    """One file pair of a batch: its heading and the table of its variables
    (with ``quiet``, only of those that did not pass)."""
    if outcome.error is not None:
        out(f"{outcome.file}: UNUSABLE: {outcome.error}")
        if not outcome.variables:
            return
    elif outcome.missing is not None:
        present = outcome.reference if outcome.missing == "test" else outcome.test
        out(f"{outcome.file}: MISSING in {outcome.missing} (present: {present})")
        return
    # What did not pass is shown even with quiet, the new and missing
    # variables the run only warns about too; only what fails fails the file.
    bad = [v for v in outcome.variables if v.verdict not in PASSING]
    if quiet and not bad:
        return
    if outcome.error is None:
        compared = [v for v in outcome.variables if v.verdict not in ("ignored", "not_compared") and not v.tolerated]
        failing = sum(v.fails for v in compared)
        out(
            f"{outcome.file}: {'pass' if not failing else 'FAIL'} "
            f"({len(compared) - failing} of {count(len(compared), 'variable')} passed)"
        )
    shown = print_quiet(bad, _Indented(out)) if quiet else outcome.variables
    if shown:
        print_table([row(v, verbose) for v in shown], out, indent="    ")


class _Indented(Printer):
    """A printer's lines, indented under a file's heading."""

    def __init__(self, out: Printer) -> None:
        super().__init__(out.progress, out.stream)

    def __call__(self, line: str = "") -> None:
        super().__call__("    " + line)
