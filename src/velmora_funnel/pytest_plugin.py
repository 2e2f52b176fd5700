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
import shutil
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np
import pytest

from .comparison import as_curve
from .io.csv_writer import write_table
from .reports.cells import verdict_line
from .reports.text import output_stem
from .run import RunOptions, find_config
from .run.pairs import compare_tables, read_pair

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
        t = as_curve((data.index, data.index), "the DataFrame's index").t
        columns = {str(name): as_curve((data.index, data[name]), f"column {name!r}").y for name in data.columns}
        if len(columns) != len(data.columns):
            raise ValueError("the DataFrame's column names must differ as text")
        # No name (None), or one that is false such as "": the default column.
        name = data.index.name
        return str(name if bool(name) else "time"), t, columns
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


def write_result(data: Any, path: Path) -> None:
    """Write ``data`` as a CSV result file that reads back bit for bit."""
    time_name, t, columns = _columns(data)
    write_table(os.fspath(path), [time_name, *columns], [t, *columns.values()])


class FunnelRegression:
    """The ``funnel_regression`` fixture's object; see check()."""

    def __init__(self, request: pytest.FixtureRequest, tmp_path: Path) -> None:
        self._request = request
        self._tmp_path = tmp_path
        self._used: set[str] = set()
        module = Path(str(request.node.path))
        #: Where this test module's references are.
        self.folder = module.parent / module.stem

    def check(self, data: Any, basename: str | None = None, **tolerances: Any) -> None:
        """Compare ``data`` (a DataFrame indexed by time, or a mapping of name
        to ``(t, y)``) with the stored reference; the keywords are compare()'s
        (and ``allow_non_finite``). The run's file is kept in the test's
        temporary folder; a failing variable's funnel plot is saved there too."""
        stem = output_stem(basename or self._request.node.name, set())
        if stem.lower() in self._used:
            raise ValueError(f"a second check named {stem!r} in one test: give each check its own basename")
        self._used.add(stem.lower())
        reference = self.folder / f"{stem}.csv"
        obtained = self._tmp_path / f"{stem}.obtained.csv"
        write_result(data, obtained)
        options = RunOptions.build(config=find_config(reference) if self.folder.is_dir() else None, **tolerances)
        regen = self._request.config.getoption("funnel_regen")
        if regen or not reference.exists():
            self.folder.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(obtained, reference)
            why = "rewritten (--funnel-regen)" if regen else "did not exist"
            pytest.fail(f"reference {reference} {why}: written from this run; check it, then run again", pytrace=False)
        reference_table, test_table = read_pair(str(reference), str(obtained), options.read)
        lines, compared = [], 0
        taken: set[str] = set()
        for outcome, result in compare_tables(reference_table, test_table, options, file=reference.name):
            compared += outcome.verdict != "ignored"
            if outcome.verdict in ("pass", "ignored"):
                continue
            line = f"  {outcome.name}: {outcome.verdict}: {verdict_line(outcome)}"
            if result is not None:
                line += "\n    " + self._plot(
                    result, f"{stem}.{output_stem(outcome.name, taken)}.png", reference.name, outcome.name
                )
            lines.append(line)
        if lines:
            header = (
                f"{len(lines)} of {compared} variables are not inside the funnel of {reference} (this run: {obtained}):"
            )
            pytest.fail("\n".join([header, *lines]), pytrace=False)

    def _plot(self, result: Any, file: str, reference: str, name: str) -> str:
        """The line that says where the funnel plot is, or why there is none
        (matplotlib missing or failing costs the picture only)."""
        from .errors import PlotUnavailableError
        from .reports.plot import plot_or_reason

        path = self._tmp_path / file
        try:
            _, reason = plot_or_reason(result, path, f"{reference}: {name}")
        except PlotUnavailableError as exc:
            reason = f"{type(exc).__name__}: {exc}"
        return f"funnel plot: {path}" if reason is None else f"no funnel plot: {reason}"


@pytest.fixture
def funnel_regression(request: pytest.FixtureRequest, tmp_path: Path) -> FunnelRegression:
    """Compare data with a reference file kept beside the test module (see FunnelRegression.check)."""
    return FunnelRegression(request, tmp_path)
