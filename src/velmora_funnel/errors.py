"""The package's public exceptions, in one place: every layer raises these,
and the command line maps each to its exit code."""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from concurrent.futures.process import BrokenProcessPool

__all__ = ["ConfigError", "PlotUnavailableError", "ResultFileError", "SettingError", "WorkerDiedError"]


class ResultFileError(ValueError):
    """A result file that cannot be used; the message names the file and,
    where there is one, the row and the column.

    ``advice`` holds reading options that would read the file, by the
    keyword read_result() takes (``{"delimiter": ";"}``), and ``also`` those
    that may be needed too; the message gives them as keywords
    (``delimiter=';'``), the command line as its flags."""

    def __init__(
        self,
        path: str | os.PathLike[str],
        what: str,
        *,
        row: int | None = None,
        column: int | None = None,
        name: str | None = None,
        advice: Mapping[str, str] | None = None,
        also: tuple[Mapping[str, str], str] | None = None,
    ) -> None:
        self.path = os.fspath(path)
        self.what = what
        self.row = row
        self.column = column
        self.column_name = name
        self.advice = dict(advice or {})
        #: Options that may be needed too, and when: ``({"decimal": ","}, "for decimal commas")``.
        self.also = also
        super().__init__(self.describe(_keywords))

    def describe(self, spell: Callable[[Mapping[str, str]], str] | None = None) -> str:
        """The message, with the advice spelled by ``spell`` (keywords by default)."""
        place = []
        if self.row is not None:
            place.append(f"row {self.row}")
        if self.column is not None:
            place.append(f"column {self.column}" + (f" ({self.column_name!r})" if self.column_name is not None else ""))
        elif self.column_name is not None:
            # formats without column numbers (MAT files) name the variable
            place.append(f"variable {self.column_name!r}")
        where = ", ".join(place)
        what = self.what
        spell = spell or _keywords
        if self.advice:
            what += f": read with {spell(self.advice)}"
            if self.also is not None:
                what += f" (and {spell(self.also[0])} {self.also[1]})"
        return f"{self.path}: {where}: {what}" if where else f"{self.path}: {what}"


def _keywords(advice: Mapping[str, str]) -> str:
    return ", ".join(f"{key}={value!r}" for key, value in advice.items())


class SettingError(ValueError):
    """A setting with a bad value; ``key`` names it, the message says why."""

    def __init__(self, key: str, message: str) -> None:
        super().__init__(message)
        self.key = key


class ConfigError(ValueError):
    """A config file that cannot be used; the message names the file, the
    entry, the key and the line where it can be found."""


class PlotUnavailableError(ImportError):
    """matplotlib (the ``plot`` extra) is not installed."""


class WorkerDiedError(BrokenProcessPool):
    """The worker process running one call ended abruptly (killed, out of memory, crashed)."""
