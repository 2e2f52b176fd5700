"""Result files in, curves out.

read_result() (readers) dispatches on a registry of readers with one
signature, ``(path, options)``: CSV (csv_reader), MAT files of Modelica tools
(mat_reader), Parquet and Arrow IPC (arrow_reader; Feather version 1 files in
feather_v1, over the checked flatbuffer reading of flatbuffers). ReadOptions (options)
says how; every reader returns a ResultTable (table) and raises
ResultFileError. csv_writer writes curves and tables that read back bit for
bit; atomic writes files whole or not at all. This layer builds on
comparison only.
"""

from .csv_writer import write_curve
from .options import FORMATS, READ_KEYS, RESULT_EXTENSIONS, ReadOptions
from .readers import READERS, read_result
from .table import ResultTable

__all__ = [
    "FORMATS",
    "READERS",
    "READ_KEYS",
    "RESULT_EXTENSIONS",
    "ReadOptions",
    "ResultTable",
    "read_result",
    "write_curve",
]
