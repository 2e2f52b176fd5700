"""Many comparisons across processes or machines, results in input order.

Any concurrent.futures.Executor runs the batch: by default a process pool on
all cores; a Dask cluster's executor (``distributed.Client(...).get_executor()``)
spreads the same batch across machines. Only a bounded window of comparisons
is in flight at a time, so a large batch never holds every result at once.
A call that raises, or whose worker process dies, is reported for that item
after every result before it, and the default pool is replaced when one of
its workers dies.
"""

from __future__ import annotations

import atexit
import multiprocessing
import os
import signal
import threading
import time
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator
from concurrent.futures import CancelledError, Executor, Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from contextlib import closing
from dataclasses import dataclass
from typing import Any

from ._api import CompareOptions, CompareResult, Curve, CurveLike, as_curve, compare_checked, compare_curves

__all__ = ["POOL_HINT", "Settled", "WorkerDiedError", "compare_many", "default_workers", "imap_settled", "process_pool"]

POOL_HINT = (
    "the worker processes of the default pool could not start; a script that calls compare_many "
    'must do so under `if __name__ == "__main__":` (workers import the main module), '
    "or pass executor=... of its own"
)


class WorkerDiedError(BrokenProcessPool):
    """The worker process running one call ended abruptly (killed, out of memory, crashed)."""


def default_workers() -> int:
    """Number of worker processes of the default pool: the usable cores."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not Linux
        return max(1, os.cpu_count() or 1)


def keep_freed_memory() -> None:
    """Let glibc keep freed blocks for reuse, in a process of the package's own.

    glibc maps every block from 128 KiB up (up to 32 MiB once such blocks are
    freed) straight from the kernel and returns it when freed, and trims the
    heap as soon as its free top passes twice that. A run of comparisons
    allocates and frees result vectors of the same sizes over and over, so
    each comparison's vectors would come in fresh pages that cost a page
    fault and a zeroing per 4 KiB (about 7 % of a command comparing ten
    10^6-point variables). Blocks up to 32 MiB now come from
    the heap, which keeps up to 256 MiB freed before giving memory back.
    Only the command line and the workers of the package's own pools call
    this: a library must not retune the allocator of its caller's process.
    Elsewhere than glibc nothing changes.
    """
    import ctypes

    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):  # pragma: no cover - no C library with mallopt
        return
    m_trim_threshold, m_mmap_threshold = -1, -3
    mallopt(m_mmap_threshold, 32 << 20)
    mallopt(m_trim_threshold, 256 << 20)


def process_pool(workers: int | None = None) -> ProcessPoolExecutor:
    """A process pool whose workers start from a clean server process.

    Forking a parent that already runs threads (a progress bar, a Dask client,
    BLAS) can deadlock the child, so workers come from the forkserver.
    """
    return ProcessPoolExecutor(
        max_workers=workers or default_workers(),
        mp_context=multiprocessing.get_context("forkserver"),
        initializer=keep_freed_memory,
    )


def _worker_processes(pool: Executor) -> list[multiprocessing.process.BaseProcess]:
    # ProcessPoolExecutor keeps its workers in _processes (None once shut
    # down); Python 3.14 adds terminate_workers(), earlier ones have no
    # public way to reach them.
    return list((getattr(pool, "_processes", None) or {}).values())


def stop_pool(pool: Executor, *, terminate: bool) -> None:
    """Shut a pool down; with ``terminate``, end its busy workers first
    instead of waiting for the calls they run (an interrupted batch)."""
    if terminate:
        for process in [process for process in _worker_processes(pool) if process.is_alive()]:
            process.terminate()
    pool.shutdown(wait=True, cancel_futures=True)


@dataclass(frozen=True, slots=True)
class Settled[T]:
    """How one call ended: its ``value``, or the exception it raised (``error``)."""

    #: Position of the call's arguments in the input, from 0.
    index: int
    arguments: tuple[Any, ...]
    value: T | None
    error: BaseException | None


class _Slot:
    __slots__ = ("arguments", "future", "index")

    def __init__(self, index: int, arguments: tuple[Any, ...], future: Future[Any]) -> None:
        self.index, self.arguments, self.future = index, arguments, future


def _failed(error: BaseException) -> Future[Any]:
    future: Future[Any] = Future()
    future.set_exception(error)
    return future


def _submit(executor: Executor, function: Callable[..., Any], arguments: tuple[Any, ...]) -> Future[Any]:
    try:
        return executor.submit(function, *arguments)
    except Exception as exc:  # a broken or shut-down executor refuses new work
        return _failed(exc)


def _exception(future: Future[Any]) -> BaseException | None:
    try:
        return future.exception()
    except CancelledError as exc:
        return exc


def _death(exitcodes: list[int | None]) -> str:
    code = next((code for code in exitcodes if code), None)
    if code is None:
        return "its worker process ended abruptly"
    if code > 0:
        return f"its worker process exited with status {code}"
    try:
        name = signal.Signals(-code).name
    except ValueError:
        name = f"signal {-code}"
    why = " (as the out-of-memory killer does)" if -code == signal.SIGKILL else ""
    return f"its worker process was killed by {name}{why}"


class _Pools:
    """The process pools of an iterator that owns them: the main pool,
    replaced when one of its workers dies, and a one-worker pool on which
    the calls that were in flight then are run again one at a time, to find
    the one that kills its worker."""

    def __init__(self, factory: Callable[[int], Executor], workers: int, *, shared: bool = False) -> None:
        self.factory, self.workers, self.shared = factory, workers, shared
        self.main: Executor | None = None
        self.alone: Executor | None = None

    def get(self) -> Executor:
        if self.main is None:
            self.main = _shared_pool(self.workers) if self.shared else self.factory(self.workers)
        return self.main

    def drop_broken_main(self) -> None:
        # A broken pool has ended its workers itself.
        if self.main is not None:
            main, self.main = self.main, None
            _forget_shared(main)
            main.shutdown(wait=True, cancel_futures=True)

    def run_alone(self, function: Callable[..., Any], arguments: tuple[Any, ...]) -> Future[Any]:
        if self.alone is None:
            self.alone = self.factory(1)
            try:
                self.alone.submit(os.getpid).result()
            except BrokenProcessPool as exc:
                # Not even a call that does nothing ran: the pool cannot start.
                self.drop_alone()
                raise RuntimeError(POOL_HINT) from exc
        processes = _worker_processes(self.alone)
        future = _submit(self.alone, function, arguments)
        error = _exception(future)
        if isinstance(error, BrokenProcessPool):
            # Read the exit code only once the shutdown has joined the dead
            # worker: polling it while the pool's own thread does may read
            # the forkserver's report of it twice, and the second read fails.
            self.drop_alone()
            return _failed(WorkerDiedError(_death([p.exitcode for p in processes])))
        return future

    def drop_alone(self) -> None:
        # Idle, or broken (its workers ended): nothing to wait for.
        if self.alone is not None:
            alone, self.alone = self.alone, None
            alone.shutdown(wait=True, cancel_futures=True)

    def close(self, *, terminate: bool) -> None:
        for pool in (self.main, self.alone):
            if pool is None:
                continue
            if pool is self.main and self.shared and not terminate:
                continue  # idle and healthy: the next call reuses it
            _forget_shared(pool)
            stop_pool(pool, terminate=terminate)
        self.main = self.alone = None


# The pool compare_many reuses across calls: starting one costs a tenth of a
# second or more, as much as thousands of small comparisons. Started on first
# need, replaced when broken, shut down when the interpreter exits.
_SHARED: dict[int, ProcessPoolExecutor] = {}
_SHARED_LOCK = threading.Lock()


def _shared_pool(workers: int) -> ProcessPoolExecutor:
    with _SHARED_LOCK:
        pool = _SHARED.get(workers)
        if pool is None:
            if not _SHARED:
                atexit.register(_shut_shared_pools)
            pool = _SHARED[workers] = process_pool(workers)
        return pool


def _forget_shared(pool: Executor) -> None:
    with _SHARED_LOCK:
        for workers, shared in list(_SHARED.items()):
            if shared is pool:
                del _SHARED[workers]


def _shut_shared_pools() -> None:
    with _SHARED_LOCK:
        pools = list(_SHARED.values())
        _SHARED.clear()
    for pool in pools:
        pool.shutdown(wait=True, cancel_futures=True)


def imap_settled[T](
    function: Callable[..., T],
    argument_tuples: Iterable[tuple[Any, ...]],
    window: int,
    *,
    executor: Executor | None = None,
    pool_factory: Callable[[int], Executor] | None = None,
    workers: int = 1,
    shared: bool = False,
) -> Generator[Settled[T], None, None]:
    """Call ``function(*args)`` for each tuple, at most ``window`` calls in
    flight, and yield how each ended, in input order.

    A call that raises is that item's ``error``; the other calls go on.
    Without ``executor``, pools of ``workers`` processes from ``pool_factory``
    run the calls, and a worker that dies costs only the call it ran: every
    call in flight when its pool broke runs again alone on a one-worker pool,
    where the one that kills its worker again gets a WorkerDiedError (no call
    runs more than twice); the rest continue on a fresh pool. When the input
    itself raises, the items before it are yielded first, then its exception
    is raised. Closing the iterator early cancels what has not started and
    ends the busy workers of its own pools. With ``shared``, the main pool is
    the process-wide one that later calls reuse (``pool_factory`` then only
    makes the one-worker pool).
    """
    pools = _Pools(pool_factory, workers, shared=shared) if executor is None and pool_factory is not None else None
    if executor is None and pools is None:
        raise TypeError("imap_settled needs an executor or a pool_factory")
    pending: deque[_Slot] = deque()
    source = enumerate(argument_tuples)
    exhausted, input_error, finished = False, None, False
    try:
        while True:
            while not exhausted and len(pending) < window:
                try:
                    index, arguments = next(source)
                except StopIteration:
                    exhausted = True
                except Exception as exc:
                    exhausted, input_error = True, exc
                else:
                    pending.append(_Slot(index, arguments, _submit(executor or pools.get(), function, arguments)))  # type: ignore[union-attr]
            if not pending:
                break
            slot = pending[0]
            error = _exception(slot.future)
            if pools is not None and isinstance(error, BrokenProcessPool) and not isinstance(error, WorkerDiedError):
                pools.drop_broken_main()
                for suspect in pending:
                    suspect_error = _exception(suspect.future)
                    if isinstance(suspect_error, BrokenProcessPool) and not isinstance(suspect_error, WorkerDiedError):
                        suspect.future = pools.run_alone(function, suspect.arguments)
                pools.drop_alone()
                continue
            pending.popleft()
            yield Settled(slot.index, slot.arguments, None if error is not None else slot.future.result(), error)
        if input_error is not None:
            raise input_error
        finished = True
    finally:
        for slot in pending:
            slot.future.cancel()
        if pools is not None:
            pools.close(terminate=not finished)


def _owned(curve: Curve) -> Curve:
    # The caller's process hands over read-only arrays (as_curve): a writeable
    # one here is this worker's own unpickled copy, which nobody else holds,
    # so it is frozen in place instead of copied once more.
    for array in curve:
        if array.flags.writeable and array.flags.owndata:
            array.flags.writeable = False
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

    Each pair takes the forms that compare() accepts; the tolerances and
    ``x_range`` are compare()'s and apply to every pair. They are checked
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
    if seconds < POOL_START_SECONDS and workers not in _SHARED:
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
