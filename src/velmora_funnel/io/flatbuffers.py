"""Tables of a flatbuffer, read with every offset checked against the buffer.

Feather version 1 files and the messages of Arrow IPC files keep their
metadata in flatbuffers. The readers take only what they need from them
(column names and buffer places, record batch lengths and buffer sizes), and
a damaged file may point anywhere: each read here checks its bytes lie in
the buffer and raises Damaged otherwise, which the readers turn into a
ResultFileError naming the file.
"""

from __future__ import annotations

import struct

__all__ = ["Damaged", "Table", "root"]


class Damaged(Exception):
    """The flatbuffer points outside itself or holds an impossible value."""


def _read(fmt: str, data: memoryview, at: int) -> tuple[int, ...]:
    size = struct.calcsize(fmt)
    if at < 0 or at + size > len(data):
        raise Damaged(f"an offset points outside the metadata ({at} of {len(data)} bytes)")
    return struct.unpack_from(fmt, data, at)


class Table:
    """One table of a flatbuffer: its fields by their number in the schema."""

    __slots__ = ("_at", "_data", "_vtable", "_vtable_size")

    def __init__(self, data: memoryview, at: int) -> None:
        self._data, self._at = data, at
        (back,) = _read("<i", data, at)
        self._vtable = at - back
        (self._vtable_size,) = _read("<H", data, self._vtable)
        if self._vtable_size < 4 or self._vtable_size % 2:
            raise Damaged(f"a table's field list has an impossible size ({self._vtable_size})")
        _read(f"<{self._vtable_size}s", data, self._vtable)

    def _field(self, number: int) -> int | None:
        entry = 4 + 2 * number
        if entry + 2 > self._vtable_size:
            return None  # written by an older schema: the field takes its default
        (offset,) = _read("<H", self._data, self._vtable + entry)
        return None if offset == 0 else self._at + offset

    def scalar(self, number: int, fmt: str, default: int = 0) -> int:
        """An integer field (``"b"``, ``"B"``, ``"h"``, ``"i"``, ``"q"``)."""
        at = self._field(number)
        return default if at is None else _read("<" + fmt, self._data, at)[0]

    def _target(self, number: int) -> int | None:
        at = self._field(number)
        if at is None:
            return None
        (offset,) = _read("<I", self._data, at)
        return at + offset

    def table(self, number: int) -> Table | None:
        """A table field (also the value of a union), None when absent."""
        at = self._target(number)
        return None if at is None else Table(self._data, at)

    def string(self, number: int) -> bytes | None:
        """A string field's raw bytes (the caller decides what a bad encoding means)."""
        at = self._target(number)
        if at is None:
            return None
        (length,) = _read("<I", self._data, at)
        return bytes(_read(f"<{length}s", self._data, at + 4)[0])

    def _vector(self, number: int, width: int) -> tuple[int, int]:
        at = self._target(number)
        if at is None:
            return 0, 0
        (count,) = _read("<I", self._data, at)
        if at + 4 + count * width > len(self._data):
            raise Damaged(f"a list of {count} entries runs past the metadata")
        return at + 4, count

    def tables(self, number: int) -> list[Table]:
        """A vector of tables."""
        start, count = self._vector(number, 4)
        tables = []
        for index in range(count):
            at = start + 4 * index
            tables.append(Table(self._data, at + _read("<I", self._data, at)[0]))
        return tables

    def structs(self, number: int, fmt: str) -> list[tuple[int, ...]]:
        """A vector of structs of the little-endian layout ``fmt`` (``"<qq"``)."""
        width = struct.calcsize(fmt)
        start, count = self._vector(number, width)
        return list(struct.iter_unpack(fmt, self._data[start : start + count * width]))


def root(data: memoryview) -> Table:
    """The root table of the flatbuffer ``data``."""
    (at,) = _read("<I", data, 0)
    return Table(data, at)
