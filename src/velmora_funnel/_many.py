"""Many comparisons across processes or machines, results in input order.

Any concurrent.futures.Executor runs the batch: by default a process pool on
all cores; a Dask cluster's executor (``distributed.Client(...).get_executor()``)
spreads the same batch across machines. Only a bounded window of comparisons
is in flight at a time, so a large batch never holds every result at once.
"""

from __future__ import annotations

import multiprocessing
import os
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from typing import Any, TypeVar

from ._api import CompareResult, CurveLike, _as_curve, _compare_checked, check_tolerances, check_x_range

__all__ = ["POOL_HINT", "compare_many", "default_workers", "imap_ordered", "process_pool"]

POOL_HINT = (
    "the worker processes of the default pool could not start; a script that calls compare_many "
    "must do so under `if __name__ == \"__main__\":` (workers import the main module), "
    "or pass executor=... of its own"
)

T = TypeVar("T")


def default_workers() -> int:
    """Number of worker processes of the default pool: the usable cores."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not Linux
        return max(1, os.cpu_count() or 1)


def process_pool(workers: int | None = None) -> ProcessPoolExecutor:
    """A process pool whose workers start from a clean server process.

    Forking a parent that already runs threads (a progress bar, a Dask client,
    BLAS) can deadlock the child, so workers come from the forkserver.
    """
    return ProcessPoolExecutor(
        max_workers=workers or default_workers(), mp_context=multiprocessing.get_context("forkserver")
    )


def imap_ordered(
    executor: Executor, function: Callable[..., T], argument_tuples: Iterable[tuple[Any, ...]], window: int
) -> Iterator[T]:
    """Submit ``function(*args)`` for each tuple and yield the results in input
    order, keeping at most ``window`` calls in flight.

    Closing the iterator early cancels what has not started.
    """
    pending: deque[Future[T]] = deque()
    try:
        for arguments in argument_tuples:
            pending.append(executor.submit(function, *arguments))
            if len(pending) >= window:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        for future in pending:
            future.cancel()


def _compare_pair(reference: CurveLike, test: CurveLike, tolerances: dict[str, float], x_range: tuple[float, float]) -> CompareResult:
    return _compare_checked(reference, test, tolerances, x_range)


def compare_many(
    pairs: Iterable[tuple[CurveLike, CurveLike]],
    *,
    executor: Executor | None = None,
    progress: bool = False,
    x_range: tuple[float | None, float | None] | None = None,
    max_pending: int | None = None,
    **tolerances: float,
) -> Iterator[CompareResult]:
    """Compare many ``(reference, test)`` pairs; yield results in input order.

    Each pair takes the forms that compare() accepts; the tolerances and
    ``x_range`` are compare()'s and apply to every pair. They are checked
    before anything runs, so a bad tolerance raises here, not in a worker.

    ``executor`` runs the comparisons: by default a process pool on all cores
    (created and shut down by this iterator); any concurrent.futures.Executor
    works, for example a Dask cluster's ``client.get_executor()``. At most
    ``max_pending`` comparisons are in flight (default: twice the pool's
    workers, or 64 for a given executor), so results stream out and memory
    stays bounded. ``progress=True`` shows a progress bar on stderr.
    """
    checked = check_tolerances(**tolerances)
    lo_hi = check_x_range(x_range)
    if max_pending is not None and max_pending < 1:
        raise ValueError(f"max_pending must be at least 1, got {max_pending}")
    total = len(pairs) if hasattr(pairs, "__len__") else None  # type: ignore[arg-type]
    return _run(pairs, executor, progress, checked, lo_hi, max_pending, total)


def _shippable(pairs: Iterable[tuple[CurveLike, CurveLike]], tolerances: dict[str, float], x_range: tuple[float, float]) -> Iterator[tuple[Any, ...]]:
    # Convert in the parent: workers then receive compact float64 arrays, and
    # a malformed pair raises here with the caller's traceback.
    for pair in pairs:
        try:
            reference, test = pair
        except (TypeError, ValueError):
            raise TypeError(f"each item of pairs must be a (reference, test) pair, got {type(pair).__name__}") from None
        yield (_as_curve(reference, "reference"), _as_curve(test, "test"), tolerances, x_range)


def _run(
    pairs: Iterable[tuple[CurveLike, CurveLike]],
    executor: Executor | None,
    progress: bool,
    tolerances: dict[str, float],
    x_range: tuple[float, float],
    max_pending: int | None,
    total: int | None,
) -> Iterator[CompareResult]:
    from tqdm import tqdm

    owned = executor is None
    if executor is None:
        workers = default_workers()
        executor = process_pool(workers)
        window = max_pending or 2 * workers
    else:
        window = max_pending or 64
    try:
        results = imap_ordered(executor, _compare_pair, _shippable(pairs, tolerances, x_range), window)
        with tqdm(results, total=total, disable=not progress, unit="pair", desc="compare") as bar:
            yield from bar
    except BrokenProcessPool as exc:
        if not owned:
            raise
        raise RuntimeError(POOL_HINT) from exc
    finally:
        if owned:
            executor.shutdown(wait=True, cancel_futures=True)
