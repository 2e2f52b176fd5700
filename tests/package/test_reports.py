"""Reports for CI: JUnit XML (read back with junitparser), Markdown, JSON error documents,
unusable input and sanity warnings."""

import html.parser
import json
import os
import pathlib
import re

import junitparser
import numpy as np
import pytest

from velmora_funnel.cli import main
from velmora_funnel.reports.markdown import write_markdown
from velmora_funnel.reports.text import printable
from velmora_funnel.run import FileOutcome, VariableOutcome

T = np.linspace(0.0, 2.0, 201)


@pytest.fixture
def folders(tmp_path, write_csv):
    """ref/ and test/: a passing file with an ignored variable, a text column and a new variable, a file
    with a failing variable whose name holds markup characters, a file missing in test, an unreadable
    test file."""
    ref, test = tmp_path / "ref", tmp_path / "test"
    (tmp_path / "ref").mkdir()
    (ref / "velmora-funnel.toml").write_text('[[variable]]\nmatch = "debug.*"\nignore = true\n')
    good = np.column_stack([T, np.sin(T), T])
    # The test run adds a variable: NEW, a warning only; "mode" is text in both: not compared.
    for folder, values, added in ((ref, good, ""), (test, good + [0, 0, 9], ",added")):
        rows = "".join(f"{float(t)!r},{float(a)!r},{float(x)!r},on{added and f',{float(t)!r}'}\n" for t, a, x in values)
        write_csv("good.csv", f"time,a,debug.x,mode{added}\n" + rows, folder=folder)
    write_csv("sub/bad.csv", "time,a|b <i>", good[:, :2], folder=ref)
    write_csv("sub/bad.csv", "time,a|b <i>", good[:, :2] + [0, 0.3], folder=test)
    write_csv("gone.csv", "time,a", good[:, :2], folder=ref)
    write_csv("broken.csv", "time,a", good[:, :2], folder=ref)
    (test / "broken.csv").write_text("time,a\n0,1\n1,x\n")
    return ref, test


def test_batch_junit_markdown_and_json_agree(tmp_path, folders, capsys):
    """JUnit: a case per variable, failure/error/skipped as the verdicts, counts and times that add
    up, the numbers as properties; Markdown: what did not pass first, names escaped."""
    junit, markdown, document = tmp_path / "junit.xml", tmp_path / "summary.md", tmp_path / "out.json"
    code = main(
        [
            "batch",
            *map(str, folders),
            "--jobs",
            "1",
            "--junit",
            str(junit),
            "--markdown",
            str(markdown),
            "--markdown-all",
            "--json",
            str(document),
        ]
    )
    assert code == 2  # the unreadable file
    xml = junitparser.JUnitXml.fromfile(str(junit))
    suites = {suite.name: suite for suite in xml}
    assert set(suites) == {"broken.csv", "gone.csv", "good.csv", "sub/bad.csv"}
    assert (xml.tests, xml.failures, xml.errors, xml.skipped) == (7, 2, 1, 3)
    for suite in suites.values():
        cases = list(suite)
        assert suite.tests == len(cases) and suite.time == pytest.approx(sum(c.time for c in cases), abs=1e-9)
    assert xml.time == pytest.approx(sum(s.time for s in suites.values()), abs=1e-9)
    verdicts = {(s, c.name): [type(r).__name__ for r in c.result] for s, suite in suites.items() for c in suite}
    assert verdicts == {
        ("good.csv", "a"): [],
        ("good.csv", "debug.x"): ["Skipped"],
        ("good.csv", "added"): ["Skipped"],
        ("good.csv", "mode"): ["Skipped"],
        ("sub/bad.csv", "a|b <i>"): ["Failure"],
        ("gone.csv", "gone.csv"): ["Failure"],
        ("broken.csv", "broken.csv"): ["Error"],
    }
    failing = next(iter(suites["sub/bad.csv"]))
    assert failing.classname == "sub.bad"
    assert re.search(r"first failure at t = 0; largest error 0\.29\d*; smallest margin -\d+", failing.result[0].message)
    properties = {p.name: p.value for p in failing.child(junitparser.Properties)}
    assert (
        float(properties["margin"]) < 0 and int(properties["failing_points"]) == 201 and properties["rtoly"] == "0.002"
    )
    rows = [line for line in markdown.read_text().splitlines() if line.startswith("| ")][1:]
    labels = ["| UNUSABLE", "| FAIL", "| MISSING", "| NEW", "| pass", "| NOT_COMPARED", "| ignored"]
    assert [row.split(" | ")[0] for row in rows] == labels
    assert "a\\|b \\<i\\>" in rows[1] and all(len(re.findall(r"(?<!\\)\|", row)) == 9 for row in rows)
    assert json.loads(document.read_text())["error"].startswith("broken.csv: ")
    summary = json.loads(document.read_text())["summary"]
    assert (summary["variables"], summary["new"], summary["tolerated"], summary["missing"]) == (5, 1, 1, 0)
    # The new variable alone passes; with --on-new fail it fails its file (a JUnit failure), exit 1.
    for path in ["ref/broken.csv", "test/broken.csv", "ref/gone.csv", "ref/sub/bad.csv", "test/sub/bad.csv"]:
        (tmp_path / path).unlink()
    assert main(["batch", *map(str, folders), "--jobs", "1", "--quiet"]) == 0
    out = capsys.readouterr().out
    assert (
        "PASS: 1 file (0 missing, 0 unusable), 4 variables, 1 passed, 0 failed, 0 missing, 1 new, 1 ignored, 1 not compared"
        in out
    )
    assert main(["batch", *map(str, folders), "--jobs", "1", "--on-new", "fail", "--junit", str(junit)]) == 1
    out = capsys.readouterr().out
    assert "good.csv: FAIL (1 of 2 variables passed)" in out and re.search(r"added +NEW", out)
    cases = {
        c.name: [type(r).__name__ for r in c.result]
        for suite in junitparser.JUnitXml.fromfile(str(junit))
        for c in suite
    }
    assert cases == {"a": [], "debug.x": ["Skipped"], "mode": ["Skipped"], "added": ["Failure"]}


def test_junit_properties_are_each_variables_own_options(tmp_path):
    """Options written once per set must still be each variable's own."""
    from velmora_funnel.reports.junit import write_junit

    variables = tuple(
        VariableOutcome("f.csv", name, "pass", None, "pass", tolerances={"rtoly": rtoly}, x_range=(lo, 1.0))
        for name, rtoly, lo in (("a", 0.002, 0.0), ("b", 0.5, 0.0), ("c", 0.002, -1.0))
    )
    write_junit(str(tmp_path / "j.xml"), [FileOutcome("f.csv", "r", "t", variables=variables)])
    shown = {
        case.name: {p.name: p.value for p in case.child(junitparser.Properties)}
        for case in next(iter(junitparser.JUnitXml.fromfile(str(tmp_path / "j.xml"))))
    }
    assert {name: (p["rtoly"], p["x_range"]) for name, p in shown.items()} == {
        "a": ("0.002", "[0, 1]"),
        "b": ("0.5", "[0, 1]"),
        "c": ("0.002", "[-1, 1]"),
    }


@pytest.mark.parametrize("passes", [False, True])
def test_markdown_stays_under_the_limit_and_counts_what_it_cuts(tmp_path, passes):
    """A job summary takes 1 MiB: rows that do not fit are counted, passes are counted unless asked
    for, and what did not pass comes first whatever is cut."""
    variables = [
        VariableOutcome("big.csv", f"v{k:05}", "pass" if k % 3 else "fail", None, "fail: " + "x" * 40)
        for k in range(3000)
    ]
    path = tmp_path / "summary.md"
    write_markdown(
        str(path), [FileOutcome("big.csv", "r", "t", variables=tuple(variables))], "FAIL", passes=passes, limit=20_000
    )
    text = path.read_text()
    rows = [line for line in text.splitlines() if line.startswith("| ")][1:]
    assert len(text.encode()) <= 20_000 and all(row.startswith("| FAIL") for row in rows)
    cut = int(re.search(r"and ([\d,]+) more rows", text)[1].replace(",", ""))
    assert len(rows) + cut == (3000 if passes else 1000)
    assert ("2,000 passed or ignored variables are counted, not listed" in text) is not passes


@pytest.mark.parametrize("command", ["compare", "batch"])
@pytest.mark.parametrize("target", ["-", "out.json"])
def test_json_is_written_with_an_error_when_the_input_is_unusable(tmp_path, folders, capsys, command, target):
    """--json FILE (or - for stdout) means the same in both commands and always yields a document;
    unusable input gives its reason under "error". On stdout the JSON is the whole of it."""
    ref, test = folders
    pair = (ref / "broken.csv", test / "broken.csv") if command == "compare" else (ref, test)
    path = target if target == "-" else str(tmp_path / target)
    code = main([command, *map(str, pair), "--json", path])
    out = capsys.readouterr().out
    document = json.loads(out if target == "-" else pathlib.Path(path).read_text())
    assert code == 2 and "broken.csv: row 3, column 2 ('a'): 'x' is not a number" in document["error"]
    if command == "batch":
        assert code == main(["batch", str(ref), str(tmp_path / "nowhere"), "--json", path])
        document = json.loads(capsys.readouterr().out if target == "-" else pathlib.Path(path).read_text())
        assert "nowhere: not a directory" in document["error"]


def test_a_range_the_module_rejects_is_unusable(write_csv, capsys):
    """Statuses 10 to 14 are unusable input: exit 2, the variable listed UNUSABLE with both files' spans."""
    reference = write_csv("r.csv", "time,a", np.column_stack([T, T]))
    code = main(["compare", reference, reference, "--x-range", "5", "9"])
    captured = capsys.readouterr()
    assert code == 2 and "UNUSABLE  EMPTY_RANGE" in captured.out
    assert "r.csv has t from 0 to 2 (201 rows)" in captured.err and captured.err.startswith("velmora-funnel: error: ")


@pytest.mark.parametrize(
    ("header", "scale", "warning"),
    [
        ("t,a", 1.0, "the time columns are named differently: 'time' in"),
        ("time,a", 1000.0, "the time spans differ by a factor of 1e+03"),
    ],
)
def test_sanity_warnings_go_to_stderr_without_failing(write_csv, capsys, header, scale, warning):
    """Differently named time columns, or time spans a factor 100 apart (ms against s): a warning, no failure."""
    reference = write_csv("r.csv", "time,a", np.column_stack([T, T]))
    test = write_csv("t.csv", header, np.column_stack([T * scale, T]))
    code = main(["compare", reference, test])
    captured = capsys.readouterr()
    assert warning in captured.err and captured.err.startswith("velmora-funnel: warning: ")
    assert code == (0 if scale == 1.0 else 1)


class _Text(html.parser.HTMLParser):
    """The text of an HTML page, as a browser shows it."""

    def __init__(self):
        super().__init__()
        self.shown = []
        self._hidden = 0

    def handle_starttag(self, tag, attrs):
        self._hidden += tag in ("script", "style")

    def handle_endtag(self, tag):
        self._hidden -= tag in ("script", "style")

    def handle_data(self, data):
        if not self._hidden:
            self.shown.append(data)


@pytest.mark.parametrize("report", ["report.html", "/dev/full"], ids=["all written", "the HTML cannot be written"])
def test_every_report_copes_with_any_name_and_each_is_written(tmp_path, write_csv, capsys, report):
    """A file name whose bytes are not UTF-8 and a variable name with control characters: every
    output is written, parses and shows them escaped; a report that cannot be written (a full disk)
    costs only itself, with one error line and exit 2."""
    if not os.path.exists(report) and report.startswith("/"):
        pytest.skip(f"no {report} here")
    file, name = "run\udcff\udcfe.csv", "a\x1b[2J\x07b"  # the bytes ff fe, as Python holds them
    for folder, bump in (("ref", 0.0), ("test", 0.3)):
        write_csv(file, f"time,{name}", np.column_stack([T, np.sin(T) + bump]), folder=tmp_path / folder)
    page, out = tmp_path / report, {suffix: tmp_path / f"out.{suffix}" for suffix in ("json", "xml", "md")}
    argv = ["--report", str(page), "--json", str(out["json"]), "--junit", str(out["xml"]), "--markdown", str(out["md"])]
    code = main(["batch", str(tmp_path / "ref"), str(tmp_path / "test"), "--jobs", "1", *argv])
    captured = capsys.readouterr()
    shown_file, shown_name = printable(file), printable(name)
    assert f"{shown_file}: FAIL" in captured.out and shown_name in captured.out
    document = json.loads(out["json"].read_text(encoding="utf-8"))
    assert document["files"][0]["file"] == shown_file and document["files"][0]["variables"][0]["name"] == name
    suite = next(iter(junitparser.JUnitXml.fromfile(str(out["xml"]))))
    assert suite.name == shown_file and [case.name for case in suite] == [shown_name]
    assert out["md"].read_text(encoding="utf-8").count(shown_file.replace("\\", "\\\\")) == 1
    if report == "/dev/full":
        assert code == 2 and captured.err == "velmora-funnel: error: /dev/full: cannot write: No space left on device\n"
        return
    parser = _Text()
    parser.feed(page.read_text(encoding="utf-8"))
    text = "".join(parser.shown)
    assert code == 1 and captured.err == "" and "\x1b" not in text
    # In the files' summary, the variable table and the plot's heading.
    assert f"{shown_file}: {shown_name}" in text and text.count(shown_file) == 3


def test_a_changed_constant_is_named_in_every_report(tmp_path, write_csv, capsys):
    """A parameter stored as a constant curve that changed from 15 to 21 reads "constant changed: 15 ->
    21" in the terminal table, JUnit and Markdown; the JSON keeps the funnel's failing count."""
    t = np.linspace(0.0, 5.17, 518)
    reference = write_csv("ref.csv", "time,L.L,x", np.column_stack([t, np.full(518, 15.0), np.sin(t)]))
    test = write_csv("new.csv", "time,L.L,x", np.column_stack([t, np.full(518, 21.0), np.sin(t)]))
    junit, markdown = tmp_path / "junit.xml", tmp_path / "summary.md"
    assert main(["compare", reference, test, "--junit", str(junit), "--markdown", str(markdown)]) == 1
    table = [line for line in capsys.readouterr().out.splitlines() if line.startswith("L.L ")]
    case = next(c for suite in junitparser.JUnitXml.fromfile(str(junit)) for c in suite if c.name == "L.L")
    # Markdown escapes ">", which renders as itself.
    row = next(line for line in markdown.read_text().splitlines() if "| L.L |" in line).replace("\\>", ">")
    for line in (table[0], case.result[0].message, row):
        assert "constant changed: 15 -> 21" in line, line
    assert main(["compare", reference, test, "--json", "-"]) == 1
    variable = next(v for v in json.loads(capsys.readouterr().out)["variables"] if v["name"] == "L.L")
    assert variable["failing_count"] == 518 and variable["message"] == "constant changed: 15 -> 21"
