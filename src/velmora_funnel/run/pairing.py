"""Which files of two folders pair: by relative path (the default), or by
name patterns (``{name}_ref.csv`` with ``{name}_out.csv``) for a library
that keeps each reference beside its run."""

from __future__ import annotations

import os
import re
from collections.abc import Mapping

from ..io import RESULT_EXTENSIONS

__all__ = ["name_pattern", "pair_by_patterns", "pair_files"]


def _result_files(directory: str) -> dict[str, str]:
    """The result files under ``directory`` by relative path. Symlinked
    folders are walked like any other (a run kept in several places has all
    its files), except one that leads back to a folder above it, which would
    go on for ever. A folder that cannot be listed raises OSError: a run
    with files left out would compare (or accept) less than it has."""
    found = {}

    def fail(error: OSError) -> None:
        raise error

    # The real folders above each folder walked, to know a loop when a symlink closes one.
    above: dict[str, frozenset[tuple[int, int]]] = {directory: frozenset()}
    for root, dirs, files in os.walk(directory, onerror=fail, followlinks=True):
        info = os.stat(root)
        here = above.pop(root) | {(info.st_dev, info.st_ino)}
        dirs.sort()
        for name in list(dirs):
            child = os.path.join(root, name)
            try:
                inner = os.stat(child)
            except OSError:
                continue  # gone since it was listed; os.walk skips it the same way
            if (inner.st_dev, inner.st_ino) in here:
                dirs.remove(name)
            else:
                above[child] = here
        for name in files:
            if name.lower().endswith(RESULT_EXTENSIONS):
                path = os.path.join(root, name)
                found[os.path.relpath(path, directory).replace(os.sep, "/")] = path
    return found


def _stem(relative: str) -> str:
    """The relative path without its result-file extension ("a/run.csv.gz" -> "a/run")."""
    lower = relative.lower()
    return relative[: -len(max((e for e in RESULT_EXTENSIONS if lower.endswith(e)), key=len))]


#: The part of a --pair pattern that stands for the name both files share.
NAME_FIELD = "{name}"


def name_pattern(pattern: str) -> re.Pattern[str]:
    """A ``--pair`` pattern (``{name}_ref.csv``, ``{name}/{name}_ref.csv``) as
    a regular expression on relative paths: ``{name}`` (one folder or file
    name's worth, the same text wherever it occurs) is the group "name", the
    folders above what the pattern spells are the group "folder". Raises
    ValueError for a pattern without ``{name}``, with another field in
    braces, or one that leaves its folder."""
    pieces = pattern.replace(os.sep, "/").split(NAME_FIELD)
    if len(pieces) < 2:
        raise ValueError(f"{pattern!r} has no {NAME_FIELD}: it must say where the shared name stands")
    if any("{" in piece or "}" in piece for piece in pieces):
        raise ValueError(f"{pattern!r}: {NAME_FIELD} is the only field a pattern may have")
    if pattern.startswith("/") or ".." in pattern.split("/"):
        raise ValueError(f"{pattern!r}: a pattern is a path inside the folder (no leading '/', no '..')")
    body = "(?P<name>[^/]+)".join([re.escape(pieces[0]), *(re.escape(p) for p in pieces[1:2])])
    for piece in pieces[2:]:
        body += "(?P=name)" + re.escape(piece)
    return re.compile(f"(?P<folder>(?:.*/)?){body}")


def _by_pattern(files: Mapping[str, str], pattern: re.Pattern[str]) -> dict[tuple[str, str], str]:
    """The relative paths of ``files`` that fit ``pattern``, by (folder, name)."""
    found = {}
    for rel in files:
        fit = pattern.fullmatch(rel)
        if fit is not None:
            found[(fit["folder"], fit["name"])] = rel
    return found


def pair_by_patterns(
    reference_dir: str | os.PathLike[str], test_dir: str | os.PathLike[str], patterns: tuple[str, str]
) -> tuple[list[tuple[str, str | None, str | None]], list[str]]:
    """Pair the result files of two folders (which may be one folder) by
    name patterns, ``("{name}_ref.csv", "{name}_out.csv")``: a reference file
    fits the first, its test file the second with the same name, in the
    same folder relative to each side's folder. Gives the pairs as
    pair_files() does (named by the reference's relative path, the test's
    for a file only the test side has) and the result files that fit
    neither pattern (left out). In one folder, a file that fits both
    patterns belongs to the one that spells more of it. Raises ValueError
    for a bad pattern, and what pair_files() raises."""
    reference_dir, test_dir = os.fspath(reference_dir), os.fspath(test_dir)
    for directory in (reference_dir, test_dir):
        if not os.path.isdir(directory):
            raise NotADirectoryError(f"{directory}: not a directory")
    compiled = [name_pattern(pattern) for pattern in patterns]
    same = os.path.realpath(reference_dir) == os.path.realpath(test_dir)
    if same and patterns[0] == patterns[1]:
        raise ValueError(f"both patterns are {patterns[0]!r}: in one folder each file would pair with itself")
    files = [_result_files(reference_dir), _result_files(test_dir)]
    sides = [_by_pattern(side, pattern) for side, pattern in zip(files, compiled, strict=True)]
    if same:
        spelled = [len(p.replace(NAME_FIELD, "")) for p in patterns]
        both = set(sides[0].values()) & set(sides[1].values())
        if both and spelled[0] == spelled[1]:
            raise ValueError(f"{sorted(both)[0]!r} fits both patterns: make one of them spell more of the name")
        loser = sides[0] if spelled[0] < spelled[1] else sides[1]
        for key in [key for key, rel in loser.items() if rel in both]:
            del loser[key]
    taken = set(sides[0].values()) | set(sides[1].values())
    unpaired = sorted(rel for side in files for rel in side if rel not in taken)
    found: dict[str, tuple[str | None, str | None]] = {}
    for key, rel in sides[0].items():
        test_rel = sides[1].get(key)
        found[rel] = (files[0][rel], files[1][test_rel] if test_rel is not None else None)
    for key, rel in sides[1].items():
        if key not in sides[0]:
            found[rel] = (None, files[1][rel])
    return [(rel, *found[rel]) for rel in sorted(found)], sorted(set(unpaired))


def pair_files(
    reference_dir: str | os.PathLike[str], test_dir: str | os.PathLike[str]
) -> list[tuple[str, str | None, str | None]]:
    """Pair the result files of two folders (searched recursively; CSV,
    compressed CSV, MAT, Parquet, Feather, Arrow) by their relative path:
    ``(relative_path, reference_path, test_path)``, sorted, with None on the
    side where the file is missing. Files of the same relative path pair
    first; then a file pairs with one of another format and the same path
    otherwise ("run.mat" with "run.csv") when that match is unique on both
    sides, and is named by the reference's relative path. Raises
    NotADirectoryError for a folder that does not exist, and OSError for a
    folder below that cannot be listed."""
    reference_dir, test_dir = os.fspath(reference_dir), os.fspath(test_dir)
    for directory in (reference_dir, test_dir):
        if not os.path.isdir(directory):
            raise NotADirectoryError(f"{directory}: not a directory")
    reference, test = _result_files(reference_dir), _result_files(test_dir)
    pairs = {rel: (reference[rel], test[rel]) for rel in set(reference) & set(test)}
    alone = [{rel: path for rel, path in side.items() if rel not in pairs} for side in (reference, test)]
    stems: list[dict[str, list[str]]] = [{}, {}]
    for side, files in zip(stems, alone, strict=True):
        for rel in files:
            side.setdefault(_stem(rel), []).append(rel)
    for stem, (reference_rel,) in ((s, r) for s, r in stems[0].items() if len(r) == 1):
        if len(stems[1].get(stem, ())) == 1:
            test_rel = stems[1][stem][0]
            pairs[reference_rel] = (alone[0].pop(reference_rel), alone[1].pop(test_rel))
    found: dict[str, tuple[str | None, str | None]] = dict(pairs)
    found.update({rel: (path, None) for rel, path in alone[0].items()})
    found.update({rel: (None, path) for rel, path in alone[1].items()})
    return [(rel, *found[rel]) for rel in sorted(found)]
