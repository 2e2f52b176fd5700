"""CSV result files, plain or compressed.

CSV numbers are parsed by pandas' C parser, the fastest of the candidates
measured on a file of 10^6 rows and 20 columns (see README); it also reads
compressed files as a stream. It reports a bad cell without its place, and on
its own would fill a short row with NaN or drop the cells of rows longer than
the header, so its leniencies are switched off and any failure is re-examined
by a slow scan with the csv module, in the same dialect, that names the file,
the row and the column.

Each column is parsed as what its first non-empty cell says (csv_cells):
numbers as float64, booleans by their spellings, text and arrays through a
converter that keeps nothing of them (they are listed as skipped, and their
first cell is the error of a column asked for by name). pandas gives a
short row's missing cells as empty ones, which numbers refuse but text
takes, so when the last column is not numbers every row's length is
checked by a quick pass with the csv module.
"""

from __future__ import annotations

import contextlib
import csv
import functools
import itertools
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any, Literal, TypedDict

import numpy as np
from numpy.typing import NDArray

from ..comparison.immutable import freeze
from ..errors import ResultFileError
from .csv_cells import (
    FALSE_SPELLINGS,
    NAN_SPELLINGS,
    REASONS,
    SPACES,
    TRUE_SPELLINGS,
    Kind,
    boolean_value,
    cell_kind,
    is_boolean,
    is_number,
    not_a_number,
)
from .csv_source import END_OF_FILE, Csv, csv_error, first_records, is_blank, records, sniff
from .limits import check_size
from .options import ReadOptions
from .streams import compression_of, decompression_errors
from .table import ResultTable, check_names, need, time_column

__all__ = ["read_csv"]


class _FloatPrecision(TypedDict, total=False):
    float_precision: Literal["round_trip"]


def _exact_float_option() -> _FloatPrecision:
    """pandas before 3.1 parses floats with a fast converter that can be
    several ulps off; its round-trip converter is exact (and 3.1 made exact
    parsing the default and deprecated the option)."""
    import pandas as pd

    major, minor = (int(part) for part in pd.__version__.split(".")[:2])
    return {} if (major, minor) >= (3, 1) else {"float_precision": "round_trip"}


def _check_header(source: Csv, line: int, header: list[str]) -> list[str]:
    """The column names; empty cells at the end of the header (a delimiter
    that ends every line) name no column and are left out."""
    path = source.path
    names = [cell.strip() for cell in header]
    while len(names) > 1 and not names[-1]:
        names.pop()
    if all(is_number(name, source.options.decimal) for name in names):
        raise ResultFileError(
            path,
            f"missing header: the first row holds numbers ({', '.join(names[:3])}{', ...' if len(names) > 3 else ''}), expected column names",
            row=line,
        )
    if len(names) < 2:
        for mark, label in ((";", "';'"), ("\t", "tabs"), (",", "','")):
            if mark != source.options.delimiter and mark in header[0]:
                decimal = mark != "," and source.options.decimal == "."
                raise ResultFileError(
                    path,
                    f"the header names one column, but the rows look delimited by {label}",
                    row=line,
                    advice={"delimiter": mark},
                    also=({"decimal": ","}, "for decimal commas") if decimal else None,
                )
        raise ResultFileError(
            path, "the header names one column; need the abscissa and at least one variable", row=line
        )
    check_names(path, names, row=line)
    return names


@dataclass(frozen=True)
class _Layout:
    """What each column of a file is read as (csv_cells), with the first
    non-empty cell that decided it, and the header's line."""

    names: Sequence[str]
    kinds: Sequence[Kind]
    firsts: dict[int, tuple[int, str]]
    header_line: int
    #: False when the scan stopped at its bound with columns still empty,
    #: which were taken for numbers.
    complete: bool = True

    @property
    def width(self) -> int:
        """The header's cells, the unnamed ones at its end included."""
        return len(self.kinds)


# Rows the first scan for a column's first non-empty cell reads: a column of
# NaN (pandas writes empty cells) would make it read the whole file slowly.
# A column still empty then is taken for numbers; if the parse then fails,
# the whole file is scanned and, where a column turns out otherwise, parsed again.
_SCANNED = 1000


def _layout(
    source: Csv,
    names: list[str],
    width: int,
    first: tuple[int, list[str]] | None,
    time_index: int,
    header_line: int,
    rows: int | None = _SCANNED,
) -> _Layout:
    """Find each column's first non-empty cell: in the first data row, else
    by a scan of the rows below it (only for columns empty there), of at
    most ``rows`` rows (None: to the end)."""
    firsts: dict[int, tuple[int, str]] = {}
    pending = set(range(len(names))) - {time_index}
    complete = True

    def take(line: int, row: list[str]) -> None:
        for index in [index for index in pending if index < len(row)]:
            cell = row[index]
            if cell.strip(SPACES) and not cell.endswith(END_OF_FILE):
                firsts[index] = (line, cell)
                pending.discard(index)

    if first is not None:
        take(*first)
    if pending and first is not None:
        # A broken row stops the scan; the parse then finds and names it.
        with contextlib.suppress(csv.Error, UnicodeDecodeError), source.open() as handle:
            for count, (line, row) in enumerate(records(source, handle)):
                if rows is not None and count >= rows:
                    complete = False
                    break
                take(line, row)
                if not pending:
                    break
    kinds: list[Kind] = ["unnamed"] * width
    for index in range(len(names)):
        found = firsts.get(index)
        kinds[index] = "number" if found is None else cell_kind(found[1], source.options.decimal)
    # the abscissa is numbers, or date-times: what is not is the error it was
    if first is not None and time_index < len(first[1]) and _ISO_8601.fullmatch(first[1][time_index].strip()):
        kinds[time_index] = "dated"
    return _Layout(names, kinds, firsts, header_line, complete)


def _line_of(source: Csv, index: int) -> int:
    """The line data row ``index`` (from 0) starts on; read again, as only a
    message asks for it."""
    with source.open() as handle:
        return next(itertools.islice(records(source, handle), index, None))[0]


def _diagnose(source: Csv, layout: _Layout, cells: bool = True) -> ResultFileError | None:
    """Find the first bad row or cell after the fast parser gave up; rows are
    numbered by the line they start on. With ``cells`` False, only the rows'
    lengths and the columns without a name are checked. Date-times are
    checked when they are converted; text is not checked at all."""
    path, options, names, kinds = source.path, source.options, layout.names, layout.kinds
    width = layout.width
    unnamed = range(len(names) + 1, width + 1)
    line = 1
    try:
        with source.open() as handle:
            for line, row in records(source, handle):
                if row == [END_OF_FILE]:
                    continue
                # the quote left open takes the rest of the file: the record's last cell
                if row[-1].endswith(END_OF_FILE):
                    column = len(row)
                    return ResultFileError(
                        path,
                        "unterminated quote: the cell runs to the end of the file",
                        row=line,
                        column=column,
                        name=names[column - 1] if column <= len(names) else None,
                    )
                if len(row) != width:
                    hint = (
                        " (decimal commas, or a column without a name in the header?)"
                        if len(row) > width and options.delimiter == ","
                        else ""
                    )
                    return ResultFileError(
                        path, f"ragged row: {len(row)} cells, but the header names {width} columns{hint}", row=line
                    )
                for column in range(1, width + 1) if cells else unnamed:
                    error = _bad_cell(source, layout, line, column, row[column - 1], kinds[column - 1])
                    if error is not None:
                        return error
    except csv.Error as exc:
        return csv_error(source, line, exc, names)
    except UnicodeDecodeError as exc:
        return ResultFileError(path, f"not a UTF-8 text file ({exc.reason} at byte {exc.start})")
    return None


def _rows_fit(source: Csv, layout: _Layout) -> bool:
    """Whether every row has the header's cells and nothing under the
    unnamed columns: the quick check after pandas parsed the file (its
    quoting is sound then), with none of the slow scan's bookkeeping; only
    a row that does not fit (a units row under unnamed columns, too) is
    looked at by the slow scan."""
    width, tail = layout.width, slice(len(layout.names), None)
    unnamed = layout.width > len(layout.names)
    try:
        with source.open() as handle:
            for row in source.reader(source.lines(handle)):
                if (len(row) != width or (unnamed and "".join(row[tail]).strip(SPACES))) and not is_blank(row):
                    return False
    except (csv.Error, UnicodeDecodeError):
        return False  # a cell past the csv module's size limit: the slow scan names it
    return True


def _bad_cell(source: Csv, layout: _Layout, line: int, column: int, cell: str, kind: Kind) -> ResultFileError | None:
    """The error of one cell that its column cannot take, or None."""
    path, options = source.path, source.options
    empty = not cell.strip(SPACES)
    if kind == "unnamed":
        if empty:
            return None
        shown = cell.strip(SPACES)[:40]
        return ResultFileError(
            path,
            f"empty column name, over a column that holds {shown!r} (row {line})",
            row=layout.header_line,
            column=column,
        )
    if kind in ("text", "array", "dated"):
        return None
    name = layout.names[column - 1]
    if empty:
        return None if options.empty_as_nan else ResultFileError(path, "empty cell", row=line, column=column, name=name)
    if kind == "boolean":
        if is_boolean(cell) or cell in NAN_SPELLINGS:
            return None
        first_line, first = layout.firsts[column - 1]
        return ResultFileError(
            path,
            f"{cell.strip(SPACES)[:40]!r} is not true or false, as the column's first cell {first.strip(SPACES)!r} (row {first_line}) is",
            row=line,
            column=column,
            name=name,
        )
    if not is_number(cell, options.decimal):
        return ResultFileError(path, not_a_number(cell, options.decimal), row=line, column=column, name=name)
    return None


# A date, optionally with a time of day and a UTC offset: 2024-03-01T12:00:00.5+01:00
_ISO_8601 = re.compile(r"\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2}([.,]\d+)?)?)?(Z|[+-]\d{2}(:?\d{2})?)?")


def _seconds(source: Csv, column: Any, index: int, names: Sequence[str]) -> NDArray[np.float64]:
    """ISO 8601 date-times as seconds since 1970-01-01T00:00:00 UTC: a fixed
    origin, so that the same moment has the same abscissa in every file,
    whenever each file starts. A time without an offset is taken as UTC."""
    import pandas as pd

    stamps = pd.to_datetime(column, format="ISO8601", utc=True, errors="coerce")
    missing = stamps.isna().to_numpy()
    bad = missing & column.notna().to_numpy()
    if bad.any():
        wanted = int(np.argmax(bad))
        with source.open() as handle:
            line = next(itertools.islice(records(source, handle), wanted, None))[0]
        raise ResultFileError(
            source.path,
            f"{str(column.iloc[wanted]).strip()!r} is not an ISO 8601 date-time like the column's first cell",
            row=line,
            column=index + 1,
            name=names[index],
        )
    ticks: NDArray[np.int64] = stamps.dt.tz_convert(None).to_numpy(dtype="datetime64[us]").view(np.int64)
    # whole seconds and their fraction apart: one rounding, not two
    seconds = (ticks // 1_000_000).astype(np.float64) + (ticks % 1_000_000).astype(np.float64) / 1e6
    seconds[missing] = np.nan
    return seconds


def read_csv(path: str, options: ReadOptions) -> ResultTable:
    """Read a CSV file, decompressing it as a stream when its suffix names a compression."""
    compression = compression_of(path)
    source = Csv(path, compression, options)
    size = os.stat(path).st_size
    if compression is None:
        check_size(path, size, options.limit, "the file")
    else:
        open(path, "rb").close()  # a file that cannot be opened stays an OSError
    if compression == "zstd":
        need(path, "zstandard", "zstd", "reading a .zst file")
    try:
        if options.delimiter == "auto":
            source = replace(source, options=replace(options, delimiter=sniff(source)))
        return _read_csv_source(source)
    except decompression_errors(compression) as exc:
        raise ResultFileError(path, f"damaged {compression} stream: {exc}") from None


def _parse(source: Csv, layout: _Layout, skip: list[int], spaced_booleans: bool = False) -> Any:
    """The file parsed by pandas, each column as its kind says: numbers as
    float64, booleans as pandas' booleans (or, ``spaced_booleans``, through
    boolean_value, which takes spaces around them too), date-times as text;
    text, arrays and the unnamed columns through a converter that keeps one
    bool per cell (the columns are dropped; their text is never held)."""
    import pandas as pd

    options, kinds = source.options, layout.kinds
    dtype: Any = np.float64
    converters: dict[int, Any] = {}
    spelled = False  # booleans that pandas parses, by their spellings
    if any(kind != "number" for kind in kinds):
        dtype = {}
        for index, kind in enumerate(kinds):
            if kind == "number":
                dtype[index] = np.float64
            elif kind == "dated":
                dtype[index] = object
            elif kind == "boolean" and not spaced_booleans:
                dtype[index] = "boolean"
                spelled = True
            else:
                converters[index] = boolean_value if kind == "boolean" else bool
    # A compressed file reaches the parser through the stream that stops at
    # the limit; a plain one is no larger than the limit already.
    with contextlib.nullcontext(source.path) if source.compression is None else source.binary() as stream:
        return pd.read_csv(
            stream,
            engine="c",
            sep=options.delimiter,
            decimal=options.decimal,
            comment=options.comment,
            skiprows=skip or None,
            header=0,
            # With index_col=False, rows longer than the header lose their
            # last cells with only a ParserWarning; with None they become an
            # index, which is cheap to see and refuse below.
            index_col=None,
            dtype=dtype,
            converters=converters or None,
            keep_default_na=False,
            na_values=NAN_SPELLINGS + ([""] if options.empty_as_nan else []),
            skip_blank_lines=True,
            encoding="utf-8-sig",
            true_values=TRUE_SPELLINGS if spelled else None,
            false_values=FALSE_SPELLINGS if spelled else None,
            **_exact_float_option(),
        )


def _parsed(source: Csv, layout: _Layout, skip: list[int]) -> Any:
    """The file parsed, its rows checked; raises the first bad row or cell."""
    import pandas as pd

    path, options, kinds = source.path, source.options, layout.kinds
    failure = (ValueError, UnicodeDecodeError, pd.errors.ParserError)
    try:
        frame = _parse(source, layout, skip)
    except ResultFileError:
        raise  # the stream passed the limit or was cut short: nothing to diagnose
    except failure as exc:
        error = _diagnose(source, layout)
        if error is not None:
            raise error from None
        if "boolean" not in kinds:
            raise ResultFileError(path, f"cannot be parsed: {str(exc).strip()}") from None
        # every cell fits its column: booleans with spaces around them, which pandas takes only whole
        try:
            frame = _parse(source, layout, skip, spaced_booleans=True)
        except ResultFileError:
            raise
        except failure as again:
            raise ResultFileError(path, f"cannot be parsed: {str(again).strip()}") from None
    if not isinstance(frame.index, pd.RangeIndex):
        row_cells = layout.width + frame.index.nlevels
        raise _diagnose(source, layout) or ResultFileError(
            path, f"ragged rows: {row_cells} cells, but the header names {layout.width} columns"
        )
    if frame.shape[1] != layout.width:  # pragma: no cover - the header check and the parser agree
        raise ResultFileError(
            path, f"the parser found {frame.shape[1]} columns, the header names {layout.width}", row=1
        )
    # pandas fills a short row's missing cells as it fills empty ones: a
    # short row leaves the last column empty, which numbers refuse unless
    # empty cells are NaN. A last column of anything else takes empty cells.
    # Then every row's length is checked (every cell passed the parse).
    empty_last = kinds[-1] not in ("number", "boolean") or (
        options.empty_as_nan and frame.shape[0] and frame.iloc[:, -1].isna().any()
    )
    if empty_last and not _rows_fit(source, layout):
        error = _diagnose(source, layout, cells=False)
        if error is not None:
            raise error
    return frame


def _read_csv_source(source: Csv) -> ResultTable:
    path, options = source.path, source.options
    head = first_records(source)
    header_line, header = head[0]
    names = _check_header(source, header_line, header)
    units: dict[str, str] = {}
    skip: list[int] = []
    if options.units_row:
        if len(head) < 2:
            raise ResultFileError(
                path, "no units row under the header (the units row option is set)", row=header_line + 1
            )
        units_line, cells = head[1]
        if len(cells) != len(header):
            raise ResultFileError(
                path, f"units row: {len(cells)} cells, but the header names {len(header)} columns", row=units_line
            )
        units = {name: cell.strip() for name, cell in zip(names, cells, strict=False)}
        skip = [units_line - 1]  # pandas counts every line from 0
    time_index = time_column(path, names, options.time, row=header_line) or 0
    data_row = 2 if options.units_row else 1
    first = head[data_row] if len(head) > data_row else None
    layout = _layout(source, names, len(header), first, time_index, header_line)
    try:
        frame = _parsed(source, layout, skip)
    except ResultFileError:
        whole = None if layout.complete else _layout(source, names, len(header), first, time_index, header_line, None)
        if whole is None or whole.kinds == layout.kinds:
            raise
        layout, frame = whole, _parsed(source, whole, skip)
    kinds = layout.kinds
    numeric = [index for index, kind in enumerate(kinds) if kind == "number"]
    # one block for the numbers, as pandas holds them, each column copied out of it
    block = frame if len(numeric) == frame.shape[1] else frame.iloc[:, numeric]
    values = block.to_numpy(dtype=np.float64, copy=False)
    columns = {index: np.ascontiguousarray(values[:, at]) for at, index in enumerate(numeric)}
    for index, kind in enumerate(kinds):
        if kind == "boolean":
            columns[index] = frame.iloc[:, index].to_numpy(dtype=np.float64, na_value=np.nan)
        elif kind == "dated":
            columns[index] = _seconds(source, frame.iloc[:, index], index, names)
    for column in columns.values():
        # The parser's block is nobody else's: a comparison keeps the
        # columns as they are instead of copying them.
        freeze(column)
    by_name = {names[index]: columns[index] for index in sorted(columns)}
    t = by_name.pop(names[time_index])
    skipped = {names[index]: REASONS[kind] for index, kind in enumerate(kinds) if kind in REASONS}
    refusals = {}
    for index, kind in enumerate(kinds):
        if kind in REASONS:
            line, cell = layout.firsts[index]
            why = f"{not_a_number(cell, options.decimal)}: {REASONS[kind]}, which cannot be compared"
            refusals[names[index]] = ResultFileError(path, why, row=line, column=index + 1, name=names[index])
    return ResultTable(
        path=path,
        abscissa_name=names[time_index],
        t=t,
        names=tuple(by_name),
        _columns=by_name,
        units=units,
        skipped=skipped,
        _refusals=refusals,
        line_of=functools.partial(_line_of, source),
    )
