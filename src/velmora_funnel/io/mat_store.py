"""Where the matrices of a MAT file lie, and their values read when asked for.

A version 4 file, and a version 5 file stored without compression, keep each
matrix's values column by column in one run of bytes: its header tells
where, so only the headers are read when the file is opened, and a matrix's
values (or one stored column) when they are asked for. The file is read, not
mapped: a mapped file that another process truncates (a simulation rewriting
its result) kills the reading process with SIGBUS; read, it gives a clear
error.

Before a file is read, the matrices a result file needs are claimed against
the limit on what one file may decode to, at eight bytes a value (each value
becomes a float64 on its way out, a character code too while it is checked),
so a header that claims billions of values in a sparse file is refused
before anything is taken.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from io import BufferedReader
from typing import BinaryIO, Literal

import numpy as np
from numpy.typing import NDArray

from .. import _kernels
from ..errors import ResultFileError
from .limits import check_size

__all__ = ["WANTED", "Matrices", "Stored", "Version4"]

#: The matrices a result file is read from; any others are skipped unread.
WANTED = ("Aclass", "name", "description", "dataInfo", "data_1", "data_2")


@dataclass(frozen=True)
class Stored:
    """One matrix: where its values lie and how."""

    #: Byte offset of its values in the file; -1 when they are held in
    #: memory already (inflated or decoded when the file was opened).
    offset: int
    rows: int
    cols: int
    #: The type of the stored values, byte order included.
    dtype: np.dtype[np.generic]
    #: The type the matrix holds (version 5 may store doubles as integers).
    value: np.dtype[np.generic]
    #: Why the matrix cannot be used ("complex", "sparse"), or "".
    refused: str = ""


def _identity(stat: os.stat_result) -> tuple[int, int, int, int]:
    return stat.st_dev, stat.st_size, stat.st_ino, stat.st_mtime_ns


class Matrices:
    """The matrices of one MAT file, each read when first asked for."""

    def __init__(self, path: str, handle: BinaryIO, limit: int) -> None:
        self.path, self.limit = path, limit
        self.descriptor = handle.fileno()
        self._identity = _identity(os.fstat(self.descriptor))
        self.size = self._identity[1]
        self.matrices: dict[str, Stored] = {}
        self._whole: dict[str, NDArray[np.generic]] = {}
        self._rows_gathered: dict[str, int] = {}
        self._by_row: dict[str, NDArray[np.float64]] = {}
        self._taken = 0

    def claim(self, name: str, rows: int, cols: int) -> None:
        """Count a matrix the reader will take against the limit; raises
        ResultFileError before it is taken when the file's matrices so far
        would take more. A matrix of no values costs its rows or columns
        (a text matrix of no columns is that many names)."""
        claimed = 8 * max(rows * cols, rows, cols)
        self._taken += claimed
        what = f"matrix {name!r} ({rows} x {cols})"
        check_size(
            self.path, self._taken, self.limit, what if self._taken == claimed else f"{what} with those before it"
        )

    def __contains__(self, name: str) -> bool:
        return name in self.matrices

    def _usable(self, name: str) -> Stored:
        stored = self.matrices[name]
        if stored.refused:
            raise ResultFileError(self.path, f"matrix {name!r} is {stored.refused}, expected real numbers or text")
        return stored

    def shape(self, name: str) -> tuple[int, int]:
        stored = self._usable(name)
        return stored.rows, stored.cols

    def kind(self, name: str) -> str:
        return self._usable(name).value.kind

    def _open_unchanged(self, name: str) -> tuple[BufferedReader, Stored]:
        stored = self._usable(name)
        handle = open(self.path, "rb")  # noqa: SIM115 - closed by the caller's with
        # The same file as when its headers were read, or the offsets mean nothing.
        if _identity(os.fstat(handle.fileno())) != self._identity:
            handle.close()
            raise self.changed()
        return handle, stored

    def changed(self) -> ResultFileError:
        return ResultFileError(self.path, "the file changed while it was being read (rewritten by another process?)")

    @staticmethod
    def _as_held(stored: Stored, values: NDArray[np.generic]) -> NDArray[np.generic]:
        return values if stored.value == stored.dtype else values.astype(stored.value)

    def _values(self, name: str, skip: int, count: int) -> NDArray[np.generic]:
        handle, stored = self._open_unchanged(name)
        with handle:
            values = np.fromfile(handle, stored.dtype, count, offset=stored.offset + skip * stored.dtype.itemsize)
        if len(values) != count:
            raise self.changed()
        return self._as_held(stored, values)

    def matrix(self, name: str) -> NDArray[np.generic]:
        """The whole matrix (read once, then kept)."""
        if name not in self._whole:
            rows, cols = self.shape(name)
            # stored column by column: the transposed view is the matrix itself
            self._whole[name] = self._values(name, 0, rows * cols).reshape(cols, rows).T
        return self._whole[name]

    def column(self, name: str, index: int) -> NDArray[np.generic]:
        """One stored column (0-based): contiguous in the file, read alone."""
        if name in self._whole:
            return self._whole[name][:, index]
        rows, _ = self.shape(name)
        return self._values(name, index * rows, rows)

    def row(self, name: str, index: int) -> NDArray[np.generic]:
        """One stored row (0-based), strided through the file. A matrix of at
        most _WHOLE_UP_TO bytes is read whole at once and kept with its rows
        laid out one after the other, read-only float64 that every caller
        shares, as most callers then want them all; of a larger one the first two rows
        (the abscissa and one variable) are gathered block by block through
        one small buffer into a fresh array (the matrix passes through the
        cache, none of it stays), and from the third on it is read whole and
        kept the same way."""
        rows, cols = self.shape(name)
        stored = self._usable(name)
        gathered = self._rows_gathered.get(name, 0)
        held = name in self._by_row or name in self._whole
        if held or gathered >= 2 or rows * cols * stored.dtype.itemsize <= _WHOLE_UP_TO:
            row: NDArray[np.generic] = self._rows_of(name)[index]
            return row
        self._rows_gathered[name] = gathered + 1
        handle, stored = self._open_unchanged(name)
        values = np.empty(cols, stored.dtype)
        per_block = max(1, (1 << 20) // max(1, rows * stored.dtype.itemsize))
        block = np.empty(per_block * rows, stored.dtype)
        with handle:
            handle.seek(stored.offset)
            for start in range(0, cols, per_block):
                count = min(per_block, cols - start)
                part = block[: count * rows]
                if handle.readinto(part.view(np.uint8)) != part.nbytes:
                    raise self.changed()
                values[start : start + count] = part.reshape(count, rows)[:, index]
        return self._as_held(stored, values)

    def _rows_of(self, name: str) -> NDArray[np.float64]:
        """The matrix with each stored row contiguous, laid out by the kernels
        in one pass from the file's columns (a row read straight through the
        whole matrix would pull in a cache line per value, for every row),
        then read-only: its rows are the variables, and those that share a
        row (an alias, a negated one) share its memory, which a comparison
        keeps without a copy. One allocation for all rows: the system hands
        a large block over in few page faults, where a block per row would
        cost one fault per page."""
        if name not in self._by_row:
            rows, cols = self.shape(name)
            by_column = (
                self._whole[name].T if name in self._whole else self._values(name, 0, rows * cols).reshape(cols, rows)
            )
            # A copy only for another type than native float64.
            source = np.ascontiguousarray(by_column, dtype=np.float64)
            by_row = np.empty((rows, cols))
            _kernels.lay_out_rows(source.reshape(-1), rows, by_row.reshape(-1))
            by_row.flags.writeable = False
            self._by_row[name] = by_row
        return self._by_row[name]


# A matrix up to this size is read whole at its first row: reading a row
# alone costs a pass over the whole matrix all the same.
_WHOLE_UP_TO = 64 << 20


# Precision digit of a version 4 matrix type -> element type.
_V4_TYPES = {0: "f8", 1: "f4", 2: "i4", 3: "i2", 4: "u2", 5: "u1"}
_HEADER = 20


class Version4(Matrices):
    """The matrices of a version 4 file: a 20-byte header each (type, rows,
    columns, imaginary flag, name length), the name, then the values."""

    def __init__(self, path: str, handle: BinaryIO, limit: int) -> None:
        super().__init__(path, handle, limit)
        size, offset, descriptor = self.size, 0, self.descriptor
        while offset < size:
            header = os.pread(descriptor, _HEADER, offset)
            if len(header) < _HEADER:
                if offset == 0:
                    raise ResultFileError(path, f"not a MAT file: {size} bytes, too few for a matrix header")
                raise ResultFileError(
                    path, f"truncated MAT file: {size - offset} bytes at byte {offset}, too few for a matrix header"
                )
            kind, rows, cols, imaginary, name_length = (int(v) for v in np.frombuffer(header, "<i4", 5))
            order: Literal["<", ">"] = "<"
            if not 0 <= kind < 1000:
                kind, rows, cols, imaginary, name_length = (int(v) for v in np.frombuffer(header, ">i4", 5))
                order = ">"
                if not 1000 <= kind < 2000:
                    what = "not a MAT file" if offset == 0 else "damaged MAT file"
                    raise ResultFileError(
                        path,
                        f"{what}: no version 4 matrix header at byte {offset} (and no version 5 header at the start)",
                    )
            precision, text = kind // 10 % 10, kind % 10
            if (
                kind // 100 % 10 != 0
                or precision not in _V4_TYPES
                or text > 2
                or rows < 0
                or cols < 0
                or imaginary not in (0, 1)
                or not 0 < name_length <= 4096
            ):
                raise ResultFileError(
                    path, f"damaged MAT file: bad matrix header at byte {offset} (type {kind}, {rows} x {cols})"
                )
            name_end = offset + _HEADER + name_length
            raw_name = os.pread(descriptor, name_length, offset + _HEADER)
            name = raw_name.split(b"\0", 1)[0].decode("latin-1")
            dtype = np.dtype(_V4_TYPES[precision]).newbyteorder(order)
            end = name_end + rows * cols * (1 + imaginary) * dtype.itemsize
            if end > size:
                raise ResultFileError(
                    path,
                    f"truncated MAT file: matrix {name!r} ({rows} x {cols}) needs {end - size} bytes more than the file holds",
                )
            # complex or sparse: nothing of a result file; refused if asked for
            refused = "complex" if imaginary else "sparse" if text == 2 else ""
            self.matrices[name] = Stored(name_end, rows, cols, dtype, dtype, refused)
            offset = end
        # A name given twice means its last matrix, as MATLAB loads it.
        for name in WANTED:
            stored = self.matrices.get(name)
            if stored is not None and not stored.refused:
                self.claim(name, stored.rows, stored.cols)
