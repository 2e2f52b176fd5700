"""Measure reading one variable of a MAT result file of 1,000 variables.

Run:  .venv/bin/python bench/measure_mat_readers.py [--variables N] [--points N] [--repeat N]

Writes a version 4 result file in the storage order most tools use
(binTrans: one output point per column of data_2, so a variable's values lie
strided through the file) with scipy.io.savemat, then times, best of
--repeat runs with the file in the page cache:

- read_result + one variable: the project's reader (reads the headers, then
  the one variable asked for);
- read_result + every variable: the same reader decoding all of them;
- scipy.io.loadmat of the matrices a result file needs (name, dataInfo,
  data_1, data_2), then one variable: scipy reads every matrix whole.

It prints each time and its ratio to reading the whole file with scipy.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from collections.abc import Callable

import numpy as np


def _write(path: str, variables: int, points: int) -> None:
    import scipy.io

    names = ["time"] + [f"body{k // 10}.x[{k % 10 + 1}]" for k in range(variables - 1)]
    width = max(map(len, names))
    padded = [name.ljust(width) for name in names]
    rng = np.random.default_rng(0)
    t = np.linspace(0.0, 10.0, points)
    data_2 = np.vstack([t, rng.standard_normal((variables - 1, points))])  # binTrans: variables x points
    info = np.column_stack(
        [np.full(variables, 2), np.arange(1, variables + 1), np.zeros(variables), np.full(variables, -1)]
    ).astype(np.int32)
    scipy.io.savemat(
        path,
        {
            "Aclass": np.array(["Atrajectory", "1.1        ", "           ", "binTrans   "]),
            "name": np.array(["".join(name[j] for name in padded) for j in range(width)]),
            "description": np.array([" " * variables]),
            "dataInfo": info.T,
            "data_1": np.array([[0.0], [10.0]]),
            "data_2": data_2,
        },
        format="4",
    )


def _best(function: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--variables", type=int, default=1000)
    parser.add_argument("--points", type=int, default=5000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    import scipy.io

    from velmora_funnel import read_result

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "result.mat")
        _write(path, args.variables, args.points)
        one = "body50.x[1]"  # variable 502, row 501 of data_2

        def own_one() -> None:
            read_result(path)[one]

        def own_all() -> None:
            table = read_result(path)
            for name in table.names:
                table[name]

        def scipy_whole() -> None:
            matrices = scipy.io.loadmat(path, variable_names=["name", "dataInfo", "data_1", "data_2"])
            np.ascontiguousarray(matrices["data_2"][501, :])

        np.testing.assert_array_equal(read_result(path)[one], scipy.io.loadmat(path)["data_2"][501, :])
        size = os.path.getsize(path)
        print(
            f"MAT v4 binTrans, {args.variables} variables x {args.points} points, {size / 1e6:.1f} MB; best of {args.repeat}"
        )
        base = _best(scipy_whole, args.repeat)
        for label, function in (
            ("scipy.io.loadmat, then one variable", scipy_whole),
            ("read_result + one variable", own_one),
            ("read_result + every variable", own_all),
        ):
            seconds = base if function is scipy_whole else _best(function, args.repeat)
            print(f"{label:40s} {seconds * 1e3:9.2f} ms   {seconds / base:7.3f} x scipy")


if __name__ == "__main__":
    main()
