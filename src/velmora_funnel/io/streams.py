"""Result files as streams of bytes: as stored, or decompressed as they are
read (no temporary copy), cut off at the limit on what a file may decode to,
and damaged whenever the stream ends early, whatever the compression."""

from __future__ import annotations

import bz2
import gzip
import importlib
import io
import lzma
import os
import zlib
from typing import Any, BinaryIO, cast

from ..errors import ResultFileError
from .limits import LimitedReader
from .options import COMPRESSIONS, Compression
from .table import need

__all__ = ["compression_of", "decompression_errors", "open_binary"]


def open_binary(path: str, compression: Compression | None, limit: int) -> BinaryIO:
    """The file's bytes: as stored, or decompressed as a stream that stops at ``limit``."""
    if compression is None:
        return open(path, "rb")
    stream: BinaryIO
    if compression == "zstd":
        # A raw stream read as a binary file: read() is all LimitedReader asks of it.
        stream = cast(BinaryIO, _ZstdReader(open(path, "rb"), path))  # noqa: SIM115 - it closes it
    else:
        # Opened by name, so that closing the decompressor closes the file.
        opener: Any = {"gzip": gzip.GzipFile, "bz2": bz2.BZ2File, "xz": lzma.LZMAFile}[compression]
        stream = opener(path, "rb")
    return io.BufferedReader(LimitedReader(stream, path, limit), 1 << 16)


class _ZstdReader(io.RawIOBase):
    """A zstd stream, decompressed frame by frame. zstandard's own stream
    reader ends quietly where the file is cut short; here a frame that the
    file does not finish is a damaged stream, as gzip, bz2 and xz report it."""

    def __init__(self, raw: BinaryIO, path: str) -> None:
        super().__init__()
        self._zstandard = need(path, "zstandard", "zstd", "reading a .zst file")
        self._raw, self._path = raw, path
        self._frame: Any = None
        self._pending = b""

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        while not self._pending:
            compressed = self._raw.read(1 << 16)
            if not compressed:
                if self._frame is not None and not self._frame.eof:
                    raise ResultFileError(self._path, "damaged zstd stream: the file ends inside a frame (cut short?)")
                return 0
            while compressed:
                if self._frame is None or self._frame.eof:
                    self._frame = self._zstandard.ZstdDecompressor().decompressobj()
                self._pending += self._frame.decompress(compressed)
                compressed = self._frame.unused_data if self._frame.eof else b""
        count = min(len(buffer), len(self._pending))
        buffer[:count] = self._pending[:count]
        self._pending = self._pending[count:]
        return count

    def close(self) -> None:
        try:
            self._raw.close()
        finally:
            super().close()


def compression_of(path: str) -> Compression | None:
    return COMPRESSIONS.get(os.path.splitext(path.lower())[1])


def decompression_errors(compression: str | None) -> tuple[type[BaseException], ...]:
    if compression is None:
        return ()
    errors: tuple[type[BaseException], ...] = (OSError, EOFError, lzma.LZMAError, zlib.error)
    if compression == "zstd":
        errors += (importlib.import_module("zstandard").ZstdError,)
    return errors
