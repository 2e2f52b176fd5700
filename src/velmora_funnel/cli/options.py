"""The option groups the commands share (the funnel, reading result files,
reports), and turning them into checked RunOptions before any file is read."""

from __future__ import annotations

import argparse
import os
import stat
from collections.abc import Sequence
from typing import Any

from ..comparison import TOLERANCE_NAMES, check_tolerances
from ..errors import ConfigError, SettingError
from ..io import FORMATS, READ_KEYS
from ..reports.html_report import DEFAULT_PLOTS
from ..run import RunOptions, find_config
from ..run.config import did_you_mean
from ..run.names import NAMINGS
from ..run.outcomes import POLICIES
from .exits import UsageError

__all__ = ["FLAGS", "attach_values", "funnel_options", "report_options", "run_options"]

#: RunOptions' keywords as the command line spells them.
FLAGS = {"columns": "--column", "exclude": "--exclude"}

#: The most a --columns-from file may hold: a list of names, not a result file.
COLUMNS_FILE_MAX_BYTES = 16 << 20

_VALUE_OPTIONS = frozenset((*(f"--{name}" for name in TOLERANCE_NAMES), "--end-tolerance"))


def attach_values(argv: Sequence[str]) -> list[str]:
    """Join each tolerance option (and ``--end-tolerance``) with its value (``--atoly=-1``) and the
    range option with both ends (``--x-range=-1e-3 5``): argparse takes a
    value such as "-1e-3" or "-inf" standing alone for an option, and the
    numbers must reach the checks that explain what is wrong with them."""
    joined: list[str] = []
    rest = list(argv)
    while rest:
        token = rest.pop(0)
        if token == "--":
            joined += [token, *rest]
            break
        if token == "--x-range" and len(rest) >= 2:
            joined.append(f"--x-range={rest.pop(0)} {rest.pop(0)}")
        elif token in _VALUE_OPTIONS and rest:
            joined.append(f"{token}={rest.pop(0)}")
        else:
            joined.append(token)
    return joined


def funnel_options() -> argparse.ArgumentParser:
    """The funnel's options, the variables to compare and how files are read."""
    options = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    group = options.add_argument_group("funnel (stronger than the config file, for every variable)")
    defaults = check_tolerances()
    for name in TOLERANCE_NAMES:
        axis = name[-1]
        kind = {
            "a": "absolute",
            "l": "local relative (fraction of each reference point's magnitude)",
            "r": "relative (fraction of the reference span)",
        }[name[0]]
        group.add_argument(
            f"--{name}", type=float, metavar="V", help=f"{kind} half-width along {axis} (default {defaults[name]:g})"
        )
    group.add_argument(
        "--x-range", metavar="LO HI", help="compare only where LO <= t <= HI ('none' or 'inf' for an open end)"
    )
    group.add_argument(
        "--end-tolerance",
        type=float,
        metavar="T",
        help="the two curves may start and end up to T apart in t, inside the range (default 0)",
    )
    group.add_argument(
        "--config",
        metavar="FILE",
        help="per-variable tolerances (TOML; default: velmora-funnel.toml beside the "
        "reference file or in the reference folder)",
    )
    # One value each time: a list would swallow the file names after it.
    group.add_argument(
        "--column",
        action="append",
        metavar="GLOB",
        help="compare only the variables this name or glob matches (repeat it for more; '*' and '?' are the "
        "only wildcards, brackets stand for themselves: 'x[*]')",
    )
    group.add_argument(
        "--columns-from",
        metavar="FILE",
        help="compare only the variables the names or globs in FILE match (one a line; '#' starts a comment)",
    )
    group.add_argument(
        "--exclude",
        action="append",
        metavar="GLOB",
        default=[],
        help="do not compare the variables this glob matches (repeat it for more)",
    )
    group.add_argument(
        "--allow-non-finite",
        "--allow-nan",
        dest="allow_nan",
        action="store_true",
        help="let a variable pass on the module's verdict alone, even with NaN or infinite "
        "ordinates or a funnel that is not finite (--allow-nan is the older name)",
    )
    group.add_argument(
        "--names",
        choices=NAMINGS,
        help="how variables pair across the files: 'exact' (default) or 'modelica' (R.T[1, 1] is R.T[1,1], "
        "a.der(x) is der(a.x); the reference's spelling is shown)",
    )
    group.add_argument(
        "--on-missing",
        choices=POLICIES,
        help="a variable of the reference that the test run lacks: fail the run (default) or warn",
    )
    group.add_argument(
        "--on-new",
        choices=POLICIES,
        help="a variable only the test run has (NEW): warn (default) or fail the run",
    )
    _reading_options(options)
    return options


def _reading_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("reading result files (stronger than the config's [read])")
    group.add_argument(
        "--format",
        choices=FORMATS,
        metavar="FORMAT",
        help=f"read every file as FORMAT, one of {', '.join(FORMATS)} (default: by its extension; unknown ones as CSV)",
    )
    group.add_argument(
        "--time", metavar="NAME", help="the abscissa is the column (MAT: variable) NAME (default: the first)"
    )
    group.add_argument(
        "--delimiter",
        choices=[",", ";", "tab", "auto"],
        metavar="SEP",
        help="CSV cell delimiter: ',', ';', 'tab', or 'auto' to sniff it from the first rows (default ',')",
    )
    group.add_argument("--decimal", choices=[".", ","], metavar="MARK", help="CSV decimal mark: '.' (default) or ','")
    group.add_argument(
        "--comment",
        metavar="CHAR",
        help="CSV: lines starting with CHAR (e.g. '#') are comments, as is the rest of a line after it",
    )
    group.add_argument("--units-row", action="store_true", help="CSV: the row under the header holds units, not data")
    group.add_argument(
        "--empty-as-nan", action="store_true", help="CSV: an empty cell is a missing value (NaN) instead of an error"
    )
    group.add_argument(
        "--max-bytes",
        metavar="SIZE",
        help="refuse a file that would decode to more than SIZE bytes (e.g. 16G; default: a quarter "
        "of the memory, at most 8G)",
    )
    for side in ("reference", "test"):
        group.add_argument(
            f"--{side}-read",
            action="append",
            default=[],
            metavar="KEY=VALUE",
            help=f"a reading option for the {side} files only, stronger than the options above and the "
            f"config's [read.{side}] (repeatable; keys as in [read]: delimiter=';' decimal=',' "
            "units_row=true ...)",
        )


def _count(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = -1
    if number < 0:
        raise argparse.ArgumentTypeError(f"expected a count of 0 or more, got {text!r}")
    return number


def report_options() -> argparse.ArgumentParser:
    """The reports a CI system reads, and how much the terminal shows."""
    outputs = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    group = outputs.add_argument_group("reports")
    group.add_argument(
        "--report",
        metavar="FILE",
        help="write a self-contained HTML report: what did not pass first, a table to filter and sort, "
        "interactive funnel plots",
    )
    group.add_argument(
        "--report-plots",
        metavar="N",
        type=_count,
        default=DEFAULT_PLOTS,
        help=f"embed the funnel plots of at most N variables in the report, the worst margins first (default "
        f"{DEFAULT_PLOTS}; the others are listed with their numbers)",
    )
    group.add_argument("--junit", metavar="FILE", help="write JUnit XML: one test case per variable")
    group.add_argument(
        "--markdown",
        metavar="FILE",
        help="write a Markdown summary table of what did not pass, worst first, under 1 MiB",
    )
    group.add_argument(
        "--log-time", action="store_true", help="draw time on a log axis in the plots (for runs whose action is early)"
    )
    group.add_argument(
        "--markdown-all", action="store_true", help="list the passes in the Markdown summary too (else counted)"
    )
    group.add_argument(
        "--verbose", action="store_true", help="add the half-widths each variable was compared with to the table"
    )
    group.add_argument(
        "--quiet", action="store_true", help="no progress bar, print only the summary and what did not pass"
    )
    return outputs


def _read_options(args: argparse.Namespace) -> dict[str, Any]:
    """The reading options given on the command line (the config's [read] fills in the rest)."""
    given = {key: getattr(args, key) for key in READ_KEYS}
    return {key: value for key, value in given.items() if value is not None and value is not False}


_SWITCHES = {"units_row", "empty_as_nan"}
_TRUTH = {"true": True, "yes": True, "1": True, "false": False, "no": False, "0": False}


def _side_options(items: Sequence[str], flag: str) -> dict[str, Any]:
    """``--test-read KEY=VALUE`` items as ReadOptions' keywords."""
    found: dict[str, Any] = {}
    for item in items:
        key, equals, value = item.partition("=")
        key = key.strip().replace("-", "_")
        if not equals:
            raise UsageError(f"{flag} {item!r}: expected KEY=VALUE, e.g. {flag} delimiter=';'")
        if key not in READ_KEYS:
            raise UsageError(f"{flag} {item!r}: unknown key {key!r}{did_you_mean(key, READ_KEYS)}")
        if key in _SWITCHES:
            if value.strip().lower() not in _TRUTH:
                raise UsageError(f"{flag} {item!r}: {key} takes true or false")
            found[key] = _TRUTH[value.strip().lower()]
        else:
            found[key] = value
    return found


def columns_from(path: str) -> list[str]:
    """The names and globs of a --columns-from file: one a line, blanks
    around them dropped; blank lines and lines starting with '#' skipped.
    A file that is missing, no regular file, too big or not UTF-8 text is a
    UsageError naming it."""
    flag = f"--columns-from {path}"
    try:
        descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        raise UsageError(f"{flag}: cannot read: {exc.strerror or exc}") from None
    info = os.fstat(descriptor)
    # A FIFO or a device would block or never end.
    if not stat.S_ISREG(info.st_mode):
        os.close(descriptor)
        raise UsageError(f"{flag}: is not a regular file" + (" but a folder" if stat.S_ISDIR(info.st_mode) else ""))
    with open(descriptor, "rb") as handle:
        try:
            # Read to one byte past the limit: a file that grows meanwhile is refused too.
            raw = handle.read(COLUMNS_FILE_MAX_BYTES + 1) if info.st_size <= COLUMNS_FILE_MAX_BYTES else b""
        except OSError as exc:
            raise UsageError(f"{flag}: cannot read: {exc.strerror or exc}") from None
    if info.st_size > COLUMNS_FILE_MAX_BYTES or len(raw) > COLUMNS_FILE_MAX_BYTES:
        raise UsageError(
            f"{flag}: holds more than a list of names takes ({COLUMNS_FILE_MAX_BYTES >> 20} MiB at most): "
            "is it a result file?"
        )
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise UsageError(f"{flag}: not a UTF-8 text file ({exc.reason} at byte {exc.start})") from None
    if "\0" in text:
        raise UsageError(f"{flag}: not a text file (it holds NUL bytes)")
    names = [line.strip() for line in text.splitlines()]
    return [name for name in names if name and not name.startswith("#")]


def _range_end(text: str, flag: str) -> float | None:
    if text.strip().lower() in {"none", ""}:
        return None
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"--x-range: {flag} {text!r} is not a number") from None


def _x_range(text: str | None) -> tuple[float | None, float | None] | None:
    if text is None:
        return None
    ends = text.split()
    if len(ends) != 2:
        raise UsageError(f"--x-range takes two ends, LO and HI; got {text!r}")
    return (_range_end(ends[0], "LO"), _range_end(ends[1], "HI"))


def run_options(args: argparse.Namespace) -> RunOptions:
    """The command line's options, with the config file, checked before any file is read."""
    settings: dict[str, Any] = {name: getattr(args, name) for name in TOLERANCE_NAMES}
    settings["x_range"] = _x_range(args.x_range)
    settings.update(on_missing=args.on_missing, on_new=args.on_new)
    sides = {side: _side_options(getattr(args, f"{side}_read"), f"--{side}-read") for side in ("reference", "test")}
    columns = args.column
    if args.columns_from is not None:
        listed = columns_from(args.columns_from)
        if not listed:
            raise UsageError(f"--columns-from {args.columns_from}: names no variable (only blank lines and comments)")
        columns = [*(columns or []), *listed]
    settings["end_tolerance"] = args.end_tolerance
    try:
        return RunOptions.build(
            config=args.config or find_config(args.reference),
            columns=columns,
            exclude=args.exclude,
            allow_non_finite=args.allow_nan,
            read=_read_options(args),
            read_reference=sides["reference"],
            read_test=sides["test"],
            names=args.names,
            **settings,
        )
    except SettingError as exc:
        for side, given in sides.items():
            if exc.key in given:
                raise UsageError(f"--{side}-read {exc.key}: {exc}") from None
        raise UsageError(f"--{exc.key.replace('_', '-')}: {exc}") from None
    except ConfigError as exc:
        raise UsageError(str(exc)) from None
