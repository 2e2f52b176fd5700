"""Per-variable tolerances: the config file, its precedence and its errors; variable globs."""

import json
import pathlib
from fnmatch import fnmatchcase

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from velmora_funnel import RunOptions
from velmora_funnel.cli import main
from velmora_funnel.errors import SettingError
from velmora_funnel.run.config import matches

T = np.linspace(0.0, 2.0, 201)

CONFIG = """
[defaults]
rtoly = 0.01
x_range = [0.0, inf]

[[variable]]
match = "*.temperature"
atoly = 0.5
rtoly = 0.02

[[variable]]
match = ["room.*"]
rtoly = 0.03

[[variable]]
match = ["debug.*", "*.der(*)"]
ignore = true
"""


@pytest.fixture
def run_pair(write_csv, tmp_path, capsys):
    """A reference with a config beside it and a test whose debug variable is far off."""
    header = "time,room.temperature,wall.temperature,room.power,debug.counter,x.der(y)"
    rows = np.column_stack([T, 20 + T, 15 + T, 100 * T, T, T])
    reference = write_csv("ref/run.csv", header, rows)
    off = rows.copy()
    off[:, 4] += 1e6
    test = write_csv("new/run.csv", header, off)

    def run(*options, config=CONFIG, command="compare"):
        (tmp_path / "ref" / "velmora-funnel.toml").write_text(config)
        paths = (
            [reference, test] if command == "compare" else [str(tmp_path / "ref"), str(tmp_path / "new"), "--jobs", "1"]
        )
        code = main([command, *paths, *options])
        captured = capsys.readouterr()
        return code, captured.out, captured.err

    return run


def test_precedence_and_ignored_variables(run_pair):
    """Built-in < [defaults] < matching [[variable]] entries in order < command line, key by key; an
    ignored variable is listed but never fails the run."""
    code, out, _ = run_pair("--json", "-", "--atolx", "0.001")
    document = json.loads(out)
    assert code == 0 and document["config"].endswith("velmora-funnel.toml")
    used = {v["name"]: v for v in document["variables"]}
    assert used["room.temperature"]["tolerances"] | {"rtolx": 0.002} == {
        "atolx": 0.001,
        "atoly": 0.5,
        "ltolx": 0.0,
        "ltoly": 0.0,
        "rtolx": 0.002,
        "rtoly": 0.03,
    }
    assert used["wall.temperature"]["tolerances"]["rtoly"] == 0.02 and used["room.power"]["tolerances"]["atoly"] == 0.0
    assert used["room.power"]["x_range"] == {"lo": 0.0, "hi": None}
    assert [used[n]["verdict"] for n in ("debug.counter", "x.der(y)")] == ["ignored", "ignored"]
    assert document["summary"]["ignored"] == 2 and document["summary"]["passed"] == 3


@pytest.mark.parametrize(
    ("config", "words"),
    [
        ("[defaults]\nrtoly = 0.01\natoy = 1\n", "line 3: [defaults]: unknown key 'atoy'; did you mean 'atoly'?"),
        (
            "[[variable]]\nmatch = 'room.*'\n\n[[variable]]\nmatch = 'x*'\nrtolx = -1\n",
            "line 6: [[variable]] #2: rtolx must be a finite number >= 0",
        ),
        ("[[variable]]\nmatch = 'room.*'\nignore = 'yes'\n", "line 3: [[variable]] #1: 'ignore' must be true or false"),
        (
            "[[variable]]\nmatch = '*.temprature'\natoly = 1\n",
            "line 2: [[variable]] #1 match '*.temprature' matches no variable",
        ),
        ("[[variable]]\natoly = 1\n", "[[variable]] #1: no 'match'"),
        ("[default]\natoly = 1\n", "unknown table 'default'; did you mean 'defaults'?"),
        ("[defaults]\nx_range = [5.0, 1.0]\n", "line 2: [defaults]: x_range must have LO below HI, got [5, 1]"),
        ("[defaults]\nrtoly = 'big'\n", "line 2: [defaults]: rtoly must be a real number, got str"),
        (
            "[defaults\nrtoly = 1\n",
            "not valid TOML: Expected ']' at the end of a table declaration (at line 1, column 10)",
        ),
        ("[read]\ndelimter = ';'\n", "line 2: [read]: unknown key 'delimter'; did you mean 'delimiter'?"),
        ("[read.test]\ndelimter = ';'\n", "line 2: [read.test]: unknown key 'delimter'; did you mean 'delimiter'?"),
        ("[read]\ndelimiter = ';'\n[read.test]\ndecimal = ';'\n", "line 4: [read.test]: decimal: "),
        ("[read.reference]\nnames = 'modelica'\n", "[read.reference]: unknown key 'names' (names pairs both sides"),
        ("[read]\nnames = 'fuzzy'\n", "line 2: [read]: names must be 'exact' or 'modelica', got 'fuzzy'"),
        ("[defaults]\non_new = 'maybe'\n", "line 2: [defaults]: on_new must be 'fail' or 'warn', got 'maybe'"),
        ("[[variable]]\nmatch = 'x*'\non_misng = 'warn'\n", "unknown key 'on_misng'; did you mean 'on_missing'?"),
        ("[read]\ndecimal = ','\nunits_row = 'yes'\n", "line 3: [read]: units_row: 'yes' is not true or false"),
        (
            "[[variable]]\nmatch = 'room.*'\n\n" * 3000 + "[[variable]]\nmatch = 'x*'\nrtolx = -1\n",
            "line 9003: [[variable]] #3001: rtolx must be a finite number >= 0",
        ),
        ("a = " + "[" * 5000 + "]" * 5000 + "\n", "cannot read the config: arrays or inline tables nested too deeply"),
        (
            "[defaults]\nx = " + "{a = " * 3000 + "1" + "}" * 3000 + "\n",
            "cannot read the config: arrays or inline tables nested too deeply",
        ),
    ],
    ids=[
        "misspelled key",
        "bad value",
        "bad ignore",
        "glob matching nothing",
        "no match",
        "misspelled table",
        "swapped range",
        "string tolerance",
        "syntax",
        "misspelled read key",
        "misspelled read.test key",
        "read.test's decimal mark is [read]'s delimiter",
        "names for one side",
        "unknown names",
        "unknown policy",
        "misspelled policy key",
        "bad read value",
        "bad value at the end of a long file",
        "nested arrays",
        "nested inline tables",
    ],
)
def test_config_errors_exit_2_naming_file_key_and_line(run_pair, config, words):
    """A config that cannot be used: exit 2, one line naming the file, the entry, the key and its line.
    A glob is checked against every file of a batch (compare takes one file of the folder the config serves)."""
    command = "batch" if "matches no variable" in words else "compare"
    code, out, err = run_pair(config=config, command=command)
    assert code == 2 and (out == "" or command == "batch") and err.count("\n") == 1
    assert "velmora-funnel.toml: " in err and words in err


@pytest.mark.parametrize(
    ("options", "compared"),
    [
        (["--column", "room.*"], ["room.temperature", "room.power"]),
        (["--column", "*.temperature", "--exclude", "wall.*"], ["room.temperature"]),
        (["--exclude", "*.temperature", "--exclude", "debug.*"], ["room.power", "x.der(y)"]),
        (["--column", "x.der(y)", "--column", "room.power"], ["x.der(y)", "room.power"]),
        (
            ["--column", "*.t?mperature", "--column", "*.der(*"],
            ["room.temperature", "wall.temperature", "x.der(y)"],
        ),
        (["--exclude", "????.*"], ["debug.counter", "x.der(y)"]),
    ],
)
def test_column_and_exclude_globs(run_pair, options, compared):
    """--column picks by glob in the order given, --exclude drops what it matches (not even listed)."""
    code, out, _ = run_pair(*options, "--json", "-")
    assert code == 0 and [v["name"] for v in json.loads(out)["variables"]] == compared


@pytest.mark.parametrize(
    ("keywords", "words"),
    [
        ({"names": "fuzzy"}, "names must be 'exact' or 'modelica', got 'fuzzy'"),
        ({"on_new": "maybe"}, "on_new must be 'fail' or 'warn', got 'maybe'"),
        ({"read_test": {"delimiter": "x"}}, "'x' is not one of"),
    ],
)
def test_run_options_refuse_bad_pairing_and_reading_keywords(keywords, words):
    """RunOptions.build checks the pairing, the policies and each side's reading options before any file is read."""
    with pytest.raises(SettingError, match=words):
        RunOptions.build(**keywords)


def test_columns_from_a_file_of_names_and_globs(run_pair, tmp_path):
    """--columns-from takes one name or glob a line (blanks around it, CRLF, a BOM as Windows editors write
    it), skips comments and blank lines, and adds to --column in order."""
    listing = tmp_path / "names.txt"
    listing.write_bytes("\ufeff# outputs to check\r\nroom.*\r\n\r\n  x.der(y)  \r\n".encode())
    code, out, _ = run_pair("--column", "wall.temperature", "--columns-from", str(listing), "--json", "-")
    names = [v["name"] for v in json.loads(out)["variables"]]
    assert code == 0 and names == ["wall.temperature", "room.temperature", "room.power", "x.der(y)"]


def test_read_table_says_how_files_are_read_and_the_command_line_wins(write_csv, tmp_path, capsys):
    """[read] gives the dialect of the folder's files; a reading option on the command line is stronger."""
    text = "time;y\n0;0,5\n1;1,5\n2;0,5\n"
    reference, test = write_csv("ref/run.csv", text), write_csv("new/run.csv", text)
    (tmp_path / "ref" / "velmora-funnel.toml").write_text("[read]\ndelimiter = ';'\ndecimal = ','\n")
    assert main(["compare", reference, test]) == 0
    assert "PASS: 1 variable" in capsys.readouterr().out
    assert main(["compare", reference, test, "--decimal", "."]) == 2
    assert "'0,5' is not a number" in capsys.readouterr().err


@pytest.mark.parametrize(
    ("config", "options"),
    [
        ("[read.test]\ndelimiter = ';'\ndecimal = ','\n", []),
        ("[read]\ndelimiter = ';'\ndecimal = ','\n[read.reference]\ndelimiter = ','\ndecimal = '.'\n", []),
        ("", ["--test-read", "delimiter=;", "--test-read", "decimal=,"]),
        (
            "[read.test]\ndelimiter = ','\n",
            ["--delimiter", ",", "--test-read", "delimiter=;", "--test-read", "decimal=,"],
        ),
    ],
    ids=["[read.test]", "[read] for both, [read.reference] over it", "--test-read", "--test-read over the rest"],
)
def test_each_side_has_its_own_reading_options(tmp_path, capsys, config, options):
    """A comma-separated reference (pandas' to_csv) against a test run that pandas wrote with ';' and decimal
    commas: read with per-side options, from the config or the command line, the side's own the strongest,
    by compare and batch. Without them the test file is refused with the per-side option that reads it."""
    frame = pd.DataFrame({"y": np.sin(T)}, index=pd.Index(T, name="time"))
    (tmp_path / "ref").mkdir()
    (tmp_path / "new").mkdir()
    frame.to_csv(tmp_path / "ref" / "run.csv")
    frame.to_csv(tmp_path / "new" / "run.csv", sep=";", decimal=",")
    paths = [str(tmp_path / "ref" / "run.csv"), str(tmp_path / "new" / "run.csv")]
    # batch too, where the config alone says it (a batch's run of its own costs seconds)
    batch = [["batch", str(tmp_path / "ref"), str(tmp_path / "new"), "--jobs", "1"]] if not options else []
    for command in (["compare", *paths], *batch):
        assert main(command) == 2
        assert "read with --test-read delimiter=';' (and --test-read decimal=',' for decimal" in "".join(
            capsys.readouterr()
        )
    (tmp_path / "ref" / "velmora-funnel.toml").write_text(config)
    for command in (["compare", *paths, *options], *batch):
        assert main(command) == 0, capsys.readouterr().err
        assert "1 variable, 1 passed" in capsys.readouterr().out


@pytest.mark.parametrize(
    ("kind", "command", "words"),
    [
        ("dangling symlink", "compare", "is a dangling symlink (to "),
        ("symlink loop", "batch", "is a symlink loop"),
        ("folder", "accept", "is a folder"),
        ("--config folder", "compare", "is a folder"),
        ("--config /dev/null", "batch", "is not a regular file"),
    ],
)
def test_a_config_that_is_no_file_is_an_error(write_csv, tmp_path, capsys, kind, command, words):
    """A config beside the reference (or given) that does not lead to a file is an error naming it, not a
    run with the built-in tolerances: a strict config that no longer resolves must not give a pass."""
    files = [write_csv(f"{side}/run.csv", "time,y\n0,1\n1,2\n") for side in ("ref", "new")]
    config = tmp_path / "ref" / "velmora-funnel.toml"
    options = ["--dry-run"] if command == "accept" else []
    if kind == "dangling symlink":
        config.symlink_to(tmp_path / "moved.toml")
    elif kind == "symlink loop":
        config.symlink_to(config)
    elif kind == "folder":
        config.mkdir()
    else:
        config = tmp_path if kind == "--config folder" else pathlib.Path("/dev/null")
        options += ["--config", str(config)]
    paths = files if command == "compare" else [str(tmp_path / "ref"), str(tmp_path / "new")]
    code = main([command, *paths, *options])
    err = capsys.readouterr().err
    assert code == 2 and err.count("\n") == 1 and f"{config}: {words}" in err


@given(pattern=st.text("ab*?[]!-^\\", max_size=8), name=st.text("ab]-!^[\\", max_size=8))
def test_globs_fit_the_names_fnmatch_fits_with_brackets_literal(pattern, name):
    """Globs are compiled once and matched without backtracking, with fnmatch's meaning of "*" and "?" to
    the letter; every other character stands for itself, brackets included."""
    assert matches(pattern, name) == fnmatchcase(name, pattern.replace("[", "[[]"))


@pytest.mark.parametrize(
    ("pattern", "name", "fits"),
    [
        ("x[*]", "x[1]", True),
        ("x[*]", "x[12]", True),
        ("x[*]", "x", False),
        ("R.T[1, ?]", "R.T[1, 2]", True),
        ("R.T[?]", "R.T[12]", False),
        ("[ab]*", "a.x", False),
        ("[ab]*", "[ab].x", True),
        ("*.der(*)", "pipe.der(m[3])", True),
    ],
)
def test_brackets_in_globs_are_literal(pattern, name, fits):
    """Modelica names are full of brackets: in a glob they stand for themselves, so x[*] names every element."""
    assert matches(pattern, name) is fits
