"""``velmora-funnel merge A.json B.json ...``: the shards of one batch
(``batch --shard K/N --json``) combined into the outputs of one run."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any

from ..reports import json_report
from ..reports.table import Printer
from ..run import FileOutcome
from .exits import EXIT_CODES_HELP, UsageError
from .files import html_report, writable_file
from .outputs import RunOutputs

__all__ = ["register"]


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser], *parents: argparse.ArgumentParser) -> None:
    parser = commands.add_parser(
        "merge",
        parents=list(parents),
        allow_abbrev=False,
        help="combine the JSON of a batch's shards into the outputs of one run",
        description="Combine the --json documents of `batch --shard K/N` runs into the table, summary, "
        "JSON, JUnit, Markdown and report of one batch (the report without funnel plots: the JSON holds "
        "no pictures).",
        epilog=EXIT_CODES_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("documents", nargs="+", metavar="JSON", help="the --json document of each shard")
    parser.add_argument("--json", metavar="FILE", help="write the merged outcome as JSON to FILE, or to stdout for '-'")
    parser.set_defaults(run=run, shard=None)


def _load(path: str) -> dict[str, Any]:
    try:
        with open(path, encoding="utf-8") as handle:
            data = json.load(handle)
    except OSError as exc:
        raise UsageError(f"{path}: cannot read: {exc.strerror or exc}") from None
    except (ValueError, RecursionError) as exc:
        raise UsageError(f"{path}: not a JSON document: {exc}") from None
    if not isinstance(data, dict) or not isinstance(data.get("files"), list):
        raise UsageError(f"{path}: not the --json document of a batch (it has no list of files)")
    return data


def run(args: argparse.Namespace) -> int:
    documents = {path: _load(path) for path in args.documents}
    first_path, first = next(iter(documents.items()))
    for path, data in documents.items():
        for key in ("reference", "test", "config", "tolerances", "x_range"):
            if data.get(key) != first.get(key):
                raise UsageError(
                    f"{path}: {key} {data.get(key)!r} differs from {first.get(key)!r} in {first_path}: "
                    "not shards of one batch"
                )
    seen: dict[str, str] = {}
    files: list[FileOutcome] = []
    try:
        for path, data in documents.items():
            for entry in data["files"]:
                file = json_report.file_from_json(entry)
                if file.file in seen:
                    raise UsageError(f"{file.file}: in both {seen[file.file]} and {path}: the shards overlap")
                seen[file.file] = path
                files.append(file)
    except (KeyError, TypeError, ValueError) as exc:
        raise UsageError(f"{path}: an entry of its files is not what batch --json writes ({exc!r})") from None
    files.sort(key=lambda file: file.file)
    for path in (args.report, None if args.json == "-" else args.json, args.junit, args.markdown):
        if path:
            writable_file(path, "--report" if path == args.report else "the output")
    args.reference, args.test = first["reference"], first["test"]
    out = Printer(stream=sys.stderr if args.json == "-" else None)
    report = None
    if args.report:
        settings = f"merged from {len(documents)} shards: " + ", ".join(map(os.path.basename, documents))
        report = html_report(args, settings)
    outputs = RunOutputs(args, out, report)
    for file in files:
        outputs.add(file)
    # A glob's fit is checked by each shard's own run; what is left is what their files say.
    head = {key: first.get(key) for key in ("reference", "test", "config", "tolerances", "x_range")}
    return outputs.conclude(lambda error: {**head, "error": error})
