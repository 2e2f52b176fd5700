"""``velmora-funnel batch REFERENCE_DIR TEST_DIR``: folders of result files
compared in parallel, with an HTML report on request."""

from __future__ import annotations

import argparse
import functools
import multiprocessing
import signal
import sys
import threading
from collections.abc import Iterator, Sequence
from contextlib import closing, contextmanager, nullcontext

from ..io import ReadOptions
from ..io.options import file_format
from ..reports import json_report
from ..reports.cells import count
from ..reports.table import Printer
from ..run import FileOutcome, RunOptions
from ..run.batch import run_batch
from ..run.outcomes import describe_exception
from ..run.pairs import pair_by_patterns, pair_files
from ..run.pool import default_workers
from .cluster import absolute, dask_executor, parse_shard, shard, shown_as_given
from .exits import (
    EXIT_CODES_HELP,
    UsageError,
    flags,
    side_flags,
    warn,
)
from .files import html_report, report_figures, writable_file
from .options import FLAGS, run_options
from .outputs import RunOutputs

__all__ = ["register"]


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser], *parents: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "batch",
        parents=list(parents),
        allow_abbrev=False,
        help="compare folders of result files in parallel",
        description="Pair the result files of two folders by relative path (or by name patterns, --pair) "
        "and compare all their variables.",
        epilog=EXIT_CODES_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "reference", metavar="REFERENCE_DIR", help="folder of reference result files (searched recursively)"
    )
    parser.add_argument("test", metavar="TEST_DIR", help="folder of test result files, paired by relative path")
    parser.add_argument("--jobs", type=int, metavar="N", help="worker processes (default and most: the usable cores)")
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run the pairs on a Dask cluster: tcp://HOST:PORT of its scheduler (the workers read the files "
        "from the same paths), or local:N for N worker processes here",
    )
    parser.add_argument(
        "--shard",
        metavar="K/N",
        help="compare only the K-th of N stable parts of the pairs (one per CI job; see merge)",
    )
    parser.add_argument(
        "--json",
        metavar="FILE",
        help="write the outcome as JSON to FILE, or to stdout for '-' (the table then goes to stderr)",
    )
    parser.add_argument(
        "--pair",
        nargs=2,
        metavar=("REFERENCE_PATTERN", "TEST_PATTERN"),
        help="pair files by name instead of by relative path: '{name}_ref.csv' '{name}_out.csv' pairs "
        "M_ref.csv with M_out.csv in the same folder (the two folders may be one; a pattern may hold "
        "folders, '{name}/{name}_ref.csv'); files that fit neither pattern are left out, with a warning",
    )
    parser.set_defaults(run=run)


class _Terminated(BaseException):
    """SIGTERM arrived: unwinds the batch so that its worker processes are ended too."""


def _raise_terminated(signum: int, frame: object) -> None:
    # A second SIGTERM ends the process at once, even in the middle of the cleanup.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    raise _Terminated


@contextmanager
def _sigterm_unwinds() -> Iterator[None]:
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _reads_csv(pairs: Sequence[tuple[str, str | None, str | None]], options: RunOptions) -> bool:
    """Whether a file of the pairs is read as CSV (by pandas)."""
    sides = options.sides()
    for _, reference, test in pairs:
        for path, reading in ((reference, sides[0]), (test, sides[1])):
            try:
                if path is not None and file_format(path, reading or ReadOptions())[0] == "csv":
                    return True
            except ValueError:
                continue  # a compressed MAT file: its pair says so when it is read
    return False


def run(args: argparse.Namespace) -> int:
    options = run_options(args)
    if args.jobs is not None and args.jobs < 1:
        raise UsageError(f"--jobs must be at least 1, got {args.jobs}")
    try:
        if args.pair is None:
            pairs = pair_files(args.reference, args.test)
        else:
            try:
                pairs, left_out = pair_by_patterns(args.reference, args.test, tuple(args.pair))
            except ValueError as exc:
                raise UsageError(f"--pair: {exc}") from None
            if left_out:
                shown = ", ".join(left_out[:3]) + (", ..." if len(left_out) > 3 else "")
                warn(f"--pair: {count(len(left_out), 'result file')} not compared, fitting neither pattern: {shown}")
    except NotADirectoryError as exc:
        raise UsageError(str(exc)) from None
    except OSError as exc:
        raise UsageError(f"{exc.filename}: cannot list the folder: {exc.strerror or exc}") from None
    if not pairs:
        raise UsageError(f"{args.reference}: no result files found (nor in {args.test})")
    if args.shard is not None:
        pairs = shard(pairs, *parse_shard(args.shard))
    if args.scheduler is not None and args.jobs is not None:
        raise UsageError("--jobs and --scheduler: the cluster's workers do the work; give one of them")
    for path, option in (
        (args.report, "--report"),
        (None if args.json == "-" else args.json, "--json"),
        (args.junit, "--junit"),
        (args.markdown, "--markdown"),
    ):
        if path:
            writable_file(path, option)
    jobs = args.jobs
    if jobs is not None and jobs > default_workers():
        # More processes than CPUs only adds memory and switching.
        print(f"velmora-funnel: --jobs {jobs} capped to the {default_workers()} usable CPUs", file=sys.stderr)
        jobs = default_workers()
    if args.scheduler is None and (jobs or default_workers()) > 1:
        # The workers fork from one server that imported what they all need
        # once, instead of each importing pandas (which only CSV files need:
        # a library of MAT files starts its pool without it). matplotlib is
        # left to the workers that draw: they import it side by side.
        preload = ["velmora_funnel.run.pairs", *(["pandas"] if _reads_csv(pairs, options) else [])]
        multiprocessing.get_context("forkserver").set_forkserver_preload(preload)
    progress = not args.quiet and sys.stderr.isatty()
    # JSON on stdout: the table and the summary go to stderr, so the JSON stays one document.
    out = Printer(progress=progress, stream=sys.stderr if args.json == "-" else None)
    report = html_report(args, options.describe()) if args.report else None
    figure = report_figures() if report is not None else None
    outputs = RunOutputs(args, out, report)

    # A cluster's workers run in folders of their own: they get absolute paths,
    # and the outcomes are shown with the paths as given.
    tasks, given = absolute(pairs) if args.scheduler is not None else (pairs, {})
    try:
        with (
            _sigterm_unwinds(),
            dask_executor(args.scheduler) if args.scheduler is not None else nullcontext() as executor,
            closing(
                run_batch(
                    tasks,
                    options=options,
                    figure=figure,
                    executor=executor,
                    jobs=jobs,
                    progress=progress,
                    advice=flags,
                    test_advice=functools.partial(side_flags, "test"),
                )
            ) as outcomes,
        ):
            try:
                for outcome in outcomes:
                    outputs.add(shown_as_given(outcome, given))
            except Exception as exc:
                # The batch itself broke down (its worker processes could not
                # start): the pairs not reported yet are unusable, for this reason.
                why = f"not compared: {describe_exception(exc)}"
                for rel, reference_path, test_path in pairs[outputs.counts["files"] :]:
                    outputs.add(FileOutcome(rel, reference_path, test_path, error=why))
    except _Terminated:
        print("velmora-funnel: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    unmatched = None
    if not outputs.problems and args.shard is None:
        # A glob that fits no variable of the whole run is a typo in the config or on the
        # command line (a shard holds part of the run: its globs need not all fit).
        unmatched = options.unmatched(frozenset(outputs.matched), spell=FLAGS)
    return outputs.conclude(lambda error: json_report.document(args.reference, args.test, options, error), unmatched)
