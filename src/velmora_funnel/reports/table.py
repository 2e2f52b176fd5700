"""The terminal table: one row per variable, and a file's heading in a batch.

Every line goes through printable(): names come from file headers, which
must not be able to retitle or clear the user's terminal.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, TextIO

from ..run.outcomes import PASSING
from .cells import LABELS, count, failing_cell, format_number, half_width_cell, status_cell
from .text import printable

if TYPE_CHECKING:
    from ..run.outcomes import FileOutcome, VariableOutcome

__all__ = ["Printer", "print_file", "print_table", "row"]


class Printer:
    """Writes lines to stdout; goes through tqdm while a progress bar is shown."""

    def __init__(self, progress: bool = False, stream: TextIO | None = None) -> None:
        self.progress = progress
        self.stream = stream or sys.stdout

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


def print_table(rows: Sequence[tuple[str, ...]], out: Printer, indent: str = "") -> None:
    """The rows under their headings, in aligned columns (the message last, unpadded)."""
    headings = (*_HEADINGS, *(_VERBOSE_HEADINGS if rows and len(rows[0]) > len(_HEADINGS) + 1 else ()), "message")
    widths = [max(len(cells[i]) for cells in [headings, *rows]) for i in range(len(headings) - 1)]
    for cells in [headings, *rows]:
        out(
            indent + "  ".join(cell.ljust(width) for cell, width in zip(cells, widths, strict=False)) + "  " + cells[-1]
        )


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
    bad = [v for v in outcome.variables if v.verdict not in PASSING]
    if quiet and not bad:
        return
    if outcome.error is None:
        compared = [v for v in outcome.variables if v.verdict not in ("ignored", "not_compared")]
        out(
            f"{outcome.file}: {'pass' if not bad else 'FAIL'} "
            f"({len(compared) - len(bad)} of {count(len(compared), 'variable')} passed)"
        )
    shown = bad if quiet else outcome.variables
    if shown:
        print_table([row(v, verbose) for v in shown], out, indent="    ")
