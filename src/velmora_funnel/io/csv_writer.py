"""Curves and tables written as CSV files that read_result reads back bit for bit."""

from __future__ import annotations

import csv
import io
import os
from collections import deque
from collections.abc import Sequence
from concurrent.futures import Future, ThreadPoolExecutor

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import _kernels

__all__ = ["write_curve", "write_table"]

# Rows formatted per call: the text of a block (about 2.5 MB) stays in the
# cache on its way to the file.
_BLOCK_ROWS = 1 << 16
# Blocks formatted ahead of the one being written.
_AHEAD = 4


def write_curve(path: str, abscissa: str, label: str, t: NDArray[np.float64], y: NDArray[np.float64]) -> None:
    """Write the curve ``(t, y)`` as a CSV file with the header ``abscissa,label``
    (see write_table)."""
    write_table(path, [abscissa, label], [t, y])


def write_table(path: str, header: Sequence[str], columns: Sequence[ArrayLike]) -> None:
    """Write columns of one length as a CSV file under the header ``header``.

    Each double is written as the shortest decimal that reads back as the same
    double (so the file is exact and as small as it can be); NaN and the
    infinities as ``nan``, ``inf``, ``-inf``. Long tables are formatted on
    every core, block by block, while the blocks before are written.
    """
    arrays = [np.ascontiguousarray(column, dtype=np.float64) for column in columns]
    # Checked before the file is opened: the formatter would refuse them only
    # after part of the file was written.
    if len(arrays) < 2 or len(header) != len(arrays):
        raise ValueError(
            f"write_table needs two or more columns, one name each; got {len(header)} names, {len(arrays)} columns"
        )
    if any(a.ndim != 1 or len(a) != len(arrays[0]) for a in arrays):
        raise ValueError("write_table needs 1-D columns of one length")
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerow(header)
    starts = range(0, len(arrays[0]), _BLOCK_ROWS)

    def block(start: int) -> list[NDArray[np.float64]]:
        return [array[start : start + _BLOCK_ROWS] for array in arrays]

    with open(path, "wb") as handle:
        handle.write(text.getvalue().encode("utf-8", "surrogateescape"))
        if len(starts) < 2 or (os.cpu_count() or 1) < 2:
            for start in starts:
                handle.write(_kernels.format_csv(*block(start)))
            return
        # The formatting releases the interpreter lock, and so does the write.
        pool = _formatters()
        pending: deque[Future[bytes]] = deque()
        for start in starts:
            pending.append(pool.submit(_kernels.format_csv, *block(start)))
            if len(pending) > _AHEAD:
                handle.write(pending.popleft().result())
        while pending:
            handle.write(pending.popleft().result())


_pool: ThreadPoolExecutor | None = None


def _formatters() -> ThreadPoolExecutor:
    """Threads kept for the next curve: each keeps its text buffer, which a
    new thread would have to fault in again."""
    global _pool
    if _pool is None:
        _pool = ThreadPoolExecutor(max_workers=os.cpu_count() or 1, thread_name_prefix="velmora-csv")
    return _pool
