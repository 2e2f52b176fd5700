"""The option groups the commands share (the funnel, reading result files,
reports), and turning them into checked RunOptions before any file is read."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import Any

from ..comparison import TOLERANCE_NAMES, check_tolerances
from ..errors import ConfigError, SettingError
from ..io import FORMATS, READ_KEYS
from ..run import RunOptions, find_config
from .exits import UsageError

__all__ = ["FLAGS", "attach_values", "funnel_options", "report_options", "run_options"]

#: RunOptions' keywords as the command line spells them.
FLAGS = {"columns": "--column", "exclude": "--exclude"}

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
    group.add_argument(
        "--column",
        nargs="+",
        action="extend",
        metavar="GLOB",
        help="compare only the variables these names or globs match (repeatable)",
    )
    group.add_argument(
        "--exclude",
        nargs="+",
        action="extend",
        metavar="GLOB",
        default=[],
        help="do not compare the variables these globs match (repeatable)",
    )
    group.add_argument(
        "--allow-non-finite",
        "--allow-nan",
        dest="allow_nan",
        action="store_true",
        help="let a variable pass on the module's verdict alone, even with NaN or infinite "
        "ordinates or a funnel that is not finite (--allow-nan is the older name)",
    )
    _reading_options(options)
    return options


def _reading_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("reading result files (stronger than the config's [read])")
    group.add_argument(
        "--format",
        choices=FORMATS,
        help="read every file as this format (default: by its extension; unknown ones as CSV)",
    )
    group.add_argument(
        "--time", metavar="NAME", help="the abscissa is the column (MAT: variable) NAME (default: the first)"
    )
    group.add_argument(
        "--delimiter",
        choices=[",", ";", "tab", "auto"],
        help="CSV cell delimiter; 'auto' sniffs it from the first rows (default ',')",
    )
    group.add_argument("--decimal", choices=[".", ","], help="CSV decimal mark (default '.')")
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


def report_options() -> argparse.ArgumentParser:
    """The reports a CI system reads, and how much the terminal shows."""
    outputs = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    group = outputs.add_argument_group("reports")
    group.add_argument("--junit", metavar="FILE", help="write JUnit XML: one test case per variable")
    group.add_argument("--markdown", metavar="FILE", help="write a Markdown summary table, what did not pass first")
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
    settings["end_tolerance"] = args.end_tolerance
    try:
        return RunOptions.build(
            config=args.config or find_config(args.reference),
            columns=args.column,
            exclude=args.exclude,
            allow_non_finite=args.allow_nan,
            read=_read_options(args),
            **settings,
        )
    except SettingError as exc:
        raise UsageError(f"--{exc.key.replace('_', '-')}: {exc}") from None
    except ConfigError as exc:
        raise UsageError(str(exc)) from None
