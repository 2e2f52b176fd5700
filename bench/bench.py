"""Benchmark of velmora-funnel's compare against what users write instead.

Run:  .venv/bin/python bench/bench.py [--sizes 1e3,1e4,...] [--max-n 1e7] [--json FILE]
      (or `make bench`, which installs the package first)

Three workloads, default options, n reference points each:

  smooth  sums of sines; the test curve samples the same function on a
          different grid of 2n points
  noisy   a sine plus white noise of 5% of its amplitude; the test curve is
          the reference plus noise of 0.05%
  steps   piecewise-constant levels with vertical steps (each step repeats
          its abscissa); the test curve is the reference plus small noise

Beside compare, on the same arrays, it times

  band    what a user writes without the package: np.interp of the reference
          at the test abscissae, |difference| <= 0.002 * ordinate span, all()
  floor   a memory-traffic floor: six fresh arrays of the sizes compare
          returns, filled by np.copyto from the four inputs

All three run in one process, interleaved, and the table shows medians of
several repetitions. Peak memory is the growth of the resident set during
one compare call beyond the resident set before it (VmHWM after resetting
it through /proc/self/clear_refs), next to the size of the six result
arrays. The last table is the per-call cost on 10-point curves against one
np.interp on the same 10 points. Nothing here asserts on timings.

Then the targets table: each figure a ratio of two medians measured in this
run, with its target beside it and the spread of the per-repetition ratios
(the machine may be shared: the load average is printed with it). The core's
targets come from the table above; the workflow targets (vf.compare over the
module, compare_many over a loop, --output writing over reading, plotting,
batch with 1 and 2 jobs, batch --report, the compare command over reading its
files) from bench/workflows.py, which writes its files into a temporary
folder (--no-workflows skips them; they take several minutes).
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import platform
import statistics
import sys
import time
from collections.abc import Callable

import numpy as np

import _velmora_funnel as vf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workflows

RTOL = 0.002  # the default span-relative ordinate tolerance of compare
WORKLOADS = ("smooth", "noisy", "steps")


# ---------------------------------------------------------------------------
# Workloads


def make_smooth(n: int, rng: np.random.Generator) -> tuple[np.ndarray, ...]:
    def f(t: np.ndarray) -> np.ndarray:
        return np.sin(t) + 0.5 * np.sin(3.1 * t + 0.3) + 0.25 * np.sin(7.3 * t + 1.1)

    t_ref = np.linspace(0.0, 10.0, n)
    t_test = np.linspace(0.0, 10.0, 2 * n)
    return t_ref, f(t_ref), t_test, f(t_test)


def make_noisy(n: int, rng: np.random.Generator) -> tuple[np.ndarray, ...]:
    t = np.linspace(0.0, 10.0, n)
    y_ref = np.sin(t) + 0.05 * rng.standard_normal(n)
    y_test = y_ref + 0.0005 * rng.standard_normal(n)
    return t, y_ref, t.copy(), y_test


def make_steps(n: int, rng: np.random.Generator) -> tuple[np.ndarray, ...]:
    # Runs of 10 points on a level; the first point of every run repeats the
    # abscissa of the last point of the run before: a vertical step.
    run = 10
    k = np.arange(n)
    t = (k - k // run).astype(np.float64) * (10.0 / n)
    levels = rng.integers(0, 5, size=n // run + 1).astype(np.float64)
    y_ref = levels[k // run]
    y_test = y_ref + 0.0005 * rng.standard_normal(n)
    return t, y_ref, t.copy(), y_test


MAKERS: dict[str, Callable[[int, np.random.Generator], tuple[np.ndarray, ...]]] = {
    "smooth": make_smooth,
    "noisy": make_noisy,
    "steps": make_steps,
}


# ---------------------------------------------------------------------------
# Contenders


def run_compare(tr, yr, tt, yt):
    return vf.compare(tr, yr, tt, yt)


def run_band(tr, yr, tt, yt):
    expected = np.interp(tt, tr, yr)
    tol = RTOL * (yr.max() - yr.min())
    return bool(np.all(np.abs(yt - expected) <= tol))


def make_floor(sizes: list[int]):
    def run_floor(tr, yr, tt, yt):
        outs = [np.empty(k) for k in sizes]
        for out, src in zip(outs, (tr, yr, tr, yr, tt, yt)):
            k = len(out)
            done = 0
            while done < k:  # a bound longer than its input repeats it
                step = min(k - done, len(src))
                np.copyto(out[done : done + step], src[:step])
                done += step
        return outs

    return run_floor


# ---------------------------------------------------------------------------
# Measurement


def timed(fn: Callable, args: tuple, inner: int) -> float:
    """Seconds per call, averaged over `inner` back-to-back calls."""
    start = time.perf_counter_ns()
    for _ in range(inner):
        result = fn(*args)
    elapsed = time.perf_counter_ns() - start
    del result
    return elapsed / inner * 1e-9


def interleaved_medians(fns: dict[str, Callable], args: tuple, reps: int, inner: int) -> dict[str, float]:
    samples: dict[str, list[float]] = {name: [] for name in fns}
    for fn in fns.values():  # warm-up: code paths, allocator, page cache
        fn(*args)
    for _ in range(reps):
        for name, fn in fns.items():
            samples[name].append(timed(fn, args, inner))
    return {name: statistics.median(values) for name, values in samples.items()}


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def _trim_heap() -> None:
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def peak_extra_bytes(fn: Callable, args: tuple) -> int | None:
    """Growth of the resident set's high-water mark during one call."""
    _trim_heap()
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the current resident set
    except OSError:
        return None
    before = _status_kib("VmRSS")
    result = fn(*args)
    peak = _status_kib("VmHWM")
    del result
    return max(0, peak - before) * 1024


def plan(n: int) -> tuple[int, int]:
    """(repetitions, calls per repetition) so that each sample lasts long enough."""
    if n <= 1_000:
        return 9, 50
    if n <= 10_000:
        return 9, 10
    if n <= 100_000:
        return 7, 2
    if n <= 1_000_000:
        return 7, 1
    return 5, 1


def bench_row(workload: str, n: int) -> dict:
    rng = np.random.default_rng(20_240_601 + n)
    args = MAKERS[workload](n, rng)
    result = vf.compare(*args)
    sizes = [len(result[key][axis]) for key in ("lower", "upper", "errors") for axis in (0, 1)]
    result_bytes = 8 * sum(sizes)
    status = result["status"]
    del result
    reps, inner = plan(n)
    fns = {"compare": run_compare, "band": run_band, "floor": make_floor(sizes)}
    medians = interleaved_medians(fns, args, reps, inner)
    peak = peak_extra_bytes(run_compare, args)
    return {
        "workload": workload,
        "n": n,
        "m": len(args[2]),
        "status": status,
        "bound_points": sizes[0] + sizes[2],
        "compare_s": medians["compare"],
        "band_s": medians["band"],
        "floor_s": medians["floor"],
        "compare_over_band": medians["compare"] / medians["band"],
        "compare_over_floor": medians["compare"] / medians["floor"],
        "ns_per_point": medians["compare"] / n * 1e9,
        "peak_extra_bytes": peak,
        "result_bytes": result_bytes,
        "peak_over_result": None if peak is None else peak / result_bytes,
    }


def bench_small(reps: int = 9, inner: int = 20_000) -> dict:
    """Per-call cost of compare on 10-point curves against np.interp on them."""
    t = np.linspace(0.0, 1.0, 10)
    y = np.sin(3.0 * t)
    args = (t, y, t.copy(), y.copy())

    def interp(tr, yr, tt, yt):
        return np.interp(tt, tr, yr)

    medians = interleaved_medians({"compare": run_compare, "interp": interp}, args, reps, inner)
    return {
        "compare_us": medians["compare"] * 1e6,
        "interp_us": medians["interp"] * 1e6,
        "compare_over_interp": medians["compare"] / medians["interp"],
    }


# ---------------------------------------------------------------------------
# Report


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.1f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:8.2f} ms"
    return f"{seconds:8.3f} s "


def fmt_mib(size: int | None) -> str:
    return "      n/a" if size is None else f"{size / 2**20:9.1f}"


HEADER = (
    f"{'workload':8} {'n':>9} {'compare':>11} {'band':>11} {'floor':>11} "
    f"{'c/band':>7} {'c/floor':>7} {'ns/pt':>7} {'peak MiB':>9} {'res MiB':>9} {'peak/res':>8}"
)


def print_row(row: dict) -> None:
    ratio = "     n/a" if row["peak_over_result"] is None else f"{row['peak_over_result']:8.2f}"
    print(
        f"{row['workload']:8} {row['n']:>9} {fmt_time(row['compare_s'])} {fmt_time(row['band_s'])} "
        f"{fmt_time(row['floor_s'])} {row['compare_over_band']:7.2f} {row['compare_over_floor']:7.2f} "
        f"{row['ns_per_point']:7.1f} {fmt_mib(row['peak_extra_bytes'])} {fmt_mib(row['result_bytes'])} {ratio}",
        flush=True,
    )


def core_targets(rows: list[dict]) -> list[dict]:
    """The core's own targets, from the table's rows (a target whose size was skipped is left out)."""
    found = {(row["workload"], row["n"]): row for row in rows}
    targets = []
    smooth, noisy = found.get(("smooth", 1_000_000)), found.get(("noisy", 1_000_000))
    if smooth is not None:
        ratio = smooth["compare_over_band"]
        targets.append(
            {
                "name": "core: smooth 1e6 compare / band",
                "ratio": ratio,
                "target": "<= 1.6",
                "met": ratio <= 1.6,
                "ratio_min": ratio,
                "ratio_max": ratio,
                "reps": plan(10**6)[0],
                "note": "ratio of the medians above",
            }
        )
    if smooth is not None and noisy is not None:
        ratio = noisy["compare_s"] / smooth["compare_s"]
        targets.append(
            {
                "name": "core: noisy / smooth compare, 1e6",
                "ratio": ratio,
                "target": "<= 5",
                "met": ratio <= 5,
                "ratio_min": ratio,
                "ratio_max": ratio,
                "reps": plan(10**6)[0],
                "note": "",
            }
        )
    big = found.get(("smooth", 10_000_000))
    if big is not None and big["peak_over_result"] is not None:
        ratio = big["peak_over_result"]
        targets.append(
            {
                "name": "core: peak extra memory / result arrays, smooth 1e7",
                "ratio": ratio,
                "target": "<= 1.5",
                "met": ratio <= 1.5,
                "ratio_min": ratio,
                "ratio_max": ratio,
                "reps": 1,
                "note": "",
            }
        )
    return targets


def parse_sizes(text: str) -> list[int]:
    return [int(float(part)) for part in text.split(",") if part.strip()]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--sizes",
        type=parse_sizes,
        default=parse_sizes("1e3,1e4,1e5,1e6,1e7"),
        help="comma-separated reference sizes (default 1e3,...,1e7)",
    )
    parser.add_argument(
        "--max-n", type=float, default=None, help="drop sizes above this, e.g. --max-n 1e6 to skip 10^7"
    )
    parser.add_argument(
        "--workloads", default=",".join(WORKLOADS), help="comma-separated subset of " + ", ".join(WORKLOADS)
    )
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON to FILE")
    parser.add_argument(
        "--no-workflows",
        action="store_true",
        help="skip the workflow targets (plots, outputs, compare_many, batch, the command line)",
    )
    args = parser.parse_args(argv)

    sizes = [n for n in args.sizes if args.max_n is None or n <= args.max_n]
    workloads = [w for w in args.workloads.split(",") if w]
    for w in workloads:
        if w not in MAKERS:
            parser.error(f"unknown workload {w!r}")

    print(
        f"velmora-funnel {vf.version()}, numpy {np.__version__}, Python {platform.python_version()}, "
        f"{os.cpu_count()} CPUs"
    )
    print("times are medians; c/band and c/floor are ratios of compare's time; ns/pt per reference point;")
    print("peak = resident growth during one compare, res = size of its six result arrays")
    print(HEADER)
    rows = []
    for n in sizes:
        for w in workloads:
            row = bench_row(w, n)
            rows.append(row)
            print_row(row)

    small = bench_small()
    print()
    print(
        f"10-point curves: compare {small['compare_us']:.2f} us per call, np.interp "
        f"{small['interp_us']:.2f} us, ratio {small['compare_over_interp']:.2f}"
    )

    targets = core_targets(rows)
    print()
    print(
        f"targets (ratios of medians, contender and baseline interleaved in this run; reps: min..max of the "
        f"per-repetition ratios; load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs)"
    )
    for item in targets:
        workflows.print_row(item)
    if not args.no_workflows:
        targets += workflows.run_all(workflows.print_row)

    if args.json:
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as out:
            json.dump(
                {
                    "version": vf.version(),
                    "numpy": np.__version__,
                    "python": platform.python_version(),
                    "machine": platform.machine(),
                    "cpus": os.cpu_count(),
                    "rows": rows,
                    "small": small,
                    "targets": targets,
                    "load_average_after": os.getloadavg(),
                },
                out,
                indent=2,
            )
            out.write("\n")
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
