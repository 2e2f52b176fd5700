"""Thinning a curve to what a screen can show, without losing what matters
on it: per column of a grid across the abscissa the first, last, lowest and
highest point are kept (so a one-sample spike survives any thinning), and
the points that begin and end each run of NaN (the gaps in the line).

The PNG plots draw the thinned curve; the HTML report embeds it as the
overview that the page thins again, for the window on screen.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

__all__ = ["extremes_mask", "window_slice"]


def extremes_mask(t: NDArray[np.float64], y: NDArray[np.float64], bins: int) -> NDArray[np.bool_]:
    """Which points of the line ``(t, y)`` can be seen at ``bins`` columns:
    per column its first, last, lowest and highest point and the edges of
    its gaps. Every point of a curve that is short (at most 4 per column)
    or whose abscissae go back or hold NaN."""
    n = len(t)
    keep = np.ones(n, dtype=bool)
    if n <= 4 * bins:
        return keep
    span = float(t[-1]) - float(t[0])
    if not (np.isfinite(span) and span > 0.0) or bool((np.diff(t) < 0.0).any()) or bool(np.isnan(t).any()):
        return keep
    keep[:] = False
    column = np.minimum(((t - t[0]) * (bins / span)).astype(np.int64), bins - 1)
    starts = np.flatnonzero(np.concatenate(([True], column[1:] != column[:-1])))
    ends = np.append(starts[1:], n) - 1
    gaps = np.isnan(y)
    lowest = np.where(gaps, np.inf, y)
    highest = np.where(gaps, -np.inf, y)
    segment = np.repeat(np.arange(len(starts)), np.diff(np.append(starts, n)))
    keep[starts] = keep[ends] = True
    for values, reduce in ((lowest, np.minimum), (highest, np.maximum)):
        extreme = reduce.reduceat(values, starts)
        hits = np.flatnonzero((values == extreme[segment]) & ~gaps)
        # The first point of each column that reaches the extreme.
        first = hits[np.concatenate(([True], segment[hits][1:] != segment[hits][:-1]))] if len(hits) else hits
        keep[first] = True
    if gaps.any():
        edges = np.flatnonzero(np.diff(gaps.astype(np.int8)))
        keep[edges] = keep[np.minimum(edges + 1, n - 1)] = True
    return keep


def window_slice(t: NDArray[np.float64], low: float, high: float) -> slice:
    """The points of an ascending abscissa inside ``[low, high]`` and the
    neighbour on each side, so that a line drawn in that window leaves the
    frame where it should."""
    start = max(int(np.searchsorted(t, low, side="left")) - 1, 0)
    stop = min(int(np.searchsorted(t, high, side="right")) + 1, len(t))
    return slice(start, stop)
