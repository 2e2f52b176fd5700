"""The pytest side: assert_funnel's message, and the funnel_regression fixture run by real pytest."""

import pathlib

import numpy as np
import pytest

from velmora_funnel.testing import assert_funnel

T = np.linspace(0.0, 2.0, 201)


def test_assert_funnel_message_holds_the_verdict():
    """Like numpy.testing: a pass returns quietly, a failure says status, first failure, largest
    error and margin."""
    assert assert_funnel((T, np.sin(T)), (T, np.sin(T) + 1e-4)).passed
    with pytest.raises(AssertionError) as info:
        assert_funnel((T, np.sin(T)), (T, np.sin(T) + 0.1 * (T > 1.5)), atoly=0.01)
    message = str(info.value)
    assert message.startswith("Test curve is not inside the funnel (atolx=0, atoly=0.01,")
    for words in ("status: FAIL", "first failure at t = 1.51", "largest error 0.09", "smallest margin -"):
        assert words in message


TEST_MODULE = """
import json, pathlib
import numpy as np
import pandas as pd

def test_model(funnel_regression):
    run = json.loads(pathlib.Path("run.json").read_text())
    t = np.linspace(0.0, 10.0, run["points"])
    frame = pd.DataFrame({"speed": np.sin(t) + run["bump"] * (t > 8), "heat": 300 + t}, index=pd.Index(t, name="time"))
    funnel_regression.check(frame, rtoly=0.01)

def test_mapping(funnel_regression):
    t = np.linspace(0.0, 1.0, 11)
    funnel_regression.check({"y": (t, t ** 2)}, basename="squares")
"""


def test_funnel_regression_fixture_in_real_pytest_runs(pytester):
    """First run writes the references and fails; then passes, also on another time grid; a changed
    curve fails naming the variable and the saved plot; --funnel-regen rewrites and fails."""
    pytester.makepyfile(test_model=TEST_MODULE)
    run = pytester.path / "run.json"
    references = pytester.path / "test_model"

    def session(points, bump, *args):
        run.write_text(f'{{"points": {points}, "bump": {bump}}}')
        return pytester.runpytest("-p", "no:cacheprovider", *args)

    first = session(401, 0.0)
    first.assert_outcomes(failed=2)
    first.stdout.fnmatch_lines(["*reference *test_model.csv did not exist: written from this run*"])
    assert sorted(p.name for p in references.iterdir()) == ["squares.csv", "test_model.csv"]
    session(401, 0.0).assert_outcomes(passed=2)
    session(257, 0.0).assert_outcomes(passed=2)
    changed = session(257, 0.5)
    changed.assert_outcomes(failed=1, passed=1)
    changed.stdout.fnmatch_lines(
        [
            "*1 of 2 variables are not inside the funnel of*test_model.csv*",
            "*speed: fail: fail: test points outside the funnel; first failure at t = 8.0*",
            "*funnel plot: *test_model.speed.png",
        ]
    )
    plot = next(line for line in changed.stdout.lines if "funnel plot: " in line).split("funnel plot: ")[1]
    assert pathlib.Path(plot).read_bytes()[:4] == b"\x89PNG"
    regenerated = session(257, 0.5, "--funnel-regen")
    regenerated.assert_outcomes(failed=2)
    regenerated.stdout.fnmatch_lines(["*test_model.csv rewritten (--funnel-regen)*"])
    session(257, 0.5).assert_outcomes(passed=2)
