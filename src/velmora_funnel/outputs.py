"""Curves written as files that read_result reads back bit for bit."""

from __future__ import annotations

import csv
import io
import os
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor

import numpy as np
from numpy.typing import NDArray

from . import _kernels

__all__ = ["write_curve"]

# Rows formatted per call: the text of a block (about 2.5 MB) stays in the
# cache on its way to the file.
_BLOCK_ROWS = 1 << 16
# Blocks formatted ahead of the one being written.
_AHEAD = 4


def write_curve(path: str, abscissa: str, label: str, t: NDArray[np.float64], y: NDArray[np.float64]) -> None:
    """Write the curve ``(t, y)`` as a CSV file with the header ``abscissa,label``.

    Each double is written as the shortest decimal that reads back as the same
    double (so the file is exact and as small as it can be); NaN and the
    infinities as ``nan``, ``inf``, ``-inf``. Long curves are formatted on
    every core, block by block, while the blocks before are written.
    """
    header = io.StringIO()
    csv.writer(header, lineterminator="\n").writerow([abscissa, label])
    t = np.ascontiguousarray(t, dtype=np.float64)
    y = np.ascontiguousarray(y, dtype=np.float64)
    starts = range(0, len(t), _BLOCK_ROWS)
    with open(path, "wb") as handle:
        handle.write(header.getvalue().encode("utf-8", "surrogateescape"))
        if len(starts) < 2 or (os.cpu_count() or 1) < 2:
            for start in starts:
                handle.write(_kernels.format_csv(t[start : start + _BLOCK_ROWS], y[start : start + _BLOCK_ROWS]))
            return
        # The formatting releases the interpreter lock, and so does the write.
        pool = _formatters()
        pending: deque[Future[bytes]] = deque()
        for start in starts:
            block = t[start : start + _BLOCK_ROWS], y[start : start + _BLOCK_ROWS]
            pending.append(pool.submit(_kernels.format_csv, *block))
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
