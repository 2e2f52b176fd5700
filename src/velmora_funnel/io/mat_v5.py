"""The matrices of a MAT file of version 5, read by this package itself.

A version 5 file is a 128-byte header (text, the version, a byte-order
mark), then data elements: an 8-byte tag (type, byte count; or a small
element, type and count in four bytes with up to four bytes of data) and
the data, padded to eight bytes. A matrix is a miMATRIX element holding
array flags (its class), dimensions, its name and its real part; a
miCOMPRESSED element is a zlib stream holding one such element.

Only what a result file needs is read: full numeric and text matrices of
the names in mat_store.WANTED; any other element is passed over after its
name. Nothing here hands the file to code that trusts it: every count is
checked against the element that holds it, every matrix the reader takes is
claimed against the limit before it is read, and a compressed element is
inflated in bounded steps, only as far as its header and, for a wanted
matrix, its values. An uncompressed numeric matrix is read lazily, as a
version 4 file is.
"""

from __future__ import annotations

import os
import struct
import zlib
from typing import BinaryIO, Literal

import numpy as np
from numpy.typing import NDArray

from ..errors import ResultFileError
from .limits import check_size
from .mat_store import WANTED, Matrices, Stored

__all__ = ["Version5"]

_MATRIX, _COMPRESSED, _UTF8 = 14, 15, 16
# Element types that hold numbers (a matrix may store its values in a
# narrower type than its class), and those that hold character codes.
_NUMBERS = {1: "i1", 2: "u1", 3: "i2", 4: "u2", 5: "i4", 6: "u4", 7: "f4", 9: "f8", 12: "i8", 13: "u8"}
_CODES = {1: "i1", 2: "u1", 3: "i2", 4: "u2", 5: "i4", 6: "u4", 17: "u2", 18: "u4"}
# Matrix classes: the numeric ones by the type they hold; text; the rest by what they are.
_CLASSES = {6: "f8", 7: "f4", 8: "i1", 9: "u1", 10: "i2", 11: "u2", 12: "i4", 13: "u4", 14: "i8", 15: "u8"}
_CHAR, _OPAQUE = 4, 17
_OTHERS = {1: "a cell array", 2: "a struct", 3: "an object", 5: "sparse", 16: "a function handle"}
_INT8, _UINT8, _INT32, _UINT32 = 1, 2, 5, 6  # the types of a matrix's name, dimensions and array flags
_STEP = 1 << 20  # inflated at most this much at a time, read 64 KiB at a time


class _Window:
    """The bytes of an uncompressed element, read from its start on."""

    def __init__(self, owner: Version5, start: int, end: int) -> None:
        self.owner, self.position, self.end = owner, start, end

    def read(self, count: int) -> bytes:
        data = os.pread(self.owner.descriptor, count, self.position)
        if len(data) != count:
            raise self.owner.changed()
        self.position += count
        return data


class _Inflated:
    """The content of a miCOMPRESSED element, inflated as far as it is read,
    never past the limit on what one file may decode to."""

    def __init__(self, owner: Version5, start: int, end: int) -> None:
        self.owner, self.at = owner, start - 8
        self._inflater = zlib.decompressobj()
        self._next, self._last = start, end
        self.position, self.end = 0, end - start  # narrowed to the matrix once its tag is read

    def read(self, count: int) -> bytes:
        buffer = bytearray(count)
        self.readinto(memoryview(buffer))
        return bytes(buffer)

    def readinto(self, view: memoryview) -> None:
        owner, inflater = self.owner, self._inflater
        check_size(owner.path, self.position + len(view), owner.limit, f"the compressed element at byte {self.at}")
        filled = 0
        while filled < len(view):
            room = min(len(view) - filled, _STEP)
            if inflater.unconsumed_tail:
                out = inflater.decompress(inflater.unconsumed_tail, room)
            elif inflater.eof or self._next >= self._last:
                raise owner.damaged(self.at, "ends before the matrix it holds")
            else:
                chunk = os.pread(owner.descriptor, min(1 << 16, self._last - self._next), self._next)
                if not chunk:
                    raise owner.changed()
                self._next += len(chunk)
                out = inflater.decompress(chunk, room)
            view[filled : filled + len(out)] = out
            filled += len(out)
        self.position += filled


_Source = _Window | _Inflated


class Version5(Matrices):
    """The matrices of a version 5 file that a result file needs."""

    def __init__(self, path: str, handle: BinaryIO, limit: int) -> None:
        super().__init__(path, handle, limit)
        header = os.pread(self.descriptor, 128, 0)
        if len(header) < 128:
            raise ResultFileError(path, f"truncated MAT file: {len(header)} bytes, too few for a version 5 header")
        marks: dict[bytes, Literal["<", ">"]] = {b"IM": "<", b"MI": ">"}
        if header[126:128] not in marks:
            raise ResultFileError(path, "not a MAT file: its version 5 header has no byte-order mark (IM or MI)")
        self.order = marks[header[126:128]]
        major = struct.unpack(self.order + "H", header[124:126])[0] >> 8
        if major == 2:
            raise ResultFileError(path, "MAT file of version 7.3 (HDF5): not read; save the result as version 4 or 5")
        if major != 1:
            raise ResultFileError(path, f"not a MAT file: version {major} in its version 5 header")
        wanted, offset = set(WANTED), 128
        while offset < self.size and wanted:
            raw = os.pread(self.descriptor, 8, offset)
            if len(raw) < 8:
                raise ResultFileError(
                    path, f"truncated MAT file: {self.size - offset} bytes at byte {offset}, too few for an element tag"
                )
            kind, count = struct.unpack(self.order + "II", raw)
            end = offset + 8 + count
            if kind not in (_MATRIX, _COMPRESSED) or count == 0:
                raise self.damaged(offset, f"is of type {kind} with {count} bytes, expected a matrix")
            if end > self.size:
                raise ResultFileError(
                    path, f"truncated MAT file: the element at byte {offset} needs {end - self.size} bytes more"
                )
            if kind == _MATRIX:
                self._matrix(_Window(self, offset + 8, end), offset, wanted)
            else:
                self._compressed(offset, end, wanted)
            offset = end

    def damaged(self, at: int, what: str) -> ResultFileError:
        return ResultFileError(self.path, f"damaged MAT file: the element at byte {at} {what}")

    def _compressed(self, offset: int, end: int, wanted: set[str]) -> None:
        source = _Inflated(self, offset + 8, end)
        try:
            kind, count, _ = self._tag(source, offset, "its matrix")
            if kind != _MATRIX:
                raise self.damaged(offset, f"inflates to an element of type {kind}, expected a matrix")
            source.end = source.position + count
            self._matrix(source, offset, wanted)
        except zlib.error as exc:
            raise self.damaged(offset, f"does not inflate: {exc}") from None

    def _read(self, source: _Source, at: int, count: int, what: str) -> bytes:
        if source.position + count > source.end:
            raise self.damaged(at, f"ends inside its {what}")
        return source.read(count)

    def _tag(self, source: _Source, at: int, what: str) -> tuple[int, int, bytes | None]:
        """An element's type, byte count and, for a small element, its data."""
        raw = self._read(source, at, 8, what)
        first, second = struct.unpack(self.order + "II", raw)
        if first >> 16:
            # A small element: its count in the upper half of the first four
            # bytes, its type in the lower half, its data in the next four.
            count = first >> 16
            if count > 4:
                raise self.damaged(at, f"has a small element of {count} bytes in its {what}")
            return first & 0xFFFF, count, raw[4 : 4 + count]
        return first, second, None

    def _data(self, source: _Source, at: int, tag: tuple[int, int, bytes | None], what: str, most: int) -> bytes:
        """The data of a header element of at most ``most`` bytes, its padding passed over."""
        _, count, small = tag
        if small is not None:
            return small
        if count > most:
            raise self.damaged(at, f"has {count} bytes of {what}, more than a matrix header holds")
        # the padding to eight bytes, where the element goes on after it
        padding = max(0, min(-count % 8, source.end - source.position - count))
        return self._read(source, at, count + padding, what)[:count]

    def _matrix(self, source: _Source, at: int, wanted: set[str]) -> None:
        """Read a matrix's header, and the values of a wanted one."""
        tag = self._tag(source, at, "array flags")
        if tag[0] != _UINT32 or tag[1] != 8:
            raise self.damaged(at, "has no array flags")
        flags = struct.unpack(self.order + "II", self._data(source, at, tag, "array flags", 8))[0]
        klass, is_complex = flags & 0xFF, bool(flags & 0x800)
        if klass == _OPAQUE:
            return  # no dimensions and no name of a result file's matrix
        tag = self._tag(source, at, "dimensions")
        if tag[0] != _INT32 or tag[1] % 4 or not 8 <= tag[1] <= 128:
            raise self.damaged(at, f"has no dimensions (an element of type {tag[0]} with {tag[1]} bytes)")
        raw = self._data(source, at, tag, "dimensions", 128)
        dims = struct.unpack(f"{self.order}{len(raw) // 4}i", raw)
        if min(dims) < 0:
            raise self.damaged(at, f"has negative dimensions {dims}")
        tag = self._tag(source, at, "name")
        if tag[0] not in (_INT8, _UINT8):
            raise self.damaged(at, f"has no name (an element of type {tag[0]})")
        name = self._data(source, at, tag, "name", 4096).split(b"\0", 1)[0].decode("latin-1")
        if name not in wanted:
            return
        wanted.discard(name)  # the first matrix of a name is the one read, as MATLAB loads it
        rows, cols = dims[0], dims[1]
        refused = (
            f"an array of {len(dims)} dimensions"
            if len(dims) != 2
            else "complex"
            if is_complex and klass in _CLASSES
            else ""
            if klass in _CLASSES or klass == _CHAR
            else _OTHERS.get(klass, f"of unknown class {klass}")
        )
        if refused:
            self.matrices[name] = Stored(-1, rows, cols, np.dtype("f8"), np.dtype("f8"), refused)
        elif klass == _CHAR:
            self._text(source, at, name, rows, cols)
        else:
            self._numbers(source, at, name, rows, cols, np.dtype(_CLASSES[klass]))

    def _numbers(self, source: _Source, at: int, name: str, rows: int, cols: int, value: np.dtype[np.generic]) -> None:
        kind, count, small = self._tag(source, at, "values")
        if kind not in _NUMBERS:
            raise self.damaged(at, f"holds values of type {kind} in matrix {name!r}, expected numbers")
        dtype = np.dtype(_NUMBERS[kind]).newbyteorder(self.order)
        # A writer stores values in a narrower type only where each one fits
        # (integers in a float class included): any other would wrap around.
        widening = dtype.kind in "iu" and value.kind == "f" and dtype.itemsize <= value.itemsize
        if not (np.can_cast(dtype, value, "safe") or widening):
            raise self.damaged(at, f"stores values of type {dtype.name} in matrix {name!r} of type {value.name}")
        if count != rows * cols * dtype.itemsize:
            raise self.damaged(
                at, f"holds {count} bytes for matrix {name!r}, {rows} x {cols} values of {dtype.itemsize} bytes"
            )
        self.claim(name, rows, cols)
        stored = Stored(-1, rows, cols, dtype, value)
        if small is not None:
            values: NDArray[np.generic] = np.frombuffer(small, dtype).copy()
        elif source.position + count > source.end:
            raise self.damaged(at, f"ends inside the values of matrix {name!r}")
        elif isinstance(source, _Window):
            # stored as a version 4 matrix is: read when asked for
            self.matrices[name] = Stored(source.position, rows, cols, dtype, value)
            return
        else:
            values = np.empty(rows * cols, dtype)
            source.readinto(memoryview(values.view(np.uint8)))
        self._whole[name] = self._as_held(stored, values).reshape(cols, rows).T
        self.matrices[name] = stored

    def _text(self, source: _Source, at: int, name: str, rows: int, cols: int) -> None:
        kind, count, small = self._tag(source, at, "characters")
        length = rows * cols
        if kind == _UTF8:
            fits = length <= count <= 4 * length
        elif kind in _CODES:
            fits = count == length * np.dtype(_CODES[kind]).itemsize
        else:
            raise self.damaged(at, f"holds characters of type {kind} in matrix {name!r}")
        if not fits:
            raise self.damaged(at, f"holds {count} bytes for the {rows} x {cols} characters of matrix {name!r}")
        self.claim(name, rows, cols)
        raw = small if small is not None else self._read(source, at, count, f"characters of matrix {name!r}")
        if kind == _UTF8:
            text = raw.decode("utf-8", "replace")
            codes = np.frombuffer(text.encode("utf-32-le"), "<u4").astype(np.int64)
        else:
            codes = np.frombuffer(raw, np.dtype(_CODES[kind]).newbyteorder(self.order)).astype(np.int64)
            # a code no character has (a lone surrogate of UTF-16) is shown as U+FFFD
            codes[(codes < 0) | (codes > 0x10FFFF) | ((codes >= 0xD800) & (codes < 0xE000))] = 0xFFFD
        if len(codes) != length:
            raise self.damaged(at, f"holds {len(codes)} characters for the {rows} x {cols} of matrix {name!r}")
        self._whole[name] = codes.astype(np.uint32).view(np.dtype("U1")).reshape(cols, rows).T
        self.matrices[name] = Stored(-1, rows, cols, np.dtype("U1"), np.dtype("U1"))
