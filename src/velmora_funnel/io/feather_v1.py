"""Feather version 1 files, read here rather than by pyarrow.

pyarrow's reader of version 1 trusts the footer: a buffer offset or length
changed by one damaged byte makes it read outside the file, and the process
dies (SIGSEGV, SIGBUS). The format is small: ``FEA1``, the column buffers,
a flatbuffer footer (per column its name, its type and where its buffers
lie), the footer's length and ``FEA1`` again. Each column here is checked
against the file before a byte of it is taken: its place among the column
bytes, its length against the row count, and its buffers (null bitmap, text
offsets, values, each padded to 8 bytes) against the bytes it claims, so a
damaged file is a ResultFileError, never a read outside the file.
"""

from __future__ import annotations

import struct
from typing import Any

from ..errors import ResultFileError
from .flatbuffers import Damaged, Table, root
from .limits import check_size
from .table import check_names

__all__ = ["MAGIC", "read_table"]

MAGIC = b"FEA1"

# The footer's type codes: (arrow type name, bytes per value; 0 for bits,
# -4 and -8 for text and binary with offsets of that width).
_TYPES: dict[int, tuple[str, int]] = {
    0: ("bool_", 0),
    1: ("int8", 1),
    2: ("int16", 2),
    3: ("int32", 4),
    4: ("int64", 8),
    5: ("uint8", 1),
    6: ("uint16", 2),
    7: ("uint32", 4),
    8: ("uint64", 8),
    9: ("float32", 4),
    10: ("float64", 8),
    11: ("string", -4),
    12: ("binary", -4),
    17: ("large_string", -8),
    18: ("large_binary", -8),
}
_UNITS = ("s", "ms", "us", "ns")
_CATEGORY, _TIMESTAMP, _DATE, _TIME = 1, 2, 3, 4  # the footer's kinds of type metadata


def _padded(size: int) -> int:
    return (size + 7) // 8 * 8


class _Footer:
    def __init__(self, path: str, data: memoryview) -> None:
        self.path, self.data = path, data
        if len(data) < 12 or data[:4] != MAGIC or data[-4:] != MAGIC:
            raise ResultFileError(path, "not a feather version 1 file: no 'FEA1' at both ends")
        (length,) = struct.unpack_from("<I", data, len(data) - 8)
        # the columns' bytes lie between the leading magic and the footer
        self.end = len(data) - 8 - length
        if self.end < 4:
            raise ResultFileError(path, f"damaged feather file: a footer of {length} bytes in a file of {len(data)}")
        self.footer = root(data[self.end : len(data) - 8])

    def damaged(self, what: str, column: int | None = None, name: str | None = None) -> ResultFileError:
        return ResultFileError(self.path, f"damaged feather file: {what}", column=column, name=name)

    def array(self, pa: Any, values: Table, logical: Any, length: int, where: tuple[int, str]) -> Any:
        """The array whose buffers ``values`` places, checked against the file;
        ``logical``: the time type its integers hold, or None."""
        code, encoding = values.scalar(0, "b"), values.scalar(1, "b")
        offset, count, nulls, total = (values.scalar(number, "q") for number in (2, 3, 4, 5))
        if code not in _TYPES or encoding != 0:
            raise self.damaged(f"unknown type code {code} (encoding {encoding})", *where)
        if count != length:
            raise self.damaged(f"{count} values where the file has {length} rows", *where)
        if not (offset >= 4 and total >= 0 and offset + total <= self.end and offset % 8 == 0 and 0 <= nulls <= count):
            raise self.damaged(
                f"values at bytes {offset}..{offset + total} ({nulls} nulls), outside the {self.end} bytes of data",
                *where,
            )
        width = _TYPES[code][1]
        sizes = [_padded((count + 7) // 8) if nulls else 0]
        if width < 0:
            sizes.append(_padded((count + 1) * -width))
        taken = sum(sizes)
        rest = total - taken
        needed = (count + 7) // 8 if width == 0 else count * width if width > 0 else 0
        if rest < needed:
            raise self.damaged(f"the values take {taken + needed} bytes, the file holds {total} for them", *where)
        sizes.append(rest)
        buffers, at = [], offset
        for size in sizes:
            buffers.append(pa.py_buffer(self.data[at : at + size]))
            at += size
        if not nulls:
            buffers[0] = None
        stored = getattr(pa, _TYPES[code][0])()
        if logical is not None and not (code in (3, 4) and logical.bit_width == stored.bit_width):
            raise self.damaged(f"{logical} stored as {stored}", *where)
        # null_count=-1: counted from the bitmap, not taken from the footer
        array = pa.Array.from_buffers(logical or stored, count, buffers, null_count=-1)
        array.validate(full=True)  # text offsets inside their values
        return array

    def column(self, pa: Any, column: Table, length: int, where: tuple[int, str]) -> Any:
        values = column.table(1)
        if values is None:
            raise self.damaged("a column without values", *where)
        kind, extra = column.scalar(2, "B"), column.table(3)
        if kind in (0, _DATE):
            return self.array(pa, values, pa.date32() if kind == _DATE else None, length, where)
        if extra is None:
            raise self.damaged(f"type details of kind {kind} missing", *where)
        if kind == _CATEGORY:
            levels = extra.table(0)
            if levels is None:
                raise self.damaged("a category column without its levels", *where)
            indices = self.array(pa, values, None, length, where)
            dictionary = self.array(pa, levels, None, levels.scalar(3, "q"), where)
            if not pa.types.is_integer(indices.type):
                raise self.damaged(f"category codes of type {indices.type}", *where)
            return pa.DictionaryArray.from_arrays(indices, dictionary, safe=True)
        unit = extra.scalar(0, "b")
        if kind not in (_TIMESTAMP, _TIME) or not 0 <= unit < len(_UNITS):
            raise self.damaged(f"type details of kind {kind}, unit {unit}", *where)
        if kind == _TIME:
            time_type = pa.time32(_UNITS[unit]) if unit < 2 else pa.time64(_UNITS[unit])
            return self.array(pa, values, time_type, length, where)
        zone = extra.string(1)
        try:
            stamp = pa.timestamp(_UNITS[unit], tz=zone.decode() if zone else None)
        except (UnicodeDecodeError, pa.ArrowException, ValueError) as exc:
            raise self.damaged(f"time stamps of zone {zone!r}: {exc}", *where) from None
        return self.array(pa, values, stamp, length, where)


def read_table(path: str, data: memoryview, limit: int) -> Any:
    """The file's columns as a pyarrow Table whose buffers are slices of
    ``data`` (checked; the caller copies what it keeps)."""
    import pyarrow as pa

    try:
        footer = _Footer(path, data)
        rows = footer.footer.scalar(1, "q")
        columns = footer.footer.tables(2)
        if rows < 0:
            raise footer.damaged(f"{rows} rows")
        names = []
        for number, column in enumerate(columns, start=1):
            raw = column.string(0) or b""
            try:
                names.append(raw.decode())
            except UnicodeDecodeError:
                raise ResultFileError(path, f"the column's name {raw!r} is not UTF-8 text", column=number) from None
        check_names(path, names)
        check_size(path, rows * len(columns) * 8, limit, f"{rows} rows of {len(columns)} columns as float64")
        arrays = [
            footer.column(pa, column, rows, (number, name))
            for number, (column, name) in enumerate(zip(columns, names, strict=True), start=1)
        ]
    except Damaged as exc:
        raise ResultFileError(path, f"damaged feather file: {exc}") from None
    return pa.Table.from_arrays(arrays, names=names)
