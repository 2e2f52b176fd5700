"""CSV result files, plain or compressed.

CSV numbers are parsed by pandas' C parser, the fastest of the candidates
measured on a file of 10^6 rows and 20 columns (see README); it also reads
compressed files as a stream. It reports a bad cell without its place, and on
its own would fill a short row with NaN or drop the cells of rows longer than
the header, so its leniencies are switched off and any failure is re-examined
by a slow scan with the csv module, in the same dialect, that names the file,
the row and the column.
"""

from __future__ import annotations

import contextlib
import csv
import functools
import io
import itertools
import os
import re
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, replace
from typing import IO, Any, BinaryIO, Literal, TypedDict

import numpy as np
from numpy.typing import NDArray

from ..comparison.immutable import freeze
from ..errors import ResultFileError
from .limits import check_size
from .options import Compression, ReadOptions
from .streams import compression_of, decompression_errors, open_binary
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


# Spellings of not-a-number that count as numbers (a crashed run writes them);
# an empty cell or "NA" does not.
_NAN_SPELLINGS = ["nan", "NaN", "NAN", "-nan", "-NaN", "+nan"]


# The white space pandas' parser skips around a number.
_SPACES = " \t\n\r\v\f"


def _is_blank(row: list[str]) -> bool:
    """pandas skips lines of spaces and tabs as it skips empty ones."""
    return not row or (len(row) == 1 and not row[0].strip(" \t"))


def _is_number(text: str, decimal: str = ".") -> bool:
    """Whether pandas' parser reads ``text`` as a float: Python's float() also
    takes non-ASCII digits and spaces, '_' separators and NaN in any case."""
    if not text.isascii() or "_" in text:
        return False
    if decimal != ".":
        if "." in text:
            return False
        text = text.replace(decimal, ".", 1)
    try:
        float(text)
    except ValueError:
        return False
    return text.strip().lstrip("+-").lower() != "nan" or text in _NAN_SPELLINGS


def _not_a_number(cell: str, decimal: str = ".") -> str:
    text = cell.strip(_SPACES)
    shown = text if len(text) <= 40 else text[:37] + "..."
    if decimal != "." and "." in text and _is_number(text):
        return f"{shown!r} is not a number (the decimal mark is {decimal!r})"
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
def _cell_pattern(delimiter: str) -> re.Pattern[str]:
    mark = re.escape(delimiter)
    return re.compile(rf'"(?:[^"]|"")*(?P<close>"[^{mark}]*)?|[^{mark}]*')


@dataclass(frozen=True)
class _Csv:
    """A CSV file as it is read: its path, compression and dialect (the
    delimiter already sniffed when that was asked for)."""

    path: str
    compression: Compression | None
    options: ReadOptions

    def binary(self) -> BinaryIO:
        """The file's bytes: as stored, or decompressed as a stream that stops
        at the limit on what a file may decode to."""
        return open_binary(self.path, self.compression, self.options.limit)

    def open(self) -> IO[str]:
        """The file as text."""
        return io.TextIOWrapper(self.binary(), encoding="utf-8-sig", newline="")

    def lines(self, handle: IO[str]) -> Iterator[str]:
        """The lines with comments cut off (pandas drops the rest of a line
        from the comment character on); every line is kept, so the csv
        module's line numbers stay the file's."""
        comment = self.options.comment
        for line in handle:
            if comment is not None and comment in line:
                cut = line.split(comment, 1)[0]
                line = cut + "\n" if line.endswith("\n") else cut
            yield line

    def reader(self, lines: Iterable[str]) -> Any:
        return csv.reader(lines, delimiter=self.options.delimiter)


def _csv_error(source: _Csv, line: int, exc: csv.Error, names: Sequence[str] | None = None) -> ResultFileError:
    """The csv module's error for the record that starts at ``line``, with the
    column whose cell is over the csv module's size limit or opens a quote
    that is never closed (the usual cause)."""
    path = source.path
    limit = csv.field_size_limit()
    with source.open() as handle:
        text = next(itertools.islice(source.lines(handle), line - 1, None), "").rstrip("\r\n")
    pattern = _cell_pattern(source.options.delimiter)
    position, column = 0, 1
    while True:
        cell = pattern.match(text, position)
        assert cell is not None  # the unquoted alternative matches the empty string
        name = names[column - 1] if names is not None and column <= len(names) else None
        if cell.group().startswith('"') and cell.group("close") is None:
            return ResultFileError(
                path,
                f"unterminated quote: the cell runs on past {limit} characters",
                row=line,
                column=column,
                name=name,
            )
        if cell.end() - cell.start() > limit:
            return ResultFileError(path, f"cell longer than {limit} characters", row=line, column=column, name=name)
        if cell.end() >= len(text):
            return ResultFileError(path, f"not valid CSV: {exc}", row=line)
        position, column = cell.end() + 1, column + 1


def _head(source: _Csv) -> list[tuple[int, list[str]]]:
    """The first three records that are not blank (header, units row or first
    data row, ...), each with the line it starts on."""
    found: list[tuple[int, list[str]]] = []
    line = 1
    try:
        with source.open() as handle:
            reader = source.reader(source.lines(handle))
            for row in reader:
                if not _is_blank(row):
                    found.append((line, row))
                    if len(found) == 3:
                        break
                line = reader.line_num + 1
    except UnicodeDecodeError as exc:
        raise ResultFileError(source.path, f"not a UTF-8 text file ({exc.reason} at byte {exc.start})") from None
    except csv.Error as exc:
        raise _csv_error(source, line, exc) from None
    if not found:
        raise ResultFileError(source.path, "empty file: no header row")
    return found


# Tried in this order: a decimal comma also splits a line at every comma.
_SNIFFED = ("\t", ";", ",")


def _sniff(source: _Csv) -> str:
    """The delimiter that splits the first rows into as many cells as the
    header names (at least two)."""
    try:
        with source.open() as handle:
            lines = [line for line in itertools.islice(source.lines(handle), 200) if line.strip(_SPACES)][:30]
    except UnicodeDecodeError as exc:
        raise ResultFileError(source.path, f"not a UTF-8 text file ({exc.reason} at byte {exc.start})") from None
    if not lines:
        return ","  # the empty file is reported as such
    for delimiter in _SNIFFED:
        if delimiter == source.options.decimal:
            continue
        try:
            rows = list(csv.reader(lines, delimiter=delimiter))
        except csv.Error:
            continue
        if len(rows[0]) >= 2 and all(len(row) == len(rows[0]) for row in rows):
            return delimiter
    raise ResultFileError(
        source.path,
        "cannot tell the delimiter: none of tab, ';' and ',' splits the first rows into the header's number of cells; give it with the delimiter option",
    )


def _check_header(source: _Csv, line: int, header: list[str]) -> list[str]:
    path = source.path
    names = [cell.strip() for cell in header]
    if all(_is_number(name, source.options.decimal) for name in names):
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


# Fed to the csv module as one more line after the file: it ends a quote left
# open at the end of the file silently, and this line then shows in the cell.
_END_OF_FILE = "\x00velmora-funnel: end of file\x00"


def _records(source: _Csv, handle: IO[str]) -> Iterator[tuple[int, list[str]]]:
    """The data rows, each with the line it starts on (a quoted cell may span
    lines); the header and the units row are skipped, the end-of-file line is
    passed on."""
    reader = source.reader(itertools.chain(source.lines(handle), [_END_OF_FILE]))
    skip = 2 if source.options.units_row else 1
    line = 1
    for row in reader:
        start, line = line, reader.line_num + 1
        if _is_blank(row):
            continue
        if skip and row != [_END_OF_FILE]:
            skip -= 1
            continue
        yield start, row


def _line_of(source: _Csv, index: int) -> int:
    """The line data row ``index`` (from 0) starts on; read again, as only a
    message asks for it."""
    with source.open() as handle:
        return next(itertools.islice(_records(source, handle), index, None))[0]


def _diagnose(source: _Csv, names: Sequence[str], dated: int | None = None) -> ResultFileError | None:
    """Find the first bad row or cell after the fast parser gave up; rows are
    numbered by the line they start on. ``dated`` is the column of date-times,
    checked when they are converted."""
    path, options = source.path, source.options
    line = 1
    try:
        with source.open() as handle:
            for line, row in _records(source, handle):
                if row == [_END_OF_FILE]:
                    continue
                for column, cell in enumerate(row, start=1):
                    if cell.endswith(_END_OF_FILE):
                        name = names[column - 1] if column <= len(names) else None
                        return ResultFileError(
                            path,
                            "unterminated quote: the cell runs to the end of the file",
                            row=line,
                            column=column,
                            name=name,
                        )
                if len(row) != len(names):
                    hint = (
                        " (decimal commas, or a column without a name in the header?)"
                        if len(row) > len(names) and options.delimiter == ","
                        else ""
                    )
                    return ResultFileError(
                        path, f"ragged row: {len(row)} cells, but the header names {len(names)} columns{hint}", row=line
                    )
                for column, cell in enumerate(row, start=1):
                    if not cell.strip(_SPACES):
                        if options.empty_as_nan:
                            continue
                        return ResultFileError(path, "empty cell", row=line, column=column, name=names[column - 1])
                    if column - 1 != dated and not _is_number(cell, options.decimal):
                        return ResultFileError(
                            path, _not_a_number(cell, options.decimal), row=line, column=column, name=names[column - 1]
                        )
    except csv.Error as exc:
        return _csv_error(source, line, exc, names)
    except UnicodeDecodeError as exc:
        return ResultFileError(path, f"not a UTF-8 text file ({exc.reason} at byte {exc.start})")
    return None


# A date, optionally with a time of day and a UTC offset: 2024-03-01T12:00:00.5+01:00
_ISO_8601 = re.compile(r"\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2}([.,]\d+)?)?)?(Z|[+-]\d{2}(:?\d{2})?)?")


def _seconds(source: _Csv, column: Any, index: int, names: Sequence[str]) -> NDArray[np.float64]:
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
            line = next(itertools.islice(_records(source, handle), wanted, None))[0]
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
    source = _Csv(path, compression, options)
    size = os.stat(path).st_size
    if compression is None:
        check_size(path, size, options.limit, "the file")
    else:
        open(path, "rb").close()  # a file that cannot be opened stays an OSError
    if compression == "zstd":
        need(path, "zstandard", "zstd", "reading a .zst file")
    try:
        if options.delimiter == "auto":
            source = replace(source, options=replace(options, delimiter=_sniff(source)))
        return _read_csv_source(source)
    except decompression_errors(compression) as exc:
        raise ResultFileError(path, f"damaged {compression} stream: {exc}") from None


def _read_csv_source(source: _Csv) -> ResultTable:
    import pandas as pd

    path, options = source.path, source.options
    head = _head(source)
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
        if len(cells) != len(names):
            raise ResultFileError(
                path, f"units row: {len(cells)} cells, but the header names {len(names)} columns", row=units_line
            )
        units = {name: cell.strip() for name, cell in zip(names, cells, strict=True)}
        skip = [units_line - 1]  # pandas counts every line from 0
    time_index = time_column(path, names, options.time, row=header_line) or 0
    first = head[2 if options.units_row else 1][1] if len(head) > (2 if options.units_row else 1) else None
    dated = first is not None and time_index < len(first) and _ISO_8601.fullmatch(first[time_index].strip()) is not None
    try:
        # A compressed file reaches the parser through the stream that stops at
        # the limit; a plain one is no larger than the limit already.
        with contextlib.nullcontext(path) if source.compression is None else source.binary() as stream:
            frame = pd.read_csv(
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
                dtype={time_index: object} | {index: np.float64 for index in range(len(names)) if index != time_index}
                if dated
                else np.float64,
                keep_default_na=False,
                na_values=_NAN_SPELLINGS + ([""] if options.empty_as_nan else []),
                skip_blank_lines=True,
                encoding="utf-8-sig",
                **_exact_float_option(),
            )
    except ResultFileError:
        raise  # the stream passed the limit or was cut short: nothing to diagnose
    except (ValueError, UnicodeDecodeError, pd.errors.ParserError) as exc:
        raise _diagnose(source, names, time_index if dated else None) or ResultFileError(
            path, f"cannot be parsed: {str(exc).strip()}"
        ) from None
    if not isinstance(frame.index, pd.RangeIndex):
        row_cells = len(names) + frame.index.nlevels
        raise _diagnose(source, names, time_index if dated else None) or ResultFileError(
            path, f"ragged rows: {row_cells} cells, but the header names {len(names)} columns"
        )
    if frame.shape[1] != len(names):  # pragma: no cover - the header check and the parser agree
        raise ResultFileError(path, f"the parser found {frame.shape[1]} columns, the header names {len(names)}", row=1)
    if options.empty_as_nan and frame.shape[0] and frame.iloc[:, -1].isna().any():
        # pandas fills a short row's missing cells as it fills empty ones; a
        # short row leaves the last column empty, so only then is it scanned.
        error = _diagnose(source, names, time_index if dated else None)
        if error is not None:
            raise error
    if dated:
        t = _seconds(source, frame.iloc[:, time_index], time_index, names)
        frame = frame.drop(columns=frame.columns[time_index])
        values = frame.to_numpy(dtype=np.float64, copy=False)
        columns = [np.ascontiguousarray(values[:, index]) for index in range(len(names) - 1)]
        columns.insert(time_index, t)
    else:
        values = frame.to_numpy(dtype=np.float64, copy=False)
        columns = [np.ascontiguousarray(values[:, index]) for index in range(len(names))]
    for column in columns:
        # The parser's block is nobody else's: a comparison keeps the
        # columns as they are instead of copying them.
        freeze(column)
    variables = [name for index, name in enumerate(names) if index != time_index]
    by_name = dict(zip(names, columns, strict=True))
    return ResultTable(
        path=path,
        abscissa_name=names[time_index],
        t=by_name.pop(names[time_index]),
        names=tuple(variables),
        _columns=by_name,
        units=units,
        line_of=functools.partial(_line_of, source),
    )
