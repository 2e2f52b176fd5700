"""The pytest side: assert_funnel's message, and the funnel_regression fixture run by real pytest."""

import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from velmora_funnel.pytest_plugin import write_result
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
    if run.get("extra"):
        frame["torque"] = t
    funnel_regression.check(frame, rtoly=0.01)

def test_mapping(funnel_regression):
    t = np.linspace(0.0, 1.0, 11)
    funnel_regression.check({"y": (t, t ** 2)}, basename="squares")
"""


def test_funnel_regression_fixture_in_real_pytest_runs(pytester):
    """First run writes the references and fails; then passes, also on another time grid and with a new
    variable (warned); a changed curve fails naming the variable and the saved plot; --funnel-regen
    rewrites and fails."""
    pytester.makepyfile(test_model=TEST_MODULE)
    run = pytester.path / "run.json"
    references = pytester.path / "test_model"

    def session(points, bump, *args, extra="false"):
        run.write_text(f'{{"points": {points}, "bump": {bump}, "extra": {extra}}}')
        return pytester.runpytest("-p", "no:cacheprovider", *args)

    first = session(401, 0.0)
    first.assert_outcomes(failed=2)
    first.stdout.fnmatch_lines(["*reference *test_model.csv did not exist: written from this run*"])
    assert sorted(p.name for p in references.iterdir()) == ["squares.csv", "test_model.csv"]
    session(401, 0.0).assert_outcomes(passed=2)
    session(257, 0.0).assert_outcomes(passed=2)
    # A variable the run adds is NEW: it passes with a warning naming it, as on the command line.
    added = session(257, 0.0, "-W", "default::UserWarning", extra="true")  # this suite's own filter: errors
    added.assert_outcomes(passed=2, warnings=1)
    added.stdout.fnmatch_lines(["*test_model.csv: torque: new: not in reference*"])
    changed = session(257, 0.5)
    changed.assert_outcomes(failed=1, passed=1)
    changed.stdout.fnmatch_lines(
        [
            "*1 of 2 variables are not inside the funnel of*test_model.csv*",
            "*speed: fail: test points outside the funnel; first failure at t = 8.0*",
            "*funnel plot: *test_model.speed.png",
        ]
    )
    plot = next(line for line in changed.stdout.lines if "funnel plot: " in line).split("funnel plot: ")[1]
    assert pathlib.Path(plot).read_bytes()[:4] == b"\x89PNG"
    regenerated = session(257, 0.5, "--funnel-regen")
    regenerated.assert_outcomes(failed=2)
    regenerated.stdout.fnmatch_lines(["*test_model.csv rewritten (--funnel-regen)*"])
    session(257, 0.5).assert_outcomes(passed=2)


NAMES_MODULE = """
import numpy as np
import pytest

T = np.linspace(0.0, 1.0, 11)

@pytest.mark.parametrize("expr", ["a+b", "a*b"])
def test_expr(funnel_regression, expr):
    funnel_regression.check({"y": (T, T * (2 if expr == "a*b" else 1))})

@pytest.mark.parametrize("basename", [".", ".."])
def test_dots(funnel_regression, basename):
    funnel_regression.check({"y": (T, T + len(basename))}, basename=basename)

def test_twice(funnel_regression):
    for basename in ("a+b", "a*b", "a+b"):
        try:
            funnel_regression.check({"y": (T, T)}, basename=basename)
        except pytest.fail.Exception:
            pass
"""


def test_distinct_checks_never_share_a_reference(pytester):
    """Test ids or basenames that read the same as file names (a+b, a*b; . and ..) get a reference
    each, so a second check never passes against the first one's; only the same name twice in one
    test is refused."""
    pytester.makepyfile(test_names=NAMES_MODULE)
    # -rN: the short summary repeats each message, cut or not by the terminal's width
    first = pytester.runpytest("-p", "no:cacheprovider", "-rN")
    first.assert_outcomes(failed=5)
    assert first.stdout.str().count("did not exist: written from this run") == 4
    first.stdout.fnmatch_lines(["*a second check named 'a+b' in one test*"])
    assert len(list((pytester.path / "test_names").iterdir())) == 6
    pytester.runpytest("-p", "no:cacheprovider").assert_outcomes(passed=4, failed=1)


WRITER = """
import sys
from velmora_funnel.pytest_plugin import write_reference
for _ in range(int(sys.argv[3])):
    write_reference(sys.argv[1], sys.argv[2])
"""


def test_a_reference_written_by_several_processes_at_once_stays_whole(tmp_path):
    """pytest -n 2 --funnel-regen, two checks of one basename: whoever reads the reference while
    they write finds one writer's file, whole, and no temporary file stays behind."""
    t = np.linspace(0.0, 1.0, 20_001)
    runs = [tmp_path / f"run{k}.csv" for k in range(3)]
    for k, run in enumerate(runs):
        write_result({"y": (t, np.sin(t) + k)}, run)
    reference = tmp_path / "references" / "shared.csv"
    reference.parent.mkdir()
    reference.write_bytes(runs[0].read_bytes())
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, str(run), str(reference), "40"]) for run in runs]
    whole = {run.read_bytes() for run in runs}
    while any(writer.poll() is None for writer in writers):
        read = reference.read_bytes()
        assert read in whole, f"read {len(read)} bytes that are no writer's file"
    assert [writer.returncode for writer in writers] == [0, 0, 0]
    assert os.listdir(reference.parent) == ["shared.csv"]


# The suite may run as root, whom a folder without write permission does not stop:
# there, writing into it is refused as the kernel refuses anyone else.
REFUSE_WRITING = """
import errno, os, pathlib, pytest

@pytest.fixture(autouse=True)
def read_only_references(monkeypatch):
    opened = os.open
    def refusing(path, flags, *args, **kwargs):
        if flags & os.O_CREAT and pathlib.Path(path).parent.name == "test_model":
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
        return opened(path, flags, *args, **kwargs)
    monkeypatch.setattr(os, "open", refusing)
"""


REFERENCE_FAULTS = {
    "folder is a file": "*test_model: is a file, expected the folder of this module's references",
    "reference is a folder": "*test_model/test_model.csv: is a folder, expected a reference file",
    "read-only folder": "*test_model/test_model.csv: cannot write the reference: Permission denied",
    "unreadable reference": "the reference cannot be read: *test_model.csv: row 3, column 2 ('speed'): *",
    "crashed run": "reference *test_model.csv not written: 11 of the 11 values of 'speed' are NaN or infinite*",
}


@pytest.mark.parametrize(("fault", "message"), REFERENCE_FAULTS.items(), ids=REFERENCE_FAULTS.keys())
def test_a_reference_that_cannot_be_used_fails_in_one_line(pytester, fault, message):
    """Whatever stands where the references should be, the check fails with one line naming the path
    and what is wrong, never a traceback."""
    pytester.makepyfile(test_model=TEST_MODULE)
    (pytester.path / "run.json").write_text(f'{{"points": 11, "bump": {"NaN" if fault == "crashed run" else 0}}}')
    references = pytester.path / "test_model"
    if fault == "folder is a file":
        references.write_text("")
    elif fault != "crashed run":
        references.mkdir()
    if fault == "reference is a folder":
        (references / "test_model.csv").mkdir()
    if fault == "unreadable reference":
        (references / "test_model.csv").write_text("time,speed,heat\n0,1,300\n1,x,300\n")
    regen = fault == "read-only folder"
    if regen:
        references.chmod(0o555)
        if os.geteuid() == 0:
            pytester.makeconftest(REFUSE_WRITING)
    result = pytester.runpytest("-p", "no:cacheprovider", "test_model.py::test_model", *["--funnel-regen"] * regen)
    if regen:
        references.chmod(0o755)
    result.assert_outcomes(failed=1)
    assert not (references / "test_model.csv").is_file() or fault == "unreadable reference"
    result.stdout.fnmatch_lines(["*_ test_model _*", message, "*= short test summary info =*"], consecutive=True)
    assert "Traceback" not in result.stdout.str() and "Error:" not in result.stdout.str()


@pytest.mark.parametrize(
    ("frame", "written"),
    [
        ({"time": [0.0, 1.0], "x": [1.0, 2.0]}, ["time", "x"]),
        ({"x": [1.0, 2.0], "time": [0.0, 1.0]}, ["time", "x"]),
        ({"x": [1.0, 2.0], "time": [0.0, 1.0], "index name": "time"}, "would clash with the time column"),
    ],
    ids=["time column", "time column last", "time index and column"],
)
def test_a_dataframe_with_a_time_column_is_written_with_one_abscissa(tmp_path, frame, written):
    """A frame without a time index takes its time column for the abscissa (never `time,time,x`);
    a time index beside a time column is refused before anything is written."""
    pd = pytest.importorskip("pandas")
    frame = dict(frame)
    name = frame.pop("index name", None)
    data = pd.DataFrame(frame, index=pd.Index([0.0, 1.0], name=name) if name else None)
    path = tmp_path / "run.csv"
    if isinstance(written, str):
        with pytest.raises(ValueError, match=written):
            write_result(data, path)
        assert not path.exists()
    else:
        write_result(data, path)
        assert list(pd.read_csv(path).columns) == written
