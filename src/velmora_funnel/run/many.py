"""compare_many(): many pairs of curves, results in input order.

Pairs are compared in the calling process while moving them to worker
processes would cost more than it saves, and on a process pool (or any
concurrent.futures.Executor, a Dask cluster's included) once the pairs
timed so far show that it pays. Only a bounded window of comparisons is in
flight at a time, so a large batch never holds every result at once.
"""

from __future__ import annotations

import time
from collections.abc import Iterable, Iterator
from concurrent.futures import Executor
from contextlib import closing
from typing import Any

from ..comparison import CompareOptions, CompareResult, Curve, CurveLike, as_curve, compare_checked, compare_curves
from ..comparison.immutable import freeze_if_owned
from ..errors import WorkerDiedError
from .pool import default_workers, imap_settled, process_pool, shared_pool_running

__all__ = ["compare_many", "compare_shipped"]


def _owned(curve: Curve) -> Curve:
    # The caller's process hands over read-only arrays (as_curve): a writeable
    # one here is this worker's own unpickled copy, which nobody else holds,
    # so it is frozen in place instead of copied once more.
    for array in curve:
        freeze_if_owned(array)
    return curve


def compare_shipped(reference: Curve, test: Curve, options: CompareOptions) -> CompareResult:
    """What runs in a worker: compare curves that as_curve() converted in the caller's process."""
    return compare_curves(_owned(reference), _owned(test), options)


#: What the parent spends to move one pair to a worker and its result back:
#: per byte pickled, piped and unpickled (inputs and result arrays; 200 pairs
#: of 10^5 points moved 13 MB per pair in about 40 ms), and per call (the
#: future, the pipe's round trip, waking the threads that serve the pool).
SHIP_SECONDS_PER_BYTE = 3e-9
SHIP_SECONDS_PER_PAIR = 5e-4
#: Seconds of comparisons run in this process before a pool is started: its
#: workers take about this long to start and import NumPy.
POOL_START_SECONDS = 0.25
#: In-process comparisons timed before a pool may be used.
_SAMPLE = 4


def compare_many(
    pairs: Iterable[tuple[CurveLike, CurveLike]],
    *,
    executor: Executor | None = None,
    pool: bool | None = None,
    progress: bool = False,
    x_range: tuple[float | None, float | None] | None = None,
    max_pending: int | None = None,
    **tolerances: float,
) -> Iterator[CompareResult]:
    """Compare many ``(reference, test)`` pairs; yield results in input order.

    Each pair takes the forms that compare() accepts; the tolerances,
    ``x_range`` and ``end_tolerance`` are compare()'s and apply to every pair. They are checked
    before anything runs, so a bad tolerance raises here, not in a worker.

    ``executor`` runs the comparisons: any concurrent.futures.Executor, for
    example a Dask cluster's ``client.get_executor()``. Without one, pairs are
    compared in this process as long as moving them to worker processes would
    cost more than it saves (curves and results cross a pipe; most
    comparisons are faster than that), and the rest go to a process pool on
    all cores once the comparisons timed here show that it pays. That pool is
    started once and reused by later calls. ``pool=True`` always uses it,
    ``pool=False`` never. At most ``max_pending`` comparisons are in flight
    (default: twice the pool's workers, or 64 for a given executor), so
    results stream out and memory stays bounded. ``progress=True`` shows a
    progress bar on stderr.

    A pair that cannot be compared, or an input iterator that fails, raises
    only after every result before it has been yielded; a worker process of
    the default pool that dies raises WorkerDiedError naming the pair.
    """
    options = CompareOptions.check(x_range=x_range, **tolerances)
    if max_pending is not None and max_pending < 1:
        raise ValueError(f"max_pending must be at least 1, got {max_pending}")
    if executor is not None and pool:
        raise ValueError("pool=True uses the default pool; it cannot be combined with executor")
    total = len(pairs) if hasattr(pairs, "__len__") else None  # type: ignore[arg-type]
    return _run(pairs, executor, pool, progress, options, max_pending, total)


def _unpacked(pair: Any) -> tuple[CurveLike, CurveLike]:
    try:
        reference, test = pair
    except (TypeError, ValueError):
        raise TypeError(f"each item of pairs must be a (reference, test) pair, got {type(pair).__name__}") from None
    return reference, test


def _shippable(pairs: Iterable[tuple[CurveLike, CurveLike]], options: CompareOptions) -> Iterator[tuple[Any, ...]]:
    # Convert in the parent: workers then receive compact float64 arrays, and
    # a malformed pair raises here with the caller's traceback.
    for pair in pairs:
        reference, test = _unpacked(pair)
        yield (as_curve(reference, "reference"), as_curve(test, "test"), options)


def _moved_bytes(result: CompareResult) -> int:
    curves = (result.reference, result.test, result.lower, result.upper, result.errors)
    return sum(array.nbytes for curve in curves for array in curve)


def _pool_pays(seconds: float, moved: int, compared: int, workers: int) -> bool:
    """Whether the pool would finish the rest sooner: the parent moves every
    pair's bytes while the workers share the comparisons."""
    if workers < 2 or compared < _SAMPLE:
        return False
    if seconds < POOL_START_SECONDS and not shared_pool_running(workers):
        return False
    per_pair = seconds / compared
    shipping = moved / compared * SHIP_SECONDS_PER_BYTE + SHIP_SECONDS_PER_PAIR
    return per_pair / workers + shipping < per_pair


class _NoBar:
    # Importing tqdm costs a tenth of a second: more than many a whole call.
    def __enter__(self) -> _NoBar:
        return self

    def __exit__(self, *exc: object) -> None:
        pass

    def update(self) -> None:
        pass


def _bar(total: int | None, progress: bool) -> Any:
    if not progress:
        return _NoBar()
    from tqdm import tqdm

    return tqdm(total=total, unit="pair", desc="compare")


def _run(
    pairs: Iterable[tuple[CurveLike, CurveLike]],
    executor: Executor | None,
    pool: bool | None,
    progress: bool,
    options: CompareOptions,
    max_pending: int | None,
    total: int | None,
) -> Iterator[CompareResult]:
    workers = default_workers()
    source = iter(pairs)
    with _bar(total, progress) as bar:
        done = 0
        if executor is None and not pool:
            seconds, moved = 0.0, 0
            while pool is False or not _pool_pays(seconds, moved, done, workers):
                try:
                    reference, test = _unpacked(next(source))
                except StopIteration:
                    return
                started = time.perf_counter()
                try:
                    result = compare_checked(reference, test, options)
                except (TypeError, ValueError):
                    raise  # not a curve: as the conversion in the parent raises it
                except Exception as exc:
                    exc.add_note(f"raised while comparing pair {done} (counting from 0)")
                    raise
                seconds += time.perf_counter() - started
                moved += _moved_bytes(result)
                done += 1
                bar.update()
                yield result
                # A caller that drops each result frees it before the next
                # comparison, whose copies and arrays then reuse its memory.
                del result
        owned = executor is None
        window = max_pending or (2 * workers if owned else 64)
        settled = imap_settled(
            compare_shipped,
            _shippable(source, options),
            window,
            executor=executor,
            pool_factory=process_pool if owned else None,
            workers=workers,
            shared=owned,
        )
        with closing(settled):
            for item in settled:
                index = done + item.index
                if isinstance(item.error, WorkerDiedError):
                    before = f"; the results of the {index} pairs before it were yielded" if index else ""
                    raise WorkerDiedError(
                        f"pair {index} (counting from 0) could not be compared: {item.error}{before}"
                    ) from item.error
                if item.error is not None:
                    item.error.add_note(f"raised while comparing pair {index} (counting from 0)")
                    raise item.error
                bar.update()
                yield item.value  # type: ignore[misc]
