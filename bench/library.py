"""The model-library rows of the bench: a library's regression run, as users run it every day.

Run:  .venv/bin/python bench/library.py [--pairs N] [--variables N] [--points N] [--scale N]

Writes a library of MAT v4 result files in the binTrans layout Modelica tools write (a uniform
reference grid, the run on a variable-step grid, 2 % of the variables failing), then times on the
same files, interleaved:

- `velmora-funnel batch REF RUNS --junit --json --quiet --jobs 2`, and with `--jobs 1`;
- what a user writes without the package: scipy.io.loadmat of both files, np.interp of the reference
  at the run's abscissae, a band of 0.002 times the span, in one process;
- the floor under any batch: the same reading and the module's compare of every variable, nothing
  else, in one process;
- a batch of one pair: the start-up a run of any size pays once (the scaled times pay it once);
- per variable, what the package adds to the module's compare (reading excluded).

Files are written once per distinct content and hard-linked (a library of N models holds N files;
the page cache serves the copies, as it does a library read twice). --scale multiplies the measured
times to the size of a whole library of --scale times --pairs pairs.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

FAILING_SHARE = 0.02


def write_result(path: str, t: np.ndarray, columns: dict[str, np.ndarray]) -> None:
    """A result file as Dymola writes it: names and descriptions as padded char matrices, every
    variable in data_2 (binTrans: one row per variable), the time first."""
    import scipy.io

    names = ["time", *columns]
    width = max(map(len, names))
    padded = [name.ljust(width) for name in names]
    count = len(names)
    info = np.column_stack([np.full(count, 2), np.arange(1, count + 1), np.zeros(count), np.full(count, -1)])
    scipy.io.savemat(
        path,
        {
            "Aclass": np.array(["Atrajectory", "1.1        ", "           ", "binTrans   "]),
            "name": np.array(["".join(name[j] for name in padded) for j in range(width)]),
            "description": np.array([" " * count]),
            "dataInfo": info.astype(np.int32).T,
            "data_1": np.array([[t[0]], [t[-1]]]),
            "data_2": np.vstack([t, *columns.values()]),
        },
        format="4",
    )


def _signal(t: np.ndarray, k: int) -> np.ndarray:
    return np.sin(t * (1 + k % 7) + k) + 0.3 * np.cos(3.1 * t + 0.7 * k)


def make_library(root: str, pairs: int, variables: int, points: int, distinct: int = 4) -> tuple[str, str, int]:
    """REF and RUNS folders of ``pairs`` models; returns them and the number of failing variables."""
    rng = np.random.default_rng(1)
    reference, runs = os.path.join(root, "reference"), os.path.join(root, "runs")
    os.makedirs(reference)
    os.makedirs(runs)
    t_ref = np.linspace(0.0, 10.0, points)
    failing_per_file = max(1, round(FAILING_SHARE * variables))
    for d in range(min(distinct, pairs)):
        # A variable-step solver: steps from a tenth to twice the uniform one, same span.
        steps = rng.uniform(0.1, 2.0, points - 1)
        t_run = np.concatenate([[0.0], np.cumsum(steps) / steps.sum() * 10.0])
        t_run[-1] = 10.0
        names = [f"model.part{k // 10}.x[{k % 10 + 1}]" for k in range(variables)]
        failing = set(rng.choice(variables, failing_per_file, replace=False).tolist())
        run_columns = {}
        for k, name in enumerate(names):
            y = _signal(t_run, k + d)
            if k in failing:
                y = y + 0.5 * (np.abs(t_run - 5.0) < 0.2)
            run_columns[name] = y
        write_result(
            os.path.join(reference, f"m{d}.mat"), t_ref, {n: _signal(t_ref, k + d) for k, n in enumerate(names)}
        )
        write_result(os.path.join(runs, f"m{d}.mat"), t_run, run_columns)
    for p in range(distinct, pairs):
        for folder in (reference, runs):
            os.link(os.path.join(folder, f"m{p % distinct}.mat"), os.path.join(folder, f"m{p}.mat"))
    return reference, runs, pairs * failing_per_file


def _load(path: str) -> tuple[np.ndarray, dict[str, np.ndarray]]:
    import scipy.io

    mat = scipy.io.loadmat(path)
    names = ["".join(chars).strip() for chars in zip(*mat["name"], strict=True)]
    data = mat["data_2"]
    return data[0], {name: data[i] for i, name in enumerate(names) if i}


def naive(reference: str, runs: str) -> int:
    """What a user writes without the package: the failing variables of every pair."""
    failures = 0
    for file in sorted(os.listdir(reference)):
        t_ref, ref = _load(os.path.join(reference, file))
        t_run, run = _load(os.path.join(runs, file))
        for name, y_ref in ref.items():
            band = 0.002 * (y_ref.max() - y_ref.min())
            failures += bool(np.any(np.abs(np.interp(t_run, t_ref, y_ref) - run[name]) > band))
    return failures


def module_alone(reference: str, runs: str) -> int:
    """The floor under any batch: the naive script's reading, then the module's compare of every
    variable and nothing else (no summary, no report), in one process."""
    import _velmora_funnel as module

    failures = 0
    for file in sorted(os.listdir(reference)):
        t_ref, ref = _load(os.path.join(reference, file))
        t_run, run = _load(os.path.join(runs, file))
        for name, y_ref in ref.items():
            failures += module.compare(t_ref, y_ref, t_run, run[name])["status"] != 0
    return failures


def batch(reference: str, runs: str, jobs: int, root: str, *extra: str) -> int:
    """The package's command line on the library: the failing variables it found."""
    out = os.path.join(root, "batch.json")
    command = [os.path.join(os.path.dirname(sys.executable), "velmora-funnel"), "batch", reference, runs]
    command += ["--junit", os.path.join(root, "junit.xml"), "--json", out, "--quiet", *extra]
    command += ["--jobs", str(jobs)] if jobs else []
    subprocess.run(command, stdout=subprocess.DEVNULL, check=False)
    with open(out) as handle:
        return int(json.load(handle)["summary"]["failed"])


def per_variable(points: int, variables: int = 50) -> tuple[float, float]:
    """Seconds per variable of the module's compare, and of the package's comparison of a loaded
    table (what a batch's worker does after reading), at ``points`` points."""
    import _velmora_funnel as module
    from velmora_funnel.io import ResultTable
    from velmora_funnel.run import RunOptions
    from velmora_funnel.run.pairs import compare_tables
    from velmora_funnel.run.pool import keep_freed_memory

    # The allocator as a batch's worker tunes it: without, the module's
    # result vectors come in fresh pages, and their faults hide what the
    # package adds.
    keep_freed_memory()

    t_ref = np.linspace(0.0, 10.0, points)
    t_run = np.sort(np.concatenate([[0.0, 10.0], np.random.default_rng(2).uniform(0.0, 10.0, points - 2)]))
    names = [f"v{k}" for k in range(variables)]

    def read_only(values: np.ndarray) -> np.ndarray:
        # as every reader gives its columns: memory of their own (linspace
        # gives a view), frozen
        values = np.array(values)
        values.flags.writeable = False
        return values

    def table(path: str, t: np.ndarray) -> ResultTable:
        columns = {n: read_only(_signal(t, k)) for k, n in enumerate(names)}
        return ResultTable(path, "time", read_only(t), tuple(names), columns)

    ref, run = table("r.mat", t_ref), table("t.mat", t_run)
    options = RunOptions()

    def module_all() -> None:
        for name in names:
            module.compare(ref.t, ref[name], run.t, run[name])

    def package_all() -> None:
        for _ in compare_tables(ref, run, options):
            pass

    samples: dict[str, list[float]] = {"module": [], "package": []}
    for _ in range(7):
        for key, fn in (("module", module_all), ("package", package_all)):
            start = time.perf_counter()
            fn()
            samples[key].append((time.perf_counter() - start) / variables)
    return statistics.median(samples["module"]), statistics.median(samples["package"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=100)
    parser.add_argument("--variables", type=int, default=100)
    parser.add_argument("--points", type=int, default=10_000)
    parser.add_argument("--scale", type=float, default=10.0, help="quote times for a library this many times larger")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--scheduler", action="store_true", help="also time a local 2-worker Dask cluster")
    args = parser.parse_args()
    print(
        f"library: {args.pairs} pairs x {args.variables} variables x {args.points} points; load {os.getloadavg()[0]:.2f}"
    )
    with tempfile.TemporaryDirectory() as root:
        reference, runs, expected = make_library(root, args.pairs, args.variables, args.points)
        runners = {
            "naive script, 1 process": lambda: naive(reference, runs),
            "module alone, 1 process": lambda: module_alone(reference, runs),
            "batch --jobs 1": lambda: batch(reference, runs, 1, root),
            "batch --jobs 2": lambda: batch(reference, runs, 2, root),
        }
        if args.scheduler:
            runners["batch --scheduler local:2"] = lambda: batch(reference, runs, 0, root, "--scheduler", "local:2")
        # A batch of one pair: the start-up (interpreter, imports, worker
        # pool) that a library of any size pays once; the scaled times pay it once.
        one = os.path.join(root, "one")
        for folder, source in (("reference", reference), ("runs", runs)):
            os.makedirs(os.path.join(one, folder))
            os.link(os.path.join(source, "m0.mat"), os.path.join(one, folder, "m0.mat"))
        first = batch(os.path.join(one, "reference"), os.path.join(one, "runs"), 2, root)
        runners["start-up: batch of 1 pair"] = lambda: (
            batch(os.path.join(one, "reference"), os.path.join(one, "runs"), 2, root) - first + expected
        )
        seconds: dict[str, list[float]] = {name: [] for name in runners}
        for _ in range(args.repeat):
            for name, run in runners.items():
                start = time.perf_counter()
                found = run()
                seconds[name].append(time.perf_counter() - start)
                if found != expected:
                    print(f"  {name}: found {found} failing variables, expected {expected}")
        median = {name: statistics.median(values) for name, values in seconds.items()}
        startup = median.pop("start-up: batch of 1 pair")
        print(f"  {'start-up: batch of 1 pair':28s} {startup:8.2f} s")
        for name, value in median.items():
            paid = startup if name.startswith("batch") else 0.0
            print(f"  {name:28s} {value:8.2f} s   (x{args.scale:g}: {paid + (value - paid) * args.scale:7.1f} s)")
        naive_s, jobs1, jobs2 = median["naive script, 1 process"], median["batch --jobs 1"], median["batch --jobs 2"]
        floor = median["module alone, 1 process"]
        print(
            f"  module alone / naive script: {floor / naive_s:.2f} on one core, {floor / 2 / naive_s:.2f} on two at best"
        )
        print(f"  batch --jobs 2 / naive script: {jobs2 / naive_s:.2f} (target <= 1.0)")
        print(f"  --jobs 1 / --jobs 2: {jobs1 / jobs2:.2f} (target >= 1.8)")
        print(
            f"  beyond the start-up: batch --jobs 2 / naive {(jobs2 - startup) / naive_s:.2f}, "
            f"--jobs 1 / --jobs 2 {(jobs1 - startup) / (jobs2 - startup):.2f}"
        )
        if args.scheduler:
            print(f"  local:2 cluster / --jobs 2: {median['batch --scheduler local:2'] / median['batch --jobs 2']:.2f}")
    # In a process of its own, as a worker is: the allocator's state after
    # the runs above would decide more of the row than the package does.
    measured = subprocess.run(
        [sys.executable, __file__, "--per-variable", str(args.points)], capture_output=True, text=True, check=True
    )
    module_s, package_s = (float(word) for word in measured.stdout.split())
    print(
        f"  per variable at {args.points} points: module {module_s * 1e3:.3f} ms, package {package_s * 1e3:.3f} ms, "
        f"added / module {(package_s - module_s) / module_s:.2f} (target <= 0.25)"
    )
    print(f"load after: {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--per-variable"]:
        print(*per_variable(int(sys.argv[2])))
    else:
        main()
