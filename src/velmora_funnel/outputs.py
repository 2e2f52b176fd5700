"""Curves written as files that read_result reads back bit for bit."""

from __future__ import annotations

import csv
import io

import numpy as np
from numpy.typing import NDArray

__all__ = ["write_curve"]


def write_curve(path: str, abscissa: str, label: str, t: NDArray[np.float64], y: NDArray[np.float64]) -> None:
    """Write the curve ``(t, y)`` as a CSV file with the header ``abscissa,label``.

    Each double is written as the shortest decimal that reads back as the same
    double (so the file is exact and as small as it can be); NaN and the
    infinities as ``nan``, ``inf``, ``-inf``. With pyarrow installed (the
    ``parquet`` extra) its C++ formatter writes the numbers, about ten times
    faster than Python's own ``repr``, which is used otherwise.
    """
    header = io.StringIO()
    csv.writer(header, lineterminator="\n").writerow([abscissa, label])
    try:
        import pyarrow as pa
        import pyarrow.csv as pa_csv
    except ImportError:
        pa = None
    with open(path, "wb") as handle:
        handle.write(header.getvalue().encode("utf-8", "surrogateescape"))
        if len(t) == 0:
            return
        if pa is None:
            lines = map(",".join, zip(map(repr, t.tolist()), map(repr, y.tolist()), strict=True))
            handle.write(("\n".join(lines) + "\n").encode("ascii"))
            return
    # pyarrow appends through its own file, not through Python's: every
    # block it formats then skips a call back into the interpreter.
    options = pa_csv.WriteOptions(include_header=False, quoting_style="none")
    with pa.OSFile(path, "ab") as sink:
        pa_csv.write_csv(pa.table({"t": t, "y": y}), sink, options)
