"""MAT result files of Modelica simulation tools.

Such a file holds the matrices Aclass (its kind and storage order), name and
description (one text row per variable; a description's trailing "[unit]"
is the variable's unit), dataInfo (per variable: matrix,
signed 1-based column, interpolation, extrapolation), data_1 (constants and
parameters: values at the start and the stop time) and data_2 (trajectories:
one row per output point, the abscissa first). With storage order binTrans
every matrix but Aclass is stored transposed.

Version 4 files, which most tools write, and uncompressed version 5 files
are read lazily (io.mat_store): only the header of each matrix is read when
the file is opened, and a variable's values when the variable is first asked
for (one column of the file in binNormal order; in binTrans order, where a
variable lies strided through data_2, the matrix is read once and kept), so
comparing one variable of a file of thousands costs about one column, or one
plain read of data_2, not a decoding of the file (bench/measure_mat_readers.py
measures it against scipy.io.loadmat, which reads every matrix whole). A
compressed version 5 matrix, where no column can be read on its own, is
inflated whole when the file is opened (io.mat_v5). Both versions are read by
the package itself, in bounded steps: no file reaches code that could crash
the process on it.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterator, Mapping

import numpy as np
from numpy.typing import NDArray

from ..comparison.immutable import freeze
from ..errors import ResultFileError
from .mat_store import Matrices, Version4
from .mat_v5 import Version5
from .options import ReadOptions
from .table import ResultTable

__all__ = ["read_mat"]


class _Oriented:
    """A data matrix as its variables are laid out in binNormal: one row per
    output point, one column per stored variable, whatever the file's order."""

    def __init__(self, source: Matrices, name: str, transposed: bool) -> None:
        self.source, self.name, self.transposed = source, name, transposed
        rows, cols = source.shape(name)
        self.shape = (cols, rows) if transposed else (rows, cols)
        self.kind = source.kind(name)

    def column(self, index: int) -> NDArray[np.float64]:
        if self.transposed:
            # binTrans keeps one output point together: a variable lies
            # strided through the whole matrix.
            row = self.source.row(self.name, index)
            # a row of the laid-out matrix is read-only: shared as it is
            return row if not row.flags.writeable else _own(row)  # type: ignore[return-value]
        return _own(self.source.column(self.name, index))


def _own(values: NDArray[np.generic]) -> NDArray[np.float64]:
    """The values as float64 that nobody else holds (the caller may negate
    them in place): a column just read from the file already is one, a view
    of a matrix kept whole is copied."""
    if values.base is None and values.dtype == np.float64 and values.flags.writeable:
        return values  # type: ignore[return-value]
    return np.array(values, dtype=np.float64)


def _open(path: str, limit: int) -> Matrices:
    with open(path, "rb") as handle:
        if os.fstat(handle.fileno()).st_size == 0:
            raise ResultFileError(path, "empty file: not a MAT file")
        if handle.read(6) == b"MATLAB":  # the text header of versions 5 and 7.3
            return Version5(path, handle, limit)
        return Version4(path, handle, limit)


def _rows(source: Matrices, name: str, transposed: bool = False) -> list[str]:
    """The text rows of a matrix (its columns when stored transposed),
    without the blanks or NULs that pad them to the longest one."""
    matrix = source.matrix(name)
    matrix = matrix.T if transposed else matrix
    if matrix.dtype.kind == "U":  # version 5 text
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


# A unit at the end of a description, as Dymola writes it: "Angle [rad]",
# "[K]", "Torque [N.m|kN.m]" (the display unit after the bar) or
# "[:#(type=Boolean)]" (the variable's type, and no unit). Brackets inside
# the text ("x[1] of the pipe", "range [0, 1] of the valve") are no unit:
# the brackets must end the description, stand apart from the word before
# them and hold no blank or comma, as no unit does.
_UNIT = re.compile(r"(?:^|\s)\[([^\[\]\s,;]*)\]$")


def unit_of(description: str) -> str | None:
    """The unit a description ends with, or None."""
    found = _UNIT.search(description.rstrip())
    if found is None:
        return None
    unit = found.group(1).split(":#", 1)[0].split("|", 1)[0]
    return unit or None


def _units(source: Matrices, names: list[str], transposed: bool) -> dict[str, str]:
    """The units the description matrix gives, by variable name. Descriptions
    only label the variables: a file whose descriptions cannot be read (not
    text, not one per name, or none at all, as some tools write) is read
    without units."""
    if "description" not in source:
        return {}
    try:
        descriptions = _rows(source, "description", transposed)
    except ResultFileError:
        return {}
    if len(descriptions) != len(names):
        return {}
    return {name: unit for name, text in zip(names, descriptions, strict=True) if (unit := unit_of(text))}


# The largest matrix number or column dataInfo can give.
_LARGEST = 2**31 - 1


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
    source = _open(path, options.limit)
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
    if info.dtype.kind not in "uif":
        raise ResultFileError(path, "matrix 'dataInfo' holds text, expected numbers")
    # A float dataInfo is legal: its numbers must be integers a column index
    # can be (dimensions are 32-bit), or converting them would wrap around.
    info_values = np.asarray(info[:, :2], dtype=np.float64)
    with np.errstate(invalid="ignore"):
        bad = ~np.isfinite(info_values) | (info_values != np.round(info_values)) | (np.abs(info_values) > _LARGEST)
    if bad.any():
        row, col = (int(i) for i in np.argwhere(bad)[0])
        raise ResultFileError(
            path,
            f"dataInfo gives {float(info_values[row, col])!r} as the {('matrix', 'column')[col]}, expected an integer",
            name=names[row],
        )
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
            # in place where the column is this variable's alone
            y = np.negative(y, out=y if y.flags.writeable else None)
        if matrix == 1 and t is not None:
            # a constant or parameter: its values at the start and the stop time
            if len(y) == 1 or y[0] == y[-1] or (np.isnan(y[0]) and np.isnan(y[-1])) or len(t) < 2 or t[0] == t[-1]:
                y = np.full(len(t), y[0])
            else:
                y = np.interp(t, [t[0], t[-1]], [y[0], y[-1]])
        # Memory of its own, which nobody else holds: a comparison keeps the
        # column as it is instead of copying it for every variable.
        return freeze(y)

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
        units=_units(source, names, transposed),
    )
