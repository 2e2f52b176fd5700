"""Funnel plots (optional extra ``plot``: matplotlib, drawn headless with Agg).

The upper panel shows the funnel shaded between its lower and upper bound,
the reference, the test and the test points that make the comparison fail;
the lower panel shows the error curve on the same abscissa.
"""

from __future__ import annotations

import io
import math
import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from ..comparison import CompareResult, Curve, Status
from ..errors import PlotUnavailableError
from ..run.outcomes import describe_exception, judge
from .text import printable
from .thinning import extremes_mask, window_slice

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = [
    "DRAW_LIMIT",
    "PLOT_HINT",
    "figure_bytes",
    "headline",
    "or_reason",
    "plot_formats",
    "plot_or_reason",
    "plot_result",
    "png",
]

_FUNNEL = "#9ecae1"
_FUNNEL_EDGE = "#4a90c2"
_REFERENCE = "#222222"
_TEST = "#e6850e"
_FAIL = "#d62728"
# Beyond this many test points, markers on every point only blur the line
# (in the whole picture, and in the zoom on the first failure).
_MARKER_LIMIT = 300
_ZOOM_MARKER_LIMIT = 2000
# matplotlib's axis transforms overflow for spans near the largest double
# (singular matrices, infinite limits), so coordinates are drawn clipped to
# this magnitude; the verdict and the numbers in the title stay exact.
DRAW_LIMIT = 1e300


# Curves longer than this many points per axes are thinned before drawing:
# per column of _BINS across the axes (several per pixel at any figure size
# used here) the first, last, lowest and highest point are kept, which is all
# a line rasterised at that width can show. matplotlib's cost grows with every
# vertex (Axes.fill walks them in Python), the picture does not.
_BINS = 2048


def _decimated(t: np.ndarray, y: np.ndarray, bins: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The points of the line ``(t, y)`` that can be seen at ``bins`` columns
    (thinning.extremes_mask), in their order."""
    keep = extremes_mask(t, y, _BINS if bins is None else bins)
    return (t, y) if keep.all() else (t[keep], y[keep])


def _markers_thinned(
    t: np.ndarray, y: np.ndarray, x_limits: tuple[float, float], y_limits: tuple[float, float]
) -> np.ndarray:
    """Indices of the points to mark, one per cell of a grid finer than the
    pixels: markers that would land on the same spot are drawn once."""
    if len(t) <= 4 * _BINS:
        return np.arange(len(t))
    cells = []
    for values, (low, high) in ((t, x_limits), (y, y_limits)):
        scale = _BINS / (high - low) if high > low else 0.0
        cells.append(np.nan_to_num((values - low) * scale).astype(np.int64))
    _, first = np.unique(cells[0] * (2 * _BINS + 1) + cells[1], return_index=True)
    return np.sort(first)


def _drawn(values: NDArray[np.float64]) -> NDArray[np.float64]:
    """Coordinates as drawn: clipped to +-DRAW_LIMIT, NaN kept (a gap in the line)."""
    return np.clip(values, -DRAW_LIMIT, DRAW_LIMIT)


def _clipped(result: CompareResult) -> bool:
    curves = (result.reference, result.test, result.lower, result.upper, result.errors)
    return any(bool(np.any(np.abs(part) > DRAW_LIMIT)) for curve in curves for part in curve)


#: What to do without matplotlib.
PLOT_HINT = "plots need matplotlib and tsdownsample: pip install 'velmora-funnel[plot]'"


def _figure_class() -> type[Figure]:
    try:
        import tsdownsample  # noqa: F401 - thins long curves (thinning.extremes_mask)
        from matplotlib.figure import Figure
    except ImportError:  # pragma: no cover - depends on the installed extras
        raise PlotUnavailableError(PLOT_HINT) from None
    return Figure


def plot_formats() -> set[str]:
    """The file suffixes (".png", ".svg", ...) that plots can be written as."""
    _figure_class()
    from matplotlib.backend_bases import FigureCanvasBase

    return {f".{suffix}" for suffix in FigureCanvasBase.get_supported_filetypes()}


def _shade_outside_range(ax: Axes, result: CompareResult) -> None:
    lo, hi = (float(np.clip(end, -DRAW_LIMIT, DRAW_LIMIT)) if math.isfinite(end) else end for end in result.x_range)
    t = _drawn(result.reference.t)
    if len(t) == 0:
        return
    if math.isfinite(lo) and lo > t[0]:
        ax.axvspan(float(t[0]), lo, color="#000000", alpha=0.06, lw=0, label="outside x_range")
    if math.isfinite(hi) and hi < t[-1]:
        ax.axvspan(
            hi,
            float(t[-1]),
            color="#000000",
            alpha=0.06,
            lw=0,
            label=None if math.isfinite(lo) and lo > t[0] else "outside x_range",
        )


def _zoom_window(result: CompareResult, failing: np.ndarray) -> tuple[float, float]:
    """An abscissa window around the first cluster of failing points."""
    t, reference_t = _drawn(result.test.t), _drawn(result.reference.t)
    span = float(reference_t[-1] - reference_t[0]) or 1.0
    first = float(t[failing][0])
    cluster = t[failing][t[failing] <= first + 0.05 * span]
    pad = max(0.03 * span, 4.0 * float(np.median(np.diff(t))) if len(t) > 1 else 0.0)
    return first - pad, float(cluster[-1]) + pad


Window = tuple[float, float] | None


def _visible(curve: Curve, window: Window) -> Curve:
    """The curve as drawn: clipped, then either thinned to what the whole axes
    can show or, for a zoom ``window``, every point in it (and the neighbour
    on each side, so the line leaves the frame where it should)."""
    t, y = _drawn(curve.t), _drawn(curve.y)
    if window is None:
        return Curve(*_decimated(t, y))
    if len(t) == 0 or bool((np.diff(t) < 0.0).any()):
        return Curve(t, y)
    inside = window_slice(t, *window)
    return Curve(t[inside], y[inside])


def _marked(t: np.ndarray, y: np.ndarray, window: Window, limits_from: list[Curve]) -> tuple[np.ndarray, np.ndarray]:
    """The failing points to mark: all of them in a zoom window, else one per
    spot of the picture (see _markers_thinned)."""
    t, y = _drawn(t), _drawn(y)
    if window is not None:
        inside = (t >= window[0]) & (t <= window[1])
        return t[inside], y[inside]
    xs = np.concatenate([c.t for c in limits_from] + [t])
    ys = np.concatenate([c.y for c in limits_from] + [y])
    xs, ys = xs[np.isfinite(xs)], ys[np.isfinite(ys)]
    if len(xs) == 0 or len(ys) == 0:
        return t, y
    keep = _markers_thinned(t, y, (float(xs.min()), float(xs.max())), (float(ys.min()), float(ys.max())))
    return t[keep], y[keep]


def _draw_curves(ax: Axes, result: CompareResult, failing: np.ndarray, *, legend: bool, window: Window = None) -> None:
    lower, upper, reference, test = (
        _visible(c, window) for c in (result.lower, result.upper, result.reference, result.test)
    )
    if len(lower.t) and len(upper.t):
        # The funnel is the polygon traced along the lower bound and back along
        # the upper one: exact at vertical steps, where interpolating both
        # bounds onto one grid would cut corners.
        # A collection, not Axes.fill: a patch's data limits are found by
        # walking its path vertex by vertex in Python.
        from matplotlib.collections import PolyCollection

        outline = np.column_stack([np.concatenate([lower.t, upper.t[::-1]]), np.concatenate([lower.y, upper.y[::-1]])])
        ax.add_collection(
            PolyCollection([outline], facecolors=_FUNNEL, alpha=0.6, linewidths=0, label="funnel", zorder=1)
        )
        ax.plot(lower.t, lower.y, color=_FUNNEL_EDGE, lw=0.7, zorder=2)
        ax.plot(upper.t, upper.y, color=_FUNNEL_EDGE, lw=0.7, zorder=2)
    ax.plot(reference.t, reference.y, color=_REFERENCE, lw=1.0, label="reference", zorder=3)
    few = len(test.t) <= (_ZOOM_MARKER_LIMIT if window is not None else _MARKER_LIMIT)
    ax.plot(test.t, test.y, color=_TEST, lw=1.0, label="test", zorder=4, marker="o" if few else None, ms=2.2)
    if failing.any():
        marked_t, marked_y = _marked(
            result.test.t[failing], result.test.y[failing], window, [lower, upper, reference, test]
        )
        ax.plot(
            marked_t,
            marked_y,
            ls="none",
            marker="x",
            ms=6,
            mew=1.6,
            color=_FAIL,
            zorder=5,
            label=f"outside funnel ({int(failing.sum())})",
        )
    _shade_outside_range(ax, result)
    ax.grid(True, color="#dddddd", lw=0.6)
    if legend:
        ax.legend(loc="best", fontsize=9, framealpha=0.9)


def _draw_errors(ax: Axes, result: CompareResult, failing: np.ndarray, window: Window = None) -> None:
    errors = _visible(result.errors, window)
    if len(errors.t):
        ax.plot(errors.t, errors.y, color=_FAIL if failing.any() else _TEST, lw=1.0)
        if failing.any():
            marked_t, marked_y = _marked(result.errors.t[failing], result.errors.y[failing], window, [errors])
            ax.plot(marked_t, marked_y, ls="none", marker="x", ms=5, mew=1.4, color=_FAIL)
    else:
        ax.text(
            0.5,
            0.5,
            "no funnel was built: " + result.message,
            ha="center",
            va="center",
            transform=ax.transAxes,
            fontsize=9,
            color="#555555",
        )
    ax.axhline(0.0, color="#888888", lw=0.8)
    _shade_outside_range(ax, result)
    ax.grid(True, color="#dddddd", lw=0.6)


def _fit_y(ax: Axes, curves: list[Curve], lo: float, hi: float) -> None:
    values = [_drawn(y)[(_drawn(t) >= lo) & (_drawn(t) <= hi)] for t, y in curves]
    finite = np.concatenate([v[np.isfinite(v)] for v in values]) if values else np.empty(0)
    if len(finite):
        bottom, top = float(finite.min()), float(finite.max())
        pad = 0.08 * (top - bottom) or 0.05 * max(abs(top), 1e-12)
        ax.set_ylim(bottom - pad, top + pad)


def _log_time(ax: Axes, t: NDArray[np.float64]) -> None:
    """Time on a log axis, for a run whose action is in its first moments: a
    symmetric log axis, linear up to the first positive abscissa, when the run
    starts at 0 or before; left linear when no abscissa is positive."""
    positive = t[t > 0]
    if not len(positive):
        return
    if t[0] > 0:
        ax.set_xscale("log")
    else:
        ax.set_xscale("symlog", linthresh=float(positive[0]))


def plot_result(
    result: CompareResult,
    path: str | os.PathLike[str] | None = None,
    *,
    title: str | None = None,
    label: str | None = None,
    time_label: str | None = None,
    log_time: bool = False,
) -> Figure:
    """Draw a comparison: the funnel between its bounds, reference, test,
    failing test points, and the error curve in a second panel sharing the
    abscissa. When points fail, a right-hand column zooms in on the first
    failure, where the funnel's width can be seen. ``label`` names the
    ordinate (the variable and its unit), ``time_label`` the abscissa;
    ``log_time`` draws time on a log axis. Writes ``path`` when given,
    in the format of its suffix (``.png`` or ``.svg``). Returns the matplotlib
    Figure (no pyplot state is touched, so this is safe in worker processes
    and threads)."""
    failing = result.failing_mask()
    zoom = bool(failing.any())
    width = 12.0 if zoom else 9.0
    figure = _figure_class()(figsize=(width, 6.2 if zoom else 6.0))
    # Fixed margins, in inches, wide enough for the tick labels matplotlib
    # writes (it moves large magnitudes into an offset): a layout engine
    # measures every text several times over and costs as much as the drawing.
    grid = figure.add_gridspec(
        2,
        2 if zoom else 1,
        height_ratios=[3.0, 1.4],
        width_ratios=[2.4, 1.0] if zoom else None,
        left=0.8 / width,
        right=1.0 - 0.15 / width,
        bottom=0.09,
        top=0.9,
        hspace=0.07,
        wspace=2 * 0.7 / (width - 0.95 - 0.7) if zoom else None,
    )
    ax = figure.add_subplot(grid[0, 0])
    ax_err = figure.add_subplot(grid[1, 0], sharex=ax)
    ax.tick_params(labelbottom=False)
    _draw_curves(ax, result, failing, legend=True)
    _draw_errors(ax_err, result, failing)
    # Names come from file headers: shown escaped, as in the titles.
    ax.set_ylabel(printable(label) if label else "y")
    ax_err.set_ylabel("error")
    ax_err.set_xlabel(printable(time_label) if time_label else "t")
    if log_time:
        _log_time(ax, result.reference.t)

    if zoom:
        lo, hi = _zoom_window(result, failing)
        ax_zoom = figure.add_subplot(grid[0, 1])
        ax_zoom_err = figure.add_subplot(grid[1, 1], sharex=ax_zoom)
        ax_zoom.tick_params(labelbottom=False)
        _draw_curves(ax_zoom, result, failing, legend=False, window=(lo, hi))
        _draw_errors(ax_zoom_err, result, failing, window=(lo, hi))
        ax_zoom.set_xlim(lo, hi)
        _fit_y(ax_zoom, [result.lower, result.upper, result.reference, result.test], lo, hi)
        _fit_y(ax_zoom_err, [result.errors], lo, hi)
        ax_zoom.set_title("zoom on the first failure", fontsize=9)
        ax_zoom_err.set_xlabel(printable(time_label) if time_label else "t")
        ax.axvspan(lo, hi, color=_FAIL, alpha=0.07, lw=0)

    heading, detail = headline(result, title)
    figure.suptitle(heading, fontsize=12, fontweight="bold")
    ax.set_title(detail, fontsize=9, color=_FAIL if not result.passed else "#333333")
    if path is not None:
        figure.savefig(os.fspath(path), dpi=110)
    return figure


def headline(result: CompareResult, title: str | None) -> tuple[str, str]:
    """A plot's title (``title`` and the verdict) and the line under it (the
    message, the largest error and where the first failure is)."""
    if judge(result) == "pass":
        verdict = "PASS"
    elif result.status is Status.PASS:
        # The module passes NaN test points (error 0) and any test inside a
        # funnel that is not finite; the picture must not.
        verdict = "NOT PASSED (NaN ordinates)" if result.has_nan else "NOT PASSED (not finite)"
    else:
        verdict = result.status.name
    # Titles name variables from file headers: control characters are shown
    # escaped, not handed to the font (or to a warning on the terminal).
    heading = f"{printable(title)}: {verdict}" if title else verdict
    detail = result.message
    if result.max_error is not None and not math.isnan(result.max_error) and result.max_error != 0.0:
        detail += f"; largest error {result.max_error:.4g}"
    if result.first_failure is not None:
        detail += f" (first at t = {result.first_failure:.6g})"
    if _clipped(result):
        detail += f"; drawn clipped to ±{DRAW_LIMIT:g}"
    return heading, detail


def figure_bytes(figure: Figure, fmt: str = "png") -> bytes:
    """The figure rendered as PNG (or SVG) bytes."""
    buffer = io.BytesIO()
    # zlib level 3 instead of 6: a fifth of the time of a report's figure
    # for a file about a tenth larger.
    options: dict[str, Any] = {"pil_kwargs": {"compress_level": 3}} if fmt == "png" else {}
    figure.savefig(buffer, format=fmt, dpi=90, **options)
    return buffer.getvalue()


def png(
    result: CompareResult,
    title: str,
    label: str | None = None,
    time_label: str | None = None,
    *,
    log_time: bool = False,
) -> tuple[bytes, None] | tuple[None, str]:
    """The funnel plot of a result as PNG bytes, for a report (what a batch's
    workers draw for each variable that did not pass): ``(png, None)``, or
    ``(None, why not)`` (see plot_or_reason)."""
    return or_reason(
        lambda: figure_bytes(plot_result(result, title=title, label=label, time_label=time_label, log_time=log_time))
    )


def plot_or_reason(
    result: CompareResult,
    path: str | os.PathLike[str],
    title: str,
    label: str | None = None,
    time_label: str | None = None,
    *,
    log_time: bool = False,
) -> tuple[Figure, None] | tuple[None, str]:
    """Write the funnel plot of a result to ``path``: ``(figure, None)`` when
    it was written, else ``(None, why not)``."""
    return or_reason(
        lambda: plot_result(result, path, title=title, label=label, time_label=time_label, log_time=log_time)
    )


def or_reason[T](draw: Callable[[], T]) -> tuple[T, None] | tuple[None, str]:
    # The one rule for a plot that cannot be drawn or written: it costs that
    # plot only, never the verdicts, and the reason is reported. matplotlib
    # missing is the caller's to report before any work (plot_formats()).
    try:
        return draw(), None
    except PlotUnavailableError:
        raise
    except Exception as exc:
        return None, describe_exception(exc)
