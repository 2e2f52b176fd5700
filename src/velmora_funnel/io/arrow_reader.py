"""Parquet and Arrow IPC (Feather) result files, read through pyarrow.

Columns are typed, so there is nothing to parse: floats and integers become
float64 exactly (an integer that float64 cannot hold is refused, not rounded),
and a null, which is how pandas stores NaN in these files, is NaN. The
abscissa is the first column, the pandas index when the file was written
from a DataFrame with one, or the column the time option names; an abscissa
of date-times becomes seconds since 1970-01-01T00:00:00 UTC, as in CSV files.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..errors import ResultFileError
from .options import ReadOptions
from .table import ResultTable, check_names, need, time_column

__all__ = ["read_arrow", "read_feather", "read_parquet"]


def _table(path: str, kind: str) -> Any:
    pa = need(path, "pyarrow", "parquet", f"reading a {kind} file")
    open(path, "rb").close()  # a file that cannot be opened stays an OSError
    try:
        if kind == "parquet":
            return need(path, "pyarrow.parquet", "parquet", "reading a parquet file").read_table(path, memory_map=True)
        if kind == "feather":
            # version 1 files too, which the IPC reader does not know
            return need(path, "pyarrow.feather", "parquet", "reading a feather file").read_table(path, memory_map=True)
        ipc = need(path, "pyarrow.ipc", "parquet", "reading an arrow file")
        try:
            with pa.memory_map(path) as source:
                return ipc.open_file(source).read_all()
        except pa.ArrowInvalid:
            # the Arrow stream format, which some tools write as .arrow too
            with pa.memory_map(path) as source:
                return ipc.open_stream(source).read_all()
    except (pa.ArrowException, OSError) as exc:
        raise ResultFileError(path, f"not a readable {kind} file: {str(exc).strip()}") from None


def _abscissa_index(path: str, table: Any, names: list[str], options: ReadOptions) -> int:
    chosen = time_column(path, names, options.time)
    if chosen is not None:
        return chosen
    index_columns = (table.schema.pandas_metadata or {}).get("index_columns", [])
    if len(index_columns) == 1 and isinstance(index_columns[0], str) and index_columns[0] in names:
        return names.index(index_columns[0])
    return 0


def _seconds(pa: Any, column: Any) -> NDArray[np.float64]:
    """Date-times as seconds since 1970-01-01T00:00:00 UTC (the instant they
    name: a zoned time stamp is stored as UTC already)."""
    import pyarrow.compute as pc

    if pa.types.is_date(column.type):
        column = pc.cast(column, pa.timestamp("s"))
    # float64 with NaN for missing stamps, else int64
    raw: NDArray[np.float64 | np.int64] = (
        pc.cast(column, pa.timestamp("us", tz=column.type.tz)).cast(pa.int64()).to_numpy(zero_copy_only=False)
    )
    missing = np.isnan(raw) if raw.dtype.kind == "f" else np.zeros(len(raw), dtype=bool)
    ticks = np.nan_to_num(raw).astype(np.int64)
    seconds = (ticks // 1_000_000).astype(np.float64) + (ticks % 1_000_000).astype(np.float64) / 1e6
    seconds[missing] = np.nan
    return seconds


def read_parquet(path: str, options: ReadOptions) -> ResultTable:
    """Read a Parquet file: every column as float64."""
    return _read(path, "parquet", options)


def read_feather(path: str, options: ReadOptions) -> ResultTable:
    """Read a Feather file (version 1 or 2): every column as float64."""
    return _read(path, "feather", options)


def read_arrow(path: str, options: ReadOptions) -> ResultTable:
    """Read an Arrow IPC file (or stream): every column as float64."""
    return _read(path, "arrow", options)


def _read(path: str, kind: str, options: ReadOptions) -> ResultTable:
    table = _table(path, kind)
    import pyarrow as pa  # there: _table named the extra if it is not

    names = list(table.column_names)
    if len(names) < 2:
        raise ResultFileError(
            path,
            f"the file has {len(names)} column{'s' if len(names) != 1 else ''}; need the abscissa and at least one variable",
        )
    check_names(path, names)
    time_index = _abscissa_index(path, table, names, options)
    columns: dict[str, NDArray[np.float64]] = {}
    for number, (name, column) in enumerate(zip(names, table.columns, strict=True), start=1):
        kind_of = column.type
        if number - 1 == time_index and (pa.types.is_timestamp(kind_of) or pa.types.is_date(kind_of)):
            columns[name] = _seconds(pa, column)
            continue
        if not (pa.types.is_floating(kind_of) or pa.types.is_integer(kind_of)):
            raise ResultFileError(
                path, f"values of type {kind_of}, expected numbers (floats or integers)", column=number, name=name
            )
        try:
            converted = column.cast(pa.float64(), safe=True)
        except pa.ArrowInvalid:
            raise ResultFileError(
                path, "integers too large to be held exactly as float64", column=number, name=name
            ) from None
        # nulls (pandas' NaN) become NaN
        columns[name] = np.ascontiguousarray(converted.to_numpy(zero_copy_only=False), dtype=np.float64)
    abscissa = names[time_index]
    t = columns.pop(abscissa)
    return ResultTable(path=path, abscissa_name=abscissa, t=t, names=tuple(columns), _columns=columns)
