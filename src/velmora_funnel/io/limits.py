"""What a reader may take: regular files only, and no more memory than a
limit on what one file may decode to.

A result file is bounded by its size on disk only when it is read as it is
stored. A compressed CSV stream, a compressed MAT element, a sparse file
whose header claims billions of points, a Parquet page: each can decode to
far more than the machine holds. Every reader checks what a file will take
against ``max_bytes`` (ReadOptions; by default a quarter of the physical
memory, at most 8 GiB) before taking it, and a stream is cut off the moment
it passes the limit, with a ResultFileError that names the file and the
option that raises the limit.
"""

from __future__ import annotations

import io
import os
import stat
from typing import BinaryIO

from ..errors import ResultFileError

__all__ = ["DEFAULT_MAX_BYTES", "LimitedReader", "check_regular", "check_size", "parse_size", "size_text"]


def _physical_memory() -> int:
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):  # pragma: no cover - not a POSIX system
        return 32 << 30


#: The default limit on the bytes one file may decode to: a quarter of the
#: physical memory (parsing and the arrays it gives take about as much
#: again), and never more than 8 GiB.
DEFAULT_MAX_BYTES = min(8 << 30, _physical_memory() // 4)

_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}


def parse_size(text: str) -> int:
    """``"512M"``, ``"8G"``, ``"1048576"``: a number of bytes (binary units,
    an optional trailing ``B`` or ``iB``). Raises ValueError."""
    cleaned = text.strip().lower().removesuffix("ib").removesuffix("b")
    number, unit = (cleaned[:-1], cleaned[-1]) if cleaned[-1:] in _UNITS else (cleaned, "")
    try:
        value = float(number) * _UNITS[unit]
    except ValueError:
        raise ValueError(f"{text!r} is not a size (a number of bytes, or with K, M, G or T)") from None
    if not value >= 1 or value != value or value == float("inf"):
        raise ValueError(f"{text!r} is not a size of at least one byte")
    return int(value)


def size_text(size: int) -> str:
    """``8 GiB``, ``512 MiB``, ``1000 bytes``: sizes in messages."""
    for unit, factor in (("TiB", 1 << 40), ("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= factor:
            return f"{size / factor:.3g} {unit}"
    return f"{size} bytes"


def _enough(limit: int, needed: int) -> str:
    """What to try next: what the file needs when it is known, else twice the
    limit, rounded up to a whole unit (``"2M"``)."""
    wanted = max(2 * limit, needed)
    for unit, factor in (("T", 1 << 40), ("G", 1 << 30), ("M", 1 << 20), ("K", 1 << 10)):
        if wanted >= factor:
            return f"{-(-wanted // factor)}{unit}"
    return str(wanted)


def _over(path: str, what: str, limit: int, needed: int = 0) -> ResultFileError:
    return ResultFileError(
        path,
        f"{what} than the limit of {size_text(limit)} on what one file may decode to",
        advice={"max_bytes": _enough(limit, needed)},
    )


def check_size(path: str, claimed: int, limit: int, what: str) -> None:
    """Refuse to take ``claimed`` bytes for ``what`` (``"matrix 'data_2'"``) beyond ``limit``."""
    if claimed > limit:
        raise _over(path, f"{what} would take {size_text(claimed)}, more", limit, claimed)


def check_regular(path: str) -> os.stat_result:
    """The file's status when it is a regular file; a FIFO, a device, a
    socket or a folder is refused at once (reading one blocks or never ends).
    Raises OSError when the file cannot be found."""
    status = os.stat(path)
    if stat.S_ISDIR(status.st_mode):
        raise ResultFileError(path, "is a directory, expected a result file")
    if not stat.S_ISREG(status.st_mode):
        kind = (
            "a FIFO"
            if stat.S_ISFIFO(status.st_mode)
            else "a socket"
            if stat.S_ISSOCK(status.st_mode)
            else "a device"
            if stat.S_ISCHR(status.st_mode) or stat.S_ISBLK(status.st_mode)
            else "not a file"
        )
        raise ResultFileError(path, f"not a regular file ({kind}): only result files are read")
    return status


class LimitedReader(io.RawIOBase):
    """A binary stream that raises ResultFileError once more than ``limit``
    bytes have been read from it (a decompressing stream: a bomb stops here,
    not in an allocation)."""

    def __init__(self, stream: BinaryIO, path: str, limit: int) -> None:
        super().__init__()
        self._stream, self._path, self._limit, self._taken = stream, path, limit, 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        data = self._stream.read(min(len(buffer), self._limit - self._taken + 1))
        count = len(data)
        self._taken += count
        if self._taken > self._limit:
            raise _over(self._path, "the file decompresses to more", self._limit)
        buffer[:count] = data
        return count

    def close(self) -> None:
        try:
            self._stream.close()
        finally:
            super().close()
