"""MAT result files of Modelica simulation tools.

Such a file holds the matrices Aclass (its kind and storage order), name and
description (one text row per variable), dataInfo (per variable: matrix,
signed 1-based column, interpolation, extrapolation), data_1 (constants and
parameters: values at the start and the stop time) and data_2 (trajectories:
one row per output point, the abscissa first). With storage order binTrans
every matrix but Aclass is stored transposed.

Version 4 files, which most tools write, are read lazily: only the header of
each matrix is read when the file is opened, and a variable's values when the
variable is first asked for (one column of the file in binNormal order; in
binTrans order, where a variable lies strided through data_2, the matrix is
read once and kept), so comparing one variable of a file of thousands costs
about one column, or one plain read of data_2, not a decoding of the file
(bench/measure_mat_readers.py measures it against scipy.io.loadmat, which
reads every matrix whole). Version 5 files (some tools write them, often
compressed, where no column can be read on its own) are read by scipy.io.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Mapping
from io import BufferedReader
from typing import BinaryIO, Literal

import numpy as np
from numpy.typing import NDArray

from ..errors import ResultFileError
from .options import ReadOptions
from .table import ResultTable, need

__all__ = ["read_mat"]

# Precision digit of a version 4 matrix type -> element type.
_V4_TYPES = {0: "f8", 1: "f4", 2: "i4", 3: "i2", 4: "u2", 5: "u1"}
_HEADER = 20


class _Version4:
    """The matrices of a version 4 file: each header is read when the file is
    opened, the values of a matrix or of one stored column when they are
    asked for. The file is read, not mapped: a mapped file that another
    process truncates (a simulation rewriting its result) kills the reading
    process with SIGBUS; read, it gives a clear error."""

    def __init__(self, path: str, handle: BinaryIO) -> None:
        self.path = path
        descriptor = handle.fileno()
        self._identity = _identity(os.fstat(descriptor))
        self.matrices: dict[str, tuple[int, int, int, np.dtype[np.generic], bool]] = {}
        self._whole: dict[str, NDArray[np.generic]] = {}
        self._rows_gathered: dict[str, int] = {}
        size, offset = self._identity[1], 0
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
            count = rows * cols * (1 + imaginary)
            end = name_end + count * dtype.itemsize
            if end > size:
                raise ResultFileError(
                    path,
                    f"truncated MAT file: matrix {name!r} ({rows} x {cols}) needs {end - size} bytes more than the file holds",
                )
            if imaginary or text == 2:
                # complex or sparse: nothing of a result file; refused if asked for
                self.matrices[name] = (-1, rows, cols, dtype, False)
            else:
                self.matrices[name] = (name_end, rows, cols, dtype, text == 1)
            offset = end

    def __contains__(self, name: str) -> bool:
        return name in self.matrices

    def shape(self, name: str) -> tuple[int, int]:
        _, rows, cols, _, _ = self.matrices[name]
        return rows, cols

    def kind(self, name: str) -> str:
        return self.matrices[name][3].kind

    def _open_unchanged(self, name: str) -> tuple[BufferedReader, int, np.dtype[np.generic]]:
        offset, _, _, dtype, _ = self.matrices[name]
        if offset < 0:
            raise ResultFileError(self.path, f"matrix {name!r} is complex or sparse, expected real numbers or text")
        handle = open(self.path, "rb")  # noqa: SIM115 - closed by the caller's with
        # The same file as when its headers were read, or the offsets mean nothing.
        if _identity(os.fstat(handle.fileno())) != self._identity:
            handle.close()
            raise self._changed()
        return handle, offset, dtype

    def _changed(self) -> ResultFileError:
        return ResultFileError(self.path, "the file changed while it was being read (rewritten by another process?)")

    def _values(self, name: str, skip: int, count: int) -> NDArray[np.generic]:
        handle, offset, dtype = self._open_unchanged(name)
        with handle:
            values = np.fromfile(handle, dtype, count, offset=offset + skip * dtype.itemsize)
        if len(values) != count:
            raise self._changed()
        return values

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
        """One stored row (0-based), strided through the file. The first two
        (the abscissa and one variable) are gathered block by block through
        one small buffer (the matrix passes through the cache, none of it
        stays); from the third on, the matrix is read whole and kept, as most
        callers then want them all."""
        gathered = self._rows_gathered.get(name, 0)
        if name in self._whole or gathered >= 2:
            return self.matrix(name)[index, :]
        self._rows_gathered[name] = gathered + 1
        rows, cols = self.shape(name)
        handle, offset, dtype = self._open_unchanged(name)
        values = np.empty(cols, dtype)
        per_block = max(1, (1 << 20) // max(1, rows * dtype.itemsize))
        block = np.empty(per_block * rows, dtype)
        with handle:
            handle.seek(offset)
            for start in range(0, cols, per_block):
                count = min(per_block, cols - start)
                part = block[: count * rows]
                if handle.readinto(part.view(np.uint8)) != part.nbytes:
                    raise self._changed()
                values[start : start + count] = part.reshape(count, rows)[:, index]
        return values


def _identity(stat: os.stat_result) -> tuple[int, int, int, int]:
    return stat.st_dev, stat.st_size, stat.st_ino, stat.st_mtime_ns


class _Loaded:
    """The matrices of a version 5 file, read whole by scipy.io."""

    def __init__(self, path: str, wanted: list[str]) -> None:
        sio = need(path, "scipy.io", "mat", "reading a MAT file of version 5")
        self.path = path
        try:
            self.matrices = sio.loadmat(path, variable_names=wanted, chars_as_strings=False, squeeze_me=False)
        except NotImplementedError:
            raise ResultFileError(
                path, "MAT file of version 7.3 (HDF5): not read; save the result as version 4 or 5"
            ) from None
        except Exception as exc:  # scipy raises many kinds for a damaged file
            raise ResultFileError(path, f"damaged MAT file of version 5: {exc}") from None

    def __contains__(self, name: str) -> bool:
        return name in self.matrices

    def matrix(self, name: str) -> NDArray[np.generic]:
        value = self.matrices[name]
        if not isinstance(value, np.ndarray) or value.dtype.kind not in "uifbU" or value.ndim != 2:
            raise ResultFileError(self.path, f"matrix {name!r} is not a matrix of numbers or text")
        return value

    def shape(self, name: str) -> tuple[int, int]:
        rows, cols = self.matrix(name).shape
        return rows, cols

    def kind(self, name: str) -> str:
        return self.matrix(name).dtype.kind

    def column(self, name: str, index: int) -> NDArray[np.generic]:
        return self.matrix(name)[:, index]

    def row(self, name: str, index: int) -> NDArray[np.generic]:
        return self.matrix(name)[index, :]


class _Oriented:
    """A data matrix as its variables are laid out in binNormal: one row per
    output point, one column per stored variable, whatever the file's order."""

    def __init__(self, source: _Version4 | _Loaded, name: str, transposed: bool) -> None:
        self.source, self.name, self.transposed = source, name, transposed
        rows, cols = source.shape(name)
        self.shape = (cols, rows) if transposed else (rows, cols)
        self.kind = source.kind(name)

    def column(self, index: int) -> NDArray[np.float64]:
        if self.transposed:
            # binTrans keeps one output point together: a variable lies
            # strided through the whole matrix.
            return np.array(self.source.row(self.name, index), dtype=np.float64)
        return np.array(self.source.column(self.name, index), dtype=np.float64)


_MATRICES = ["Aclass", "name", "dataInfo", "data_1", "data_2"]


def _open(path: str) -> _Version4 | _Loaded:
    with open(path, "rb") as handle:
        if os.fstat(handle.fileno()).st_size == 0:
            raise ResultFileError(path, "empty file: not a MAT file")
        if handle.read(6) != b"MATLAB":  # the text header of versions 5 and 7.3
            return _Version4(path, handle)
    return _Loaded(path, _MATRICES)


def _rows(source: _Version4 | _Loaded, name: str, transposed: bool = False) -> list[str]:
    """The text rows of a matrix (its columns when stored transposed),
    without the blanks or NULs that pad them to the longest one."""
    matrix = source.matrix(name)
    matrix = matrix.T if transposed else matrix
    if matrix.dtype.kind == "U":  # read by scipy.io
        return ["".join(row).rstrip(" \0") for row in matrix]
    # version 4 stores text as character codes, in any number type
    codes = np.asarray(matrix, dtype=np.float64)
    if codes.size and (
        not np.all(np.isfinite(codes)) or codes.min() < 0 or codes.max() > 255 or np.any(codes != np.round(codes))
    ):
        raise ResultFileError(
            source.path, f"matrix {name!r} is not text: it holds numbers that are not character codes"
        )
    width = codes.shape[1]
    data = np.ascontiguousarray(codes, dtype=np.uint8).tobytes()
    rows = []
    for start in range(0, len(data), width or 1):
        raw = data[start : start + width]
        try:
            text = raw.decode("utf-8")  # names as the tool wrote them, to match other files'
        except UnicodeDecodeError:
            text = raw.decode("latin-1")
        rows.append(text.rstrip(" \0"))
    return rows if width else [""] * codes.shape[0]


class _Columns(Mapping[str, NDArray[np.float64]]):
    """The variables of a MAT result file, each decoded when first asked for."""

    def __init__(self, names: tuple[str, ...], decode: Callable[[str], NDArray[np.float64]]) -> None:
        self._names = names
        self._known = frozenset(names)
        self._decode = decode
        self._decoded: dict[str, NDArray[np.float64]] = {}

    def __getitem__(self, name: str) -> NDArray[np.float64]:
        if name not in self._known:
            raise KeyError(name)
        column = self._decoded.get(name)
        if column is None:
            column = self._decoded[name] = self._decode(name)
        return column

    def __contains__(self, name: object) -> bool:
        return name in self._known

    def __iter__(self) -> Iterator[str]:
        return iter(self._names)

    def __len__(self) -> int:
        return len(self._names)


def read_mat(path: str, options: ReadOptions) -> ResultTable:
    """Read a MAT result file; variables are decoded on first access."""
    time = options.time
    source = _open(path)
    for required in ("Aclass", "name", "dataInfo", "data_2"):
        if required not in source:
            raise ResultFileError(
                path,
                f"not a Modelica result file: no matrix {required!r} (a result file holds Aclass, name, dataInfo, data_1 and data_2)",
            )
    aclass = _rows(source, "Aclass")
    if not aclass or aclass[0] != "Atrajectory":
        raise ResultFileError(
            path,
            f"not a Modelica result file: Aclass starts with {aclass[0] if aclass else ''!r}, expected 'Atrajectory'",
        )
    if len(aclass) < 4 or aclass[3] not in ("binNormal", "binTrans"):
        found = repr(aclass[3]) if len(aclass) >= 4 else "nothing"
        raise ResultFileError(
            path, f"not a Modelica result file: the fourth row of Aclass is {found}, expected 'binNormal' or 'binTrans'"
        )
    transposed = aclass[3] == "binTrans"

    def oriented(name: str) -> NDArray[np.generic]:
        """The matrix as its variables are laid out in binNormal."""
        matrix = source.matrix(name)
        return matrix.T if transposed else matrix

    names = _rows(source, "name", transposed)
    info = oriented("dataInfo")
    if info.shape[0] != len(names) or info.shape[1] < 2:
        raise ResultFileError(
            path,
            f"dataInfo is {info.shape[0]} x {info.shape[1]}, expected one row of [matrix, column, ...] for each of the {len(names)} names",
        )
    info_values = np.asarray(info[:, :2], dtype=np.float64)
    if not np.all(np.isfinite(info_values)) or np.any(info_values != np.round(info_values)):
        raise ResultFileError(path, "dataInfo holds numbers that are not integers")
    matrices, columns = info_values[:, 0].astype(np.int64), info_values[:, 1].astype(np.int64)
    if not names:
        raise ResultFileError(path, "no variables: the name matrix is empty")

    data: dict[int, _Oriented] = {2: _Oriented(source, "data_2", transposed)}
    if "data_1" in source:
        data[1] = _Oriented(source, "data_1", transposed)
    index: dict[str, int] = {}
    for number, (name, matrix, column) in enumerate(zip(names, matrices, columns, strict=True)):
        if not name:
            raise ResultFileError(path, f"variable {number + 1} has an empty name")
        if name in index:
            raise ResultFileError(
                path, f"the name is given twice (variables {index[name] + 1} and {number + 1})", name=name
            )
        index[name] = number
        stored = 2 if matrix == 0 else int(matrix)  # 0 marks the abscissa, a column of data_2
        if stored not in (1, 2):
            raise ResultFileError(
                path, f"dataInfo names matrix {matrix}, expected 1 (data_1), 2 (data_2) or 0 (the abscissa)", name=name
            )
        if stored not in data:
            raise ResultFileError(path, "dataInfo points into data_1, but the file has no matrix 'data_1'", name=name)
        width = data[stored].shape[1]
        if column == 0 or abs(column) > width:
            raise ResultFileError(
                path, f"dataInfo points to column {column} of data_{stored}, which has {width} columns", name=name
            )
        if data[stored].kind not in "uif":
            raise ResultFileError(path, f"matrix 'data_{stored}' holds text, expected numbers")
    if data[2].shape[1] == 0:
        raise ResultFileError(path, "matrix 'data_2' has no columns: no abscissa")
    if 1 in data and data[1].shape[0] == 0 and np.any(matrices == 1):
        raise ResultFileError(path, "matrix 'data_1' has no rows: the constants have no values")

    abscissa_name = time if time is not None else names[0]
    if abscissa_name not in index:
        raise ResultFileError(path, f"no variable named {abscissa_name!r} for the abscissa (the time option)")

    def values(name: str, t: NDArray[np.float64] | None) -> NDArray[np.float64]:
        number = index[name]
        matrix, column = int(matrices[number]), int(columns[number])
        stored = data[2 if matrix == 0 else matrix]
        y = stored.column(abs(column) - 1)
        if column < 0:
            np.negative(y, out=y)
        if matrix == 1 and t is not None:
            # a constant or parameter: its values at the start and the stop time
            if len(y) == 1 or y[0] == y[-1] or (np.isnan(y[0]) and np.isnan(y[-1])) or len(t) < 2 or t[0] == t[-1]:
                y = np.full(len(t), y[0])
            else:
                y = np.interp(t, [t[0], t[-1]], [y[0], y[-1]])
        return y

    if int(matrices[index[abscissa_name]]) == 1:
        raise ResultFileError(
            path, "the abscissa is a constant (data_1), expected a trajectory of data_2", name=abscissa_name
        )
    t = values(abscissa_name, None)
    variables = tuple(name for name in names if name != abscissa_name)
    return ResultTable(
        path=path,
        abscissa_name=abscissa_name,
        t=t,
        names=variables,
        _columns=_Columns(variables, lambda name: values(name, t)),
    )
