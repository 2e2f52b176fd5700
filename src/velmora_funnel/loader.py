"""Reading result files: CSV with a header row, the abscissa in the first column.

The numbers are parsed by pandas' C parser, the fastest of the candidates
measured on a file of 10^6 rows and 20 columns (see README). It reports a bad
cell without its place, and on its own would fill a short row with NaN or
drop the cells of rows longer than the header, so its leniencies are switched
off and any failure is re-examined by a slow scan with the csv module that
names the file, the row and the column.
"""

from __future__ import annotations

import csv
import itertools
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np
from numpy.typing import NDArray

__all__ = ["ResultFileError", "ResultTable", "read_result"]

def _exact_float_option() -> dict[str, str]:
    """pandas before 3.1 parses floats with a fast converter that can be
    several ulps off; its round-trip converter is exact (and 3.1 made exact
    parsing the default and deprecated the option)."""
    import pandas as pd

    major, minor = (int(part) for part in pd.__version__.split(".")[:2])
    return {} if (major, minor) >= (3, 1) else {"float_precision": "round_trip"}


# Spellings of not-a-number that count as numbers (a crashed run writes them);
# an empty cell or "NA" does not.
_NAN_SPELLINGS = ["nan", "NaN", "NAN", "-nan", "-NaN", "+nan"]


class ResultFileError(ValueError):
    """A result file that cannot be used; the message names the file and,
    where there is one, the row and the column."""

    def __init__(self, path: str | os.PathLike[str], what: str, *, row: int | None = None, column: int | None = None, name: str | None = None) -> None:
        self.path = os.fspath(path)
        self.what = what
        self.row = row
        self.column = column
        self.column_name = name
        place = []
        if row is not None:
            place.append(f"row {row}")
        if column is not None:
            place.append(f"column {column}" + (f" ({name!r})" if name is not None else ""))
        where = ", ".join(place)
        super().__init__(f"{self.path}: {where}: {what}" if where else f"{self.path}: {what}")


@dataclass(frozen=True, eq=False)
class ResultTable:
    """The columns of one result file as contiguous float64 arrays."""

    #: The file read.
    path: str
    #: Name of the abscissa column (the first one).
    abscissa_name: str
    #: The abscissae.
    t: NDArray[np.float64]
    #: Variable names, in file order (the abscissa excluded).
    names: tuple[str, ...]
    _columns: dict[str, NDArray[np.float64]] = field(repr=False)

    def __getitem__(self, name: str) -> NDArray[np.float64]:
        """The ordinates of variable ``name``."""
        return self._columns[name]

    def __contains__(self, name: object) -> bool:
        return name in self._columns

    def __len__(self) -> int:
        """Number of data rows."""
        return len(self.t)

    def curve(self, name: str) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """The ``(t, y)`` pair of variable ``name``, ready for compare()."""
        return self.t, self._columns[name]


# The white space pandas' parser skips around a number.
_SPACES = " \t\n\r\v\f"


def _is_blank(row: list[str]) -> bool:
    """pandas skips lines of spaces and tabs as it skips empty ones."""
    return not row or (len(row) == 1 and not row[0].strip(" \t"))


def _is_number(text: str) -> bool:
    """Whether pandas' parser reads ``text`` as a float: Python's float() also
    takes non-ASCII digits and spaces, '_' separators and NaN in any case."""
    if not text.isascii() or "_" in text:
        return False
    try:
        float(text)
    except ValueError:
        return False
    return text.strip().lstrip("+-").lower() != "nan" or text in _NAN_SPELLINGS


def _not_a_number(cell: str) -> str:
    text = cell.strip(_SPACES)
    shown = text if len(text) <= 40 else text[:37] + "..."
    if not text.isascii():
        return f"{shown!r} is not a number (digits, signs and spaces must be ASCII)"
    if text in _NAN_SPELLINGS:
        # pandas matches these spellings whole, spaces and all
        return f"{cell!r} is not a number (not-a-number is written without spaces around it)"
    if text.lstrip("+-").lower() == "nan":
        return f"{shown!r} is not a number (not-a-number is written nan, NaN or NAN)"
    return f"{shown!r} is not a number"


# One cell of a line as the csv module splits it: a quoted cell ("" is a quote
# inside it; text after the closing quote is kept) or an unquoted one. The
# group 'close' is missing when the quote is not closed on the line.
_CELL = re.compile(r'"(?:[^"]|"")*(?P<close>"[^,]*)?|[^,]*')


def _csv_error(path: str, line: int, exc: csv.Error, names: Sequence[str] | None = None) -> ResultFileError:
    """The csv module's error for the record that starts at ``line``, with the
    column whose cell is over the csv module's size limit or opens a quote
    that is never closed (the usual cause)."""
    limit = csv.field_size_limit()
    with open(path, newline="", encoding="utf-8-sig") as handle:
        text = next(itertools.islice(handle, line - 1, None), "").rstrip("\r\n")
    position, column = 0, 1
    while True:
        cell = _CELL.match(text, position)
        assert cell is not None  # the unquoted alternative matches the empty string
        name = names[column - 1] if names is not None and column <= len(names) else None
        if cell.group().startswith('"') and cell.group("close") is None:
            return ResultFileError(path, f"unterminated quote: the cell runs on past {limit} characters", row=line, column=column, name=name)
        if cell.end() - cell.start() > limit:
            return ResultFileError(path, f"cell longer than {limit} characters", row=line, column=column, name=name)
        if cell.end() >= len(text):
            return ResultFileError(path, f"not valid CSV: {exc}", row=line)
        position, column = cell.end() + 1, column + 1


def _read_header(path: str) -> tuple[int, list[str]]:
    line = 1
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            reader = csv.reader(handle)
            for row in reader:
                if not _is_blank(row):
                    return line, row
                line = reader.line_num + 1
    except UnicodeDecodeError as exc:
        raise ResultFileError(path, f"not a UTF-8 text file ({exc.reason} at byte {exc.start})") from None
    except csv.Error as exc:
        raise _csv_error(path, line, exc) from None
    raise ResultFileError(path, "empty file: no header row")


def _check_header(path: str, line: int, header: list[str]) -> list[str]:
    names = [cell.strip() for cell in header]
    if all(_is_number(name) for name in names):
        raise ResultFileError(
            path, f"missing header: the first row holds numbers ({', '.join(names[:3])}{', ...' if len(names) > 3 else ''}), expected column names", row=line
        )
    if len(names) < 2:
        raise ResultFileError(path, "the header names one column; need the abscissa and at least one variable", row=line)
    seen: dict[str, int] = {}
    for index, name in enumerate(names, start=1):
        if not name:
            raise ResultFileError(path, "empty column name in the header", row=line, column=index)
        if name in seen:
            raise ResultFileError(path, f"duplicate column name {name!r} (also column {seen[name]})", row=line, column=index)
        seen[name] = index
    return names


# Fed to the csv module as one more line after the file: it ends a quote left
# open at the end of the file silently, and this line then shows in the cell.
_END_OF_FILE = "\x00velmora-funnel: end of file\x00"


def _diagnose(path: str, names: Sequence[str]) -> ResultFileError | None:
    """Find the first bad row or cell after the fast parser gave up; rows are
    numbered by the line they start on (a quoted cell may span lines)."""
    line = 1
    header_seen = False
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            reader = csv.reader(itertools.chain(handle, [_END_OF_FILE]))
            for row in reader:
                start, line = line, reader.line_num + 1
                if _is_blank(row) or row == [_END_OF_FILE]:
                    continue
                if not header_seen:
                    header_seen = True
                    continue
                for column, cell in enumerate(row, start=1):
                    if cell.endswith(_END_OF_FILE):
                        name = names[column - 1] if column <= len(names) else None
                        return ResultFileError(path, "unterminated quote: the cell runs to the end of the file", row=start, column=column, name=name)
                if len(row) != len(names):
                    hint = " (decimal commas, or a column without a name in the header?)" if len(row) > len(names) else ""
                    return ResultFileError(path, f"ragged row: {len(row)} cells, but the header names {len(names)} columns{hint}", row=start)
                for column, cell in enumerate(row, start=1):
                    if not cell.strip(_SPACES):
                        return ResultFileError(path, "empty cell", row=start, column=column, name=names[column - 1])
                    if not _is_number(cell):
                        return ResultFileError(path, _not_a_number(cell), row=start, column=column, name=names[column - 1])
    except csv.Error as exc:
        return _csv_error(path, line, exc, names)
    except UnicodeDecodeError as exc:
        return ResultFileError(path, f"not a UTF-8 text file ({exc.reason} at byte {exc.start})")
    return None


def read_result(path: str | os.PathLike[str]) -> ResultTable:
    """Read a CSV result file: a header row of column names, then one row per
    sample, the abscissa (time) in the first column.

    Cells must be numbers; ``nan`` and ``inf`` spellings are numbers, an empty
    cell is not. Raises ResultFileError naming the file, the row and the column
    for a missing header, a non-numeric cell or a ragged row, and OSError when
    the file cannot be opened.
    """
    import pandas as pd

    path = os.fspath(path)
    names = _check_header(path, *_read_header(path))
    try:
        frame = pd.read_csv(
            path,
            engine="c",
            header=0,
            # With index_col=False, rows longer than the header lose their
            # last cells with only a ParserWarning; with None they become an
            # index, which is cheap to see and refuse below.
            index_col=None,
            dtype=np.float64,
            keep_default_na=False,
            na_values=_NAN_SPELLINGS,
            skip_blank_lines=True,
            encoding="utf-8-sig",
            **_exact_float_option(),
        )
    except (ValueError, UnicodeDecodeError, pd.errors.ParserError) as exc:
        raise _diagnose(path, names) or ResultFileError(path, f"cannot be parsed: {str(exc).strip()}") from None
    if not isinstance(frame.index, pd.RangeIndex):
        cells = len(names) + frame.index.nlevels
        raise _diagnose(path, names) or ResultFileError(path, f"ragged rows: {cells} cells, but the header names {len(names)} columns")
    if frame.shape[1] != len(names):  # pragma: no cover - the header check and the parser agree
        raise ResultFileError(path, f"the parser found {frame.shape[1]} columns, the header names {len(names)}", row=1)
    values = frame.to_numpy(dtype=np.float64, copy=False)
    columns = [np.ascontiguousarray(values[:, index]) for index in range(len(names))]
    return ResultTable(
        path=path,
        abscissa_name=names[0],
        t=columns[0],
        names=tuple(names[1:]),
        _columns=dict(zip(names[1:], columns[1:], strict=True)),
    )
