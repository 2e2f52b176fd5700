"""Why the HTML report draws with BokehJS and thins with tsdownsample: one failing curve of 10^6 points,
as a page of each library, measured by file size, time to build and time to first paint in headless
Chromium; and the thinning of 10^5 and 10^6 points, tsdownsample's MinMax against the same in NumPy.

Run:  .venv/bin/python bench/report_libraries.py [--points N]   (needs plotly, selenium and chromium)

Pages: the report itself (BokehJS inlined once, the curves thinned where they were compared, thinned
again in the page for the window on screen); bokeh's own file_html of the whole curve; plotly's
to_html of the whole curve (Scattergl, as plotly advises for long curves) and of the report's thinned
points. First paint: from the start of navigation until the library says it has drawn (BokehJS: its
document idle; plotly: the frame after its newPlot), median of three loads.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
import timeit

import numpy as np

import velmora_funnel as vf


def numpy_minmax(t: np.ndarray, y: np.ndarray, bins: int) -> np.ndarray:
    """Per column the first, last, lowest and highest point, in NumPy (the thinning the PNG plots had)."""
    n = len(t)
    column = np.minimum(((t - t[0]) * (bins / (t[-1] - t[0]))).astype(np.int64), bins - 1)
    starts = np.flatnonzero(np.concatenate(([True], column[1:] != column[:-1])))
    segment = np.repeat(np.arange(len(starts)), np.diff(np.append(starts, n)))
    keep = np.zeros(n, dtype=bool)
    keep[starts] = keep[np.append(starts[1:], n) - 1] = True
    for reduce in (np.minimum, np.maximum):
        hits = np.flatnonzero(y == reduce.reduceat(y, starts)[segment])
        keep[hits[np.concatenate(([True], segment[hits][1:] != segment[hits][:-1]))]] = True
    return keep


def thinning_rows() -> None:
    from tsdownsample import MinMaxDownsampler, MinMaxLTTBDownsampler

    print("thinning to 600 columns (ms, best of 5)")
    for n in (10**5, 10**6):
        t = np.linspace(0.0, 10.0, n)
        y = np.sin(7 * t) + 0.3 * np.cos(3.1 * t)
        rows = {
            "NumPy first/last/min/max": lambda t=t, y=y: numpy_minmax(t, y, 600),
            "tsdownsample MinMax": lambda t=t, y=y: MinMaxDownsampler().downsample(t, y, n_out=1200),
            "tsdownsample MinMaxLTTB": lambda t=t, y=y: MinMaxLTTBDownsampler().downsample(t, y, n_out=1200),
        }
        for name, thin in rows.items():
            best = min(timeit.repeat(thin, number=5, repeat=5)) / 5
            print(f"  n = {n:>8}  {name:<26} {best * 1e3:8.2f}")


def pages(folder: str, points: int) -> dict[str, tuple[str, float]]:
    """Each page written, with the seconds its build took."""
    t = np.linspace(0.0, 100.0, points)
    y = np.sin(t)
    test = y.copy()
    test[points // 2] += 0.5
    built: dict[str, tuple[str, float]] = {}
    np.savetxt(os.path.join(folder, "r.csv"), np.column_stack([t, y]), delimiter=",", header="time,x", comments="")
    np.savetxt(os.path.join(folder, "t.csv"), np.column_stack([t, test]), delimiter=",", header="time,x", comments="")
    result = vf.compare((t, y), (t, test))

    start = time.perf_counter()
    from velmora_funnel.reports.html_data import plot_data
    from velmora_funnel.reports.html_report import HtmlReport
    from velmora_funnel.run.outcomes import FileOutcome, VariableOutcome

    path = os.path.join(folder, "report.html")
    report = HtmlReport(path, reference="r.csv", test="t.csv", settings="")
    data, _ = plot_data(result, "t.csv: x", "x", "time")
    outcome = VariableOutcome("t.csv", "x", "fail", result.status, result.message, margin=result.margin, figure=data)
    report.add(FileOutcome("t.csv", "r.csv", "t.csv", variables=(outcome,)))
    report.close()
    built["velmora-funnel report (BokehJS)"] = (path, time.perf_counter() - start)

    start = time.perf_counter()
    from bokeh.embed import file_html
    from bokeh.plotting import figure
    from bokeh.resources import INLINE

    plot = figure(width=1200, height=400)
    plot.line(t, y, color="#222222")
    plot.line(t, test, color="#e6850e")
    path = os.path.join(folder, "bokeh.html")
    with open(path, "w", encoding="utf-8") as out:
        out.write(file_html(plot, INLINE, "bokeh"))
    built["bokeh file_html, every point"] = (path, time.perf_counter() - start)

    import plotly.graph_objects as go

    from velmora_funnel.reports.thinning import extremes_mask

    keep = extremes_mask(t, test, 600)
    for name, mask in (("plotly to_html, every point", slice(None)), ("plotly to_html, thinned", keep)):
        start = time.perf_counter()
        chart = go.Figure(
            [go.Scattergl(x=t[mask], y=y[mask], mode="lines"), go.Scattergl(x=t[mask], y=test[mask], mode="lines")]
        )
        path = os.path.join(folder, name.split(",")[1].strip().replace(" ", "-") + "-plotly.html")
        html = chart.to_html(include_plotlyjs=True, full_html=True, post_script=_PLOTLY_DONE)
        with open(path, "w", encoding="utf-8") as out:
            out.write(html)
        built[name] = (path, time.perf_counter() - start)
    return built


# After Plotly.newPlot has run: the next frame is the first painted.
_PLOTLY_DONE = "requestAnimationFrame(() => { window.painted = performance.now(); });"
_PAINTED = """
const done = arguments[0];
const poll = () => {
  if (window.painted) return done(window.painted);
  const doc = window.Bokeh && Bokeh.documents[0];
  if (doc && doc.is_idle) return done(performance.now());
  setTimeout(poll, 5);
};
poll();
"""


def first_paint(path: str) -> float:
    from selenium import webdriver

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "chromium"
    for argument in ("--headless=new", "--no-sandbox", "--window-size=1300,1600"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=webdriver.ChromeService(shutil.which("chromedriver")), options=options)
    driver.set_script_timeout(120)
    try:
        times = []
        for _ in range(3):
            driver.get("file://" + path)
            times.append(driver.execute_async_script(_PAINTED) / 1e3)
        return statistics.median(times)
    finally:
        driver.quit()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=10**6)
    args = parser.parse_args()
    thinning_rows()
    with tempfile.TemporaryDirectory(prefix="velmora-libraries-") as folder:
        print(f"one failing curve of {args.points} points: size (MiB), build (s), first paint (s)")
        for name, (path, seconds) in pages(folder, args.points).items():
            size = os.path.getsize(path) / 2**20
            print(f"  {name:<34} {size:8.2f} {seconds:8.2f} {first_paint(path):8.2f}")


if __name__ == "__main__":
    sys.exit(main())
