"""Globs on variable names: ``*`` (any run of characters) and ``?`` (any
one character) are the only wildcards, case-sensitive; every other
character, brackets included, stands for itself. Modelica names are full of
brackets (``x[1]``, ``R.T[1, 2]``), so ``x[*]`` fits ``x[1]`` and ``x[12]``,
as a user writing it means.

A glob is compiled once per pattern and matched without backtracking. It is
cut at its stars into pieces of fixed length; the first piece must start
the name, the last must end it, and each one between is found at its
leftmost place after the one before: the leftmost place never loses a match
that a later one would give, so nothing is ever tried twice and a name
costs at most its length times a piece's length.
"""

from __future__ import annotations

import functools
from collections.abc import Iterable, Sequence

__all__ = ["Glob", "GlobIndex", "compiled", "is_glob", "matches"]

#: One character of a piece: a run of literal text, or None for "?" (any one character).
_Atom = str | None

#: The characters that make a pattern a glob.
WILDCARDS = "*?"


def is_glob(pattern: str) -> bool:
    return any(char in pattern for char in WILDCARDS)


def literal_prefix(pattern: str) -> str:
    """The text every name the glob fits starts with."""
    cut = min((i for i in (pattern.find(c) for c in WILDCARDS) if i >= 0), default=len(pattern))
    return pattern[:cut]


def _pieces(pattern: str) -> list[list[_Atom]]:
    pieces: list[list[_Atom]] = [[]]
    text: list[str] = []

    def flush() -> None:
        if text:
            pieces[-1].append("".join(text))
            text.clear()

    starred = False
    for char in pattern:
        if char == "*":
            flush()
            if not starred:  # stars in a row are one star
                pieces.append([])
        elif char == "?":
            flush()
            pieces[-1].append(None)
        else:
            text.append(char)
        starred = char == "*"
    flush()
    return pieces


def _length(piece: Sequence[_Atom]) -> int:
    return sum(len(atom) if isinstance(atom, str) else 1 for atom in piece)


def _fits(piece: Sequence[_Atom], name: str, at: int) -> bool:
    """Whether the piece fits the name at ``at`` (the caller checked that it fits in length)."""
    for atom in piece:
        if atom is None:
            at += 1
        else:
            if not name.startswith(atom, at):
                return False
            at += len(atom)
    return True


class Glob:
    """One glob, compiled: ``Glob("*.der(*)").match("x.der(y)")``."""

    __slots__ = ("_anchor", "_lengths", "_pieces", "_starred", "pattern")

    def __init__(self, pattern: str) -> None:
        self.pattern = pattern
        pieces = _pieces(pattern)
        self._starred = len(pieces) > 1
        self._pieces = pieces
        self._lengths = [_length(piece) for piece in pieces]
        # Where a piece's first literal text sits, so a search jumps with str.find.
        self._anchor = [
            next(((offset, atom) for offset, atom in _offsets(piece) if isinstance(atom, str)), None)
            for piece in pieces
        ]

    def match(self, name: str) -> bool:
        """Whether the glob fits the name."""
        if name == self.pattern:
            return True
        pieces, lengths = self._pieces, self._lengths
        if not self._starred:
            return len(name) == lengths[0] and _fits(pieces[0], name, 0)
        stop = len(name) - lengths[-1]
        if lengths[0] > stop or not _fits(pieces[0], name, 0) or not _fits(pieces[-1], name, stop):
            return False
        at = lengths[0]
        for index in range(1, len(pieces) - 1):
            at = self._find(index, name, at, stop)
            if at < 0:
                return False
            at += lengths[index]
        return True

    def _find(self, index: int, name: str, start: int, stop: int) -> int:
        """The leftmost place from ``start`` where piece ``index`` fits and ends by ``stop``; -1 for none."""
        piece, length, anchor = self._pieces[index], self._lengths[index], self._anchor[index]
        last = stop - length
        at = start
        while at <= last:
            if anchor is not None:
                offset, text = anchor
                found = name.find(text, at + offset, last + offset + len(text))
                if found < 0:
                    return -1
                at = found - offset
            if _fits(piece, name, at):
                return at
            at += 1
        return -1


def _offsets(piece: Sequence[_Atom]) -> Iterable[tuple[int, _Atom]]:
    offset = 0
    for atom in piece:
        yield offset, atom
        offset += len(atom) if isinstance(atom, str) else 1


@functools.lru_cache(maxsize=4096)
def compiled(pattern: str) -> Glob:
    """The compiled glob, made once per pattern (per process)."""
    return Glob(pattern)


def matches(pattern: str, name: str) -> bool:
    """Whether a glob fits a variable name (case-sensitive; a pattern
    without wildcards fits the name it spells)."""
    return name == pattern or compiled(pattern).match(name)


class GlobIndex:
    """Many globs, for finding the ones a name fits without trying each:
    they are grouped by the literal text they start with, so a name tries
    only the globs whose start it has."""

    def __init__(self, patterns: Iterable[str]) -> None:
        self._groups: dict[str, list[tuple[int, Glob]]] = {}
        for index, pattern in enumerate(patterns):
            self._groups.setdefault(literal_prefix(pattern), []).append((index, compiled(pattern)))
        self._lengths = sorted({len(prefix) for prefix in self._groups})

    def hits(self, name: str) -> list[int]:
        """The indices of the globs that fit ``name``, in order."""
        found = []
        for length in self._lengths:
            if length > len(name):
                break
            for index, glob in self._groups.get(name[:length], ()):
                if glob.match(name):
                    found.append(index)
        found.sort()
        return found
