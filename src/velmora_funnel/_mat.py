"""MAT result files of Modelica simulation tools.

Such a file holds the matrices Aclass (its kind and storage order), name and
description (one text row per variable), dataInfo (per variable: matrix,
signed 1-based column, interpolation, extrapolation), data_1 (constants and
parameters: values at the start and the stop time) and data_2 (trajectories:
one row per output point, the abscissa first). With storage order binTrans
every matrix but Aclass is stored transposed.

Version 4 files, which most tools write, are mapped into memory and only the
header of each matrix is read when the file is opened; a variable's values are
gathered from data_2 when the variable is first asked for, so comparing one
variable of a file of thousands costs about one column, not the whole file
(bench/measure_mat_readers.py measures it against scipy.io.loadmat, which
reads every matrix whole). Version 5 files (some tools write them, often
compressed, where no column can be read on its own) are read by scipy.io.
"""

from __future__ import annotations

import mmap
import os
from collections.abc import Callable, Iterator, Mapping

import numpy as np
from numpy.typing import NDArray

from .loader import ResultFileError, ResultTable, _need

__all__ = ["read_mat"]

# Precision digit of a version 4 matrix type -> element type.
_V4_TYPES = {0: "f8", 1: "f4", 2: "i4", 3: "i2", 4: "u2", 5: "u1"}
_HEADER = 20


class _Mapped:
    """The matrices of a version 4 file, mapped: views, no copies."""

    def __init__(self, path: str, buffer: mmap.mmap) -> None:
        self.path = path
        self.buffer = buffer
        self.matrices: dict[str, tuple[int, int, int, np.dtype[np.generic], bool]] = {}
        size, offset = len(buffer), 0
        while offset < size:
            if size - offset < _HEADER:
                if offset == 0:
                    raise ResultFileError(path, f"not a MAT file: {size} bytes, too few for a matrix header")
                raise ResultFileError(path, f"truncated MAT file: {size - offset} bytes at byte {offset}, too few for a matrix header")
            kind, rows, cols, imaginary, name_length = (int(v) for v in np.frombuffer(buffer, "<i4", 5, offset))
            order = "<"
            if not 0 <= kind < 1000:
                kind, rows, cols, imaginary, name_length = (int(v) for v in np.frombuffer(buffer, ">i4", 5, offset))
                order = ">"
                if not 1000 <= kind < 2000:
                    what = "not a MAT file" if offset == 0 else "damaged MAT file"
                    raise ResultFileError(path, f"{what}: no version 4 matrix header at byte {offset} (and no version 5 header at the start)")
            precision, text = kind // 10 % 10, kind % 10
            if kind // 100 % 10 != 0 or precision not in _V4_TYPES or text > 2 or rows < 0 or cols < 0 or imaginary not in (0, 1) or not 0 < name_length <= 4096:
                raise ResultFileError(path, f"damaged MAT file: bad matrix header at byte {offset} (type {kind}, {rows} x {cols})")
            name_end = offset + _HEADER + name_length
            raw_name = bytes(buffer[offset + _HEADER : min(name_end, size)])
            name = raw_name.split(b"\0", 1)[0].decode("latin-1")
            dtype = np.dtype(_V4_TYPES[precision]).newbyteorder(order)
            count = rows * cols * (1 + imaginary)
            end = name_end + count * dtype.itemsize
            if end > size:
                raise ResultFileError(path, f"truncated MAT file: matrix {name!r} ({rows} x {cols}) needs {end - size} bytes more than the file holds")
            if imaginary or text == 2:
                # complex or sparse: nothing of a result file; refused if asked for
                self.matrices[name] = (-1, rows, cols, dtype, False)
            else:
                self.matrices[name] = (name_end, rows, cols, dtype, text == 1)
            offset = end

    def __contains__(self, name: str) -> bool:
        return name in self.matrices

    def matrix(self, name: str) -> NDArray[np.generic]:
        offset, rows, cols, dtype, _ = self.matrices[name]
        if offset < 0:
            raise ResultFileError(self.path, f"matrix {name!r} is complex or sparse, expected real numbers or text")
        # stored column by column: the transposed view is the matrix itself
        return np.frombuffer(self.buffer, dtype, rows * cols, offset).reshape(cols, rows).T

class _Loaded:
    """The matrices of a version 5 file, read whole by scipy.io."""

    def __init__(self, path: str, wanted: list[str]) -> None:
        sio = _need(path, "scipy.io", "mat", "reading a MAT file of version 5")
        self.path = path
        try:
            self.matrices = sio.loadmat(path, variable_names=wanted, chars_as_strings=False, squeeze_me=False)
        except NotImplementedError:
            raise ResultFileError(path, "MAT file of version 7.3 (HDF5): not read; save the result as version 4 or 5") from None
        except Exception as exc:  # scipy raises many kinds for a damaged file
            raise ResultFileError(path, f"damaged MAT file of version 5: {exc}") from None

    def __contains__(self, name: str) -> bool:
        return name in self.matrices

    def matrix(self, name: str) -> NDArray[np.generic]:
        value = self.matrices[name]
        if not isinstance(value, np.ndarray) or value.dtype.kind not in "uifbU" or value.ndim != 2:
            raise ResultFileError(self.path, f"matrix {name!r} is not a matrix of numbers or text")
        return value

_MATRICES = ["Aclass", "name", "dataInfo", "data_1", "data_2"]


def _open(path: str) -> _Mapped | _Loaded:
    with open(path, "rb") as handle:
        if os.fstat(handle.fileno()).st_size == 0:
            raise ResultFileError(path, "empty file: not a MAT file")
        buffer = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
    if buffer[:6] == b"MATLAB":  # the text header of versions 5 and 7.3
        buffer.close()
        return _Loaded(path, _MATRICES)
    return _Mapped(path, buffer)


def _rows(source: _Mapped | _Loaded, name: str, transposed: bool = False) -> list[str]:
    """The text rows of a matrix (its columns when stored transposed),
    without the blanks or NULs that pad them to the longest one."""
    matrix = source.matrix(name)
    matrix = matrix.T if transposed else matrix
    if matrix.dtype.kind == "U":  # read by scipy.io
        return ["".join(row).rstrip(" \0") for row in matrix]
    # version 4 stores text as character codes, in any number type
    codes = np.asarray(matrix, dtype=np.float64)
    if codes.size and (not np.all(np.isfinite(codes)) or codes.min() < 0 or codes.max() > 255 or np.any(codes != np.round(codes))):
        raise ResultFileError(source.path, f"matrix {name!r} is not text: it holds numbers that are not character codes")
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


def read_mat(path: str, time: str | None = None) -> ResultTable:
    """Read a MAT result file; variables are decoded on first access."""
    source = _open(path)
    for required in ("Aclass", "name", "dataInfo", "data_2"):
        if required not in source:
            raise ResultFileError(path, f"not a Modelica result file: no matrix {required!r} (a result file holds Aclass, name, dataInfo, data_1 and data_2)")
    aclass = _rows(source, "Aclass")
    if not aclass or aclass[0] != "Atrajectory":
        raise ResultFileError(path, f"not a Modelica result file: Aclass starts with {aclass[0] if aclass else ''!r}, expected 'Atrajectory'")
    if len(aclass) < 4 or aclass[3] not in ("binNormal", "binTrans"):
        found = repr(aclass[3]) if len(aclass) >= 4 else "nothing"
        raise ResultFileError(path, f"not a Modelica result file: the fourth row of Aclass is {found}, expected 'binNormal' or 'binTrans'")
    transposed = aclass[3] == "binTrans"

    def oriented(name: str) -> NDArray[np.generic]:
        """The matrix as its variables are laid out in binNormal."""
        matrix = source.matrix(name)
        return matrix.T if transposed else matrix

    names = _rows(source, "name", transposed)
    info = oriented("dataInfo")
    if info.shape[0] != len(names) or info.shape[1] < 2:
        raise ResultFileError(path, f"dataInfo is {info.shape[0]} x {info.shape[1]}, expected one row of [matrix, column, ...] for each of the {len(names)} names")
    info_values = np.asarray(info[:, :2], dtype=np.float64)
    if not np.all(np.isfinite(info_values)) or np.any(info_values != np.round(info_values)):
        raise ResultFileError(path, "dataInfo holds numbers that are not integers")
    matrices, columns = info_values[:, 0].astype(np.int64), info_values[:, 1].astype(np.int64)
    if not names:
        raise ResultFileError(path, "no variables: the name matrix is empty")

    data: dict[int, NDArray[np.generic]] = {2: oriented("data_2")}
    if "data_1" in source:
        data[1] = oriented("data_1")
    index: dict[str, int] = {}
    for number, (name, matrix, column) in enumerate(zip(names, matrices, columns, strict=True)):
        if not name:
            raise ResultFileError(path, f"variable {number + 1} has an empty name")
        if name in index:
            raise ResultFileError(path, f"the name is given twice (variables {index[name] + 1} and {number + 1})", name=name)
        index[name] = number
        stored = 2 if matrix == 0 else int(matrix)  # 0 marks the abscissa, a column of data_2
        if stored not in (1, 2):
            raise ResultFileError(path, f"dataInfo names matrix {matrix}, expected 1 (data_1), 2 (data_2) or 0 (the abscissa)", name=name)
        if stored not in data:
            raise ResultFileError(path, "dataInfo points into data_1, but the file has no matrix 'data_1'", name=name)
        width = data[stored].shape[1]
        if column == 0 or abs(column) > width:
            raise ResultFileError(path, f"dataInfo points to column {column} of data_{stored}, which has {width} columns", name=name)
        if data[stored].dtype.kind not in "uif":
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
        y = np.array(stored[:, abs(column) - 1], dtype=np.float64)  # copies only this column
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
        raise ResultFileError(path, "the abscissa is a constant (data_1), expected a trajectory of data_2", name=abscissa_name)
    t = values(abscissa_name, None)
    variables = tuple(name for name in names if name != abscissa_name)
    return ResultTable(path=path, abscissa_name=abscissa_name, t=t, names=variables, _columns=_Columns(variables, lambda name: values(name, t)))
