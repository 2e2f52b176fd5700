"""Workflow rows of the bench: the time users wait around the core.

Each row times a contender and its baseline in the same process, interleaved,
and reports the median of the ratios' parts next to the target ratio. Files
are written once into a scratch folder (hard links stand in for the copies a
batch of identical runs would hold, so the page cache serves every read).
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections import deque
from collections.abc import Callable

import numpy as np

import _velmora_funnel as module
import velmora_funnel as vf
from velmora_funnel.io import read_result, write_curve
from velmora_funnel.run import pool


def smooth(t: np.ndarray, phase: float = 0.0) -> np.ndarray:
    return np.sin(t + phase) + 0.5 * np.sin(3.1 * t + 0.3) + 0.25 * np.sin(7.3 * t + 1.1)


def smooth_args(n: int) -> tuple[np.ndarray, ...]:
    t_ref, t_test = np.linspace(0.0, 10.0, n), np.linspace(0.0, 10.0, 2 * n)
    return t_ref, smooth(t_ref), t_test, smooth(t_test)


def failing_args(n: int) -> tuple[np.ndarray, ...]:
    t_ref, y_ref, t_test, y_test = smooth_args(n)
    y_test = y_test.copy()
    y_test[len(y_test) // 3 :: 997] += 0.5  # scattered failing points
    return t_ref, y_ref, t_test, y_test


def medians(fns: dict[str, Callable[[], object]], reps: int, inner: int = 1) -> dict[str, tuple[float, list[float]]]:
    """Median seconds per call of each function, interleaved, with every sample."""
    samples: dict[str, list[float]] = {name: [] for name in fns}
    for fn in fns.values():
        fn()  # warm-up
    for _ in range(reps):
        for name, fn in fns.items():
            start = time.perf_counter()
            for _ in range(inner):
                fn()
            samples[name].append((time.perf_counter() - start) / inner)
    return {name: (statistics.median(values), values) for name, values in samples.items()}


def row(
    name: str,
    target: str,
    ok: Callable[[float], bool],
    contender: tuple[float, list[float]],
    baseline: tuple[float, list[float]],
    note: str = "",
) -> dict:
    ratio = contender[0] / baseline[0]
    per_rep = [c / b for c, b in zip(contender[1], baseline[1], strict=True)]
    return {
        "name": name,
        "ratio": ratio,
        "target": target,
        "met": ok(ratio),
        "contender_s": contender[0],
        "baseline_s": baseline[0],
        "ratio_min": min(per_rep),
        "ratio_max": max(per_rep),
        "reps": len(per_rep),
        "note": note,
    }


def api_rows(sizes: list[int]) -> list[dict]:
    rows = []
    for n in sizes:
        args = smooth_args(n)
        reference, test = args[:2], args[2:]
        reps, inner = (9, 5000) if n <= 100 else (41, 3) if n <= 100_000 else (15, 1)
        m = medians(
            {
                "vf": lambda reference=reference, test=test: vf.compare(reference, test),
                "module": lambda args=args: module.compare(*args),
            },
            reps,
            inner,
        )
        limit = 4.0 if n <= 100 else 1.10
        rows.append(
            row(
                f"vf.compare / module compare, {n:g} points",
                f"<= {limit:g}",
                lambda r, x=limit: r <= x,
                m["vf"],
                m["module"],
            )
        )
    return rows


def plot_row(n: int = 1_000_000) -> dict:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    args = failing_args(n)
    result = vf.compare(args[:2], args[2:])
    assert result.status is vf.Status.FAIL

    def plot() -> None:
        plt.close(result.plot())

    m = medians({"plot": plot, "module": lambda: module.compare(*args)}, reps=3)
    return row(
        f"plot of a failing comparison / module compare, {n:g} points",
        "<= 30",
        lambda r: r <= 30,
        m["plot"],
        m["module"],
    )


def output_row(folder: str, n: int = 1_000_000) -> dict:
    args = failing_args(n)
    result = vf.compare(args[:2], args[2:])
    stem = os.path.join(folder, "out")
    curves = {"lower": result.lower, "upper": result.upper, "errors": result.errors}

    def write() -> None:
        for label, curve in curves.items():
            write_curve(f"{stem}.{label}.csv", "time", label, *curve)

    def read() -> None:
        for label in curves:
            read_result(f"{stem}.{label}.csv")

    write()
    for label, curve in curves.items():  # what is written reads back bit for bit
        table = read_result(f"{stem}.{label}.csv")
        assert table.t.tobytes() == curve.t.tobytes() and table[table.names[0]].tobytes() == curve.y.tobytes()
    m = medians({"write": write, "read": read}, reps=5)
    return row(
        f"--output write / read_result, 3 curves of a {n:g}-point comparison",
        "<= 2",
        lambda r: r <= 2,
        m["write"],
        m["read"],
    )


def many_rows() -> list[dict]:
    rows = []
    for count, n, reps in ((10, 10, 9), (200, 100_000, 5)):
        args = smooth_args(n)
        pairs = [(args[:2], (args[2], args[3] + 1e-4 * i)) for i in range(count)]
        # Results are dropped as they come, as a streaming caller does (200
        # results of 10^5 points would hold 2.6 GB).
        m = medians(
            {
                "many": lambda pairs=pairs: deque(vf.compare_many(pairs), maxlen=0),
                "loop": lambda pairs=pairs: deque((vf.compare(*p) for p in pairs), maxlen=0),
            },
            reps,
        )
        limit = 3.0 if n <= 100 else 1.0
        rows.append(
            row(
                f"compare_many / loop, {count} pairs of {n:g} points",
                f"<= {limit:g}",
                lambda r, x=limit: r <= x,
                m["many"],
                m["loop"],
            )
        )
    return rows


def write_table(path: str, rows: int, variables: int, failing: bool = False, phase: float = 0.0) -> None:
    import pyarrow as pa
    import pyarrow.csv as pa_csv

    t = np.linspace(0.0, 100.0, rows)
    columns = {"time": t}
    for k in range(variables):
        y = smooth(t * (1 + k / 10), phase)
        if failing and k == 0:  # one failing variable per file, as in the report
            y = y.copy()
            y[rows // 2 :: 4999] += 1.0
        columns[f"v{k}"] = y
    pa_csv.write_csv(pa.table(columns), path)


def batch_folders(root: str, pairs: int, rows: int, variables: int, failing: bool) -> tuple[str, str]:
    reference, test = os.path.join(root, "ref"), os.path.join(root, "test")
    os.makedirs(reference)
    os.makedirs(test)
    write_table(os.path.join(root, "r.csv"), rows, variables)
    write_table(os.path.join(root, "t.csv"), rows, variables, failing=failing, phase=1e-6)
    for k in range(pairs):
        os.link(os.path.join(root, "r.csv"), os.path.join(reference, f"run{k:02}.csv"))
        os.link(os.path.join(root, "t.csv"), os.path.join(test, f"run{k:02}.csv"))
    return reference, test


def cli(*arguments: str) -> Callable[[], None]:
    command = [sys.executable, "-m", "velmora_funnel", *arguments]

    def run() -> None:
        done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=False)
        if done.returncode not in (0, 1):
            raise RuntimeError(f"{' '.join(command)} failed: {done.stderr}")

    return run


def batch_rows(root: str) -> list[dict]:
    rows = []
    reference, test = batch_folders(os.path.join(root, "jobs"), pairs=20, rows=200_000, variables=10, failing=False)
    m = medians(
        {
            "2": cli("batch", reference, test, "--quiet", "--jobs", "2"),
            "1": cli("batch", reference, test, "--quiet", "--jobs", "1"),
        },
        reps=5,
    )
    speedup = row(
        "batch --jobs 1 / --jobs 2, 20 pairs of 2e5 rows x 10 variables", ">= 1.6", lambda r: r >= 1.6, m["1"], m["2"]
    )
    rows.append(speedup)
    reference, test = batch_folders(os.path.join(root, "report"), pairs=4, rows=200_000, variables=10, failing=True)
    report = os.path.join(root, "report.html")
    m = medians(
        {
            "report": cli("batch", reference, test, "--quiet", "--report", report),
            "plain": cli("batch", reference, test, "--quiet"),
        },
        reps=5,
    )
    rows.append(
        row(
            "batch --report / batch, 4 pairs of 2e5 rows x 10 variables, 1 failing each",
            "<= 1.5",
            lambda r: r <= 1.5,
            m["report"],
            m["plain"],
        )
    )
    return rows


def cli_compare_row(root: str) -> dict:
    folder = os.path.join(root, "cli")
    os.makedirs(folder)
    reference, test = os.path.join(folder, "r.csv"), os.path.join(folder, "t.csv")
    write_table(reference, 1_000_000, 10)
    write_table(test, 1_000_000, 10, failing=True, phase=1e-6)

    def read_both() -> None:
        read_result(reference)
        read_result(test)

    # The baseline is a process too: one that starts, imports the loader and
    # reads both files, as the command's own process does before comparing.
    reader = [
        sys.executable,
        "-c",
        f"from velmora_funnel.io import read_result; read_result({reference!r}); read_result({test!r})",
    ]

    def read_process() -> None:
        subprocess.run(reader, check=True)

    m = medians({"compare": cli("compare", reference, test), "read": read_process, "in": read_both}, reps=5)
    return row(
        "velmora-funnel compare / a process reading both, 1e6 rows x 10 variables",
        "<= 1.5",
        lambda r: r <= 1.5,
        m["compare"],
        m["read"],
        note=f"both with process start-up; {m['compare'][0] / m['in'][0]:.2f} against reading in this process",
    )


def run_all(log: Callable[[dict], None], sizes: tuple[int, ...] = (10, 100_000, 1_000_000)) -> list[dict]:
    rows: list[dict] = []
    pool._shut_shared_pools()

    def add(new: dict | list[dict]) -> None:
        for item in new if isinstance(new, list) else [new]:
            rows.append(item)
            log(item)

    with tempfile.TemporaryDirectory(prefix="velmora-bench-") as root:
        add(api_rows(list(sizes)))
        add(many_rows())
        add(output_row(root))
        add(plot_row())
        add(batch_rows(root))
        add(cli_compare_row(root))
    return rows


def print_row(item: dict) -> None:
    mark = "met" if item["met"] else "NOT MET"
    print(
        f"{item['name']:<82} {item['ratio']:7.2f}  target {item['target']:<7} {mark:<7} "
        f"(reps {item['reps']}: {item['ratio_min']:.2f}..{item['ratio_max']:.2f}) {item['note']}",
        flush=True,
    )


if __name__ == "__main__":
    which = sys.argv[1:] or ["all"]
    with tempfile.TemporaryDirectory(prefix="velmora-bench-") as scratch:
        for name in which:
            result = {
                "api": lambda: api_rows([10, 100_000, 1_000_000]),
                "many": many_rows,
                "output": lambda: output_row(scratch),
                "plot": plot_row,
                "batch": lambda: batch_rows(scratch),
                "cli": lambda: cli_compare_row(scratch),
                "all": lambda: run_all(print_row),
            }[name]()
            if name != "all":
                for item in result if isinstance(result, list) else [result]:
                    print_row(item)
