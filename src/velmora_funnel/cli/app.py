"""The command line: ``velmora-funnel compare | batch | merge | accept | demo``.

Each command is a module with ``register(commands, *parents)``, which adds
its parser and the function that runs it; main() parses, runs, and maps
what went wrong to its exit code (cli.exits): 0 when every variable passed
(ignored ones aside), 1 when any failed or is missing, 2 for unusable input
(a file that cannot be read, time that goes back, a range the module
rejects, a bad option or config), with a one-line error that names the file
and what is wrong.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any

from .._version import __version__
from ..errors import PlotUnavailableError, ResultFileError
from ..reports import json_report
from ..reports.text import printable
from ..run.pool import keep_freed_memory
from . import accept, batch, compare, demo, merge
from .exits import EXIT_FAIL, EXIT_UNUSABLE, UsageError, unusable
from .options import attach_values, funnel_options, report_options

__all__ = ["entry_point", "main"]


def _parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        allow_abbrev=False,
        description="Decide whether test curves stay inside tolerance funnels around reference curves.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    funnel, reports = funnel_options(), report_options()
    compare.register(commands, funnel, reports)
    batch.register(commands, funnel, reports)
    merge.register(commands, reports)
    accept.register(commands, funnel)
    demo.register(commands)
    return parser


def _error_document(args: argparse.Namespace, message: str) -> None:
    """--json writes a document also when the input is unusable, with its ``error``."""
    if args.command not in ("compare", "batch") or not getattr(args, "json", None):
        return
    contents: dict[str, Any] = {"variables": [], "warnings": []} if args.command == "compare" else {"files": []}
    try:
        json_report.write_json(
            args.json, json_report.document(args.reference, args.test, None, message, summary=None, **contents)
        )
    except OSError:
        pass  # the path itself was the problem: the message says so


def main(argv: Sequence[str] | None = None, prog: str = "velmora-funnel") -> int:
    """Run the command line; returns the exit code."""
    args = _parser(prog).parse_args(attach_values(sys.argv[1:] if argv is None else argv))
    try:
        try:
            return int(args.run(args))
        except ResultFileError as exc:
            raise unusable(exc) from None
    except (UsageError, PlotUnavailableError) as exc:
        _error_document(args, str(exc))
        print(f"{prog}: error: {printable(str(exc))}", file=sys.stderr)
        return EXIT_UNUSABLE
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader (head, less) went away: stop quietly, like other tools.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAIL


def entry_point() -> None:
    """Console script ``velmora-funnel``."""
    keep_freed_memory()  # the command's own process
    raise SystemExit(main())
