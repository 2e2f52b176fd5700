"""The pytest plugin: the ``funnel_regression`` fixture and ``--funnel-regen``.

References live in a folder beside the test module named after it
(``tests/test_model.py`` keeps them in ``tests/test_model/``), one CSV file
per check. A first run writes the reference and fails saying so, so a
missing reference never passes; ``--funnel-regen`` rewrites the references
and fails the same way. A ``velmora-funnel.toml`` in that folder gives
per-variable tolerances as on the command line (its globs need not match
every check's variables); the keywords of check() are stronger.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Mapping
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
import pytest

from .comparison import as_curve
from .errors import ConfigError, ResultFileError
from .io.atomic import copy_replacing
from .io.csv_writer import write_table
from .reports.cells import verdict_line
from .reports.text import output_stem, printable
from .run import RunOptions, find_config
from .run.pairs import compare_tables, read_checked, read_pair

__all__ = ["FunnelRegression"]


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("velmora-funnel")
    group.addoption(
        "--funnel-regen",
        action="store_true",
        default=False,
        help="rewrite the references of funnel_regression checks from this run (the checks then fail)",
    )


def _columns(data: Any) -> tuple[str, np.ndarray, dict[str, np.ndarray]]:
    """The abscissa name, the abscissae and the variables of a DataFrame
    indexed by time or of a mapping of name to (t, y); one time grid."""
    import pandas as pd

    if isinstance(data, pd.DataFrame):
        # No name (None), or one that is false such as "": an index of row
        # numbers unless the frame has a time column, which is then the abscissa.
        name = str(data.index.name) if bool(data.index.name) else "time"
        if not bool(data.index.name) and "time" in data.columns:
            data = data.set_index("time")
        t = as_curve((data.index, data.index), "the DataFrame's index").t
        columns = {str(column): as_curve((data.index, data[column]), f"column {column!r}").y for column in data.columns}
        if len(columns) != len(data.columns):
            raise ValueError("the DataFrame's column names must differ as text")
        if name in columns:
            raise ValueError(
                f"a column named {name!r} would clash with the time column (the index): rename it, or make it the index"
            )
        return name, t, columns
    if not isinstance(data, Mapping) or not data:
        raise TypeError(
            f"data must be a pandas DataFrame indexed by time or a non-empty mapping of name to (t, y), got {type(data).__name__}"
        )
    curves = {str(name): as_curve(curve, f"variable {name!r}") for name, curve in data.items()}
    t = next(iter(curves.values())).t
    for name, curve in curves.items():
        if not np.array_equal(curve.t, t):
            raise ValueError(
                f"variable {name!r} has another time grid than the first: one check keeps one grid "
                "(call check() once per grid, each with its own basename)"
            )
    if "time" in curves:
        raise ValueError("a variable named 'time' would clash with the time column")
    return "time", t, {name: curve.y for name, curve in curves.items()}


def _fail(message: str) -> NoReturn:
    """Fail the test with ``message``, no traceback: paths and variable names
    are shown escaped, so a name cannot act on the terminal."""
    try:
        pytest.fail("\n".join(map(printable, message.split("\n"))), pytrace=False)
    except pytest.fail.Exception as failed:
        # Called while handling an OSError or a reading error: the line says it all, without the chain.
        raise failed from None


def write_result(data: Any, path: Path) -> dict[str, np.ndarray]:
    """Write ``data`` as a CSV result file that reads back bit for bit;
    returns its columns by name, the abscissa first."""
    time_name, t, columns = _columns(data)
    write_table(os.fspath(path), [time_name, *columns], [t, *columns.values()])
    return {time_name: t, **columns}


def _unfit_reference(columns: Mapping[str, np.ndarray], table: Any) -> str | None:
    """Why the run cannot be a reference, or None: a value that is not finite
    (a crashed run would become the standard every later run is held to), or
    a file that does not read back as the same curves."""
    for name, values in columns.items():
        bad = int(np.count_nonzero(~np.isfinite(values)))
        if bad:
            return f"{bad} of the {len(values)} values of {name!r} are NaN or infinite"
    read = {table.abscissa_name: table.t, **{name: table[name] for name in table.names}}
    if list(read) != list(columns) or any(not np.array_equal(read[n], columns[n]) for n in columns):
        return f"the written file reads back as other curves (columns {list(read)})"
    return None


def write_reference(obtained: str | os.PathLike[str], reference: str | os.PathLike[str]) -> None:
    """Make the run's file ``obtained`` the reference, whole or not at all:
    another process may be comparing with it, or writing it too (two checks
    of one basename under pytest -n, two test sessions at once)."""
    copy_replacing(obtained, reference)


class FunnelRegression:
    """The ``funnel_regression`` fixture's object; see check()."""

    def __init__(self, request: pytest.FixtureRequest, tmp_path: Path) -> None:
        self._request = request
        self._tmp_path = tmp_path
        # The names checked so far, by their stems in lower case (one file on
        # file systems that ignore case).
        self._used: dict[str, str] = {}
        module = Path(str(request.node.path))
        #: Where this test module's references are.
        self.folder = module.parent / module.stem

    def check(self, data: Any, basename: str | None = None, **tolerances: Any) -> None:
        """Compare ``data`` (a DataFrame indexed by time, or a mapping of name
        to ``(t, y)``) with the stored reference; the keywords are compare()'s
        (and ``allow_non_finite``). The run's file is kept in the test's
        temporary folder; a failing variable's funnel plot is saved there too."""
        name = basename or self._request.node.name
        # Distinct names get distinct stems (see output_stem), so no two checks share a reference.
        stem = output_stem(name, set())
        other = self._used.get(stem.lower())
        if other == name:
            raise ValueError(f"a second check named {name!r} in one test: give each check its own basename")
        if other is not None:
            raise ValueError(
                f"checks named {other!r} and {name!r} in one test would share one reference file where case "
                "is ignored: give each check its own basename"
            )
        self._used[stem.lower()] = name
        reference = self.folder / f"{stem}.csv"
        if self.folder.exists() and not self.folder.is_dir():
            _fail(f"{self.folder}: is a file, expected the folder of this module's references")
        if reference.is_dir():
            _fail(f"{reference}: is a folder, expected a reference file")
        obtained = self._tmp_path / f"{stem}.obtained.csv"
        columns = write_result(data, obtained)
        try:
            config = find_config(reference) if self.folder.is_dir() else None
            options = RunOptions.build(config=config, **tolerances)
        except ConfigError as exc:
            _fail(str(exc))
        regen = self._request.config.getoption("funnel_regen")
        if regen or not reference.exists():
            try:
                unfit = _unfit_reference(columns, read_checked(str(obtained), options.read))
            except ResultFileError as exc:
                unfit = f"the written file cannot be read back: {exc}"
            if unfit is not None:
                _fail(f"reference {reference} not written: {unfit} (this run: {obtained})")
            try:
                self.folder.mkdir(parents=True, exist_ok=True)
                write_reference(obtained, reference)
            except OSError as exc:
                _fail(f"{reference}: cannot write the reference: {exc.strerror or exc}")
            why = "rewritten (--funnel-regen)" if regen else "did not exist"
            _fail(f"reference {reference} {why}: written from this run; check it, then run again")
        try:
            reference_table, test_table = read_pair(str(reference), str(obtained), options.sides())
        except ResultFileError as exc:
            _fail(f"the reference cannot be read: {exc}")
        except OSError as exc:
            _fail(f"{exc.filename or reference}: cannot read the reference: {exc.strerror or exc}")
        lines, compared = [], 0
        taken: set[str] = set()
        for outcome, result in compare_tables(reference_table, test_table, options, file=reference.name):
            compared += outcome.verdict not in ("ignored", "not_compared")
            if outcome.tolerated:
                # A variable this run adds does not fail the check; it is shown, not dropped.
                warnings.warn(f"{reference.name}: {outcome.name}: {outcome.message}", stacklevel=2)
                continue
            if outcome.verdict in ("pass", "ignored", "not_compared"):
                continue
            # The message leads with the verdict ("fail: ...", "not passed: ...", "missing in ...").
            line = f"  {outcome.name}: {verdict_line(outcome)}"
            if result is not None:
                line += "\n    " + self._plot(
                    result, f"{stem}.{output_stem(outcome.name, taken)}.png", reference.name, outcome.name
                )
            lines.append(line)
        if lines:
            header = (
                f"{len(lines)} of {compared} variables are not inside the funnel of {reference} (this run: {obtained}):"
            )
            _fail("\n".join([header, *lines]))

    def _plot(self, result: Any, file: str, reference: str, name: str) -> str:
        """The line that says where the funnel plot is, or why there is none
        (matplotlib missing or failing costs the picture only)."""
        from .errors import PlotUnavailableError
        from .reports.plot import plot_or_reason

        path = self._tmp_path / file
        try:
            _, reason = plot_or_reason(result, path, f"{reference}: {name}", name)
        except PlotUnavailableError as exc:
            reason = f"{type(exc).__name__}: {exc}"
        return f"funnel plot: {path}" if reason is None else f"no funnel plot: {reason}"


@pytest.fixture
def funnel_regression(request: pytest.FixtureRequest, tmp_path: Path) -> FunnelRegression:
    """Compare data with a reference file kept beside the test module (see FunnelRegression.check)."""
    return FunnelRegression(request, tmp_path)
