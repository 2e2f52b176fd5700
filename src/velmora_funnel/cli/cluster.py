"""Running a batch elsewhere: on a Dask cluster (``--scheduler``), or one
stable part of it per CI job (``--shard K/N``)."""

from __future__ import annotations

import hashlib
import importlib
import os
import re
from collections.abc import Iterator, Mapping, Sequence
from concurrent.futures import Executor
from contextlib import contextmanager
from dataclasses import replace
from typing import Any

from ..run import FileOutcome
from .exits import UsageError

__all__ = ["DASK_HINT", "absolute", "dask_executor", "parse_shard", "shard", "shown_as_given"]

DASK_HINT = "install the dask extra (pip install 'velmora-funnel[dask]') here and on every worker"


def parse_shard(text: str) -> tuple[int, int]:
    """``K/N`` as the numbers, 1 <= K <= N."""
    match = re.fullmatch(r"\s*(\d+)\s*/\s*(\d+)\s*", text)
    if match is None:
        raise UsageError(f"--shard {text!r}: expected K/N, the K-th of N parts (e.g. 1/4)")
    k, n = int(match[1]), int(match[2])
    if not 1 <= k <= n:
        raise UsageError(f"--shard {text}: K must be from 1 to N, got {k} of {n}")
    return k, n


def shard[T: tuple[str, str | None, str | None]](pairs: Sequence[T], k: int, n: int) -> list[T]:
    """The pairs of part ``k`` of ``n``: each pair's part follows from its
    relative path alone, so a file stays in its part when others come or
    go, and the parts of one batch never overlap and leave nothing out."""
    return [pair for pair in pairs if int(hashlib.sha256(pair[0].encode()).hexdigest()[:15], 16) % n == k - 1]


@contextmanager
def dask_executor(address: str) -> Iterator[Executor]:
    """An executor on a Dask cluster: ``tcp://HOST:PORT`` of a running
    scheduler, or ``local:N`` for a LocalCluster of N worker processes on
    this machine (to try it). The workers read the files themselves, so
    they must see the same paths."""
    try:
        # Untyped: reached through Any.
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise UsageError(f"--scheduler needs Dask: {DASK_HINT}") from None
    local = re.fullmatch(r"local:(\d+)", address)
    try:
        if local is not None:
            workers = int(local[1])
            if workers < 1:
                raise UsageError(f"--scheduler {address}: a local cluster needs at least 1 worker")
            cluster = distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
            )
            client = distributed.Client(cluster)
        else:
            cluster = None
            client = distributed.Client(address, timeout=30)
    except UsageError:
        raise
    except (OSError, TimeoutError, ValueError) as exc:
        raise UsageError(f"--scheduler {address}: cannot reach the scheduler: {exc}") from None
    try:
        yield client.get_executor()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


Pair = tuple[str, str | None, str | None]


def absolute(pairs: Sequence[Pair]) -> tuple[list[Pair], dict[str, str]]:
    """The pairs with absolute paths, which a worker in another working
    folder reads as this process would, and each absolute path's spelling
    as given (for shown_as_given)."""
    given: dict[str, str] = {}

    def made_absolute(path: str | None) -> str | None:
        if path is None:
            return None
        full = os.path.abspath(path)
        given[full] = path
        return full

    return [(rel, made_absolute(ref), made_absolute(test)) for rel, ref, test in pairs], given


def shown_as_given(outcome: FileOutcome, given: Mapping[str, str]) -> FileOutcome:
    """An outcome a worker made from absolute paths, with the paths spelled
    as the user gave them, so that every output is the local run's."""
    paths = [p for p in (outcome.reference, outcome.test) if p is not None and given.get(p, p) != p]
    if not paths:
        return outcome

    def spelled(text: str) -> str:
        for path in paths:
            text = text.replace(path, given[path])
        return text

    return replace(
        outcome,
        reference=None if outcome.reference is None else given.get(outcome.reference, outcome.reference),
        test=None if outcome.test is None else given.get(outcome.test, outcome.test),
        error=None if outcome.error is None else spelled(outcome.error),
        warnings=tuple(map(spelled, outcome.warnings)),
        variables=tuple(replace(v, message=spelled(v.message)) for v in outcome.variables),
    )
