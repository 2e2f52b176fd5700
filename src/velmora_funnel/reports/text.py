"""Variable and file names as they leave the package: as file names and on a terminal.

Variable names come from the column headers of result files, which anyone can
write. Every output file named after a variable gets its name from
output_stem(), so a header can never reach outside the folder the user chose,
and every line printed to a terminal (and every plot title) goes through
printable(), so a header can never retitle, clear or reorder the user's
terminal.
"""

from __future__ import annotations

import hashlib
import re

__all__ = ["MAX_STEM", "output_stem", "printable"]

#: Longest file-name stem made from a variable name. File systems allow 255
#: bytes per name; this leaves room for the suffixes (".errors.csv", "~2").
MAX_STEM = 120

# Kept as they are: what reads well in a file name on every file system and
# never means anything to a shell or a path ("." only inside a name).
_UNSAFE = re.compile(r"[^A-Za-z0-9._\-\[\]]+")


def output_stem(name: str, taken: set[str]) -> str:
    """A file-name stem for variable ``name``, unique within ``taken``.

    Characters that are not letters, digits or ``._-[]`` become ``_``, leading
    dots go (no hidden files, no ``.`` or ``..``), so the stem never holds a
    path separator. A stem longer than MAX_STEM is cut and given a suffix made
    from a hash of the whole name, so it stays the same from run to run and
    two long names that share their start still differ. Stems are unique
    ignoring case (``a`` and ``A`` are one file on some file systems): a
    clash gets ``~2``, ``~3`` ... ``taken`` holds the stems given so far, in
    lower case, and is updated.
    """
    base = _UNSAFE.sub("_", name).lstrip(".") or "variable"
    if len(base) > MAX_STEM:
        digest = hashlib.sha256(name.encode("utf-8", "surrogatepass")).hexdigest()[:10]
        base = f"{base[: MAX_STEM - len(digest) - 1]}-{digest}"
    candidate, number = base, 1
    while candidate.lower() in taken:
        number += 1
        candidate = f"{base}~{number}"
    taken.add(candidate.lower())
    return candidate


def printable(text: str) -> str:
    """``text`` with every character a terminal would act on, rather than show,
    written as its Python escape (``\\x1b``, ``\\r``, ``\\u202e``)."""
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else repr(char)[1:-1] for char in text)
