"""Process pools and calls that settle in input order.

imap_settled() runs a function over argument tuples on any
concurrent.futures.Executor (a Dask cluster's included) or on process pools
of the package's own, with only a bounded window of calls in flight, and
yields how each call ended in input order. A call that raises, or whose
worker process dies, is reported for that item, and a pool whose worker
died is replaced.
"""

from __future__ import annotations

import atexit
import multiprocessing
import os
import signal
import threading
from collections import deque
from collections.abc import Callable, Generator, Iterable
from concurrent.futures import CancelledError, Executor, Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Any

from ..errors import WorkerDiedError

__all__ = [
    "POOL_HINT",
    "Settled",
    "default_workers",
    "imap_settled",
    "keep_freed_memory",
    "process_pool",
    "shared_pool_running",
    "stop_pool",
]

POOL_HINT = (
    "the worker processes of the default pool could not start; a script that calls compare_many "
    'must do so under `if __name__ == "__main__":` (workers import the main module), '
    "or pass executor=... of its own"
)


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


def shared_pool_running(workers: int) -> bool:
    """Whether the process-wide pool of ``workers`` processes is started already."""
    return workers in _SHARED


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
