"""``velmora-funnel accept REFERENCE TEST``: make a new run the reference,
after saying what changes. Only result files inside REFERENCE are written
or removed; the config stays."""

from __future__ import annotations

import argparse
import contextlib
import filecmp
import os
import stat
from collections.abc import Iterator
from typing import NamedTuple

from ..errors import ResultFileError
from ..io import RESULT_EXTENSIONS, ReadOptions
from ..io.atomic import copy_replacing, sweep, sync_folder
from ..io.options import file_format
from ..reports.cells import count
from ..reports.table import Printer
from ..run import RunOptions
from ..run.pairs import compare_tables, pair_files, read_checked
from .exits import EXIT_PASS, UsageError, unusable
from .options import run_options

__all__ = ["register"]


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser], *parents: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "accept",
        parents=list(parents),
        allow_abbrev=False,
        help="make a new run the reference",
        description="Replace the reference result files with the test files, after printing what "
        "changes. Only result files inside REFERENCE are written or removed; the config stays.",
        epilog="exit codes:\n  0  accepted (or, with --dry-run, printed what would change)\n"
        "  2  unusable input: a test file that cannot be read, a target outside REFERENCE, a bad\n"
        "     option or config; nothing was changed",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("reference", metavar="REFERENCE", help="reference file or folder")
    parser.add_argument("test", metavar="TEST", help="test file or folder (the run to accept)")
    parser.add_argument("--dry-run", action="store_true", help="only print what would change")
    parser.add_argument(
        "--prune",
        action="store_true",
        help="also remove the reference files the test run has none for (by default they stay: "
        "a crashed simulation writes no file)",
    )
    parser.set_defaults(run=run)


def _inside(path: str, folder: str) -> bool:
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder


class Step(NamedTuple):
    """One step of accepting."""

    #: "replace", "new", "remove" or "keep".
    action: str
    #: The file written, or removed.
    destination: str
    #: The test file written there.
    source: str | None
    #: What is printed.
    line: str
    #: The reference file of another name (another format) that the written
    #: one takes the place of: removed once the new one is in place.
    replaced: str | None = None


class _Target(NamedTuple):
    #: The name printed: the reference's relative path (the test's when new).
    rel: str
    #: Where the test file goes: named as the test file, so that its
    #: extension still says its format.
    destination: str
    #: The reference file it takes the place of; None when there is none.
    reference: str | None
    #: The test file; None when the test run no longer has it.
    source: str | None


def _folder_of(path: str) -> str:
    return os.path.dirname(path) or "."


def _real_folder(reference: str, test: str) -> str:
    """The real folder accept may write in: the reference folder, or the
    folder of the reference file, with its symlinks resolved."""
    return os.path.realpath(reference if os.path.isdir(test) else _folder_of(reference))


def _extension(path: str) -> str:
    lower = path.lower()
    return max((e for e in RESULT_EXTENSIONS if lower.endswith(e)), key=len, default=os.path.splitext(path)[1])


def _same_format(a: str, b: str) -> bool:
    try:
        return file_format(a, ReadOptions()) == file_format(b, ReadOptions())
    except ValueError:  # a compressed file of a format only read plain: by the extension alone
        return _extension(a).lower() == _extension(b).lower()


def _targets(reference: str, test: str) -> list[_Target]:
    """A target per result file."""
    if os.path.isdir(test):
        if os.path.exists(reference) and not os.path.isdir(reference):
            raise UsageError(f"{reference}: is a file, but {test} is a folder")
        if os.path.realpath(test) == os.path.realpath(reference) or _inside(test, reference):
            raise UsageError(f"{test}: lies inside the reference folder {reference}")
        if _inside(reference, test):
            # Each accepted run would hold the reference again, one folder deeper.
            raise UsageError(f"{reference}: lies inside the test folder {test}")
        if os.path.isdir(reference):
            pairs = pair_files(reference, test)
        else:
            pairs = [(rel, None, path) for rel, path, _ in pair_files(test, test)]
        targets = []
        for rel, old, path in pairs:
            # Paired across formats ("run.mat" with "run.csv"): the test file keeps its own name.
            named = rel if path is None else os.path.relpath(path, test).replace(os.sep, "/")
            targets.append(_Target(rel, os.path.join(reference, *named.split("/")), old, path))
        return targets
    if os.path.isfile(test):
        if os.path.isdir(reference):
            raise UsageError(f"{reference}: is a folder, but {test} is a file")
        old = reference if os.path.lexists(reference) else None
        destination = reference
        if not _same_format(reference, test):
            destination = reference[: len(reference) - len(_extension(reference))] + _extension(test)
            if os.path.lexists(destination):
                raise UsageError(
                    f"{destination}: exists already, and {test} would be accepted under this name (a file keeps "
                    f"its format's extension) instead of {reference}: nothing was changed"
                )
        return [_Target(os.path.basename(reference), destination, old, test)]
    raise UsageError(f"{test}: no such file or folder")


def _checked(folder: str, reference: str, test: str, targets: list[_Target]) -> None:
    """Refuse, before anything changes, a target that would write or remove
    outside the real reference folder (through a symlink), read the test run
    from inside it, or write over something that is no result file."""
    for target in targets:
        for path in (p for p in (target.destination, target.reference) if p is not None):
            if not _inside(path, folder):
                raise UsageError(
                    f"{path}: leads outside the reference folder {reference} (to {os.path.realpath(path)}): "
                    "not accepted, nothing was changed"
                )
            if os.path.lexists(path) and not os.path.isfile(path):
                raise UsageError(f"{path}: is not a regular file: not accepted, nothing was changed")
        if target.source is not None and os.path.isdir(test) and _inside(target.source, folder):
            raise UsageError(
                f"{target.source}: lies inside the reference folder {reference} (through a symlink): "
                "not accepted, nothing was changed"
            )


def plan(reference: str, test: str, options: RunOptions, *, prune: bool = False) -> list[Step]:
    """What accepting the test run does, file by file. Each file is parsed at
    most once, with the run's reading options; a file whose bytes are the
    reference's is not parsed at all. A reference the run has no file for is
    removed only when ``prune``: a run that crashed wrote none."""
    targets = _targets(reference, test)
    _checked(_real_folder(reference, test), reference, test, targets)
    steps: list[Step] = []
    for rel, destination, old, source in targets:
        if source is None:
            if prune:
                steps.append(Step("remove", destination, None, f"{rel}: gone in the test run: removed"))
            else:
                steps.append(Step("keep", destination, None, f"{rel}: gone in the test run: kept (--prune removes it)"))
            continue
        renamed = old is not None and old != destination
        if old is not None and not renamed and filecmp.cmp(old, source, shallow=False):
            steps.append(Step("keep", destination, source, f"{rel}: unchanged"))
            continue
        # A run that cannot be read never becomes the reference.
        try:
            new = read_checked(source, options.reading("test"))
        except (ResultFileError, OSError) as exc:
            raise UsageError(f"{unusable(exc)}: not accepted, nothing was changed") from None
        if old is None:
            # Two files given: the reference's name with the test file's extension, when that differs.
            named = (
                ""
                if os.path.basename(destination) == rel.rpartition("/")[2]
                else f" as {os.path.basename(destination)}"
            )
            steps.append(Step("new", destination, source, f"{rel}: new: written{named}"))
            continue
        # The name it is kept under when that is not the reference's own.
        under = f" by {os.path.relpath(destination, _folder_of(old))}" if renamed else ""
        replaced = old if renamed else None
        try:
            table = read_checked(old, options.reading("reference"))
        except (ResultFileError, OSError) as exc:
            line = f"{rel}: the reference cannot be read ({unusable(exc)}): replaced{under}"
            steps.append(Step("replace", destination, source, line, replaced))
            continue
        outcomes = [o for o, _ in compare_tables(table, new, options, file=rel)]
        failed = [o.name for o in outcomes if o.verdict in ("fail", "error")]
        held, kept = set(new.all_names), set(table.all_names)
        added = [
            o.name
            for o in outcomes
            if o.verdict == "new" or (o.verdict == "missing" and o.name in held and o.name not in kept)
        ]
        gone = [o.name for o in outcomes if o.verdict == "missing" and o.name in kept and o.name not in held]
        compared = [o for o in outcomes if o.verdict not in ("missing", "new", "ignored", "not_compared")]
        changes = [
            f"{len(failed)} of {count(len(compared), 'variable')} failed"
            + (f" ({', '.join(failed)})" if failed else "")
        ]
        if added:
            changes.append(f"new: {', '.join(added)}")
        if gone:
            changes.append(f"gone: {', '.join(gone)}")
        steps.append(Step("replace", destination, source, f"{rel}: {'; '.join(changes)}: replaced{under}", replaced))
    return steps


@contextlib.contextmanager
def _writing(folder: str) -> Iterator[None]:
    """Hold the reference folder for one accept at a time: while it is held,
    a temporary file of ours in it was left by an accept that was killed."""
    try:
        import fcntl
    except ImportError:  # no advisory locks here: one accept at a time is the user's to keep
        yield
        return
    descriptor = os.open(folder, os.O_RDONLY)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise UsageError(f"{folder}: another accept is writing to this reference; nothing was changed") from None
        yield
    finally:
        os.close(descriptor)


def _make_folders(folder: str) -> None:
    """Create the folder and those above it that are missing, each made durable."""
    missing = []
    while not os.path.isdir(folder) and _folder_of(folder) != folder:
        missing.append(folder)
        folder = _folder_of(folder)
    for path in reversed(missing):
        os.mkdir(path)
        sync_folder(_folder_of(path))


def _apply(steps: list[Step], folder: str) -> None:
    """Carry the steps out in the real reference folder ``folder``."""
    umask = os.umask(0)
    os.umask(umask)
    changed = [step for step in steps if step.action != "keep"]
    if not changed and not os.path.isdir(folder):
        return
    _make_folders(folder)
    with _writing(folder):
        for place in sorted({_folder_of(step.destination) for step in steps}):
            sweep(place)
        for step in changed:
            if step.action == "remove":
                os.unlink(step.destination)
                sync_folder(_folder_of(step.destination))
                continue
            _make_folders(_folder_of(step.destination))
            kept = step.replaced or step.destination
            # The replaced file's permissions (not its set-id bits); a new file those the umask leaves.
            mode = stat.S_IMODE(os.stat(kept).st_mode) & 0o777 if os.path.exists(kept) else 0o666 & ~umask
            # Written beside the reference and renamed over it: a reader never sees half a
            # file, and a crash leaves the old file or the new one.
            copy_replacing(step.source or "", step.destination, permissions=mode)
            if step.replaced is not None and not os.path.samefile(step.replaced, step.destination):
                os.unlink(step.replaced)
                sync_folder(_folder_of(step.replaced))


def run(args: argparse.Namespace) -> int:
    options = run_options(args)
    steps = plan(args.reference, args.test, options, prune=args.prune)
    out = Printer()
    for step in steps:
        out(
            step.line
            if not args.dry_run
            else step.line.replace(": replaced", ": would be replaced")
            .replace(": removed", ": would be removed")
            .replace(": written", ": would be written")
        )
    changed = [step for step in steps if step.action != "keep"]
    if args.dry_run:
        out(f"dry run: {count(len(changed), 'file')} would change, nothing was written")
        return EXIT_PASS
    try:
        _apply(steps, _real_folder(args.reference, args.test))
    except OSError as exc:
        raise UsageError(f"{exc.filename or args.reference}: cannot write: {exc.strerror or exc}") from None
    out(f"accepted: {count(len(changed), 'file')} changed in {args.reference}")
    return EXIT_PASS
