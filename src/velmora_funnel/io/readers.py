"""read_result(): the one entry point for result files, dispatching on a
registry of readers that all take ``(path, options)``."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import replace
from typing import Any

from ..errors import ResultFileError
from .arrow_reader import read_arrow, read_feather, read_parquet
from .csv_reader import read_csv
from .limits import check_regular
from .mat_reader import read_mat
from .options import ReadOptions, file_format
from .table import ResultTable

__all__ = ["READERS", "Reader", "read_result"]

#: A reader: a path and the reading options in, a table out; raises
#: ResultFileError for a file it cannot use, OSError for one it cannot open.
Reader = Callable[[str, ReadOptions], ResultTable]

#: The reader of each format. A new format is one more entry here (and in
#: io.options' FORMATS and extensions).
READERS: dict[str, Reader] = {
    "csv": read_csv,
    "mat": read_mat,
    "parquet": read_parquet,
    "feather": read_feather,
    "arrow": read_arrow,
}


def read_result(path: str | os.PathLike[str], options: ReadOptions | None = None, **overrides: Any) -> ResultTable:
    """Read a result file, in the format its extension names (or ``options.format``):

    - CSV (``.csv``, and ``.csv.gz``, ``.csv.bz2``, ``.csv.xz``, ``.csv.zst``
      read as a stream; anything else unknown is read as CSV): a header row
      of column names, then one row per sample. The dialect is set by the
      options: ``delimiter``, ``decimal``, ``comment``, ``units_row``,
      ``empty_as_nan``. A column is read as what its first non-empty cell
      holds (io.csv_cells): numbers (``nan`` and ``inf`` spellings are
      numbers, an empty cell is not unless ``empty_as_nan``), or ``true`` and
      ``false`` in any case, read as 1.0 and 0.0; a column of text or of
      several numbers per cell is skipped (``ResultTable.skipped``). An empty
      header cell at the end over an empty column is dropped. An abscissa of
      ISO 8601 date-times is read as seconds since 1970-01-01T00:00:00 UTC.
    - MAT result files of Modelica tools (``.mat``, versions 4 and 5), whose
      variables are decoded when first asked for; a description's trailing
      ``[unit]`` is the variable's unit.
    - Parquet (``.parquet``) and Arrow IPC (``.feather``, ``.arrow``):
      numbers and booleans; other columns skipped.

    The abscissa is the first column (the first variable of a MAT file), or
    the one ``time`` names. ``overrides`` set single options, e.g.
    ``read_result(path, delimiter=";", decimal=",")``. Raises ResultFileError
    naming the file and, where it applies, the variable, the row and the
    column (with the options that would read it, where the file shows
    them), and OSError when the file cannot be opened.
    """
    path = os.fspath(path)
    options = options or ReadOptions()
    if overrides:
        options = replace(options, **overrides)
    try:
        kind, _ = file_format(path, options)
    except ValueError as exc:
        raise ResultFileError(path, str(exc)) from None
    # A FIFO or a device would block the reader, or never end.
    check_regular(path)
    return READERS[kind](path, options)
