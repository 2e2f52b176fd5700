"""Exit codes, and the one place where what went wrong becomes a line on
stderr and a code: 0 when every variable passed (ignored ones, and new or
missing ones the run only warns about, aside), 1 when any failed or is
missing (or new, with --on-new fail), 2 for unusable input."""

from __future__ import annotations

import sys
from collections.abc import Iterable, Mapping

from ..errors import ResultFileError
from ..reports.cells import all_passed
from ..reports.text import printable
from ..run.outcomes import FileOutcome

__all__ = [
    "EXIT_CODES_HELP",
    "EXIT_FAIL",
    "EXIT_PASS",
    "EXIT_UNUSABLE",
    "UsageError",
    "exit_code",
    "flags",
    "side_flags",
    "unusable",
    "unusable_variables",
    "warn",
]

EXIT_PASS, EXIT_FAIL, EXIT_UNUSABLE = 0, 1, 2

#: The exit codes as each comparing command's --help lists them.
EXIT_CODES_HELP = """exit codes:
  0  every variable passed (ignored ones aside)
  1  a variable failed or is missing (also a file on one side only)
  2  unusable input: a file that cannot be read, time that goes back, a range
     the module rejects, a bad option or config (one line on stderr says which)"""


class UsageError(Exception):
    """Unusable input: reported as one line, exit code 2."""


def flags(advice: Mapping[str, str]) -> str:
    """Reading options as the command line spells them: ``--delimiter ';'``."""
    shown = {"\t": "tab"}
    return " ".join(
        f"--{key.replace('_', '-')} {shown.get(value) or (value if value.isalnum() else repr(value))}"
        for key, value in advice.items()
    )


def side_flags(side: str, advice: Mapping[str, str]) -> str:
    """Reading options for one side's files: ``--test-read delimiter=';'``."""
    shown = {"\t": "tab"}
    return " ".join(
        f"--{side}-read {key}={shown.get(value) or (value if value.isalnum() else repr(value))}"
        for key, value in advice.items()
    )


def unusable(exc: Exception) -> UsageError:
    """A file that cannot be read, as the line the user sees (reading
    options spelled as flags)."""
    if isinstance(exc, ResultFileError):
        return UsageError(exc.describe(flags))
    if isinstance(exc, IsADirectoryError):
        return UsageError(f"{exc.filename}: is a directory, expected a result file")
    if isinstance(exc, OSError):
        return UsageError(f"{exc.filename}: {exc.strerror or exc}")
    return UsageError(str(exc))


def exit_code(counts: Mapping[str, int]) -> int:
    """2 for anything unusable, 1 for anything failed or missing (or new,
    unless tolerated), else 0."""
    if counts["unusable"] or counts.get("unusable_files"):
        return EXIT_UNUSABLE
    return EXIT_PASS if all_passed(counts) else EXIT_FAIL


def unusable_variables(files: Iterable[FileOutcome]) -> str | None:
    """One message naming every variable the module rejected, or None."""
    bad = [f"{f.file}: {v.name!r}: {v.message}" for f in files for v in f.variables if v.verdict == "error"]
    return "; ".join(bad) or None


def warn(message: str) -> None:
    print(printable(f"velmora-funnel: warning: {message}"), file=sys.stderr)
