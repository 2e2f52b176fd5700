"""A CSV file as the csv module reads it: the file's text (decompressed as a
stream), its first records, its delimiter when it is to be sniffed, and its
data records, each with the line it starts on; the slow and exact side of
reading CSV, which names rows and columns where pandas' parser cannot.
"""

from __future__ import annotations

import csv
import io
import itertools
import re
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any, BinaryIO

from ..errors import ResultFileError
from .csv_cells import SPACES
from .options import Compression, ReadOptions
from .streams import open_binary

__all__ = ["END_OF_FILE", "Csv", "csv_error", "first_records", "is_blank", "records", "sniff"]


def is_blank(row: list[str]) -> bool:
    """pandas skips lines of spaces and tabs as it skips empty ones."""
    return not row or (len(row) == 1 and not row[0].strip(" \t"))


# One cell of a line as the csv module splits it: a quoted cell ("" is a quote
# inside it; text after the closing quote is kept) or an unquoted one. The
# group 'close' is missing when the quote is not closed on the line.
def _cell_pattern(delimiter: str) -> re.Pattern[str]:
    mark = re.escape(delimiter)
    return re.compile(rf'"(?:[^"]|"")*(?P<close>"[^{mark}]*)?|[^{mark}]*')


@dataclass(frozen=True)
class Csv:
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
        if comment is None:
            return iter(handle)  # read at the file object's own pace
        return self._cut(handle, comment)

    @staticmethod
    def _cut(handle: IO[str], comment: str) -> Iterator[str]:
        for line in handle:
            if comment in line:
                cut = line.split(comment, 1)[0]
                line = cut + "\n" if line.endswith("\n") else cut
            yield line

    def reader(self, lines: Iterable[str]) -> Any:
        return csv.reader(lines, delimiter=self.options.delimiter)


def csv_error(source: Csv, line: int, exc: csv.Error, names: Sequence[str] | None = None) -> ResultFileError:
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


def first_records(source: Csv) -> list[tuple[int, list[str]]]:
    """The first three records that are not blank (header, units row or first
    data row, ...), each with the line it starts on."""
    found: list[tuple[int, list[str]]] = []
    line = 1
    try:
        with source.open() as handle:
            reader = source.reader(source.lines(handle))
            for row in reader:
                if not is_blank(row):
                    found.append((line, row))
                    if len(found) == 3:
                        break
                line = reader.line_num + 1
    except UnicodeDecodeError as exc:
        raise ResultFileError(source.path, f"not a UTF-8 text file ({exc.reason} at byte {exc.start})") from None
    except csv.Error as exc:
        raise csv_error(source, line, exc) from None
    if not found:
        raise ResultFileError(source.path, "empty file: no header row")
    return found


# Tried in this order: a decimal comma also splits a line at every comma.
_SNIFFED = ("\t", ";", ",")


def sniff(source: Csv) -> str:
    """The delimiter that splits the first rows into as many cells as the
    header names (at least two)."""
    try:
        with source.open() as handle:
            lines = [line for line in itertools.islice(source.lines(handle), 200) if line.strip(SPACES)][:30]
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


# Fed to the csv module as one more line after the file: it ends a quote left
# open at the end of the file silently, and this line then shows in the cell.
END_OF_FILE = "\x00velmora-funnel: end of file\x00"


def records(source: Csv, handle: IO[str]) -> Iterator[tuple[int, list[str]]]:
    """The data rows, each with the line it starts on (a quoted cell may span
    lines); the header and the units row are skipped, the end-of-file line is
    passed on."""
    reader = source.reader(itertools.chain(source.lines(handle), [END_OF_FILE]))
    skip = 2 if source.options.units_row else 1
    line = 1
    for row in reader:
        start, line = line, reader.line_num + 1
        if is_blank(row):
            continue
        if skip and row != [END_OF_FILE]:
            skip -= 1
            continue
        yield start, row
