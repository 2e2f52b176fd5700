"""What every reader gives and checks: the ResultTable, the checks of
column names and of the abscissa column shared by the formats, and the
import of a reader's optional dependency."""

from __future__ import annotations

import importlib
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..errors import ResultFileError

__all__ = ["ResultTable", "check_names", "need", "time_column"]


@dataclass(frozen=True, eq=False)
class ResultTable:
    """The columns of one result file as contiguous float64 arrays."""

    #: The file read.
    path: str
    #: Name of the abscissa column (the first one).
    abscissa_name: str
    #: The abscissae.
    t: NDArray[np.float64]
    #: Variable names, in file order (the abscissa excluded).
    names: tuple[str, ...]
    # A dict, or a mapping that decodes each variable when first asked for.
    _columns: Mapping[str, NDArray[np.float64]] = field(repr=False)
    #: Units by variable name (the abscissa's included), where the file gives them.
    units: Mapping[str, str] = field(default_factory=dict, repr=False)
    #: The columns that are not read, in file order, each with why ("text
    #: column", "several numbers per cell"): listed, never compared.
    skipped: Mapping[str, str] = field(default_factory=dict)
    # For each skipped column, the error that reading it as numbers gives
    # (its first cell that is not a number), raised when it is asked for.
    _refusals: Mapping[str, ResultFileError] = field(default_factory=dict, repr=False)
    #: For a text file: the line (from 1, comments and units row counted) a
    #: data row starts on, found again when a message needs it.
    line_of: Callable[[int], int] | None = field(default=None, repr=False)

    def __getitem__(self, name: str) -> NDArray[np.float64]:
        """The ordinates of variable ``name``; a skipped column raises its
        ResultFileError (the cell that is not a number), any other name KeyError."""
        refusal = self._refusals.get(name)
        if refusal is not None:
            raise refusal
        return self._columns[name]

    def __contains__(self, name: object) -> bool:
        return name in self._columns

    @property
    def all_names(self) -> tuple[str, ...]:
        """The variables read, then those skipped: every column a run lists."""
        return (*self.names, *self.skipped)

    def refusal(self, name: str) -> ResultFileError | None:
        """Why the skipped column ``name`` cannot be compared, as the error
        naming its row and column (None for a column that is read)."""
        return self._refusals.get(name)

    def __len__(self) -> int:
        """Number of data rows."""
        return len(self.t)

    def curve(self, name: str) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """The ``(t, y)`` pair of variable ``name``, ready for compare()."""
        return self.t, self._columns[name]


def check_names(path: str, names: Sequence[str], *, row: int | None = None) -> None:
    """Every column named, and no name twice (a variable must be found by its name)."""
    seen: dict[str, int] = {}
    for index, name in enumerate(names, start=1):
        if not name.strip():
            raise ResultFileError(path, "empty column name", row=row, column=index)
        if name in seen:
            raise ResultFileError(
                path, f"duplicate column name {name!r} (also column {seen[name]})", row=row, column=index
            )
        seen[name] = index


def time_column(path: str, names: Sequence[str], time: str | None, *, row: int | None = None) -> int | None:
    """The index of the abscissa column the ``time`` option names (None when
    it names none); raises ResultFileError listing the columns there are."""
    if time is None:
        return None
    if time not in names:
        shown = ", ".join(repr(name) for name in names[:8]) + (", ..." if len(names) > 8 else "")
        raise ResultFileError(
            path, f"no column named {time!r} for the abscissa (the time option); the columns are {shown}", row=row
        )
    return names.index(time)


def need(path: str, module: str, extra: str, what: str) -> Any:
    """Import an optional dependency; without it the file is unusable, and the
    error says in one line which extra brings it."""
    package = module.split(".")[0]
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as exc:
        if exc.name is not None and exc.name.split(".")[0] != package:
            raise ResultFileError(path, f"{what} needs {package}, which cannot be loaded: {exc}") from None
        raise ResultFileError(path, f"{what} needs {package}: pip install 'velmora-funnel[{extra}]'") from None
    except ImportError as exc:
        # Installed but unusable here (built for another NumPy, say): saying
        # "install it" would send the user in circles.
        raise ResultFileError(path, f"{what} needs {package}, which is installed but cannot be loaded: {exc}") from None
