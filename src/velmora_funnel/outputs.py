"""Curves written as files that read_result reads back bit for bit."""

from __future__ import annotations

import csv
import io

import numpy as np
from numpy.typing import NDArray

from . import _kernels

__all__ = ["write_curve"]


def write_curve(path: str, abscissa: str, label: str, t: NDArray[np.float64], y: NDArray[np.float64]) -> None:
    """Write the curve ``(t, y)`` as a CSV file with the header ``abscissa,label``.

    Each double is written as the shortest decimal that reads back as the same
    double (so the file is exact and as small as it can be); NaN and the
    infinities as ``nan``, ``inf``, ``-inf``.
    """
    header = io.StringIO()
    csv.writer(header, lineterminator="\n").writerow([abscissa, label])
    t = np.ascontiguousarray(t, dtype=np.float64)
    y = np.ascontiguousarray(y, dtype=np.float64)
    with open(path, "wb") as handle:
        handle.write(header.getvalue().encode("utf-8", "surrogateescape"))
        # In blocks: the text of a block stays in the cache on its way to the file.
        for start in range(0, len(t), _BLOCK_ROWS):
            stop = start + _BLOCK_ROWS
            handle.write(_kernels.format_csv(t[start:stop], y[start:stop]))


_BLOCK_ROWS = 1 << 16
