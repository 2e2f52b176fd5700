"""The data of one interactive funnel plot of the HTML report, made where
the comparison ran (a batch's worker): the points of each line that the page
needs, as little-endian float64 in base64, in one JSON object.

The page draws what fits the window on screen from these points and thins
them again as the window changes (reports/report.js). What it gets:

- an overview of every line, thinned to OVERVIEW_BINS columns by
  thinning.extremes_mask: every column keeps its lowest and highest point,
  so a one-sample spike is there at every zoom (columns of equal width in t,
  and in log t too where the positive times span decades);
- the failing test points thinned the same way among themselves, so every
  column that holds a failing point shows one, and the extremes of the error;
- every point, at full resolution, in up to three windows of WINDOW_POINTS
  test points: around the first failure, the smallest margin and the last
  failure; and every point of a line of at most FULL_POINTS points.

So a plot holds at most about (6 x 2 x OVERVIEW_BINS + 3 x WINDOW_POINTS)
test points of 25 bytes (t, y, error, failing: the extremes of y and of the
error, in t and in log t, and of the failing points) and (2 x 2 x
OVERVIEW_BINS + 6 x WINDOW_POINTS) points of 16 bytes of each of the
reference and the two bounds: under 0.9 MB in base64 whatever the length of
the run, about a third of that for a curve that fails in one place.
"""

from __future__ import annotations

import base64
import json
import math

import numpy as np
from numpy.typing import NDArray

from ..comparison import CompareResult
from .plot import DRAW_LIMIT, headline, or_reason
from .text import printable
from .thinning import extremes_mask, window_slice

__all__ = ["FULL_POINTS", "OVERVIEW_BINS", "WINDOW_POINTS", "plot_data"]

#: Columns of the overview: about one per two pixels of a plot across a screen.
OVERVIEW_BINS = 600
#: A line of at most this many points is embedded whole.
FULL_POINTS = 4000
#: Test points at full resolution around each place of interest.
WINDOW_POINTS = 1000
# Positive times spanning more than this factor get an overview in log t as well.
_DECADES = 100.0


def _b64(values: NDArray[np.float64] | NDArray[np.uint8]) -> str:
    return base64.b64encode(np.ascontiguousarray(values).tobytes()).decode("ascii")


def _floats(values: NDArray[np.float64]) -> str:
    # Canvas coordinates overflow near the largest double: drawn clipped (the
    # caption says so), NaN kept as a gap in the line.
    return _b64(np.clip(values, -DRAW_LIMIT, DRAW_LIMIT).astype("<f8"))


def _centres(result: CompareResult, failing: NDArray[np.bool_]) -> list[int]:
    """Indices into the test points of the places worth seeing in full."""
    t = result.test.t
    centres = []
    where = np.flatnonzero(failing)
    if len(where):
        centres += [int(where[0]), int(where[-1])]
    if result.margin_t is not None and len(t):
        centres.append(min(int(np.searchsorted(t, result.margin_t)), len(t) - 1))
    return sorted(set(centres))


def _windows(t: NDArray[np.float64], centres: list[int]) -> list[tuple[float, float]]:
    """The abscissa spans of WINDOW_POINTS test points around each centre, overlapping ones merged."""
    spans: list[tuple[float, float]] = []
    half = WINDOW_POINTS // 2
    for centre in centres:
        low, high = float(t[max(centre - half, 0)]), float(t[min(centre + half, len(t) - 1)])
        if spans and low <= spans[-1][1]:
            spans[-1] = (spans[-1][0], max(spans[-1][1], high))
        else:
            spans.append((low, high))
    return spans


def _ascending(t: NDArray[np.float64]) -> bool:
    return len(t) < 2 or bool(np.all(t[1:] >= t[:-1]))


def _kept(t: NDArray[np.float64], ys: list[NDArray[np.float64]], spans: list[tuple[float, float]]) -> NDArray[np.bool_]:
    """The points of a line (abscissa ``t``, one or more ordinates ``ys``) the page gets."""
    keep = np.zeros(len(t), dtype=bool)
    if len(t) <= FULL_POINTS or not _ascending(t):
        keep[:] = True
        return keep
    for y in ys:
        keep |= extremes_mask(t, y, OVERVIEW_BINS)
    # Over some decades of positive time (a stiff run) the page's log axis
    # needs columns of equal width in log t too: its first moments fall
    # into one column of the linear overview.
    positive = int(np.searchsorted(t, 0.0, side="right"))
    if positive < len(t) - 1 and t[-1] > _DECADES * t[positive]:
        # Only where a column of log t is narrower than one of t: below
        # the width of a linear column over the width of a log one.
        decades = math.log(t[-1] / t[positive])
        below = (float(t[-1]) - float(t[0])) / decades
        stop = int(np.searchsorted(t, below, side="right"))
        if stop - positive > 1:
            part = slice(positive, stop)
            log_t = np.log(t[part])
            bins = max(int(OVERVIEW_BINS * (log_t[-1] - log_t[0]) / decades), 1)
            for y in ys:
                keep[part] |= extremes_mask(log_t, y[part], bins)
    for low, high in spans:
        inside = window_slice(t, low, high)
        if inside.stop - inside.start > 2 * WINDOW_POINTS:
            # A line much denser than the test: the points nearest the middle of the span.
            middle = int(np.searchsorted(t, (low + high) / 2))
            inside = slice(max(middle - WINDOW_POINTS, 0), middle + WINDOW_POINTS)
        keep[inside] = True
    return keep


def _line(t: NDArray[np.float64], y: NDArray[np.float64], spans: list[tuple[float, float]]) -> dict[str, object]:
    keep = _kept(t, [y], spans)
    return {"n": len(t), "t": _floats(t[keep]), "y": _floats(y[keep])}


def _test_line(
    result: CompareResult, failing: NDArray[np.bool_], spans: list[tuple[float, float]]
) -> dict[str, object]:
    t, y, errors = result.test.t, result.test.y, result.errors.y
    if len(errors) != len(t):  # no funnel was built: no error curve
        errors, failing = np.zeros_like(y), np.zeros(len(t), dtype=bool)
    keep = _kept(t, [y, errors], spans)
    where = np.flatnonzero(failing)
    # Every point failing: their extremes are the line's own, kept above.
    if 0 < len(where) < len(t) and not keep.all():
        for values in (y, errors):
            keep[where[extremes_mask(t[where], values[where], OVERVIEW_BINS)]] = True
    return {
        "n": len(t),
        "t": _floats(t[keep]),
        "y": _floats(y[keep]),
        "e": _floats(errors[keep]),
        "f": _b64(failing[keep].astype(np.uint8)),
    }


def _payload(result: CompareResult, title: str, label: str | None, time_label: str | None) -> bytes:
    failing = result.failing_mask()
    if len(failing) != len(result.test.t):
        failing = np.zeros(len(result.test.t), dtype=bool)
    spans = _windows(result.test.t, _centres(result, failing)) if _ascending(result.test.t) else []
    heading, detail = headline(result, title)
    x_range = [float(end) if math.isfinite(end) else None for end in result.x_range]
    data = {
        "title": heading,
        "detail": detail,
        "failed": not result.passed,
        "label": printable(label) if label else "y",
        "time": printable(time_label) if time_label else "t",
        "range": x_range,
        "failing": int(failing.sum()),
        "full": [list(span) for span in spans],
        "lines": {
            "reference": _line(*result.reference, spans),
            "lower": _line(*result.lower, spans),
            "upper": _line(*result.upper, spans),
            "test": _test_line(result, failing, spans),
        },
    }
    return json.dumps(data, separators=(",", ":"), allow_nan=False).encode("utf-8")


def plot_data(
    result: CompareResult, title: str, label: str | None = None, time_label: str | None = None
) -> tuple[bytes, None] | tuple[None, str]:
    """The data of a result's interactive plot for the HTML report
    (``(json, None)``), or ``(None, why not)``: the rule of every plot, a
    plot that cannot be made costs that plot only."""
    return or_reason(lambda: _payload(result, title, label, time_label))
