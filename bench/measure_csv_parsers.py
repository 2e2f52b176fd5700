"""Measure candidate CSV parsers on a result file of 10^6 rows and 20 columns.

Run:  .venv/bin/python bench/measure_csv_parsers.py [--rows N] [--cols N] [--repeat N]

Writes the file to a temporary directory (a header row, then the abscissa and
19 variables, 17 significant digits each, like a simulator's result file),
then times each parser reading it into float64 columns and prints the best
of --repeat runs. Parsers that are not installed are skipped.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from collections.abc import Callable

import numpy as np


def _write(path: str, rows: int, cols: int) -> None:
    rng = np.random.default_rng(0)
    t = np.linspace(0.0, 10.0, rows)
    data = np.column_stack([t] + [np.sin(t * (k + 1)) + 1e-3 * rng.standard_normal(rows) for k in range(cols - 1)])
    header = ",".join(["time"] + [f"var{k}" for k in range(1, cols)])
    np.savetxt(path, data, delimiter=",", header=header, comments="", fmt="%.17g")


def _numpy(path: str) -> np.ndarray:
    return np.loadtxt(path, delimiter=",", skiprows=1, dtype=np.float64)


def _pandas(path: str) -> np.ndarray:
    import pandas as pd

    return pd.read_csv(path, engine="c", dtype=np.float64).to_numpy()


def _pandas_round_trip(path: str) -> np.ndarray:
    import warnings

    import pandas as pd

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pandas >= 3.1 deprecates the option: its default is exact
        return pd.read_csv(path, engine="c", dtype=np.float64, float_precision="round_trip").to_numpy()


def _pandas_pyarrow(path: str) -> np.ndarray:
    import pandas as pd

    return pd.read_csv(path, engine="pyarrow", dtype=np.float64).to_numpy()


def _pyarrow(path: str) -> np.ndarray:
    import pyarrow.csv as pacsv

    table = pacsv.read_csv(path)
    return np.column_stack([c.to_numpy() for c in table.columns])


def _polars(path: str) -> np.ndarray:
    import polars as pl

    return pl.read_csv(path, infer_schema=False, schema_overrides=None).cast(pl.Float64).to_numpy()


# Each parser with the package it needs: pandas' pyarrow engine raises an
# ImportError that names no module, so the package is named here.
CANDIDATES: dict[str, tuple[Callable[[str], np.ndarray], str]] = {
    "numpy.loadtxt": (_numpy, "numpy"),
    "pandas.read_csv (C engine)": (_pandas, "pandas"),
    "pandas.read_csv (C, round_trip)": (_pandas_round_trip, "pandas"),
    "pandas.read_csv (pyarrow engine)": (_pandas_pyarrow, "pyarrow"),
    "pyarrow.csv.read_csv": (_pyarrow, "pyarrow"),
    "polars.read_csv": (_polars, "polars"),
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--cols", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "result.csv")
        _write(path, args.rows, args.cols)
        size = os.path.getsize(path) / 2**20
        import pandas as pd

        print(
            f"{args.rows} rows x {args.cols} columns, {size:.0f} MiB, {os.cpu_count()} cores, best of {args.repeat}, "
            f"NumPy {np.__version__}, pandas {pd.__version__}"
        )
        reference = None
        for name, (read, package) in CANDIDATES.items():
            try:
                best = float("inf")
                for _ in range(args.repeat):
                    start = time.perf_counter()
                    data = read(path)
                    best = min(best, time.perf_counter() - start)
            except ImportError as exc:
                print(f"{name:34s} skipped ({exc.name or package} not installed)")
                continue
            if reference is None:
                reference = data  # numpy.loadtxt: Python's correctly rounded float()
            same = data.shape == reference.shape and np.array_equal(data, reference)
            print(f"{name:34s} {best:7.2f} s   {size / best:6.0f} MiB/s   identical to loadtxt: {same}")


if __name__ == "__main__":
    main()
