"""Files written whole or not at all.

A report or a reference is written into a new file beside its destination,
flushed to the disk and renamed over it: whoever reads it (a CI job, another
pytest worker comparing with the same reference) sees the old file or the new
one, never a mix of two writers or the start of a write that failed.
"""

from __future__ import annotations

import os
import re
import secrets
import shutil
import stat
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from typing import IO, Any

__all__ = ["TEMPORARY", "copy_replacing", "replacing", "sweep", "sync_folder"]

#: The names of the temporary files written beside a destination (the
#: shorter form is what earlier versions left, through tempfile.mkstemp).
TEMPORARY = re.compile(r"\.velmora-funnel-(?:[0-9a-f]{16}|[a-z0-9_]{8})\.tmp")


@contextmanager
def replacing(path: str | os.PathLike[str], mode: str = "w", *, permissions: int | None = None) -> Iterator[IO[Any]]:
    """A file (text in UTF-8 with ``mode="w"``, bytes with ``"wb"``) that
    replaces ``path`` once the block ends without an exception; otherwise
    ``path`` is left as it was. It keeps the permissions of the file it
    replaces (or takes ``permissions``); a new file gets what the umask
    leaves. The rename is made durable too (the folder is flushed)."""
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
            if permissions is not None or existing is not None:
                kept = permissions if permissions is not None else stat.S_IMODE(existing.st_mode)  # type: ignore[union-attr]
                os.fchmod(handle.fileno(), kept)
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, target)
        sync_folder(os.path.dirname(target))
    except BaseException:
        with suppress(OSError):
            os.unlink(temporary)
        raise


def _text(mode: str) -> dict[str, Any]:
    return {} if "b" in mode else {"encoding": "utf-8"}


def copy_replacing(
    source: str | os.PathLike[str], destination: str | os.PathLike[str], *, permissions: int | None = None
) -> None:
    """Copy ``source`` over ``destination`` as replacing() writes."""
    with open(source, "rb") as data, replacing(destination, "wb", permissions=permissions) as out:
        shutil.copyfileobj(data, out, 1 << 20)


def sync_folder(folder: str | os.PathLike[str]) -> None:
    """Make the folder's entries (a rename, a removal) survive a crash."""
    descriptor = os.open(folder or ".", os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def sweep(folder: str | os.PathLike[str]) -> None:
    """Remove the temporary files a killed writer left in ``folder`` (only
    while the caller holds the folder, so that no writer is at work there)."""
    with suppress(FileNotFoundError), os.scandir(folder) as entries:
        for entry in entries:
            if TEMPORARY.fullmatch(entry.name) and entry.is_file(follow_symlinks=False):
                os.unlink(entry.path)
