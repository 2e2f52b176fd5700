"""A batch: the file pairs of two folders compared in worker processes, one
FileOutcome per pair, in order."""

from __future__ import annotations

from collections.abc import Callable, Generator, Mapping, Sequence
from concurrent.futures import Executor
from contextlib import closing
from typing import cast

from ..errors import WorkerDiedError
from .options import RunOptions
from .outcomes import FileOutcome, describe_exception
from .pairs import Figure, compare_file_pair
from .pool import default_workers, imap_settled, process_pool

__all__ = ["run_batch"]


def run_batch(
    pairs: Sequence[tuple[str, str | None, str | None]],
    *,
    options: RunOptions,
    figure: Figure | None = None,
    executor: Executor | None = None,
    jobs: int | None = None,
    progress: bool = False,
    advice: Callable[[Mapping[str, str]], str] | None = None,
    test_advice: Callable[[Mapping[str, str]], str] | None = None,
) -> Generator[FileOutcome, None, None]:
    """Compare file pairs (from pair_files) in worker processes; yield one
    FileOutcome per pair, in order; ``figure`` (reports.plot.png) draws the
    variables that did not pass; ``advice`` spells the reading options that
    would read an unreadable file (keywords by default), ``test_advice``
    those for a test file alone (its reference read as it is).

    ``executor`` may be any concurrent.futures.Executor (a Dask cluster's
    included: the workers must see the same paths); by default a process
    pool of ``jobs`` workers (all cores when None) is created and shut down.
    A pair whose comparison raises, or whose worker process dies, gives an
    outcome with ``error``; the other pairs are still compared (a pool whose
    worker died is replaced).
    """
    from tqdm import tqdm

    owned = executor is None
    workers = jobs or default_workers()
    # Our own pool's workers split the cores between them.
    threads = max(1, default_workers() // workers) if owned else None
    tasks = ((rel, ref, test, options, figure, threads, advice, test_advice) for rel, ref, test in pairs)
    settled = imap_settled(
        compare_file_pair,
        tasks,
        2 * workers if owned else 64,
        executor=executor,
        pool_factory=process_pool if owned else None,
        workers=workers,
    )
    with (
        closing(settled),
        tqdm(total=len(pairs), disable=not progress, unit="file", desc="compare", leave=False) as bar,
    ):
        for item in settled:
            if item.error is None:
                outcome = cast(FileOutcome, item.value)
            else:
                rel, ref, test = item.arguments[:3]
                why = str(item.error) if isinstance(item.error, WorkerDiedError) else describe_exception(item.error)
                outcome = FileOutcome(rel, ref, test, error=f"not compared: {why}")
            bar.set_postfix_str(outcome.file[-30:], refresh=False)
            bar.update()
            yield outcome
