"""Thinning a curve to what a screen can show, without losing what matters
on it: per column of a grid across the abscissa the lowest and highest
point are kept (so a one-sample spike survives any thinning), both ends, and
the points that begin and end each run of NaN (the gaps in the line).
tsdownsample (Rust, SIMD) finds the extremes: 25 to 50 times faster than
the same in NumPy, and the report thins every curve that did not pass.

The PNG plots draw the thinned curve; the HTML report embeds it as the
overview that the page thins again, for the window on screen.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

__all__ = ["extremes_mask", "window_slice"]


def extremes_mask(t: NDArray[np.float64], y: NDArray[np.float64], bins: int) -> NDArray[np.bool_]:
    """Which points of the line ``(t, y)`` can be seen at ``bins`` columns:
    per column its lowest and highest point (tsdownsample's MinMax, over
    columns of equal width in t), both ends, and the edges of its gaps.
    Every point of a curve that is short (at most 4 per column) or whose
    abscissae go back or hold NaN."""
    n = len(t)
    keep = np.ones(n, dtype=bool)
    if n <= 4 * bins:
        return keep
    span = float(t[-1]) - float(t[0])
    if not (np.isfinite(span) and span > 0.0) or bool((np.diff(t) < 0.0).any()) or bool(np.isnan(t).any()):
        return keep
    from tsdownsample import MinMaxDownsampler

    keep[:] = False
    gaps = np.isnan(y)
    if gaps.all():
        keep[[0, -1]] = True
        return keep
    x, values = np.ascontiguousarray(t, dtype=np.float64), np.ascontiguousarray(y, dtype=np.float64)
    # MinMax passes over NaN: the edges of each gap are kept apart, so the line breaks there.
    keep[MinMaxDownsampler().downsample(x, values, n_out=2 * bins)] = True  # type: ignore[no-untyped-call]
    keep[[0, -1]] = True
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
