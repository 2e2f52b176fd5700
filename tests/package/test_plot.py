"""Funnel plots: what each picture holds, and PNG/SVG output without a display."""

import io

import numpy as np
import pytest

import velmora_funnel as vf
from velmora_funnel.reports.plot import figure_bytes, plot_result

T = np.linspace(0.0, 4.0, 161)


def result(bump=0.0, **options):
    y = np.sin(T)
    test = y + bump * np.exp(-(((T - 2.5) / 0.1) ** 2))
    return vf.compare((T, y), (T, test), **options)


def labels(ax):
    return [artist.get_label() for artist in [*ax.get_lines(), *ax.patches, *ax.collections]]


def test_passing_plot_has_funnel_curves_and_error_panel_sharing_t():
    """Two panels: funnel, reference and test above; the error curve below on the same abscissa."""
    figure = result().plot(title="sine")
    funnel, errors = figure.axes
    assert {"funnel", "reference", "test"} <= set(labels(funnel))
    assert funnel.get_shared_x_axes().joined(funnel, errors)
    np.testing.assert_array_equal(errors.get_lines()[0].get_xdata(), T)
    assert figure.get_suptitle() == "sine: PASS"


def test_failing_points_are_marked_and_zoomed():
    """Points outside the funnel are marked (with their count), and a zoom column shows the first failure."""
    failed = result(bump=0.3)
    figure = failed.plot()
    funnel = figure.axes[0]
    marked = [line for line in funnel.get_lines() if line.get_label().startswith("outside funnel")]
    count = len(failed.failing_points().t)
    assert count > 0 and marked[0].get_label() == f"outside funnel ({count})"
    np.testing.assert_array_equal(marked[0].get_xdata(), failed.failing_points().t)
    assert len(figure.axes) == 4
    zoom = figure.axes[2]
    lo, hi = zoom.get_xlim()
    assert lo < failed.first_failure < hi and hi - lo < 2.0
    assert "FAIL" in figure.get_suptitle()


def test_range_outside_is_shaded_and_labelled():
    """The part of the reference outside x_range is shaded and named in the legend."""
    figure = result(x_range=(1.0, 3.0)).plot()
    assert labels(figure.axes[0]).count("outside x_range") == 1


def test_rejected_input_still_plots_the_curves():
    """Without a funnel (rejected input) the curves are drawn and the error panel says why."""
    rejected = vf.compare((T, np.sin(T)), (T[:1], np.sin(T[:1])))
    figure = rejected.plot()
    texts = [text.get_text() for text in figure.axes[1].texts]
    assert rejected.status is vf.Status.INSUFFICIENT_DATA and "no funnel was built" in texts[0]


def test_nan_counts_appear_in_the_title():
    """A test with NaN ordinates says so on the picture, since the module's status alone would pass."""
    y = np.sin(T).copy()
    y[10:20] = np.nan
    figure = vf.compare((T, np.sin(T)), (T, y)).plot()
    assert "NaN ordinates in range: 0 in reference, 10 in test" in figure.axes[0].get_title()
    assert figure.get_suptitle() == "NOT PASSED (NaN ordinates)"


@pytest.mark.parametrize(("suffix", "magic"), [(".png", b"\x89PNG\r\n\x1a\n"), (".svg", b"<svg")], ids=["png", "svg"])
def test_writes_png_and_svg_by_suffix(tmp_path, suffix, magic):
    """The file's format follows its suffix."""
    path = tmp_path / f"funnel{suffix}"
    plot_result(result(bump=0.3), path)
    assert magic in path.read_bytes()[:400]


def test_figure_bytes_renders_png_and_svg():
    """A figure renders to bytes for embedding in a report, headless."""
    figure = result().plot()
    assert figure_bytes(figure).startswith(b"\x89PNG")
    assert b"<svg" in figure_bytes(figure, "svg")[:400]


@pytest.mark.parametrize("side", ["reference", "test"])
def test_values_near_the_largest_double_are_drawn_clipped(side):
    """A cell of 1.7976931348623157e308 still gives a picture (clipped, and saying so), not an error."""
    y = np.sin(T)
    huge = y.copy()
    huge[40] = np.finfo(np.float64).max
    figure = vf.compare((T, huge), (T, y)).plot() if side == "reference" else vf.compare((T, y), (T, huge)).plot()
    assert figure_bytes(figure).startswith(b"\x89PNG")
    assert "drawn clipped to ±1e+300" in figure.axes[0].get_title()


def test_thinned_plot_looks_like_the_full_one(monkeypatch):
    """Long curves are thinned to what the picture can show: a one-sample spike,
    its failure mark and a NaN gap look the same as when every point is drawn."""
    import matplotlib.image

    from velmora_funnel.reports import plot

    t = np.linspace(0.0, 10.0, 50_000)
    y = np.sin(t)
    test = y.copy()
    test[12_345] += 0.8
    test[30_000:30_003] = np.nan
    spiked = vf.compare((t, y), (t, test))

    def render(bins):
        monkeypatch.setattr(plot, "_BINS", bins)
        figure = spiked.plot()
        drawn = sum(len(line.get_xdata()) for line in figure.axes[0].get_lines())
        return drawn, matplotlib.image.imread(io.BytesIO(figure_bytes(figure)))

    thinned_points, thinned = render(plot._BINS)
    full_points, full = render(10**9)
    assert thinned_points < full_points / 2
    # Antialiased edges may shift by a shade; no line, mark or gap may move.
    difference = np.abs(thinned - full).max(axis=2)
    assert difference.max() < 0.15 and np.count_nonzero(difference > 0.02) < 0.001 * difference.size


@pytest.mark.parametrize(
    ("start", "log_time", "scale"), [(1e-6, True, "log"), (0.0, True, "symlog"), (1e-6, False, "linear")]
)
def test_axes_name_the_variable_and_time_on_the_scale_asked_for(start, log_time, scale):
    """The y axis is the variable with its unit, t the abscissa's; --log-time draws a stiff run's
    first moments readably (a symmetric log axis when it starts at 0)."""
    t = np.concatenate([[start], np.geomspace(1e-5, 1e5, 200)])
    curve = (t, 1.0 - np.exp(-t))
    figure = plot_result(
        vf.compare(curve, curve), label="reactor.c[2] [mol/l]", time_label="time [s]", log_time=log_time
    )
    funnel, errors = figure.axes
    assert (funnel.get_ylabel(), errors.get_xlabel()) == ("reactor.c[2] [mol/l]", "time [s]")
    assert funnel.get_xscale() == errors.get_xscale() == scale


def _embedded(result):
    """The test line of a report plot's data, decoded: t, y, error and the failing flags."""
    import base64
    import json

    from velmora_funnel.reports.html_data import plot_data

    data, reason = plot_data(result, "run.csv: x", "x [m]", "time [s]")
    assert reason is None
    line = json.loads(data)["lines"]["test"]
    floats = {key: np.frombuffer(base64.b64decode(line[key]), "<f8") for key in "tye"}
    return len(data), floats, np.frombuffer(base64.b64decode(line["f"]), np.uint8)


@pytest.mark.parametrize("n, gap", [(10**6, False), (10**5, True), (1000, False)], ids=["1e6", "NaN gap", "short"])
def test_report_data_keeps_spike_failures_and_every_point_near_them(n, gap):
    """The report's plot data of a long run is small, keeps its one-sample spike, every point in the
    window around it and the edges of a gap; a short run is embedded whole."""
    t = np.linspace(0.0, 100.0, n)
    y = np.sin(t)
    test = y.copy()
    spike = n * 3 // 5
    test[spike] += 0.5
    if gap:
        test[n // 5 : n // 5 + 50] = np.nan
    size, line, failing = _embedded(vf.compare((t, y), (t, test)))
    assert size < 900_000
    where = np.searchsorted(line["t"], t[spike])
    assert line["y"][where] == test[spike] and failing[where] == 1 and failing.sum() == 1
    window = slice(max(spike - 500, 0), spike + 500)
    assert np.isin(t[window], line["t"]).all()
    if n <= 4000:
        np.testing.assert_array_equal(line["t"], t)
    if gap:
        # The points on each side of the gap, and the gap itself: the line breaks there.
        assert np.isin(t[[n // 5 - 1, n // 5 + 50]], line["t"]).all() and np.isnan(line["y"]).any()
