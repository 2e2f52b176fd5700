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

__all__ = ["MAX_STEM", "encodable", "output_stem", "printable"]

#: Longest file-name stem made from a variable name. File systems allow 255
#: bytes per name; this leaves room for the suffixes (".errors.csv", "~2").
MAX_STEM = 120

# Kept as they are: what reads well in a file name on every file system and
# never means anything to a shell or a path ("." only inside a name).
_UNSAFE = re.compile(r"[^A-Za-z0-9._\-\[\]]+")
_DIGEST = 10
# What output_stem() appends: a safe name that ends like this is hashed too,
# so that it cannot be the stem of another name.
_HASHED = re.compile(rf"-[0-9a-f]{{{_DIGEST}}}$")


def output_stem(name: str, taken: set[str]) -> str:
    """A file-name stem for variable ``name``, unique within ``taken``.

    Characters that are not letters, digits or ``._-[]`` become ``_``, leading
    dots go (no hidden files, no ``.`` or ``..``), so the stem never holds a
    path separator. A name that is safe as it is stays as it is; any other
    (one that had to change, or is too long, or already ends as the suffix
    below does) gets a suffix made from a hash of the exact name, cut to
    MAX_STEM with it. So two names never share a stem (``a+b`` and ``a*b``, or
    ``.`` and ``..``, would both become ``a_b`` or nothing) and a stem stays
    the same from run to run. Stems are unique ignoring case (``a`` and ``A``
    are one file on some file systems): a clash gets ``~2``, ``~3`` ...
    ``taken`` holds the stems given so far, in lower case, and is updated.
    """
    base = _UNSAFE.sub("_", name).lstrip(".") or "variable"
    if base != name or len(base) > MAX_STEM or _HASHED.search(base):
        digest = hashlib.sha256(name.encode("utf-8", "surrogatepass")).hexdigest()[:_DIGEST]
        base = f"{base[: MAX_STEM - _DIGEST - 1]}-{digest}"
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


def encodable(text: str) -> str:
    """``text`` as it can be written in UTF-8: a file name whose bytes are not
    UTF-8 reaches Python with lone surrogates (``\\udcff``), which no UTF-8
    file can hold; each is written as its escape, as printable() shows it."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return "".join(repr(char)[1:-1] if "\ud800" <= char <= "\udfff" else char for char in text)
    return text
