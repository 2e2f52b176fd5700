"""The HTML report as a person sees it: opened from a file in headless Chromium (Debian's chromium and
chromium-driver, installed by tools/browser) with no network, read back through the page and BokehJS's
own data."""

import os
import shutil

import numpy as np
import pytest

from velmora_funnel.cli import main

webdriver = pytest.importorskip("selenium.webdriver", reason="the browser tests need selenium (the test extra)")
CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and DRIVER),
    reason="no chromium and chromedriver here (make test installs them as root: tools/browser)",
)

N = 100_000
SPIKE = 61_234  # the one test sample outside the funnel
T = np.linspace(0.0, 100.0, N)


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    """A report of a 10^5-point run whose variable "spiky" fails at one sample, beside passing ones,
    open in a browser that cannot resolve any host."""
    folder = tmp_path_factory.mktemp("report")
    spiky = np.sin(T)
    # "mild" fails too, less badly, and comes first in the file: what did not pass is sorted by margin.
    mild = np.cos(T)
    columns = {"mild": mild, "spiky": spiky, "drift.slow": 0.5 * T, "valve.opening": np.tanh(T)}
    for side in ("ref", "test"):
        bump = np.arange(N) == SPIKE
        values = dict(columns, spiky=spiky + 0.5 * bump * (side == "test"), mild=mild + 0.05 * bump * (side == "test"))
        np.savetxt(
            folder / f"{side}.csv",
            np.column_stack([T, *values.values()]),
            delimiter=",",
            header="time," + ",".join(values),
            comments="",
            fmt="%.17g",
        )
    report = folder / "report.html"
    assert main(["compare", str(folder / "ref.csv"), str(folder / "test.csv"), "--report", str(report)]) == 1
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1300,1600"):
        options.add_argument(argument)
    # No network: every host name fails to resolve.
    options.add_argument("--host-resolver-rules=MAP * ~NOTFOUND")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is no part of what a sanitized run checks, and its
    # processes abort when they inherit the sanitizer's runtime.
    clean = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=webdriver.ChromeService(DRIVER, env=clean), options=options)
    driver.set_script_timeout(10)
    try:
        driver.get(report.as_uri())
        yield driver
    finally:
        driver.quit()


def _plot_source(driver, what):
    """The x and y of one of the first plot's ColumnDataSources, once BokehJS has drawn it."""
    return driver.execute_async_script(
        """
        const [name, done] = arguments;
        const poll = () => {
          const doc = window.Bokeh && Bokeh.documents[0];
          const source = doc && doc.get_model_by_name(name);
          if (source && source.data.x.length) done([Array.from(source.data.x), Array.from(source.data.y)]);
          else setTimeout(poll, 20);
        };
        poll();
        """,
        f"plot-0-{what}",
    )


def test_the_report_opens_offline_without_errors_failure_first(page):
    """Nothing but the file itself is loaded, no console error; the worst failure is the first row, and a
    click on a column sorts by it."""
    _plot_source(page, "test")
    errors = [entry for entry in page.get_log("browser") if entry["level"] == "SEVERE"]
    assert errors == []
    loaded = page.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")
    assert [name for name in loaded if not name.startswith(("file:", "data:"))] == []
    shown = "return Array.from(document.querySelectorAll('#variables tbody tr')).map(r => r.cells[1].textContent)"
    assert page.execute_script(shown)[:2] == ["spiky", "mild"]
    page.find_element("css selector", "#variables th:nth-child(2)").click()  # sorted by name
    assert page.execute_script(shown) == sorted(page.execute_script(shown))


def test_the_filter_finds_a_variable_by_name(page):
    page.execute_script("document.getElementById('verdict').value = 'all'")
    page.find_element("id", "filter").send_keys("valve")
    shown = page.execute_script(
        "return Array.from(document.querySelectorAll('#variables tbody tr')).filter(r => !r.hidden)"
        ".map(r => r.cells[1].textContent)"
    )
    assert shown == ["valve.opening"]


def test_the_overview_keeps_the_spike_and_a_zoom_shows_every_point(page):
    """Thinned to the screen, the one failing sample is still drawn; zoomed into its window, the test
    line holds exactly the run's points there (and one neighbour on each side)."""
    x, y = _plot_source(page, "test")
    assert len(x) < N // 10 and y[x.index(T[SPIKE])] == np.sin(T[SPIKE]) + 0.5
    assert _plot_source(page, "failing")[0] == [T[SPIKE]]
    low, high = T[SPIKE - 40], T[SPIKE + 40]
    page.execute_script("velmoraReport.plots.get(0).range.setv({start: arguments[0], end: arguments[1]})", low, high)
    page.execute_async_script("setTimeout(arguments[0], 300)")
    x, y = _plot_source(page, "test")
    inside = slice(SPIKE - 41, SPIKE + 42)
    assert x == T[inside].tolist()
    assert y[41] == np.sin(T[SPIKE]) + 0.5 and y[:41] == np.sin(T[SPIKE - 41 : SPIKE]).tolist()


def test_the_log_time_toggle_draws_the_positive_times_on_a_log_axis(page):
    page.find_element("id", "log-time").click()
    drawn = page.execute_async_script(
        """
        const done = arguments[0];
        const poll = () => {
          const doc = Bokeh.documents.at(-1);
          const source = Bokeh.documents.length > 1 && doc.get_model_by_name("plot-0-test");
          if (!source) return setTimeout(poll, 20);
          const axis = doc.roots()[0].children[0].x_scale.type;
          done([axis, Math.min(...source.data.x)]);
        };
        poll();
        """
    )
    assert drawn == ["LogScale", T[1]]
    assert [entry for entry in page.get_log("browser") if entry["level"] == "SEVERE"] == []
