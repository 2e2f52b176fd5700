"""How a result file is read: its format and, for CSV, its dialect.

ReadOptions is one frozen value so that the command line, read_result() and
a config file can all build it and hand it to worker processes unchanged.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Literal

from ..errors import SettingError
from .limits import DEFAULT_MAX_BYTES, parse_size

__all__ = ["COMPRESSIONS", "FORMATS", "READ_KEYS", "RESULT_EXTENSIONS", "Compression", "ReadOptions", "file_format"]


#: Formats a file can be read as; "arrow" reads the Arrow IPC file format
#: that ``.feather`` (version 2) files also use.
FORMATS = ("csv", "mat", "parquet", "feather", "arrow")

# Compressed CSV is streamed through the standard library's decompressors
# (zstandard's for .zst), so each suffix maps to pandas' name for it.
Compression = Literal["gzip", "bz2", "xz", "zstd"]
COMPRESSIONS: dict[str, Compression] = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zstd"}

_BY_EXTENSION = {".csv": "csv", ".mat": "mat", ".parquet": "parquet", ".feather": "feather", ".arrow": "arrow"}

#: Extensions of result files, as batch pairs them (compressed CSV included).
RESULT_EXTENSIONS = (*_BY_EXTENSION, *(".csv" + suffix for suffix in COMPRESSIONS))

_DELIMITERS = {",": ",", ";": ";", "\t": "\t", "tab": "\t", "\\t": "\t", "auto": "auto"}


@dataclass(frozen=True)
class ReadOptions:
    """Options for reading a result file.

    ``format``: one of FORMATS, or None to choose by the file's extension
    (anything unknown is read as CSV). The CSV dialect: ``delimiter`` (",",
    ";", tab, or "auto" to sniff it from the first rows), ``decimal`` ("." or
    ","), ``comment`` (a character that starts a comment line, e.g. "#"),
    ``units_row`` (the row under the header holds units: kept as the
    variables' units, not read as data), ``empty_as_nan`` (an empty cell is a
    missing value, NaN, instead of an error). ``time`` names the abscissa
    column (every format; the first column by default). ``max_bytes`` limits
    what one file may decode to (bytes, or a size such as ``"16G"``; None:
    limits.DEFAULT_MAX_BYTES, a quarter of the physical memory and at most
    8 GiB): a file that would take more is refused, not read.
    """

    format: str | None = None
    delimiter: str = ","
    decimal: str = "."
    comment: str | None = None
    units_row: bool = False
    time: str | None = None
    empty_as_nan: bool = False
    max_bytes: int | str | None = None

    def __post_init__(self) -> None:
        # A config file hands over whatever TOML holds: check the kinds too.
        for key, kind in _KINDS.items():
            value = getattr(self, key)
            if isinstance(value, bool) and kind is not bool:  # True is an int to isinstance
                raise SettingError(key, f"{value!r} is not {_KIND_NAMES[kind]}")
            if not (isinstance(value, kind) or (value is None and key in _OPTIONAL)):
                raise SettingError(key, f"{value!r} is not {_KIND_NAMES[kind]}")
        if self.format is not None and self.format not in FORMATS:
            raise SettingError("format", f"{self.format!r} is not one of {', '.join(FORMATS)}")
        if self.delimiter not in _DELIMITERS:
            raise SettingError("delimiter", f"{self.delimiter!r} is not one of ',', ';', tab, 'auto'")
        object.__setattr__(self, "delimiter", _DELIMITERS[self.delimiter])
        if self.decimal not in {".", ","}:
            raise SettingError("decimal", f"{self.decimal!r} is not '.' or ','")
        if self.decimal == self.delimiter:
            raise SettingError("decimal", f"the decimal mark {self.decimal!r} is also the delimiter")
        if self.comment is not None and (
            len(self.comment) != 1 or self.comment in {self.delimiter, self.decimal, '"'} or self.comment.isalnum()
        ):
            raise SettingError(
                "comment",
                f"{self.comment!r} must be one character other than the delimiter, the decimal mark, a quote, a letter or a digit",
            )
        if self.time is not None and not self.time.strip():
            raise SettingError("time", "the abscissa column's name is empty")
        if isinstance(self.max_bytes, str):
            try:
                object.__setattr__(self, "max_bytes", parse_size(self.max_bytes))
            except ValueError as exc:
                raise SettingError("max_bytes", str(exc)) from None
        if isinstance(self.max_bytes, int) and self.max_bytes < 1:
            raise SettingError("max_bytes", f"{self.max_bytes!r} is not a size of at least one byte")

    @property
    def limit(self) -> int:
        """The bytes one file may decode to (``max_bytes``, or the default)."""
        return DEFAULT_MAX_BYTES if self.max_bytes is None else int(self.max_bytes)


_KINDS: dict[str, type | tuple[type, ...]] = {
    "format": str,
    "delimiter": str,
    "decimal": str,
    "comment": str,
    "units_row": bool,
    "time": str,
    "empty_as_nan": bool,
    "max_bytes": (int, str),
}
_OPTIONAL = {"format", "comment", "time", "max_bytes"}
_KIND_NAMES = {str: "a string", bool: "true or false", (int, str): "a size (bytes, or a text such as '16G')"}

#: The keys of ReadOptions, as a config file's [read] table takes them.
READ_KEYS: tuple[str, ...] = tuple(_KINDS)


def file_format(path: str, options: ReadOptions) -> tuple[str, Compression | None]:
    """The format to read ``path`` as, and the compression of a CSV file
    (None when it is plain): the forced format, else the extension's."""
    lower = os.fspath(path).lower()
    stem, last = os.path.splitext(lower)
    compression = COMPRESSIONS.get(last)
    if compression is not None:
        stem, last = os.path.splitext(stem)
    chosen = options.format or _BY_EXTENSION.get(last, "csv")
    if compression is not None and chosen != "csv":
        raise ValueError(f"a compressed {chosen} file is not read; decompress it first (only CSV is read compressed)")
    return chosen, compression
