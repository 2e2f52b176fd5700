"""``velmora-funnel accept REFERENCE TEST``: make a new run the reference,
after saying what changes. Only result files inside REFERENCE are written
or removed; the config stays."""

from __future__ import annotations

import argparse
import filecmp
import os

from ..errors import ResultFileError
from ..io.atomic import copy_replacing
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
    )
    parser.add_argument("reference", metavar="REFERENCE", help="reference file or folder")
    parser.add_argument("test", metavar="TEST", help="test file or folder (the run to accept)")
    parser.add_argument("--dry-run", action="store_true", help="only print what would change")
    parser.set_defaults(run=run)


def _inside(path: str, folder: str) -> bool:
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder


#: One step of accepting: ``(action, destination, source, line)``, action
#: "replace", "new", "remove" or "keep".
Step = tuple[str, str, str | None, str]


def _targets(reference: str, test: str) -> list[tuple[str, str, bool, str | None]]:
    """``(relative path, destination, destination exists, source)`` per result file."""
    if os.path.isdir(test):
        if os.path.exists(reference) and not os.path.isdir(reference):
            raise UsageError(f"{reference}: is a file, but {test} is a folder")
        if os.path.realpath(test) == os.path.realpath(reference) or _inside(test, reference):
            raise UsageError(f"{test}: lies inside the reference folder {reference}")
        if os.path.isdir(reference):
            pairs = pair_files(reference, test)
        else:
            pairs = [(rel, None, path) for rel, path, _ in pair_files(test, test)]
        return [
            (rel, ref or os.path.join(reference, *rel.split("/")), ref is not None, path) for rel, ref, path in pairs
        ]
    if os.path.isfile(test):
        if os.path.isdir(reference):
            raise UsageError(f"{reference}: is a folder, but {test} is a file")
        return [(os.path.basename(test), reference, os.path.isfile(reference), test)]
    raise UsageError(f"{test}: no such file or folder")


def plan(reference: str, test: str, options: RunOptions) -> list[Step]:
    """What accepting the test run does, file by file. Each file is parsed at
    most once, with the run's reading options; a file whose bytes are the
    reference's is not parsed at all."""
    steps: list[Step] = []
    for rel, destination, exists, source in _targets(reference, test):
        if source is None:
            steps.append(("remove", destination, None, f"{rel}: gone in the test run: removed"))
            continue
        if exists and filecmp.cmp(destination, source, shallow=False):
            steps.append(("keep", destination, source, f"{rel}: unchanged"))
            continue
        # A run that cannot be read never becomes the reference.
        try:
            new = read_checked(source, options.read)
        except (ResultFileError, OSError) as exc:
            raise UsageError(f"{unusable(exc)}: not accepted, nothing was changed") from None
        if not exists:
            steps.append(("new", destination, source, f"{rel}: new: written"))
            continue
        try:
            old = read_checked(destination, options.read)
        except (ResultFileError, OSError) as exc:
            steps.append(
                ("replace", destination, source, f"{rel}: the reference cannot be read ({unusable(exc)}): replaced")
            )
            continue
        outcomes = [o for o, _ in compare_tables(old, new, options, file=rel)]
        failed = [o.name for o in outcomes if o.verdict in ("fail", "error")]
        added = [o.name for o in outcomes if o.verdict == "missing" and o.name in new and o.name not in old]
        gone = [o.name for o in outcomes if o.verdict == "missing" and o.name in old and o.name not in new]
        compared = [o for o in outcomes if o.verdict not in ("missing", "ignored")]
        changes = [
            f"{len(failed)} of {count(len(compared), 'variable')} failed"
            + (f" ({', '.join(failed)})" if failed else "")
        ]
        if added:
            changes.append(f"new: {', '.join(added)}")
        if gone:
            changes.append(f"gone: {', '.join(gone)}")
        steps.append(("replace", destination, source, f"{rel}: {'; '.join(changes)}: replaced"))
    return steps


def run(args: argparse.Namespace) -> int:
    options = run_options(args)
    steps = plan(args.reference, args.test, options)
    out = Printer()
    for _action, _, _, line in steps:
        out(
            line
            if not args.dry_run
            else line.replace(": replaced", ": would be replaced")
            .replace(": removed", ": would be removed")
            .replace(": written", ": would be written")
        )
    changed = [step for step in steps if step[0] != "keep"]
    if args.dry_run:
        out(f"dry run: {count(len(changed), 'file')} would change, nothing was written")
        return EXIT_PASS
    try:
        for action, destination, source, _ in changed:
            if action == "remove":
                os.unlink(destination)
                continue
            folder = os.path.dirname(destination) or "."
            os.makedirs(folder, exist_ok=True)
            # Written beside the reference and renamed over it: a reader never sees half a file,
            # and the file keeps the reference's permissions (mkstemp's would make it private).
            copy_replacing(source or "", destination)
    except OSError as exc:
        raise UsageError(f"{exc.filename or args.reference}: cannot write: {exc.strerror or exc}") from None
    out(f"accepted: {count(len(changed), 'file')} changed in {args.reference}")
    return EXIT_PASS
