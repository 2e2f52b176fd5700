"""The command line's compare and demo: verdict lines, pairing of variables, outputs and exit codes."""

import json
import os
import pathlib
import stat
import subprocess
import sys
import sysconfig

import numpy as np
import pandas as pd
import pytest

import velmora_funnel as vf
from velmora_funnel.cli import main

# The checkout: tests/package/ is two folders below it.
CHECKOUT = pathlib.Path(__file__).resolve().parents[2]

T_REF = np.linspace(0.0, 2.0, 401)
T_TEST = np.linspace(0.0, 2.0, 289)


def curves(t, *, bump=0.0, nan=False, extra=False, drop=False):
    """Columns time, a, b (and c); b gets a bump near t=1.2, a NaN run if asked."""
    a = np.sin(t)
    b = np.cos(2 * t) + bump * np.exp(-(((t - 1.2) / 0.05) ** 2))
    if nan:
        b = b.copy()
        b[5:9] = np.nan
    columns = {"time": t, "a": a, "b": b}
    if extra:
        columns["c"] = t**2
    if drop:
        del columns["a"]
    return ",".join(columns), np.column_stack(list(columns.values()))


@pytest.fixture
def files(write_csv):
    def make(**test_options):
        reference = write_csv("reference.csv", *curves(T_REF))
        test = write_csv("test.csv", *curves(T_TEST, **test_options))
        return reference, test

    return make


def run(capsys, *argv):
    code = main(list(argv))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def lines_by_variable(out):
    return {line.split()[0]: line for line in out.splitlines()[1:-1]}


# --- exit codes and verdict lines -------------------------------------------------------------


def test_all_passing_exits_0_with_one_line_per_variable(capsys, files):
    """Matching runs: exit 0, a header, one line per variable in file order, then the summary."""
    code, out, _ = run(capsys, "compare", *files())
    lines = out.splitlines()
    assert code == 0
    assert lines[0].split()[:3] == ["variable", "verdict", "status"]
    assert [line.split()[:3] for line in lines[1:3]] == [["a", "pass", "PASS"], ["b", "pass", "PASS"]]
    assert lines[-1] == "PASS: 2 variables, 2 passed, 0 failed, 0 missing"


def test_failing_variable_exits_1_with_error_and_abscissa(capsys, files):
    """A bump outside the funnel: exit 1; the line gives status, largest error, first failing t."""
    code, out, _ = run(capsys, "compare", *files(bump=0.5))
    line = lines_by_variable(out)["b"].split()
    assert code == 1
    assert line[1:3] == ["FAIL", "FAIL"]
    assert 0.3 < float(line[3]) < 0.5 and 1.0 < float(line[4]) < 1.3
    assert "fail: test points outside the funnel" in lines_by_variable(out)["b"]


@pytest.mark.parametrize(
    ("options", "flags", "expected"),
    [
        ({"extra": True}, [], (0, "c", "NEW", "new: not in reference", "0 missing, 1 new")),
        ({"extra": True}, ["--on-new", "fail"], (1, "c", "NEW", "new: not in reference", "0 missing, 1 new")),
        ({"drop": True}, [], (1, "a", "MISSING", "missing in test", "1 missing")),
        ({"drop": True}, ["--on-missing", "warn"], (0, "a", "MISSING", "missing in test", "1 missing")),
        ({"extra": True}, '[defaults]\non_new = "fail"\n', (1, "c", "NEW", "new: not in reference", "1 new")),
        (
            {"drop": True},
            '[defaults]\non_missing = "warn"\n[[variable]]\nmatch = "b"\non_missing = "fail"\n',
            (0, "a", "MISSING", "missing in test", "1 missing"),
        ),
    ],
    ids=[
        "only in test",
        "only in test, --on-new fail",
        "only in reference",
        "only in reference, --on-missing warn",
        "only in test, the config's on_new",
        "only in reference, the config's on_missing for that variable",
    ],
)
def test_variable_on_one_side_is_new_or_missing(capsys, files, tmp_path, options, flags, expected):
    """A variable only in the test run is NEW and warns; one only in the reference is MISSING (a lost output)
    and fails; --on-new and --on-missing (or the config's keys, per variable too) choose otherwise. Either is
    listed, never skipped."""
    code, name, label, where, counted = expected
    if isinstance(flags, str):
        (tmp_path / "velmora-funnel.toml").write_text(flags)
        flags = []
    exit_code, out, _ = run(capsys, "compare", *files(**options), *flags)
    assert exit_code == code and lines_by_variable(out)[name].split()[1] == label and where in out
    assert out.splitlines()[-1].startswith("PASS" if code == 0 else "FAIL") and out.splitlines()[-1].endswith(counted)


def test_column_selects_and_names_missing_ones(capsys, files):
    """--column compares only the named variables, in that order; an unknown name is missing."""
    code, out, _ = run(capsys, "compare", *files(), "--column", "b", "--column", "nope")
    assert code == 1
    assert list(lines_by_variable(out)) == ["b", "nope"]
    assert (
        "missing in reference" in lines_by_variable(out)["nope"] and "missing in test" in lines_by_variable(out)["nope"]
    )
    # One value each time: the files after it stay the files.
    code, out, _ = run(capsys, "compare", "--column", "b", *files())
    assert code == 0 and list(lines_by_variable(out)) == ["b"]


@pytest.mark.parametrize("command", ["compare", "batch", "accept"])
def test_help_states_the_exit_codes_and_every_argument(capsys, command):
    """--help lists the exit codes, says what each positional argument is, and shows choices as words."""
    with pytest.raises(SystemExit):
        main([command, "--help"])
    out = capsys.readouterr().out
    assert "exit codes:" in out and "\n  2  unusable input" in out
    positional = out.split("positional arguments:\n")[1].split("\n\n")[0].splitlines()
    assert len([line for line in positional if not line.startswith(" " * 4)]) == 2
    assert all(len(line.split()) > 1 for line in positional if not line.startswith(" " * 4))
    assert "{," not in out and ",}" not in out


NOT_FINITE_CELLS = {
    "inf": "infinite ordinates in range: 1 in reference",
    "-inf": "infinite ordinates in range: 1 in reference",
    "1e400": "infinite ordinates in range: 1 in reference",
    "9" * 400: "infinite ordinates in range: 1 in reference",
}


@pytest.mark.parametrize("cell, reason", NOT_FINITE_CELLS.items(), ids=[c[:8] for c in NOT_FINITE_CELLS])
def test_reference_that_is_not_finite_certifies_nothing(capsys, write_csv, cell, reason):
    """One infinite reference cell makes every half-width infinite, so the module
    passes any test; the command line fails it, unless --allow-non-finite."""
    reference = write_csv("reference.csv", f"t,y\n0,0\n1,{cell}\n2,0\n3,1\n")
    test = write_csv("test.csv", "t,y\n0,1e9\n1,-1e9\n2,1e9\n3,0\n")
    code, out, _ = run(capsys, "compare", reference, test)
    assert code == 1 and reason in lines_by_variable(out)["y"]
    assert run(capsys, "compare", reference, test, "--allow-non-finite")[0] == 0


@pytest.mark.parametrize("flag", ["--allow-nan", "--allow-non-finite"])
def test_nan_in_test_is_not_passed_unless_allowed(capsys, files, flag):
    """NaN ordinates pass in the module but fail on the command line, unless allowed."""
    code, out, _ = run(capsys, "compare", *files(nan=True))
    assert code == 1
    assert lines_by_variable(out)["b"].split()[1:3] == ["FAIL", "PASS"]
    assert "not passed: NaN ordinates in range: 0 in reference, 4 in test" in out
    code, out, _ = run(capsys, "compare", *files(nan=True), flag)
    assert code == 0 and "4 in test (allowed)" in lines_by_variable(out)["b"]


def test_x_range_takes_negative_exponents_and_open_ends(capsys, files):
    """--x-range accepts numbers argparse would take for options ('-1e-3', '-inf') and 'none'."""
    reference, test = files(bump=0.5)
    assert run(capsys, "compare", reference, test, "--x-range", "-1e-3", "1.0")[0] == 0
    assert run(capsys, "compare", reference, test, "--x-range", "-inf", "none")[0] == 1
    assert run(capsys, "compare", reference, test, "--x-range", "1.5", "none")[0] == 0


@pytest.mark.parametrize(
    "options, config, code",
    [
        pytest.param([], None, 1, id="ends 0.02 apart"),
        pytest.param(["--x-range", "0", "1.97"], None, 0, id="a range both cover"),
        pytest.param(["--end-tolerance", "0.025"], None, 0, id="end tolerance"),
        pytest.param([], "[defaults]\nend_tolerance = 0.025\n", 0, id="end tolerance in the config"),
        pytest.param([], '[[variable]]\nmatch = "a"\nend_tolerance = 0.025\n', 1, id="for one variable only"),
        pytest.param(["--end-tolerance", "0.01"], None, 1, id="end tolerance too small"),
    ],
)
def test_a_run_that_stopped_early_is_compared_where_it_has_data(capsys, write_csv, tmp_path, options, config, code):
    """A test run ending 0.02 before its reference misses its end, unless the range ends where both
    have data or the end tolerance (option or config key) allows it; the table names both ends."""
    reference = write_csv("ref/run.csv", *curves(T_REF))
    test = write_csv("new/run.csv", *curves(T_TEST[T_TEST <= 1.98]))
    if config is not None:
        (tmp_path / "ref" / "velmora-funnel.toml").write_text(config)
    result, out, _ = run(capsys, "compare", reference, test, *options)
    assert result == code
    if code:
        assert "missing test: the test run ends at t = 1.97917, the reference at t = 2" in lines_by_variable(out)["b"]


def test_a_bad_end_tolerance_is_a_usage_error(capsys, files):
    """A negative end tolerance is refused before any file is read, naming the option."""
    reference, test = files()
    code, _, err = run(capsys, "compare", reference, test, "--end-tolerance", "-1")
    assert code == 2 and "--end-tolerance: end_tolerance must be a finite number >= 0" in err


UNUSABLE = {
    "reference missing": (lambda r, t, d: ["compare", os.path.join(d, "absent.csv"), t], "absent.csv: No such file"),
    "test is a directory": (lambda r, t, d: ["compare", r, d], "is a directory"),
    "bad cell": (lambda r, t, d: ["compare", r, _broken(d)], "broken.csv: row 3, column 2 ('a'): 'x' is not a number"),
    "rows longer than the header": (
        lambda r, t, d: ["compare", r, _broken(d, "t,y\n0,0,5\n1,1,5\n2,0,5\n3,1,5\n")],
        "broken.csv: row 2: ragged row: 3 cells, but the header names 2 columns",
    ),
    "negative tolerance": (
        lambda r, t, d: ["compare", r, t, "--atoly", "-0.1"],
        "--atoly: atoly must be a finite number >= 0",
    ),
    "infinite tolerance": (
        lambda r, t, d: ["compare", r, t, "--rtolx", "inf"],
        "--rtolx: rtolx must be a finite number >= 0",
    ),
    "swapped range ends": (
        lambda r, t, d: ["compare", r, t, "--x-range", "5", "1"],
        "--x-range: x_range must have LO below HI, got [5, 1]",
    ),
    "time goes back": (
        lambda r, t, d: ["compare", r, _broken(d, "t,y\n0,0\n1,1\n0.5,2\n3,1\n")],
        "broken.csv: row 4: time ('t') goes back: 0.5 after 1.0",
    ),
    "time goes back below comments and units": (
        lambda r, t, d: [
            "compare",
            r,
            _broken(d, "# run 7\nt,y\ns,m\n0,0\n\n1,1\n0.5,2\n"),
            "--comment",
            "#",
            "--units-row",
        ],
        "broken.csv: row 7: time ('t') goes back: 0.5 after 1.0",
    ),
    "glob matching nothing": (
        lambda r, t, d: ["compare", r, t, "--column", "z*", "--exclude", "b"],
        "--column 'z*' matches no variable",
    ),
    "junit file cannot be written": (
        lambda r, t, d: ["compare", r, t, "--junit", os.path.join(d, "no", "j.xml")],
        "j.xml: cannot write",
    ),
    "config that does not exist": (
        lambda r, t, d: ["compare", r, t, "--config", os.path.join(d, "no.toml")],
        "no.toml: cannot read the config",
    ),
    "NaN range end": (
        lambda r, t, d: ["compare", r, t, "--x-range", "nan", "1"],
        "--x-range: x_range lo must not be NaN",
    ),
    "word as range end": (
        lambda r, t, d: ["compare", r, t, "--x-range", "zero", "1"],
        "--x-range: LO 'zero' is not a number",
    ),
    "plot file for two variables": (
        lambda r, t, d: ["compare", r, t, "--plot", os.path.join(d, "p.png")],
        "a file holds one plot",
    ),
    "output is a file": (lambda r, t, d: ["compare", r, t, "--output", r], "cannot write"),
    "plot format matplotlib cannot write": (
        lambda r, t, d: ["compare", r, t, "--plot", os.path.join(d, "p.xyz")],
        "plots cannot be written as '.xyz'",
    ),
    "semicolons without --delimiter": (
        lambda r, t, d: ["compare", r, _broken(d, "time;a\n0;1\n")],
        "read with --test-read delimiter=';' (and --test-read decimal=',' for decimal commas)",
    ),
    "CSV named .mat": (
        lambda r, t, d: ["compare", r, _broken(d, "time,a\n0,1\n", "broken.mat")],
        "broken.mat: not a MAT file",
    ),
    "comment mark that is the delimiter": (
        lambda r, t, d: ["compare", r, t, "--comment", ","],
        "--comment: ',' must be one character",
    ),
    "reference with semicolons": (
        lambda r, t, d: ["compare", _broken(d, "time;a\n0;1\n"), t],
        "read with --delimiter ';'",
    ),
    "--test-read without a value": (
        lambda r, t, d: ["compare", r, t, "--test-read", "delimiter"],
        "--test-read 'delimiter': expected KEY=VALUE",
    ),
    "--test-read key misspelled": (
        lambda r, t, d: ["compare", r, t, "--test-read", "delimter=;"],
        "unknown key 'delimter'; did you mean 'delimiter'?",
    ),
    "--reference-read bad value": (
        lambda r, t, d: ["compare", r, t, "--reference-read", "decimal=;"],
        "--reference-read decimal: ';' is not '.' or ','",
    ),
    "--test-read switch that is no truth": (
        lambda r, t, d: ["compare", r, t, "--test-read", "units_row=maybe"],
        "units_row takes true or false",
    ),
    "--columns-from missing": (
        lambda r, t, d: ["compare", r, t, "--columns-from", os.path.join(d, "none.txt")],
        "--columns-from ",
    ),
    "--columns-from a folder": (lambda r, t, d: ["compare", r, t, "--columns-from", d], "is not a regular file"),
    "--columns-from a binary file": (
        lambda r, t, d: ["compare", r, t, "--columns-from", _broken(d, "\x00\x01", "names.txt")],
        "not a text file",
    ),
    "--columns-from not UTF-8": (
        lambda r, t, d: ["compare", r, t, "--columns-from", _raw(d, b"a\n\xff\xfe\n")],
        "not a UTF-8 text file (invalid start byte at byte 2)",
    ),
    "--columns-from too big": (
        lambda r, t, d: ["compare", r, t, "--columns-from", _raw(d, b"", size=17 << 20)],
        "more than a list of names takes (16 MiB at most)",
    ),
    "--columns-from only comments": (
        lambda r, t, d: ["compare", r, t, "--columns-from", _raw(d, b"# none\n\n")],
        "names no variable",
    ),
    "two names of one file that are one Modelica name": (
        lambda r, t, d: [
            "compare",
            _broken(d, 'time,"R.T[1, 1]","R.T[1,1]"\n0,1,1\n1,2,2\n'),
            t,
            "--names",
            "modelica",
        ],
        "broken.csv: the names 'R.T[1, 1]' and 'R.T[1,1]' are one variable ('R.T[1,1]')",
    ),
}


def _raw(directory, data, *, size=None):
    path = os.path.join(directory, "names.txt")
    with open(path, "wb") as handle:
        handle.write(data)
        if size is not None:
            handle.truncate(size)
    return path


def _broken(directory, text="time,a,b\n0,1,2\n1,x,3\n", name="broken.csv"):
    path = os.path.join(directory, name)
    with open(path, "w") as handle:
        handle.write(text)
    return path


@pytest.mark.parametrize(("argv", "words"), UNUSABLE.values(), ids=UNUSABLE.keys())
def test_unusable_input_exits_2_with_one_line(capsys, files, tmp_path, argv, words):
    """Unusable input: exit 2, nothing on stdout, one error line naming the file or option."""
    reference, test = files()
    code, out, err = run(capsys, *argv(reference, test, str(tmp_path)))
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith("velmora-funnel: error: ") and words in err


def test_argparse_usage_errors_exit_2(capsys):
    """An unknown flag or a missing file argument is a usage error, exit 2."""
    with pytest.raises(SystemExit) as info:
        main(["compare", "only-one.csv"])
    assert info.value.code == 2


# --- one model's results from two tools -------------------------------------------------------------

# Dymola's dsres.mat (MAT version 4, binTrans: each name a column of the character matrix) spells array
# elements with a blank after the comma and derivatives as der() around the whole path; an FMU simulator's
# CSV output (quoted header names, as FMI 2 tools export them) writes subscripts without blanks and the
# derivative at the end of the path. Quoted identifiers keep their blanks in both.
DYMOLA_NAMES = ["R.T[1, 1]", "R.T[1, 2]", "revolute1.phi", "der(revolute1.phi)", "der(der(body.x))", "'wall 1'.T"]
FMI_NAMES = ["R.T[1,1]", "R.T[1,2]", "revolute1.phi", "revolute1.der(phi)", "body.der(der(x))", "'wall 1'.T"]


def _dymola_mat(path, t, columns):
    """A Dymola result file: MAT version 4, binTrans, descriptions with units, as scipy.io writes it."""
    scipy_io = pytest.importorskip("scipy.io")
    names, descriptions = ["Time", *columns], ["Time in [s]", *("" for _ in columns)]

    def characters(rows):  # one row per name, padded, then transposed: one column per name
        width = max(map(len, rows))
        return np.array(["".join(row.ljust(width)[j] for row in rows) for j in range(width)])

    info = np.array([[0, 1, 0, -1]] + [[2, k + 2, 0, -1] for k in range(len(columns))], dtype=np.int32)
    matrices = {
        "Aclass": np.array(["Atrajectory", "1.1        ", "           ", "binTrans   "]),
        "name": characters(names),
        "description": characters(descriptions),
        "dataInfo": info.T,
        "data_1": np.array([[t[0], t[-1]]]),
        "data_2": np.column_stack([t, *columns.values()]).T,
    }
    scipy_io.savemat(path, matrices, format="4")
    return str(path)


@pytest.fixture
def two_tools(tmp_path, write_csv):
    """The same model from Dymola (reference) and an FMU export (test): one variable off, one lost, one added."""
    values = {name: np.sin(T_REF + k) for k, name in enumerate(DYMOLA_NAMES)}
    reference = _dymola_mat(tmp_path / "dsres.mat", T_REF, {**values, "lost.output": T_REF})
    rows = np.column_stack([T_REF, *values.values(), T_REF])
    rows[:, 2] += 0.5  # R.T[1, 2]
    header = ",".join(f'"{name}"' for name in ["time", *FMI_NAMES, "added.output"])
    return reference, write_csv("fmu_out.csv", header, rows)


@pytest.mark.parametrize(
    ("flags", "verdicts", "summary"),
    [
        (
            [],
            {"revolute1.phi": "pass", "R.T[1, 2]": "MISSING", "R.T[1,2]": "NEW"},
            "FAIL: 12 variables, 2 passed, 0 failed, 5 missing, 5 new",
        ),
        (
            ["--names", "modelica"],
            {"R.T[1, 1]": "pass", "R.T[1, 2]": "FAIL", "der(revolute1.phi)": "pass", "der(der(body.x))": "pass"},
            "FAIL: 8 variables, 5 passed, 1 failed, 1 missing, 1 new",
        ),
        (
            ["--names", "modelica", "--column", "R.T[*]"],
            {"R.T[1, 1]": "pass", "R.T[1, 2]": "FAIL"},
            "FAIL: 2 variables",
        ),
        (["--names", "modelica", "--column", "revolute1.der(phi)"], {"der(revolute1.phi)": "pass"}, "PASS: 1 variable"),
        (["--names", "modelica", "--column", "der(body.der(x))"], {"der(der(body.x))": "pass"}, "PASS: 1 variable"),
    ],
    ids=[
        "exact names",
        "modelica names",
        "a glob on array elements",
        "a name as the test spells it",
        "a name as neither spells it",
    ],
)
def test_modelica_names_pair_two_tools_spellings(capsys, two_tools, flags, verdicts, summary):
    """Exact names pair 2 of 7 variables and bury the one real failure under MISSING and NEW rows;
    --names modelica pairs every spelling of one variable, shown as the reference spells it, and leaves the
    real failure, the lost output and the added one."""
    code, out, _ = run(capsys, "compare", *two_tools, *flags)
    lines = out.splitlines()
    cut = lines[0].index("verdict")
    shown = {line[:cut].strip(): line[cut:].split()[0] for line in lines[1:-1]}
    assert {name: shown.get(name) for name in verdicts} == verdicts
    assert code == (0 if lines[-1].startswith("PASS") else 1) and summary in lines[-1]
    if "--column" not in flags and "--names" in flags:
        assert "R.T[1,2]" not in out and shown["lost.output"] == "MISSING" and shown["added.output"] == "NEW"


# --- outputs --------------------------------------------------------------------------------------


def test_output_writes_bounds_and_errors_that_read_back(capsys, files, tmp_path):
    """--output writes lower, upper and error curves per variable, loadable and bit-exact."""
    reference, test = files(bump=0.5)
    out_dir = tmp_path / "out"
    assert run(capsys, "compare", reference, test, "--output", str(out_dir))[0] == 1
    assert sorted(os.listdir(out_dir)) == sorted(f"{v}.{k}.csv" for v in "ab" for k in ("lower", "upper", "errors"))
    result = vf.compare(vf.read_result(reference).curve("b"), vf.read_result(test).curve("b"))
    for kind, column in (("lower", "lower"), ("upper", "upper"), ("errors", "error")):
        table = vf.read_result(out_dir / f"b.{kind}.csv")
        assert table.abscissa_name == "time" and table.names == (column,)
        np.testing.assert_array_equal(table.t, getattr(result, kind).t)
        np.testing.assert_array_equal(table[column], getattr(result, kind).y)


@pytest.mark.parametrize(
    "reader, count",
    [
        pytest.param("read_result", 2, id="read_result"),
        pytest.param("numpy", 2, id="numpy"),
        pytest.param("numpy", 3, id="numpy, a table of three columns"),
    ],
)
def test_written_curve_reads_back_bit_for_bit(tmp_path, reader, count):
    """Every double (NaN, infinities, -0.0, subnormals, extremes) and any header name come back
    exactly, across the blocks the writer formats one at a time."""
    from velmora_funnel.io.csv_writer import write_curve, write_table

    bits = np.random.default_rng(1).integers(0, 2**63, size=70_000, dtype=np.int64).view(np.float64)
    y = np.concatenate([bits[np.isfinite(bits)], [np.nan, np.inf, -np.inf, -0.0, 5e-324, -1.7976931348623157e308]])
    t = np.arange(len(y), dtype=float) / 3
    # The third column: the other signs (0.0, -5e-324, ...) in the other order.
    columns = [t, y, np.where(np.isnan(y), np.nan, -y)[::-1]][:count]
    path = str(tmp_path / "curve.csv")
    if count == 2:
        write_curve(path, 'time, "s"', "error", t, y)
    else:
        write_table(path, ['time, "s"', "error", "mirror"], columns)
    if reader == "numpy":
        read = np.loadtxt(path, delimiter=",", skiprows=1, unpack=True)
        assert [column.tobytes() for column in read] == [column.tobytes() for column in columns]
        return
    table = vf.read_result(path)
    assert table.abscissa_name == 'time, "s"' and table.names == ("error",)
    assert table.t.tobytes() == t.tobytes() and table["error"].tobytes() == y.tobytes()


def test_curves_written_at_once_from_threads_stay_whole(tmp_path):
    """Writers on several threads share the formatting threads; every file still reads back exactly."""
    from concurrent.futures import ThreadPoolExecutor

    from velmora_funnel.io import write_curve

    t = np.arange(300_000, dtype=float) / 7  # five blocks per file
    curves = {f"c{k}": np.sin(t * (k + 1)) for k in range(4)}
    with ThreadPoolExecutor(4) as writers:
        list(writers.map(lambda name: write_curve(str(tmp_path / f"{name}.csv"), "t", name, t, curves[name]), curves))
    for name, y in curves.items():
        assert vf.read_result(tmp_path / f"{name}.csv")[name].tobytes() == y.tobytes()


def test_units_row_labels_the_table(capsys, write_csv):
    """Units read from the row under the header are shown with each variable's name."""
    text = "time,v\ns,m/s\n0,1\n1,2\n2,3\n"
    code, out, _ = run(capsys, "compare", write_csv("r.csv", text), write_csv("t.csv", text), "--units-row")
    assert code == 0 and out.splitlines()[1].split()[:3] == ["v", "[m/s]", "pass"]


# FMI outputs as an FMU simulator writes them: a boolean and a string output beside an integer.
FMI = '"time","Int_output","Boolean_output","String_output"\r\n0,1,false,"a"\r\n1,2,true,"b"\r\n2,3,true,"c"\r\n'
NOT_COMPARED = {
    "every column": ([], FMI, 0, "PASS: 3 variables, 2 passed, 0 failed, 0 missing, 1 not compared"),
    "a glob that fits the text column": (["--column", "S*"], FMI, 0, "String_output  NOT_COMPARED  -"),
    "the text column named": (["--column", "String_output"], FMI, 2, "row 2, column 4 ('String_output'): 'a' is not"),
    "the text column given tolerances": (["--config", "{config}"], FMI, 2, "column 4 ('String_output'): 'a' is not"),
    "numbers in reference, text in test": (
        [],
        FMI.replace("0,1,", "0,one,"),
        2,
        "UNUSABLE      -       -              -              -       -     -        not compared: text column in test (",
    ),
}


@pytest.mark.parametrize(("argv", "test", "code", "words"), NOT_COMPARED.values(), ids=NOT_COMPARED.keys())
def test_text_columns_are_listed_not_compared(capsys, write_csv, argv, test, code, words):
    """A text column is a NOT_COMPARED row that fails nothing; named, it is the reading error; read
    as numbers on one side only, it is unusable."""
    reference = write_csv("ref.csv", FMI.replace('"c"', '"d"'))
    config = write_csv("c.toml", '[[variable]]\nmatch = "String_output"\natoly = 1\n')
    argv = [config if arg == "{config}" else arg for arg in argv]
    got, out, err = run(capsys, "compare", reference, write_csv("out.csv", test), *argv)
    assert got == code and words in out + err
    if code == 0:
        assert "not compared: text column" in lines_by_variable(out)["String_output"]


HOSTILE_NAMES = [
    "a/b",
    "a b",
    "..c",
    "x[1]",
    "..",
    ".",
    "/abs",
    "A/B",
    "x/../../../escaped",
    "\x1b]0;owned\x07\x1b[2J",
    "\u202eevil",
    "v" * 300,
    "v" * 299 + "w",
]


@pytest.mark.parametrize("flag", ["--output", "--plot"])
def test_hostile_names_stay_in_the_folder_and_off_the_terminal(capsys, write_csv, tmp_path, flag):
    """Every variable gets its own file inside the chosen folder, whatever its
    name (path parts, control characters, 300 characters, case twins), and the
    table shows control characters escaped."""
    header = ",".join(["time", *HOSTILE_NAMES])
    rows = np.column_stack([T_REF] + [np.sin(T_REF)] * len(HOSTILE_NAMES))
    reference = write_csv("r.csv", header, rows)
    test = write_csv("t.csv", header, rows)
    out_dir = tmp_path / "deep" / "out"
    code, out, _ = run(capsys, "compare", reference, test, flag, str(out_dir), *["--plot-all"] * (flag == "--plot"))
    assert code == 0 and f"PASS: {len(HOSTILE_NAMES)} variables, {len(HOSTILE_NAMES)} passed" in out
    written = os.listdir(out_dir)
    assert len(written) == len(HOSTILE_NAMES) * (3 if flag == "--output" else 1)
    assert len({name.lower() for name in written}) == len(written)
    assert sorted(os.listdir(tmp_path)) == ["deep", "r.csv", "t.csv"] and os.listdir(tmp_path / "deep") == ["out"]
    assert "\x1b" not in out and "\x07" not in out and "\u202e" not in out
    assert "\\x1b]0;owned\\x07\\x1b[2J" in out


def test_json_output_is_machine_readable(capsys, files):
    """--json prints one document with tolerances, per-variable outcomes and the summary."""
    code, out, _ = run(capsys, "compare", *files(bump=0.5, extra=True), "--json", "-", "--atoly", "0.01")
    document = json.loads(out)
    assert code == 1
    assert document["tolerances"]["atoly"] == 0.01 and document["x_range"] == {"lo": None, "hi": None}
    by_name = {v["name"]: v for v in document["variables"]}
    assert by_name["b"]["status"] == "FAIL" and by_name["b"]["status_code"] == -1 and not by_name["b"]["passed"]
    assert by_name["c"]["verdict"] == "new" and by_name["c"]["status"] is None and by_name["c"]["tolerated"]
    assert document["summary"] == {
        "variables": 3,
        "passed": 1,
        "failed": 1,
        "missing": 0,
        "new": 1,
        "ignored": 0,
        "unusable": 0,
        "tolerated": 1,
        "not_compared": 0,
    }
    assert by_name["b"]["failing_count"] > 0 and by_name["b"]["margin"] < 0 < by_name["a"]["margin"] <= 1
    assert by_name["b"]["tolerances"]["atoly"] == 0.01 and by_name["b"]["half_widths"]["y"]["max"] == 0.01


@pytest.mark.parametrize("suffix", [".png", ".svg"])
def test_plot_file_for_one_variable(capsys, files, tmp_path, suffix):
    """--plot FILE with one selected variable writes that picture in the suffix's format."""
    path = tmp_path / f"b{suffix}"
    run(capsys, "compare", *files(bump=0.5), "--column", "b", "--plot", str(path))
    head = path.read_bytes()[:200]
    assert head.startswith(b"\x89PNG") if suffix == ".png" else b"<svg" in head or b"<?xml" in head


@pytest.mark.parametrize("target", ["b.png", "plots"], ids=["file", "directory"])
def test_plot_that_cannot_be_drawn_is_skipped_with_its_reason(capsys, files, tmp_path, monkeypatch, target):
    """A plot matplotlib fails on is skipped with one line naming the variable; the verdicts are
    still printed and set the exit code."""

    def singular(result, path=None, *, title=None, **labels):
        raise np.linalg.LinAlgError("Singular matrix")

    monkeypatch.setattr("velmora_funnel.reports.plot.plot_result", singular)
    code, out, err = run(capsys, "compare", *files(bump=0.5), "--column", "b", "--plot", str(tmp_path / target))
    assert code == 1 and out.splitlines()[-1] == "FAIL: 1 variable, 0 passed, 1 failed, 0 missing"
    assert err == "velmora-funnel: plot of 'b' skipped: LinAlgError: Singular matrix\n"


@pytest.mark.parametrize(("flags", "drawn"), [((), ["b.png"]), (("--plot-all",), ["a.png", "b.png"])])
def test_plot_directory_gets_a_png_per_variable_that_did_not_pass(capsys, files, tmp_path, flags, drawn):
    """--plot DIR draws what did not pass (--plot-all every compared variable); missing ones have none."""
    run(capsys, "compare", *files(extra=True, bump=0.5), "--plot", str(tmp_path / "plots"), *flags)
    assert sorted(os.listdir(tmp_path / "plots")) == drawn


# --- real processes: the installed entry points ------------------------------------------------


def test_console_script_and_module_run_the_same_command(files):
    """`velmora-funnel` and `python -m velmora_funnel` both run compare with the real exit code."""
    reference, test = files(bump=0.5)
    script = os.path.join(sysconfig.get_path("scripts"), "velmora-funnel")
    for command in ([script], [sys.executable, "-m", "velmora_funnel"]):
        done = subprocess.run([*command, "compare", reference, test], capture_output=True, text=True, check=False)
        assert done.returncode == 1, done.stderr
        assert "FAIL: 2 variables, 1 passed, 1 failed, 0 missing" in done.stdout


def test_demo_compares_the_examples_and_writes_plot_and_report(capsys, tmp_path, monkeypatch):
    """The demo finds the examples, prints the table, writes the failing plot and the report; exit 0."""
    monkeypatch.chdir(str(CHECKOUT))
    code, out, _ = run(capsys, "demo", "--output", str(tmp_path))
    assert code == 0
    assert "acceleration  FAIL" in out and "position      pass" in out
    assert (tmp_path / "oscillator.acceleration.png").read_bytes().startswith(b"\x89PNG")
    assert "data:image/png;base64," in (tmp_path / "report.html").read_text()


def test_demo_plots_stay_in_the_output_folder(capsys, tmp_path, monkeypatch):
    """A column named like a path cannot make the demo write above its output folder."""
    checkout = CHECKOUT
    for side, bump in (("reference", 0.0), ("test", 1.0)):
        folder = tmp_path / "examples" / side
        folder.mkdir(parents=True)
        (folder / "oscillator.csv").write_bytes((checkout / "examples" / side / "oscillator.csv").read_bytes())
        header, rows = curves(T_REF, bump=bump)
        rows = "\n".join(",".join(repr(float(v)) for v in row) for row in rows)
        (folder / "x.csv").write_text(header.replace(",b", ",x/../../../../../escaped") + "\n" + rows + "\n")
    monkeypatch.chdir(tmp_path)
    output = tmp_path / "a" / "b" / "c" / "out"
    assert run(capsys, "demo", "--output", str(output))[0] == 0
    outside = [
        os.path.join(root, f) for root, _, files in os.walk(tmp_path) for f in files if not root.startswith(str(output))
    ]
    assert sorted(os.path.relpath(p, tmp_path) for p in outside if not p.endswith(".csv")) == []
    # The name had to change to become a file name: a hash of it keeps it distinct from others.
    assert [n for n in os.listdir(output) if n.startswith("x.x_.._.._.._.._.._escaped-") and n.endswith(".png")]


def test_demo_outside_a_checkout_generates_the_examples(capsys, tmp_path, monkeypatch):
    """Run from elsewhere (an installed package), the demo regenerates the example files."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr("velmora_funnel.cli.demo._CHECKOUT", str(tmp_path / "a"))
    code, out, _ = run(capsys, "demo", "--output", str(tmp_path / "out"))
    assert code == 0 and "(generated; no checkout found)" in out and "acceleration  FAIL" in out


def test_committed_examples_are_the_generators_output(tmp_path):
    """examples/ holds exactly what the generator writes (no hand edits), and stays small."""
    from velmora_funnel.cli.examples import write_examples

    examples = os.path.join(str(CHECKOUT), "examples")
    total = 0
    for path in write_examples(tmp_path):
        relative = os.path.relpath(path, tmp_path)
        total += os.path.getsize(os.path.join(examples, relative))
        if path.endswith(".toml"):
            assert pathlib.Path(examples, relative).read_text() == pathlib.Path(path).read_text()
            continue
        committed = vf.read_result(os.path.join(examples, relative))
        fresh = vf.read_result(path)
        assert committed.names == fresh.names
        np.testing.assert_allclose(committed.t, fresh.t, rtol=1e-9)
        for name in fresh.names:
            np.testing.assert_allclose(committed[name], fresh[name], rtol=1e-9, atol=1e-12)
    assert total < 200_000


# --- accept -----------------------------------------------------------------------------------------


def _snapshot(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.mark.parametrize("mode", ["accept", "prune", "dry run", "unreadable test"])
def test_accept_replaces_the_reference_run(capsys, write_csv, tmp_path, mode):
    """accept prints what changes (failed, new and gone variables; new and gone files), then makes the
    reference folder hold the test run's result files; the config stays, nothing outside is touched.
    --dry-run and an unreadable test file change nothing."""
    ref, test = tmp_path / "ref", tmp_path / "test"
    write_csv("a.csv", *curves(T_REF), folder=ref)
    write_csv("a.csv", *curves(T_TEST, bump=0.5, extra=True, drop=True), folder=test)
    write_csv("deep/same.csv", *curves(T_REF), folder=ref)
    write_csv("deep/same.csv", *curves(T_REF), folder=test)
    write_csv("gone.csv", *curves(T_REF), folder=ref)
    write_csv("new.csv", *curves(T_REF), folder=test)
    (ref / "velmora-funnel.toml").write_text("[defaults]\nrtoly = 0.004\n")
    if mode == "unreadable test":
        (test / "new.csv").write_text("time,a\n0,1\n1,x\n")
    before, outside = _snapshot(ref), _snapshot(test)
    flags = {"dry run": ["--dry-run", "--prune"], "prune": ["--prune"]}.get(mode, [])
    code, out, err = run(capsys, "accept", str(ref), str(test), *flags)
    assert _snapshot(test) == outside
    if mode == "unreadable test":
        assert (
            code == 2
            and "new.csv: row 3, column 2 ('a'): 'x' is not a number: not accepted, nothing was changed" in err
        )
        assert _snapshot(ref) == before
        return
    assert code == 0
    assert "a.csv: 1 of 1 variable failed (b); new: c; gone: a: " in out and "deep/same.csv: unchanged" in out
    assert "gone.csv: gone in the test run: " in out and "new.csv: new: " in out
    if mode == "dry run":
        assert _snapshot(ref) == before and out.splitlines()[-1] == "dry run: 3 files would change, nothing was written"
    else:
        # A reference the run wrote no file for (a crashed simulation) stays unless pruned.
        kept = {} if mode == "prune" else {"gone.csv": before["gone.csv"]}
        assert (
            "gone.csv: gone in the test run: " + ("removed" if mode == "prune" else "kept (--prune removes it)") in out
        )
        assert _snapshot(ref) == {**outside, **kept, "velmora-funnel.toml": before["velmora-funnel.toml"]}


@pytest.mark.parametrize("given", ["flags", "config"])
def test_accept_reads_with_the_runs_reading_options_once(capsys, tmp_path, monkeypatch, given):
    """Files that pandas writes with ';' and decimal commas are accepted with the reading options of the
    command line or of the config's [read], and each file is parsed once."""
    from velmora_funnel.io import readers

    ref, test = tmp_path / "ref", tmp_path / "test"
    for folder, bump in ((ref, 0.0), (test, 0.5)):
        folder.mkdir()
        header, rows = curves(T_REF, bump=bump)
        frame = pd.DataFrame(rows[:, 1:], index=pd.Index(rows[:, 0], name="time"), columns=header.split(",")[1:])
        frame.to_csv(folder / "run.csv", sep=";", decimal=",")
    options = ["--delimiter", ";", "--decimal", ","]
    if given == "config":
        (ref / "velmora-funnel.toml").write_text("[read]\ndelimiter = ';'\ndecimal = ','\n")
        options = []
    parsed = []
    read_csv = readers.READERS["csv"]
    monkeypatch.setitem(readers.READERS, "csv", lambda path, how: parsed.append(path) or read_csv(path, how))
    code, out, err = run(capsys, "accept", str(ref), str(test), *options)
    assert code == 0, err
    assert "run.csv: 1 of 2 variables failed (b): replaced" in out
    assert sorted(parsed) == sorted([str(ref / "run.csv"), str(test / "run.csv")])
    assert (ref / "run.csv").read_bytes() == (test / "run.csv").read_bytes()


def _write_mat(path, t, columns):
    """A Modelica result file (version 4, binNormal) of trajectories, as scipy.io writes it."""
    scipy_io = pytest.importorskip("scipy.io")
    names = ["Time", *columns]
    width = max(len(text) for text in [*names, "Atrajectory", "Time in [s]"])
    path.parent.mkdir(parents=True, exist_ok=True)
    matrices = {
        "Aclass": np.array([row.ljust(width) for row in ["Atrajectory", "1.1", "", "binNormal"]]),
        "name": np.array([name.ljust(width) for name in names]),
        "description": np.array([row.ljust(width) for row in ["Time in [s]"] + [""] * len(columns)]),
        "dataInfo": np.array([[0, 1, 0, -1]] + [[2, i + 2, 0, -1] for i in range(len(columns))], dtype=np.int32),
        "data_1": np.array([[t[0]], [t[-1]]]),
        "data_2": np.column_stack([t, *columns.values()]),
    }
    scipy_io.savemat(path, matrices, format="4")


@pytest.mark.parametrize("given", ["folders", "files"])
def test_accept_keeps_the_test_files_format_and_name(capsys, write_csv, tmp_path, given):
    """A MAT reference paired with a CSV test file gives way to the CSV file under its own name, so that
    the next run reads it; the MAT file goes."""
    ref, test = tmp_path / "ref", tmp_path / "test"
    _, rows = curves(T_REF)
    _write_mat(ref / "run.mat", T_REF, {"a": rows[:, 1], "b": rows[:, 2]})
    source = write_csv("run.csv", *curves(T_TEST, bump=0.5), folder=test)
    code, out, err = run(capsys, "accept", *map(str, [ref, test] if given == "folders" else [ref / "run.mat", source]))
    assert code == 0, err
    assert "run.mat: 1 of 2 variables failed (b): replaced by run.csv" in out
    assert _snapshot(ref) == _snapshot(test)
    assert main(["batch", str(ref), str(test), "--jobs", "1"]) == 0


@pytest.mark.parametrize("link", ["reference folder leads outside", "test folder", "test folder leads to reference"])
def test_accept_writes_nothing_outside_the_real_reference_folder(capsys, write_csv, tmp_path, link):
    """A symlinked folder of the reference that leads outside it is refused before anything changes, and
    so is a test run that reaches into the reference; a symlinked folder of the test run is walked, as
    batch walks it, so the reference files under it are replaced, not removed."""
    ref, test, outside = tmp_path / "ref", tmp_path / "test", tmp_path / "outside"
    write_csv("a.csv", *curves(T_REF), folder=ref)
    write_csv("a.csv", *curves(T_TEST, bump=0.5), folder=test)
    if link == "reference folder leads outside":
        write_csv("b.csv", *curves(T_REF), folder=outside)
        write_csv("sub/b.csv", *curves(T_TEST, bump=0.5), folder=test)
        (ref / "sub").symlink_to(outside)
    elif link == "test folder":
        write_csv("sub/b.csv", *curves(T_REF), folder=ref)
        write_csv("b.csv", *curves(T_TEST, bump=0.5), folder=outside)
        (test / "sub").symlink_to(outside)
    else:
        (test / "sub").symlink_to(ref)
    before = _snapshot(ref), _snapshot(outside)
    code, out, err = run(capsys, "accept", str(ref), str(test))
    if link != "test folder":
        words = "leads outside the reference folder" if link.startswith("reference") else "lies inside the reference"
        assert code == 2 and words in err and err.count("\n") == 1
        assert (_snapshot(ref), _snapshot(outside)) == before
        return
    assert code == 0 and "sub/b.csv: 1 of 2 variables failed (b): replaced" in out
    assert _snapshot(ref) == {"a.csv": (test / "a.csv").read_bytes(), "sub/b.csv": (outside / "b.csv").read_bytes()}
    assert main(["batch", str(ref), str(test), "--jobs", "1"]) == 0


@pytest.mark.parametrize("inner", ["reference", "test"])
def test_accept_refuses_a_folder_inside_the_other(capsys, write_csv, tmp_path, inner):
    """A reference folder inside the test folder (each accepted run would hold it again, one folder
    deeper) is refused like a test folder inside the reference folder, and nothing changes."""
    outer = tmp_path / "outer"
    write_csv("a.csv", *curves(T_REF), folder=outer)
    write_csv("a.csv", *curves(T_TEST, bump=0.5), folder=outer / "inner")
    before = _snapshot(outer)
    folders = [outer / "inner", outer] if inner == "reference" else [outer, outer / "inner"]
    code, _, err = run(capsys, "accept", *map(str, folders))
    assert code == 2 and f"inner: lies inside the {'test' if inner == 'reference' else 'reference'} folder" in err
    assert _snapshot(outer) == before


@pytest.mark.parametrize("file", ["replaced", "new"])
def test_accept_keeps_file_modes(capsys, write_csv, tmp_path, file):
    """A replaced file keeps its mode; a new file gets the mode the umask leaves (0666 less the umask)."""
    ref, test = tmp_path / "ref", tmp_path / "test"
    write_csv("a.csv", *curves(T_REF), folder=ref)
    write_csv(f"{file}.csv", *curves(T_TEST, bump=0.5), folder=test)
    if file == "replaced":
        (test / "replaced.csv").rename(test / "a.csv")
        (ref / "a.csv").chmod(0o604)
    else:
        (test / "a.csv").write_bytes((ref / "a.csv").read_bytes())
    umask = os.umask(0o027)
    try:
        code, _, err = run(capsys, "accept", str(ref), str(test))
    finally:
        os.umask(umask)
    assert code == 0, err
    assert oct((ref / ("a.csv" if file == "replaced" else "new.csv")).stat().st_mode & 0o777) == oct(
        0o604 if file == "replaced" else 0o640
    )


@pytest.mark.parametrize("care", ["stale temporary files", "flushed before the rename"])
def test_accept_leaves_no_temporary_files_and_writes_durably(capsys, write_csv, tmp_path, monkeypatch, care):
    """Temporary files a killed accept left where it writes are removed (other files stay); the new file
    is on disk before it is renamed over the reference, and the rename before accept goes on."""
    ref, test = tmp_path / "ref", tmp_path / "test"
    write_csv("deep/a.csv", *curves(T_REF), folder=ref)
    write_csv("deep/a.csv", *curves(T_TEST, bump=0.5), folder=test)
    (ref / "deep" / ".velmora-funnel-k1ll3d_x.tmp").write_text("half a file")
    (ref / "deep" / "notes.tmp").write_text("the user's")
    events = []
    fsync, replace = os.fsync, os.replace

    def syncing(descriptor):
        events.append("sync folder" if stat.S_ISDIR(os.fstat(descriptor).st_mode) else "sync file")
        fsync(descriptor)

    def renaming(*paths):
        events.append("rename")
        replace(*paths)

    monkeypatch.setattr(os, "fsync", syncing)
    monkeypatch.setattr(os, "replace", renaming)
    code, _, err = run(capsys, "accept", str(ref), str(test))
    assert code == 0, err
    if care == "stale temporary files":
        assert sorted(_snapshot(ref)) == ["deep/a.csv", "deep/notes.tmp"]
    else:
        assert events[events.index("rename") - 1 : events.index("rename") + 2] == ["sync file", "rename", "sync folder"]


@pytest.mark.parametrize("quiet", [False, True])
def test_compare_shows_progress_on_a_terminal_only(files, tmp_path, quiet):
    """On a terminal the steps of compare are shown on stderr (not with --quiet); a pipe gets none."""
    import fcntl
    import pty
    import struct
    import termios

    reference, test = files(bump=0.5)
    command = [
        sys.executable,
        "-m",
        "velmora_funnel",
        "compare",
        str(reference),
        str(test),
        "--plot",
        str(tmp_path / "plots"),
    ]
    command += ["--quiet"] if quiet else []
    piped = subprocess.run(command, capture_output=True, text=True, check=False, timeout=120)
    assert piped.returncode == 1 and piped.stderr == ""
    main_end, child_end = pty.openpty()
    fcntl.ioctl(child_end, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # a terminal has a size
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=child_end) as done:
        os.close(child_end)
        shown = b""
        while True:
            try:
                chunk = os.read(main_end, 4096)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            shown += chunk
        out = done.stdout.read().decode()
    os.close(main_end)
    assert done.returncode == 1 and "FAIL:" in out
    assert (b"step" in shown and b"plotting" in shown) != quiet, shown
    assert ("\na " in out) != quiet and "\nb " in out  # --quiet prints only what did not pass


def test_quiet_lists_merely_missing_variables_in_one_line_and_the_table_fits_a_terminal(capsys, write_csv, monkeypatch):
    """--quiet: variables only in the reference take one line, not a row each; on a terminal no line
    is wider than it, a long name cut in the middle so that both ends show."""
    long = "plant.condenser.tubeBundle.wall.heatTransfer.segment[12].T"
    names = [long, *(f"lost{k}" for k in range(300))]
    reference = write_csv("r.csv", ",".join(["time", *names]), np.column_stack([T_REF] * (len(names) + 1)))
    test = write_csv("t.csv", f"time,{long}", np.column_stack([T_REF, T_REF + 1]))
    code, out, _ = run(capsys, "compare", reference, test, "--quiet")
    lost = next(line for line in out.splitlines() if "missing in test" in line)
    assert code == 1 and len(out.splitlines()) == 4
    assert lost.startswith("300 missing in test: lost0, lost1, ") and lost.endswith(", ... (see --json)")
    monkeypatch.setattr(sys.stdout, "isatty", lambda: True, raising=False)
    monkeypatch.setenv("COLUMNS", "120")
    code, out, _ = run(capsys, "compare", reference, test, "--column", long)
    assert all(len(line) <= 120 for line in out.splitlines())
    assert out.splitlines()[1].startswith("plant.co") and "…" in out and "segment[12].T " in out
