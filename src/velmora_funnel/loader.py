"""Reading result files: CSV with a header row, the abscissa in the first column.

The numbers are parsed by pandas' C parser, the fastest of the candidates
measured on a file of 10^6 rows and 20 columns (see README). It reports a bad
cell without its place, and on its own would fill a short row with NaN, so
its leniencies are switched off and any failure is re-examined by a slow scan
with the csv module that names the file, the row and the column.
"""

from __future__ import annotations

import csv
import os
from collections.abc import Generator, Sequence
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


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return "_" not in text


def _read_header(path: str) -> tuple[int, list[str]]:
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            reader = csv.reader(handle)
            for row in reader:
                if row:
                    return reader.line_num, row
    except UnicodeDecodeError as exc:
        raise ResultFileError(path, f"not a UTF-8 text file ({exc.reason} at byte {exc.start})") from None
    except csv.Error as exc:
        raise ResultFileError(path, f"row 1 is not valid CSV: {exc}") from None
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


def _rows(path: str) -> Generator[tuple[int, list[str]], None, None]:
    with open(path, newline="", encoding="utf-8-sig") as handle:
        reader = csv.reader(handle)
        for row in reader:
            yield reader.line_num, row


def _diagnose(path: str, names: Sequence[str], parser_message: str) -> ResultFileError:
    """Find the first bad row or cell after the fast parser gave up."""
    nan_spellings = set(_NAN_SPELLINGS)
    rows = _rows(path)
    header_seen = False
    try:
        for line, row in rows:
            if not row:
                continue
            if not header_seen:
                header_seen = True
                continue
            if len(row) != len(names):
                return ResultFileError(path, f"ragged row: {len(row)} cells, but the header names {len(names)} columns", row=line)
            for column, cell in enumerate(row, start=1):
                text = cell.strip()
                if not text:
                    return ResultFileError(path, "empty cell", row=line, column=column, name=names[column - 1])
                if text not in nan_spellings and not _is_number(text):
                    shown = text if len(text) <= 40 else text[:37] + "..."
                    return ResultFileError(path, f"{shown!r} is not a number", row=line, column=column, name=names[column - 1])
    except csv.Error as exc:
        return ResultFileError(path, f"not valid CSV: {exc}")
    except UnicodeDecodeError as exc:
        return ResultFileError(path, f"not a UTF-8 text file ({exc.reason} at byte {exc.start})")
    finally:
        rows.close()
    return ResultFileError(path, f"cannot be parsed: {parser_message.strip()}")


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
            index_col=False,
            dtype=np.float64,
            keep_default_na=False,
            na_values=_NAN_SPELLINGS,
            skip_blank_lines=True,
            encoding="utf-8-sig",
            **_exact_float_option(),
        )
    except (ValueError, UnicodeDecodeError, pd.errors.ParserError) as exc:
        raise _diagnose(path, names, str(exc)) from None
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
