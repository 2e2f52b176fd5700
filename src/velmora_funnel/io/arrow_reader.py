"""Parquet and Arrow IPC (Feather) result files, read through pyarrow.

Columns are typed, so there is nothing to parse: floats and integers become
float64 exactly (an integer that float64 cannot hold is refused, not rounded),
booleans 1.0 and 0.0, a null, which is how pandas stores NaN in these files,
is NaN, and a dictionary-encoded column of numbers (a pandas category of
numbers) is read as its numbers. A column of anything else (text,
dictionary-encoded or not, lists, binary values) is not compared: it is
listed in the table's ``skipped`` with why, and refused only when asked
for by name; the abscissa must be numbers or date-times. The abscissa is
the first column, the pandas index when the file was written from a
DataFrame with one, or the column the time option names; an abscissa of
date-times becomes seconds since 1970-01-01T00:00:00 UTC, as in CSV files.

Every format takes the same steps, so a file gives the same answer whatever
it is stored as. The file is read, never mapped (an IPC file into memory
whole, no larger than the limit on what one file may decode to; Parquet
column chunk by column chunk, its size checked the same): a mapped file that a
simulation rewrites would change the values of a table already read, and one
it truncates would kill the process (SIGBUS) on the next read. The column
names and the pandas metadata are checked before any column is taken; what
the columns will decode to (Parquet's row and column chunk sizes, the
lengths and, decompressed, the buffer sizes of IPC record batches) is
checked against the limit before they are decoded; pyarrow's arrays are
validated in full before a value is converted; the arrays handed out are
copies that own their memory. Feather version 1 files are read by
feather_v1, which checks their footer, since pyarrow's reader of them does
not. Whatever pyarrow raises on a damaged file is a ResultFileError naming it.
"""

from __future__ import annotations

import json
import os
import struct
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..comparison.immutable import freeze
from ..errors import ResultFileError
from . import feather_v1
from .flatbuffers import Damaged, root
from .limits import check_size
from .options import ReadOptions
from .table import ResultTable, check_names, need, time_column

__all__ = ["read_arrow", "read_feather", "read_parquet"]

_IPC_FILE = b"ARROW1"


def read_parquet(path: str, options: ReadOptions) -> ResultTable:
    """Read a Parquet file: every column as float64."""
    return _read(path, "parquet", options)


def read_feather(path: str, options: ReadOptions) -> ResultTable:
    """Read a Feather file (version 1 or 2): every column as float64."""
    return _read(path, "feather", options)


def read_arrow(path: str, options: ReadOptions) -> ResultTable:
    """Read an Arrow IPC file (or stream): every column as float64."""
    return _read(path, "arrow", options)


def _load(path: str, limit: int) -> bytes:
    with open(path, "rb") as handle:
        size = os.fstat(handle.fileno()).st_size
        check_size(path, size, limit, "reading the file")
        # one byte more than its size, which shows a file that grows meanwhile
        # (a read of the limit itself would first take that much memory)
        data = handle.read(size + 1)
    if len(data) != size:
        raise ResultFileError(path, f"the file changed while it was being read (it had {size} bytes when opened)")
    return data


@contextmanager
def _refusing(path: str, kind: str, pa: Any) -> Iterator[None]:
    """pyarrow's errors on a damaged file (ArrowException and its kin, which
    also derive from OSError, ValueError, MemoryError ..., and the
    UnicodeDecodeError of a name or a text it decodes) as ResultFileError."""
    try:
        yield
    except ResultFileError:
        raise
    except Damaged as exc:
        raise ResultFileError(path, f"damaged {kind} file: {exc}") from None
    except (
        pa.ArrowException,
        OSError,
        ValueError,
        TypeError,
        KeyError,
        IndexError,
        NotImplementedError,
        MemoryError,
        OverflowError,
        RecursionError,
        struct.error,
    ) as exc:
        # pyarrow's words on one line, with what they quote from the file escaped
        words = " ".join(str(exc).split()) or type(exc).__name__
        words = "".join(char if char.isprintable() else f"\\x{ord(char):02x}" for char in words)
        raise ResultFileError(path, f"not a readable {kind} file: {words}") from None


def _read(path: str, kind: str, options: ReadOptions) -> ResultTable:
    pa = need(path, "pyarrow", "parquet", f"reading a {kind} file")
    with _refusing(path, kind, pa), ExitStack() as stack:
        if kind == "parquet":
            # Parquet is decoded chunk by chunk into new buffers: read, not
            # mapped, where it lies (reading it whole first would copy it twice)
            check_size(path, os.stat(path).st_size, options.limit, "reading the file")
            schema, decode = _parquet(pa, path, stack.enter_context(pa.OSFile(path)), options.limit)
        else:
            schema, decode = _ipc(pa, path, _load(path, options.limit), options.limit)
        names = _names(path, schema)
        if len(names) < 2:
            raise ResultFileError(
                path,
                f"the file has {len(names)} column{'s' if len(names) != 1 else ''}; need the abscissa and at least one variable",
            )
        check_names(path, names)
        time_index = _abscissa_index(path, schema, names, options)
        # by the schema, before decoding: a column that is not numbers is
        # never converted, and an abscissa of text is refused before a
        # Parquet dictionary of long texts decodes to far more than the file holds
        refusals = {
            name: refusal
            for number, name in enumerate(names, start=1)
            if (refusal := _refusal(pa, path, number, name, schema.field(number - 1).type, number - 1 == time_index))
        }
        table = decode(len(names))
        if not table.schema.equals(schema, check_metadata=False):
            raise Damaged("its columns decode to other types than its schema names")
        table.validate(full=True)  # offsets, dictionary codes and buffer sizes inside their buffers
        # Each column in memory of its own, which nobody else holds: frozen,
        # a comparison keeps it as it is instead of copying it.
        columns = {
            name: freeze(_values(pa, path, number, name, column, number - 1 == time_index))
            for number, (name, column) in enumerate(zip(names, table.columns, strict=True), start=1)
            if name not in refusals
        }
    abscissa = names[time_index]
    t = columns.pop(abscissa)
    skipped = {name: _reason(pa, schema.field(name).type) for name in refusals}
    return ResultTable(
        path=path,
        abscissa_name=abscissa,
        t=t,
        names=tuple(columns),
        _columns=columns,
        skipped=skipped,
        _refusals=refusals,
    )


def _names(path: str, schema: Any) -> list[str]:
    names = []
    for index in range(len(schema)):
        try:
            names.append(schema.field(index).name)
        except UnicodeDecodeError:
            raise ResultFileError(path, "the column's name is not UTF-8 text", column=index + 1) from None
    return names


def _check_rows(path: str, rows: int, columns: int, limit: int) -> None:
    check_size(path, rows * columns * 8, limit, f"{rows} rows of {columns} columns as float64")


# --- the formats: each gives the schema, and the table once its claims are checked


Decoder = Callable[[int], Any]


def _parquet(pa: Any, path: str, source: Any, limit: int) -> tuple[Any, Decoder]:
    pq = need(path, "pyarrow.parquet", "parquet", "reading a parquet file")
    try:
        handle = pq.ParquetFile(source)
    except UnicodeDecodeError:
        # pyarrow decodes every column's path as it opens the file
        raise ResultFileError(path, "a column's name is not UTF-8 text") from None
    metadata = handle.metadata

    def decode(columns: int) -> Any:
        groups = [metadata.row_group(index) for index in range(metadata.num_row_groups)]
        rows = [metadata.num_rows, *(group.num_rows for group in groups)]
        # A row group's own total of its uncompressed column chunks: pyarrow's
        # accessor of one column chunk's metadata aborts the process on some
        # damaged ones (a C++ exception it lets through), its reader does not.
        sizes = [group.total_byte_size for group in groups]
        if min(rows + sizes) < 0:
            raise Damaged("a negative row count or row group size")
        _check_rows(path, max(metadata.num_rows, sum(rows[1:])), columns, limit)
        check_size(path, sum(sizes), limit, "decoding its row groups")
        # not pandas' metadata: it would select the index by name, which
        # fails, with pyarrow's words, where a name is given twice
        return handle.read(use_pandas_metadata=False)

    return handle.schema_arrow, decode


def _ipc(pa: Any, path: str, data: bytes, limit: int) -> tuple[Any, Decoder]:
    if data[: len(feather_v1.MAGIC)] == feather_v1.MAGIC:
        table = feather_v1.read_table(path, memoryview(data), limit)
        return table.schema, lambda columns: table
    ipc = need(path, "pyarrow.ipc", "parquet", "reading an arrow file")
    source = pa.py_buffer(data)
    if data[: len(_IPC_FILE)] == _IPC_FILE:
        reader = ipc.open_file(source)
        claims = _file_claims(memoryview(data))
    else:
        # the Arrow stream format, which some tools write as .arrow too
        reader = ipc.open_stream(source)
        messages = ipc.MessageReader.open_stream(source)
        claims = _stream_claims(messages)

    def decode(columns: int) -> Any:
        rows, taken = claims()
        _check_rows(path, rows, columns, limit)
        check_size(path, taken, limit, "decompressing its record batches")
        return reader.read_all()

    return reader.schema, decode


def _batch_claims(metadata: memoryview, body: memoryview) -> tuple[int, int]:
    """The rows a message adds (record batches; a dictionary adds none) and
    the bytes its buffers take decoded: a compressed buffer starts with the
    length it decompresses to (-1: stored as it is)."""
    message = root(metadata)
    header_type, header = message.scalar(1, "B"), message.table(2)
    if header_type not in (2, 3):  # a schema, or tensors, which are not read
        return 0, 0
    batch = header.table(1) if header is not None and header_type == 2 else header
    if batch is None:
        raise Damaged("a record batch message without its header")
    length, compressed = batch.scalar(0, "q"), batch.table(3) is not None
    if length < 0:
        raise Damaged(f"a record batch of {length} rows")
    taken = 0
    for offset, size in batch.structs(2, "<qq"):
        if offset < 0 or size < 0 or offset + size > len(body):
            raise Damaged(f"a buffer at bytes {offset}..{offset + size} of a record batch body of {len(body)}")
        if compressed and size >= 8:
            (decompressed,) = struct.unpack_from("<q", body, offset)
            if decompressed < -1:
                raise Damaged(f"a buffer that decompresses to {decompressed} bytes")
            taken += size - 8 if decompressed == -1 else decompressed
        else:
            taken += size
    return (length if header_type == 3 else 0), taken


def _file_claims(data: memoryview) -> Callable[[], tuple[int, int]]:
    """Claims of the blocks the footer of an IPC file points to: the ones
    pyarrow's file reader reads."""

    def claims() -> tuple[int, int]:
        if len(data) < 2 * len(_IPC_FILE) + 4:
            raise Damaged(f"{len(data)} bytes, too few for the magic at both ends and a footer")
        (length,) = struct.unpack_from("<i", data, len(data) - 10)
        start = len(data) - 10 - length
        if length < 0 or start < len(_IPC_FILE):
            raise Damaged(f"a footer of {length} bytes in a file of {len(data)}")
        footer = root(data[start : len(data) - 10])
        rows = taken = 0
        for field in (2, 3):  # dictionaries, record batches
            for offset, size, _ in footer.structs(field, "<qi4xq"):
                if offset < 0 or size < 8 or offset + size > start:
                    raise Damaged(f"a block at bytes {offset}..{offset + size} of {start}")
                (first,) = struct.unpack_from("<i", data, offset)
                head = 8 if first == -1 else 4  # the continuation marker, or an older writer's bare length
                (flat,) = struct.unpack_from("<i", data, offset + head - 4)
                body_length = root(data[offset + head : offset + head + flat]).scalar(3, "q") if flat >= 0 else -1
                if flat < 0 or head + flat > size or body_length < 0 or offset + size + body_length > start:
                    raise Damaged(f"a message at byte {offset} that runs past its block")
                more_rows, more = _batch_claims(
                    data[offset + head : offset + head + flat],
                    data[offset + size : offset + size + body_length],
                )
                rows, taken = rows + more_rows, taken + more
        return rows, taken

    return claims


def _stream_claims(messages: Any) -> Callable[[], tuple[int, int]]:
    """Claims of the messages of an IPC stream, in the order the stream
    reader reads them."""

    def claims() -> tuple[int, int]:
        rows = taken = 0
        for message in messages:
            body = memoryview(message.body) if message.body is not None else memoryview(b"")
            more_rows, more = _batch_claims(memoryview(message.metadata), body)
            rows, taken = rows + more_rows, taken + more
        return rows, taken

    return claims


# --- the pandas metadata, and the columns' values


def _abscissa_index(path: str, schema: Any, names: list[str], options: ReadOptions) -> int:
    """The column the time option names, else the pandas index, else the first.

    A pandas metadata that cannot be read is refused, not ignored: the index
    it names decides the abscissa (pandas stores it after the data columns),
    and the first column in its place would compare the wrong curves. So is
    an index of more than one level, where no one column is the abscissa.
    With the time option the metadata is not needed, and not read."""
    chosen = time_column(path, names, options.time)
    if chosen is not None:
        return chosen
    raw = (schema.metadata or {}).get(b"pandas")
    if raw is None:
        return 0
    advice = "name the abscissa column with the time option"
    try:
        document = json.loads(raw)
    except UnicodeDecodeError:
        raise ResultFileError(path, f"damaged pandas metadata (not UTF-8 text); {advice}") from None
    except (ValueError, RecursionError):
        raise ResultFileError(path, f"damaged pandas metadata (not JSON); {advice}") from None
    if not isinstance(document, dict):
        raise ResultFileError(path, f"damaged pandas metadata (not a JSON object); {advice}")
    index = document.get("index_columns")
    if not isinstance(index, list) or not all(
        isinstance(entry, str) or (isinstance(entry, dict) and entry.get("kind") == "range") for entry in index
    ):
        raise ResultFileError(path, f"damaged pandas metadata: index_columns is not a list of names; {advice}")
    if len(index) > 1:
        levels = ", ".join(repr(entry) for entry in index if isinstance(entry, str))
        raise ResultFileError(
            path, f"the pandas index has {len(index)} levels ({levels}), so no one column is the abscissa; {advice}"
        )
    if not index or not isinstance(index[0], str):
        return 0  # no index, or a RangeIndex, which is not stored: the first column
    if index[0] not in names:
        raise ResultFileError(path, f"damaged pandas metadata: the index {index[0]!r} is no column; {advice}")
    return names.index(index[0])


def _refusal(pa: Any, path: str, number: int, name: str, kind_of: Any, abscissa: bool) -> ResultFileError | None:
    """None for a column that is read: numbers or booleans, dictionary-encoded
    or not, and date-times for the abscissa. Else the error that names it:
    raised at once for the abscissa, kept for any other column, which is
    skipped."""
    encoded = pa.types.is_dictionary(kind_of)
    values = kind_of.value_type if encoded else kind_of
    if pa.types.is_floating(values) or pa.types.is_integer(values) or (pa.types.is_boolean(values) and not abscissa):
        return None
    if abscissa and (pa.types.is_timestamp(values) or pa.types.is_date(values)):
        return None
    refusal = ResultFileError(
        path,
        f"values of type {values}{' (dictionary-encoded)' if encoded else ''}, expected numbers (floats or integers)",
        column=number,
        name=name,
    )
    if abscissa:
        raise refusal
    return refusal


def _reason(pa: Any, kind_of: Any) -> str:
    """Why a column of this type is not compared, in words."""
    values = kind_of.value_type if pa.types.is_dictionary(kind_of) else kind_of

    def any_of(*tests: str) -> bool:
        # the view types came with pyarrow 16
        return any(getattr(pa.types, test, lambda _: False)(values) for test in tests)

    if any_of("is_string", "is_large_string", "is_string_view"):
        return "text column"
    if any_of("is_list", "is_large_list", "is_fixed_size_list", "is_list_view", "is_large_list_view"):
        return "several numbers per cell"
    return f"values of type {values}"


def _values(pa: Any, path: str, number: int, name: str, column: Any, abscissa: bool) -> NDArray[np.float64]:
    """The column, of a type _refusal let through, as float64 in memory of its own."""
    if pa.types.is_dictionary(column.type):
        column = pa.chunked_array([chunk.dictionary_decode() for chunk in column.chunks], type=column.type.value_type)
    if abscissa and (pa.types.is_timestamp(column.type) or pa.types.is_date(column.type)):
        return _seconds(pa, column)
    try:
        converted = column.cast(pa.float64(), safe=True)
    except pa.ArrowInvalid:
        raise ResultFileError(
            path, "integers too large to be held exactly as float64", column=number, name=name
        ) from None
    # Copied out: to_numpy of float64 is a view of the Arrow buffer, which
    # here is a slice of the whole file read into memory.
    values = np.empty(len(converted), dtype=np.float64)
    at = 0
    for chunk in converted.chunks:
        values[at : at + len(chunk)] = chunk.to_numpy(zero_copy_only=False)  # nulls (pandas' NaN) become NaN
        at += len(chunk)
    return values


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
