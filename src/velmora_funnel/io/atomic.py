"""Files written whole or not at all.

A report or a reference is written into a new file beside its destination,
flushed to the disk and renamed over it: whoever reads it (a CI job, another
pytest worker comparing with the same reference) sees the old file or the new
one, never a mix of two writers or the start of a write that failed.
"""

from __future__ import annotations

import os
import secrets
import shutil
import stat
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from typing import IO, Any

__all__ = ["copy_replacing", "replacing"]


@contextmanager
def replacing(path: str | os.PathLike[str], mode: str = "w") -> Iterator[IO[Any]]:
    """A file (text in UTF-8 with ``mode="w"``, bytes with ``"wb"``) that
    replaces ``path`` once the block ends without an exception; otherwise
    ``path`` is left as it was."""
    target = os.path.realpath(os.fspath(path))  # a symbolic link keeps pointing where it did
    try:
        existing: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        existing = None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        # /dev/stdout, a pipe: there is nothing to rename over, and renaming
        # over a device would replace it.
        with open(target, mode, **_text(mode)) as handle:
            yield handle
        return
    # A name of its own, not derived from the destination's, so that it never
    # grows past the file system's limit; created as open() creates files
    # (the umask applies), not private as mkstemp makes them.
    temporary = os.path.join(os.path.dirname(target), f".velmora-funnel-{secrets.token_hex(8)}.tmp")
    try:
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except PermissionError:
        if existing is None:
            raise
        # The folder takes no new files, but its file may still be written:
        # in place, as a plain open() would.
        with open(target, mode, **_text(mode)) as handle:
            yield handle
        return
    try:
        handle = open(descriptor, mode, **_text(mode))  # noqa: SIM115 - closed below
    except BaseException:
        os.close(descriptor)
        os.unlink(temporary)
        raise
    try:
        with handle:
            if existing is not None:
                os.fchmod(handle.fileno(), stat.S_IMODE(existing.st_mode))
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, target)
    except BaseException:
        with suppress(OSError):
            os.unlink(temporary)
        raise


def _text(mode: str) -> dict[str, Any]:
    return {} if "b" in mode else {"encoding": "utf-8"}


def copy_replacing(source: str | os.PathLike[str], destination: str | os.PathLike[str]) -> None:
    """Copy ``source`` over ``destination`` as replacing() writes."""
    with open(source, "rb") as data, replacing(destination, "wb") as out:
        shutil.copyfileobj(data, out)
