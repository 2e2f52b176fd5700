"""The cost of the HTML report: a batch whose variables all fail, timed with and without --report.

Run:  .venv/bin/python bench/report.py [--files N] [--variables N] [--points N] [--repeat N] [--plots N]

Writes a library of MAT v4 result files (bench/library.py's writer: a uniform reference grid, the run
on a variable-step grid), every variable of the run with a bump that leaves its funnel, so that the
batch has files x variables failing variables of --points points each (200 of 10^5 by default). Then
times, interleaved, `velmora-funnel batch REF RUNS --json --quiet` and the same with --report, and
prints the median of each, their ratio (the target: at most 2) and the report's size (the bound:
about 1.6 MB of scripts, at most 0.9 MB per embedded plot, about 0.6 kB per variable in the table).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from library import _signal, write_result  # the library bench's writer and curves


def make_batch(root: str, files: int, variables: int, points: int, distinct: int = 4) -> tuple[str, str]:
    """REF and RUNS folders of ``files`` models whose every variable fails."""
    rng = np.random.default_rng(2)
    reference, runs = os.path.join(root, "reference"), os.path.join(root, "runs")
    os.makedirs(reference)
    os.makedirs(runs)
    t_ref = np.linspace(0.0, 10.0, points)
    for d in range(min(distinct, files)):
        steps = rng.uniform(0.1, 2.0, points - 1)
        t_run = np.concatenate([[0.0], np.cumsum(steps) / steps.sum() * 10.0])
        t_run[-1] = 10.0
        names = [f"model.part{k // 10}.x[{k % 10 + 1}]" for k in range(variables)]
        # A bump of its own width and place per variable: the margins differ, the worst are plotted.
        bumps = {n: (0.1 + 0.4 * rng.random()) * (np.abs(t_run - rng.uniform(1, 9)) < 0.05) for n in names}
        write_result(os.path.join(reference, f"m{d}.mat"), t_ref, {n: _signal(t_ref, k) for k, n in enumerate(names)})
        write_result(
            os.path.join(runs, f"m{d}.mat"), t_run, {n: _signal(t_run, k) + bumps[n] for k, n in enumerate(names)}
        )
    for p in range(distinct, files):
        for folder in (reference, runs):
            os.link(os.path.join(folder, f"m{p % distinct}.mat"), os.path.join(folder, f"m{p}.mat"))
    return reference, runs


def batch(reference: str, runs: str, root: str, *extra: str) -> float:
    command = [os.path.join(os.path.dirname(sys.executable), "velmora-funnel"), "batch", reference, runs]
    command += ["--json", os.path.join(root, "batch.json"), "--quiet", *extra]
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=20)
    parser.add_argument("--variables", type=int, default=10, help="per file, every one failing")
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--plots", type=int, default=None, help="--report-plots (the default: the command's)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="velmora-report-bench-") as root:
        reference, runs = make_batch(root, args.files, args.variables, args.points)
        report = os.path.join(root, "report.html")
        extra = ["--report", report, *(["--report-plots", str(args.plots)] if args.plots is not None else [])]
        plain, with_report = [], []
        batch(reference, runs, root)  # the page cache warm for both
        for _ in range(args.repeat):
            plain.append(batch(reference, runs, root))
            with_report.append(batch(reference, runs, root, *extra))
        size = os.path.getsize(report)
    without, with_ = statistics.median(plain), statistics.median(with_report)
    failing = args.files * args.variables
    print(f"report bench: {failing} failing variables of {args.points} points in {args.files} files")
    print(f"  batch                {without:7.2f} s")
    print(f"  batch --report       {with_:7.2f} s   ratio {with_ / without:.2f} (target <= 2)")
    print(f"  report file          {size / 2**20:7.2f} MiB")


if __name__ == "__main__":
    main()
