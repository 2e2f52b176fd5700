"""Batches: pairing files, compare_many's order and bounds, real worker processes, the report, Dask."""

import base64
import html
import html.parser
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import velmora_funnel as vf
from velmora_funnel.cli import main as vf_main
from velmora_funnel.run import RunOptions, many, pool
from velmora_funnel.run.names import modelica_name
from velmora_funnel.run.pairs import pair_by_patterns, pair_files

T = np.linspace(0.0, 1.0, 201)


def pair(shift):
    """A reference sine and a test shifted up by ``shift`` (fails beyond the funnel's 0.004)."""
    return (T, np.sin(3 * T)), (T, np.sin(3 * T) + shift)


# --- pairing --------------------------------------------------------------------------------


def test_variables_pair_by_name_reference_order_first():
    """Reference order, then test-only names; each with the side it is on."""
    assert RunOptions().select(["a", "b", "c"], ["c", "x", "a"]) == [
        ("a", True, True),
        ("b", True, False),
        ("c", True, True),
        ("x", False, True),
    ]


def test_selected_columns_keep_their_order_once():
    """With columns, exactly those names in the given order, duplicates dropped."""
    selected = RunOptions(columns=("b", "zz", "b")).select(["a", "b"], ["a", "b"])
    assert selected == [("b", True, True), ("zz", False, False)]


# (reference spelling, test spelling, one variable under --names modelica); exact names pair none of them.
SPELLINGS = {
    "blank after a subscript's comma (Dymola)": ("R.T[1, 1]", "R.T[1,1]", True),
    "blanks inside the brackets": ("x[ 2 ]", "x[2]", True),
    "derivative at the end of the path (FMI export)": ("der(revolute1.phi)", "revolute1.der(phi)", True),
    "derivative of an array element": ("der(a.b[1].c)", "a.b[1].der(c)", True),
    "second derivative": ("der(der(a.x))", "a.der(der(x))", True),
    "derivative of a subscripted element, blanks": ("der(pipe.m[1, 2])", "pipe.der(m[1,2])", True),
    "quoted identifier with a dot": ("der('a.b'.c)", "'a.b'.der(c)", True),
    "blanks inside a quoted identifier count": ("'wall 1'.T", "'wall1'.T", False),
    "quotes are part of the identifier": ("'x'", "x", False),
    "two different elements": ("x[1, 2]", "x[2,1]", False),
    "a sum of derivatives is no derivative": ("der(a)+der(b)", "a.der(b)", False),
}


@pytest.mark.parametrize(("reference", "test", "paired"), SPELLINGS.values(), ids=SPELLINGS.keys())
def test_modelica_names_pair_the_spellings_of_one_variable(reference, test, paired):
    """--names modelica pairs what two tools spell differently, shown in the reference's spelling; exact
    names, the default, pair none of them."""
    found = RunOptions(names="modelica").variables([reference], [test])
    assert found == ([(reference, reference, test)] if paired else [(reference, reference, None), (test, None, test)])
    assert len(RunOptions().variables([reference], [test])) == 2


@given(st.text("ab.[], ()'der\\", max_size=16))
def test_modelica_normal_form_is_its_own_normal_form(name):
    """Pairing is stable: a name already in normal form stays as it is, whatever brackets, quotes or calls it holds."""
    assert modelica_name(modelica_name(name)) == modelica_name(name)


def test_a_config_entry_fits_either_spelling(tmp_path):
    """A [[variable]] entry written for one tool's spelling applies to the variable the other tool spells."""
    (tmp_path / "velmora-funnel.toml").write_text('[[variable]]\nmatch = "*.der(*)"\nignore = true\n')
    options = RunOptions.build(config=tmp_path / "velmora-funnel.toml", names="modelica")
    (name, _, test), *_ = options.variables(["der(a.x)"], ["a.der(x)"])
    assert options.for_variable(name, test) is None and options.for_variable(name) is not None


def test_files_pair_by_relative_path(tmp_path):
    """Result files pair by path below each folder, recursively, then across formats when that is
    unique (run.mat with run.csv.gz); one-sided files carry None."""
    for relative in [
        "ref/x.csv",
        "ref/sub/y.csv",
        "ref/only_ref.csv",
        "ref/notes.txt",
        "test/x.csv",
        "test/sub/y.csv",
        "test/sub/only_test.CSV",
        "ref/run.mat",
        "test/run.csv.gz",
        "ref/two.csv",
        "ref/two.mat",
        "test/two.parquet",
    ]:
        (tmp_path / relative).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / relative).write_text("time,a\n")
    pairs = pair_files(tmp_path / "ref", tmp_path / "test")
    assert [(rel, ref is not None, test is not None) for rel, ref, test in pairs] == [
        ("only_ref.csv", True, False),
        ("run.mat", True, True),
        ("sub/only_test.CSV", False, True),
        ("sub/y.csv", True, True),
        ("two.csv", True, False),
        ("two.mat", True, False),
        ("two.parquet", False, True),
        ("x.csv", True, True),
    ]


@pytest.mark.parametrize(
    ("patterns", "expected"),
    [
        (
            ("{name}_ref.csv", "{name}_out.csv"),
            [("Gone/Gone_ref.csv", True, False), ("Model/Model_ref.csv", True, True), ("New/New_out.csv", False, True)],
        ),
        (
            ("{name}/{name}_ref.csv", "{name}/{name}_out.csv"),
            [("Gone/Gone_ref.csv", True, False), ("Model/Model_ref.csv", True, True), ("New/New_out.csv", False, True)],
        ),
        (
            ("{name}.csv", "{name}_out.csv"),
            [
                ("Gone/Gone_ref.csv", True, False),
                ("Model/Model_in.csv", True, False),
                ("Model/Model_out.csv", False, True),
                ("Model/Model_ref.csv", True, False),
                ("New/New_out.csv", False, True),
            ],
        ),
    ],
    ids=["beside each other", "in a folder named by the name", "a file that fits both goes to the longer pattern"],
)
def test_files_pair_by_name_patterns_in_one_folder(tmp_path, patterns, expected):
    """A library that keeps Model/Model_ref.csv beside Model/Model_out.csv (and its input Model_in.csv, which
    fits neither pattern and is left out, named): paired by name in one folder; a reference without its test
    file is missing in test, a test file without its reference missing in the reference."""
    for relative in ["Model/Model_ref.csv", "Model/Model_out.csv", "Model/Model_in.csv", "Gone/Gone_ref.csv"]:
        (tmp_path / relative).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / relative).write_text("time,a\n")
    (tmp_path / "New").mkdir()
    (tmp_path / "New" / "New_out.csv").write_text("time,a\n")
    pairs, left_out = pair_by_patterns(tmp_path, tmp_path, patterns)
    found = [(rel, ref is not None, test is not None) for rel, ref, test in pairs]
    assert found == expected and left_out == ([] if patterns[0] == "{name}.csv" else ["Model/Model_in.csv"])
    if found[1][2]:
        assert pairs[1][2] == str(tmp_path / "Model" / "Model_out.csv")


def test_batch_pairs_by_name_patterns_in_one_folder(tmp_path, write_csv, capsys):
    """batch --pair over one folder of FMU outputs: the reference and its output compare, the input file
    left out is named on stderr, a variable the output adds is NEW and passes."""
    rows = np.column_stack([T, np.sin(T), T])
    write_csv("BouncingBall/BouncingBall_ref.csv", '"time","h"', rows[:, :2], folder=tmp_path)
    write_csv("BouncingBall/BouncingBall_out.csv", '"time","h","v"', rows, folder=tmp_path)
    write_csv("BouncingBall/BouncingBall_in.csv", '"time","u"', rows[:, :2], folder=tmp_path)
    argv = ["batch", str(tmp_path), str(tmp_path), "--jobs", "1", "--pair", "{name}_ref.csv", "{name}_out.csv"]
    assert vf_main(argv) == 0
    out, err = capsys.readouterr()
    assert "PASS: 1 file (0 missing, 0 unusable), 2 variables, 1 passed, 0 failed, 0 missing, 1 new" in out
    assert "--pair: 1 result file not compared, fitting neither pattern: BouncingBall/BouncingBall_in.csv" in err


def test_missing_folder_is_refused(tmp_path):
    """A folder that does not exist raises NotADirectoryError naming it."""
    with pytest.raises(NotADirectoryError, match="nowhere"):
        pair_files(tmp_path / "nowhere", tmp_path)


# --- compare_many -----------------------------------------------------------------------------


SHIFTS = [0.0, 0.1, 0.0, -0.2, 0.001, 0.3, 0.0]


@pytest.mark.parametrize("pool", [None, True, False])
def test_default_runs_yield_in_input_order(pool):
    """In this process or on the default pool, each pair's own result comes back, in input order."""
    results = list(vf.compare_many([pair(s) for s in SHIFTS], pool=pool))
    assert [r.passed for r in results] == [abs(s) < 0.004 for s in SHIFTS]
    assert [r.max_error for r in results] == [vf.compare(*pair(s)).max_error for s in SHIFTS]


def test_default_pool_is_reused_across_calls():
    """A second call runs on the workers the first one started."""

    def worker_pids():
        list(vf.compare_many([pair(0.0)] * 4, pool=True))
        return {p.pid for p in pool._worker_processes(pool._SHARED[pool.default_workers()])}

    assert worker_pids() == worker_pids()


def test_slow_comparisons_move_to_the_pool_midway_in_order(monkeypatch):
    """When the pool pays, the pairs after the timed ones run there; results keep the input order."""
    monkeypatch.setattr(many, "SHIP_SECONDS_PER_BYTE", 0.0)
    monkeypatch.setattr(many, "SHIP_SECONDS_PER_PAIR", 0.0)
    monkeypatch.setattr(many, "POOL_START_SECONDS", 0.0)
    monkeypatch.setattr(many, "default_workers", lambda: 2)
    shifts = SHIFTS * 3
    results = list(vf.compare_many([pair(s) for s in shifts]))
    assert [r.max_error for r in results] == [vf.compare(*pair(s)).max_error for s in shifts]
    assert 2 in pool._SHARED


def test_a_script_using_the_pool_exits_cleanly(tmp_path):
    """The pool reused across calls is shut down at exit: the script ends, with its results."""
    script = tmp_path / "guarded.py"
    script.write_text(
        "import numpy as np, velmora_funnel as vf\n"
        "if __name__ == '__main__':\n"
        "    t = np.linspace(0, 1, 11)\n"
        "    for _ in range(2):\n"
        "        print([r.passed for r in vf.compare_many([((t, t), (t, t))] * 3, pool=True)])\n"
    )
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, check=False, timeout=120)
    assert done.returncode == 0 and done.stdout == "[True, True, True]\n" * 2, done.stderr


def test_small_pairs_stay_in_this_process():
    """Comparisons faster than moving their data to a worker start no pool."""
    pool._shut_shared_pools()
    assert len(list(vf.compare_many([pair(s) for s in SHIFTS * 3]))) == 3 * len(SHIFTS)
    assert not pool._SHARED


def test_tolerances_apply_to_every_pair():
    """Tolerance keywords reach every comparison: a wide funnel lets every pair pass."""
    with ThreadPoolExecutor(2) as pool:
        results = list(vf.compare_many([pair(s) for s in SHIFTS], executor=pool, atoly=0.5, x_range=(0.1, None)))
    assert all(r.passed for r in results) and all(r.x_range == (0.1, float("inf")) for r in results)


@pytest.mark.parametrize(
    ("options", "error"),
    [({"atoly": -1.0}, ValueError), ({"atol": 0.1}, TypeError), ({"max_pending": 0}, ValueError)],
    ids=["negative", "unknown", "window"],
)
def test_bad_options_raise_before_anything_runs(options, error):
    """A bad option raises at the call, not later inside a worker."""
    with pytest.raises(error):
        vf.compare_many(iter(()), executor=ThreadPoolExecutor(1), **options)


def test_large_batch_is_streamed_with_bounded_work_in_flight():
    """Input is pulled lazily: at most max_pending pairs are taken ahead of the consumer."""
    pulled = []

    def pairs():
        for index in range(1000):
            pulled.append(index)
            yield pair(0.0)

    with ThreadPoolExecutor(2) as pool:
        results = vf.compare_many(pairs(), executor=pool, max_pending=4)
        first = next(results)
        assert first.passed and len(pulled) <= 5
        results.close()
    assert len(pulled) <= 5


def broken_input():
    yield from (pair(s) for s in SHIFTS[:3])
    raise OSError("input went away")


@pytest.mark.parametrize(
    ("pairs", "error", "words"),
    [
        ([pair(s) for s in SHIFTS[:3]] + [42, pair(0.0)], TypeError, "must be a (reference, test) pair"),
        (broken_input(), OSError, "input went away"),
    ],
    ids=["malformed pair", "failing input"],
)
def test_results_before_a_bad_input_are_yielded_then_it_raises(pairs, error, words):
    """Every result finished before a malformed pair or a failing input iterator is yielded, in order, then it raises."""
    yielded = []

    def collect(pool):
        for result in vf.compare_many(pairs, executor=pool):
            yielded.append(result.max_error)

    with ThreadPoolExecutor(2) as pool, pytest.raises(error, match=re.escape(words)):
        collect(pool)
    assert yielded == [vf.compare(*pair(s)).max_error for s in SHIFTS[:3]]


def test_any_executor_works_including_a_plain_thread_pool():
    """Results are identical whatever runs them."""
    with ThreadPoolExecutor(3) as pool:
        threaded = [r.max_error for r in vf.compare_many([pair(s) for s in SHIFTS], executor=pool)]
    assert threaded == [vf.compare(*pair(s)).max_error for s in SHIFTS]
    assert threading.active_count() >= 1


# --- the batch command -------------------------------------------------------------------------


@pytest.fixture
def folders(tmp_path, write_csv):
    """ref/ and test/ with: a passing file, a file with one failing and one missing variable,
    a file missing in test, and a variable named with HTML characters."""
    ref, test = tmp_path / "ref", tmp_path / "test"
    good = np.column_stack([T, np.sin(T), np.cos(T)])
    write_csv("good.csv", "time,a,b", good, folder=ref)
    write_csv("good.csv", "time,a,b", good, folder=test)
    write_csv("deep/mixed.csv", "time,<b>x</b>,y", good, folder=ref)
    write_csv("deep/mixed.csv", "time,<b>x</b>", np.column_stack([T, np.sin(T) + 0.2]), folder=test)
    write_csv("gone.csv", "time,a", good[:, :2], folder=ref)
    return ref, test


def run_batch(tmp_path, *args):
    done = subprocess.run(
        [sys.executable, "-m", "velmora_funnel", "batch", *map(str, args)],
        capture_output=True,
        text=True,
        check=False,
        cwd=tmp_path,
    )
    return done.returncode, done.stdout, done.stderr


def test_batch_with_two_worker_processes_reports_every_file(tmp_path, folders):
    """--jobs 2 on real processes: each file gets a verdict line, exit 1 for fail/missing."""
    code, out, err = run_batch(tmp_path, *folders, "--jobs", "2")
    assert code == 1, err
    assert "good.csv: pass (2 of 2 variables passed)" in out
    assert "deep/mixed.csv: FAIL (0 of 2 variables passed)" in out
    assert "gone.csv: MISSING in test" in out
    assert out.splitlines()[-1] == "FAIL: 3 files (1 missing, 0 unusable), 4 variables, 2 passed, 1 failed, 1 missing"
    assert "\r" not in err  # no progress bar when stderr is not a terminal


def test_batch_of_passing_files_exits_0_and_quiet_lists_nothing(tmp_path, folders):
    """Only matching files: exit 0; --quiet prints nothing but the summary."""
    ref, test = folders
    for path in (ref / "deep" / "mixed.csv", ref / "gone.csv", test / "deep" / "mixed.csv"):
        path.unlink()
    code, out, err = run_batch(tmp_path, ref, test, "--quiet", "--jobs", "999")
    assert code == 0
    assert out.splitlines() == ["PASS: 1 file (0 missing, 0 unusable), 2 variables, 2 passed, 0 failed, 0 missing"]
    assert err.count("--jobs 999 capped to the") == 1


def test_unusable_file_exits_2_but_the_batch_completes(tmp_path, folders):
    """A broken file is reported with its row and column (and a file of another dialect with the flags
    that read it); the others are still compared."""
    ref, test = folders
    (test / "good.csv").write_text("time,a,b\n0,1,2\n1,oops,3\n")
    for folder in (ref, test):
        (folder / "semicolons.csv").write_text("time;a\n0;1\n1;2\n")
    code, out, _ = run_batch(tmp_path, ref, test, "--jobs", "2")
    assert code == 2
    assert "good.csv: UNUSABLE:" in out and "row 3, column 2 ('a'): 'oops' is not a number" in out
    assert "semicolons.csv: UNUSABLE:" in out and "read with --delimiter ';' (and --decimal ','" in out
    assert "deep/mixed.csv: FAIL" in out


@pytest.mark.parametrize(
    "argv",
    [
        ["nowhere", "test"],
        ["ref", "ref", "--jobs", "0"],
        ["ref", "test", "--json", "nowhere/out.json"],
        ["ref", "test", "--report", "ref"],
        ["ref", "test", "--junit", "nowhere/j.xml"],
        ["ref", "test", "--markdown", "test"],
        ["ref", "test", "--pair", "ref.csv", "{name}.csv"],
        ["ref", "test", "--pair", "{nam}_ref.csv", "{name}.csv"],
        ["ref", "ref", "--pair", "{name}.csv", "{name}.csv"],
        ["ref", "test", "--pair", "../{name}.csv", "{name}.csv"],
    ],
    ids=[
        "no folder",
        "no jobs",
        "unwritable json",
        "report is a folder",
        "unwritable junit",
        "markdown is a folder",
        "pattern without {name}",
        "pattern with another field",
        "one pattern for one folder",
        "pattern leaving its folder",
    ],
)
def test_unusable_batch_arguments_exit_2(tmp_path, folders, argv):
    """A missing folder, a zero job count or an output that cannot be written: exit 2 with one
    error line, before any pair is compared."""
    code, out, err = run_batch(tmp_path, *argv)
    assert code == 2 and err.startswith("velmora-funnel: error: ") and err.count("\n") == 1 and out == ""


class _Page(html.parser.HTMLParser):
    """The tags of a page with an address in src or href, and the data of its plots."""

    def __init__(self):
        super().__init__()
        self.addresses, self.plots, self._plot = [], [], False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.addresses += [attrs[key] for key in ("src", "href") if key in attrs]
        self._plot = tag == "script" and (attrs.get("id") or "").startswith("plot-data-")

    def handle_data(self, data):
        if self._plot:
            self.plots.append(json.loads(data))
            self._plot = False


def test_report_has_summary_first_then_plots_of_what_did_not_pass(tmp_path, folders):
    """The HTML report: self-contained, files and table before plots, the data of a plot for each
    failing variable only, names escaped, counts as the summary line and the JSON give them."""
    report = tmp_path / "report.html"
    code, _, _ = run_batch(tmp_path, *folders, "--jobs", "2", "--report", report, "--json", tmp_path / "out.json")
    text = report.read_text()
    assert code == 1
    assert text.index('<table class="files">') < text.index('id="variables"') < text.index('class="figure"')
    page = _Page()
    page.feed(text)
    assert all(address.startswith("#") for address in page.addresses)  # nothing fetched from elsewhere
    assert text.count("<script>") == 2  # BokehJS once, then the page's own script
    [plot] = page.plots
    assert plot["title"] == "deep/mixed.csv: <b>x</b>: FAIL" and plot["lines"]["test"]["n"] == len(T)
    assert sum(base64.b64decode(plot["lines"]["test"]["f"])) == plot["failing"] > 0
    escaped = html.escape("<b>x</b>")
    assert "<b>x</b>" not in text.split("<script")[0] and escaped in text
    assert f"deep/mixed.csv: {escaped}" in text  # the plot is the failing variable's
    document = json.loads((tmp_path / "out.json").read_text())
    summary = document["summary"]
    assert summary["files"] == 3 and summary["missing_files"] == 1
    # The badges count as the summary line and the JSON do: variables, and files apart.
    for words in ("3 files<", "1 file missing<", "4 variables<", "file missing in test"):
        assert words in text
    for key in ("passed", "failed", "missing"):
        assert f"{summary[key]} {key}</span>" in text
    verdicts = {f["file"]: f["verdict"] for f in document["files"]}
    assert verdicts == {"deep/mixed.csv": "fail", "gone.csv": "missing", "good.csv": "pass"}


@pytest.mark.parametrize(
    "command, limit, plotted", [("batch", "2", [3, 2]), ("batch", "0", []), ("compare", None, [3, 2, 1])]
)
def test_report_plots_the_worst_margins_first_up_to_its_limit(tmp_path, write_csv, command, limit, plotted):
    """--report-plots N: the N variables with the worst margins, worst first; the rest are counted."""
    columns = np.column_stack([T, *(np.sin(T) + 0.1 * k for k in range(4))])
    header = "time,ok,a1,a2,a3"
    write_csv("m.csv", header, np.column_stack([T, *(np.sin(T) for _ in range(4))]), folder=tmp_path / "ref")
    write_csv("m.csv", header, columns, folder=tmp_path / "test")
    sides = ["ref", "test"] if command == "batch" else ["ref/m.csv", "test/m.csv"]
    extra = ["--report-plots", limit] if limit else []
    done = subprocess.run(
        [sys.executable, "-m", "velmora_funnel", command, *sides, "--report", "r.html", *extra],
        capture_output=True,
        text=True,
        check=False,
        cwd=tmp_path,
    )
    assert done.returncode == 1 and "report: r.html" in done.stdout, done.stderr
    page = _Page()
    text = (tmp_path / "r.html").read_text()
    page.feed(text)
    assert [int(plot["title"].split(": ")[1][1:]) for plot in page.plots] == plotted
    assert ("more did not pass and are not plotted" in text) == (len(plotted) < 3)


# --- faults in worker processes -----------------------------------------------------------------

# Runs again in every worker process (as the pool's main module), so the fault
# named by $FAULT strikes inside the worker, on the pair "bad" only.
FAULTY_SCRIPT = """
import os, signal, sys, time

import numpy as np

import velmora_funnel as vf
from velmora_funnel.cli import main as vf_main
from velmora_funnel.reports import html_data
from velmora_funnel.run import many, pairs

FAULT = os.environ["FAULT"]
compare_tables, payload, compare_shipped = pairs.compare_tables, html_data._payload, many.compare_shipped


def strike():
    if FAULT == "kill":
        os.kill(os.getpid(), signal.SIGKILL)
    if FAULT == "memory":
        raise MemoryError
    if FAULT == "hang":
        open("started", "w").close()
        time.sleep(600)


def faulty_compare_tables(reference, test, options, *, file):
    if file == "bad.csv":
        strike()
    return compare_tables(reference, test, options, file=file)


def faulty_payload(result, title, *labels):
    if FAULT == "plot" and title.startswith("bad.csv"):
        raise np.linalg.LinAlgError("Singular matrix")
    return payload(result, title, *labels)


def faulty_compare_shipped(reference, test, options):
    if len(reference[0]) == 13:
        strike()
    return compare_shipped(reference, test, options)


pairs.compare_tables, html_data._payload, many.compare_shipped = faulty_compare_tables, faulty_payload, faulty_compare_shipped

if __name__ == "__main__":
    if sys.argv[1] == "many":
        t, bad = np.linspace(0, 1, 11), np.linspace(0, 1, 13)
        yielded = 0
        try:
            for result in vf.compare_many([((t, t), (t, t))] * 2 + [((bad, bad), (t, t))] + [((t, t), (t, t))] * 3, pool=True):
                yielded += 1
        except Exception as exc:
            print(yielded, type(exc).__name__, exc)
    else:
        from velmora_funnel.cli import main
        sys.exit(main(sys.argv[1:]))
"""


@pytest.fixture
def faulty(tmp_path, folders, write_csv):
    """The batch folders plus a failing pair bad.csv, and a runner whose workers strike on it."""
    ref, test = folders
    write_csv("bad.csv", "time,a", np.column_stack([T, np.sin(T)]), folder=ref)
    write_csv("bad.csv", "time,a", np.column_stack([T, np.sin(T) + 0.5]), folder=test)
    (tmp_path / "faulty.py").write_text(FAULTY_SCRIPT)

    def start(fault, *args, **options):
        return subprocess.Popen(
            [sys.executable, "faulty.py", *map(str, args)],
            cwd=tmp_path,
            text=True,
            env={**os.environ, "FAULT": fault},
            **options,
        )

    return ref, test, start


@pytest.mark.parametrize(
    ("fault", "reason"),
    [
        ("plot", "funnel plot of 'a' skipped: LinAlgError: Singular matrix"),
        ("memory", "comparison failed: MemoryError"),
        ("kill", "not compared: its worker process was killed by SIGKILL"),
    ],
)
def test_a_pair_that_breaks_costs_only_itself(tmp_path, faulty, fault, reason):
    """A pair whose comparison raises, or whose worker is killed, is reported unusable with the reason
    (exit 2); a plot that cannot be drawn costs that plot only, with a warning, and the verdicts stand.
    Every other pair is still compared, and the report and the JSON are written."""
    ref, test, start = faulty
    done = start(
        fault,
        "batch",
        ref,
        test,
        "--jobs",
        "2",
        "--report",
        "report.html",
        "--json",
        "out.json",
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    out, err = done.communicate(timeout=300)
    plot = fault == "plot"
    assert done.returncode == (1 if plot else 2), err
    shown = f"velmora-funnel: warning: bad.csv: {reason}" in err if plot else f"bad.csv: UNUSABLE: {reason}" in out
    assert shown and "Traceback" not in err, out + err
    assert "good.csv: pass" in out and "deep/mixed.csv: FAIL" in out and "gone.csv: MISSING" in out
    verdicts = {f["file"]: f["verdict"] for f in json.loads((tmp_path / "out.json").read_text())["files"]}
    assert verdicts == {
        "bad.csv": "fail" if plot else "error",
        "deep/mixed.csv": "fail",
        "gone.csv": "missing",
        "good.csv": "pass",
    }
    assert html.escape(reason) in (tmp_path / "report.html").read_text()


def test_compare_many_names_the_pair_whose_worker_died(tmp_path, faulty):
    """The default pool yields the results before a pair whose worker is killed, then raises naming it."""
    _, _, start = faulty
    out, _ = start("kill", "many", stdout=subprocess.PIPE, stderr=subprocess.PIPE).communicate(timeout=300)
    assert out.startswith(
        "2 WorkerDiedError pair 2 (counting from 0) could not be compared: its worker process was killed by SIGKILL"
    )
    assert "the results of the 2 pairs before it were yielded" in out and "__main__" not in out


def session_processes(session):
    """The live processes of a session, from /proc."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as handle:
                state, _, _, sid = handle.read().rsplit(")", 1)[1].split()[:4]
        except OSError:
            continue
        if int(sid) == session and state != "Z":
            found.append(int(entry))
    return found


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="reads the process table from /proc")
def test_sigterm_ends_the_batch_with_all_its_processes(tmp_path, faulty):
    """SIGTERM during a batch ends it (exit 143) with its worker processes, forkserver and resource tracker."""
    ref, test, start = faulty
    with open(tmp_path / "err.txt", "w") as err:
        batch = start(
            "hang", "batch", ref, test, "--jobs", "2", stdout=subprocess.DEVNULL, stderr=err, start_new_session=True
        )
    try:
        while not (tmp_path / "started").exists():  # a worker is inside the comparison of bad.csv
            assert batch.poll() is None, (tmp_path / "err.txt").read_text()
            time.sleep(0.05)
        batch.send_signal(signal.SIGTERM)
        assert batch.wait(timeout=120) == 128 + signal.SIGTERM
        for _ in range(600):  # the forkserver notices its parent is gone on its own
            if not session_processes(batch.pid):
                break
            time.sleep(0.05)
        assert session_processes(batch.pid) == []
        assert (tmp_path / "err.txt").read_text().splitlines()[-1] == "velmora-funnel: terminated"
    finally:
        for pid in session_processes(batch.pid):
            os.kill(pid, signal.SIGKILL)


# --- Dask: the same batch across a (local) cluster ---------------------------------------------

# The cluster runs in a child interpreter of its own: Dask leaves threads and
# helpers alive in its client process, which must not be the test process.
DASK_SCRIPT = """
import json, os, sys
from concurrent.futures import Executor

import distributed
import numpy as np

import velmora_funnel as vf
from velmora_funnel.cli import main as vf_main
from velmora_funnel.run import RunOptions
from velmora_funnel.run.batch import run_batch
from velmora_funnel.run.names import modelica_name
from velmora_funnel.run.pairs import pair_by_patterns, pair_files


class RecordingExecutor(Executor):
    # Passes work on to another executor and keeps the arguments it was given.
    def __init__(self, inner):
        self.inner, self.arguments = inner, []

    def submit(self, fn, /, *args, **kwargs):
        self.arguments.append(args)
        return self.inner.submit(fn, *args, **kwargs)


if __name__ == "__main__":
    reference_dir, test_dir, shifts = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    t = np.linspace(0.0, 1.0, 201)
    pairs = [((t, np.sin(3 * t)), (t, np.sin(3 * t) + s)) for s in shifts]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        results = list(vf.compare_many(pairs, executor=client.get_executor()))
        recorder = RecordingExecutor(client.get_executor())
        outcomes = list(run_batch(pair_files(reference_dir, test_dir), options=RunOptions(), executor=recorder))
        worker_pids = sorted(client.run(os.getpid).values())
    print(json.dumps({
        "max_errors": [r.max_error for r in results],
        "frozen": all(not r.errors.y.flags.writeable for r in results),
        "verdicts": [o.verdict for o in outcomes],
        "mixed_error": outcomes[0].variables[0].max_error,
        "shipped_arrays": sum(isinstance(v, np.ndarray) for args in recorder.arguments for v in args),
        "shipped_paths": [args[1] for args in recorder.arguments],
        "worker_pids": worker_pids,
        "client_pid": os.getpid(),
    }))
"""


@pytest.fixture(scope="module")
def dask_run(tmp_path_factory):
    """Run both Dask checks once on a real local cluster of two worker processes."""
    pytest.importorskip("distributed")
    root = tmp_path_factory.mktemp("dask")
    script = root / "run_on_dask.py"
    script.write_text(DASK_SCRIPT)
    ref, test = root / "ref", root / "test"
    (ref / "deep").mkdir(parents=True)
    (test / "deep").mkdir(parents=True)
    rows = "\n".join(f"{x},{np.sin(x)},{np.cos(x)}" for x in T.tolist())
    shifted = "\n".join(f"{x},{np.sin(x) + 0.2}" for x in T.tolist())
    (ref / "good.csv").write_text("time,a,b\n" + rows + "\n")
    (test / "good.csv").write_text("time,a,b\n" + rows + "\n")
    (ref / "deep" / "mixed.csv").write_text("time,x,y\n" + rows + "\n")
    (test / "deep" / "mixed.csv").write_text("time,x\n" + shifted + "\n")
    (ref / "gone.csv").write_text("time,a,b\n" + rows + "\n")
    done = subprocess.run(
        [sys.executable, str(script), str(ref), str(test), json.dumps(SHIFTS)],
        capture_output=True,
        text=True,
        check=False,
        timeout=300,
        cwd=root,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1]), ref


def test_compare_many_on_a_dask_cluster(dask_run):
    """A Dask cluster's executor runs compare_many in its worker processes, in input order."""
    report, _ = dask_run
    assert report["max_errors"] == [vf.compare(*pair(s)).max_error for s in SHIFTS]
    assert report["frozen"]
    assert len(set(report["worker_pids"])) == 2 and report["client_pid"] not in report["worker_pids"]


def test_file_batch_on_a_dask_cluster_reads_files_in_the_workers(dask_run):
    """run_batch sends paths, not arrays, to the Dask workers, which read the files themselves."""
    report, ref = dask_run
    assert report["verdicts"] == ["fail", "missing", "pass"]
    assert report["mixed_error"] == pytest.approx(0.2, rel=0.05)
    assert report["shipped_arrays"] == 0 and str(ref / "good.csv") in report["shipped_paths"]


def test_script_without_main_guard_gets_a_clear_error(tmp_path):
    """Workers import the main module; a script that forgot the guard is told what to do."""
    script = tmp_path / "unguarded.py"
    script.write_text(
        "import numpy as np, velmora_funnel as vf\n"
        "t = np.linspace(0, 1, 11)\n"
        "print(list(vf.compare_many([((t, t), (t, t))], pool=True)))\n"
    )
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, check=False, timeout=120)
    assert done.returncode != 0
    # The error is the traceback's last line; on Python 3.12 the resource
    # tracker may add its shutdown warning after it.
    error = [line for line in done.stderr.splitlines() if line.startswith(("RuntimeError", "velmora_funnel"))]
    assert error and 'under `if __name__ == "__main__":`' in error[-1]
