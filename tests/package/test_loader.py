"""Reading CSV result files: exact numbers, and errors that name the file, the row and the column."""

import numpy as np
import pandas as pd
import pytest

import velmora_funnel as vf
from velmora_funnel import ResultFileError, read_result

# (text, row, column, words in the message)
BROKEN = {
    "numbers where the header belongs": ("0,1,2\n1,2,3\n", 1, None, "missing header"),
    "header after blank lines is row 3": ("\n\n0,1\n", 3, None, "missing header"),
    "empty file": ("", None, None, "empty file"),
    "only blank lines": ("\n\n", None, None, "no header row"),
    "single column": ("time\n0\n1\n", 1, None, "at least one variable"),
    "empty column name": ("time,a,\n0,1,2\n", 1, 3, "empty column name"),
    "duplicate column name": ("time,a,a\n0,1,2\n", 1, 3, "duplicate column name 'a' (also column 2)"),
    "short row": ("time,a,b\n0,1,2\n1,2\n2,3,4\n", 3, None, "ragged row: 2 cells, but the header names 3"),
    "long row": ("time,a,b\n0,1,2\n1,2,3,4\n", 3, None, "ragged row: 4 cells"),
    "truncated last line": ("time,a,b\n0,1,2\n1,2,3\n2,", 4, None, "ragged row"),
    "word in a cell": ("time,a,b\n0,1,2\n1,abc,3\n", 3, 2, "'abc' is not a number"),
    "empty cell": ("time,a,b\n0,1,2\n1,2,\n", 3, 3, "empty cell"),
    "NA is not a number": ("time,a\n0,NA\n", 2, 2, "'NA' is not a number"),
    "digit separator": ("time,a\n0,1_000\n", 2, 2, "'1_000' is not a number"),
    "bad cell after blank line": ("time,a\n0,1\n\n2,x\n", 4, 2, "'x' is not a number"),
    "every row one cell longer": (
        "t,y\n0,0,5\n1,1,5\n2,0,5\n",
        2,
        None,
        "ragged row: 3 cells, but the header names 2 columns",
    ),
    "pandas index written without a label": (
        pd.DataFrame({"t": [0.0, 1.0], "y": [1.0, 2.0]}).to_csv(index_label=False),
        2,
        None,
        "3 cells",
    ),
    "NaN in another case": ("time,a\n0,nAn\n", 2, 2, "'nAn' is not a number"),
    "NaN with spaces": ("time,a\n0, nan\n", 2, 2, "' nan' is not a number"),
    "non-ASCII digit": ("time,a\n0,\u0661\n", 2, 2, "is not a number (digits"),
    "unterminated quote": ('time,a\n0,1\n1,"2\n', 3, 2, "unterminated quote"),
    "unterminated quote in a long file": ('time,a\n0,"1\n' + "1,2\n" * 40000, 2, 2, "unterminated quote"),
    "cell over the csv size limit": ("time,a\n0," + "x" * 200000 + "\n", 2, 2, "cell longer than"),
    # dialects: (text, row, column, words, read options)
    "semicolons read as one column": (
        "time;a\n0;1,5\n",
        1,
        None,
        "delimited by ';': read with delimiter=';' (and decimal=','",
        {},
    ),
    "tabs read as one column": ("time\ta\n0\t1\n", 1, None, "delimited by tabs: read with delimiter='\\t'", {}),
    "decimal point under a decimal comma": (
        "time;a\n0;1,5\n1;2.5\n",
        3,
        2,
        "'2.5' is not a number (the decimal mark is ',')",
        {"delimiter": ";", "decimal": ","},
    ),
    "no delimiter to sniff": ("time a\n0 1\n", None, None, "cannot tell the delimiter", {"delimiter": "auto"}),
    "short row is no empty cell": (
        "time,a,b\n0,,1\n1,2\n2,3,4\n",
        3,
        None,
        "ragged row: 2 cells",
        {"empty_as_nan": True},
    ),
    "bad cell after comments and units": (
        "# run 7\ntime,a\n# units\ns,m\n0,1 # ok\n1,x\n",
        6,
        2,
        "'x' is not a number",
        {"comment": "#", "units_row": True},
    ),
    "units row too short": ("time,a,b\ns,m\n0,1,2\n", 2, None, "units row: 2 cells", {"units_row": True}),
    "no such time column": ("time,a\n0,1\n", 1, None, "no column named 'clock'", {"time": "clock"}),
    # a typo stays an error wherever it is; so does a cell its column's kind does not take
    "number in groups of thousands": ("time,a\n0,1 000\n", 2, 2, "'1 000' is not a number"),
    "number under a boolean": ("time,b\n0,true\n1,2\n", 3, 2, "'2' is not true or false"),
    "word under an empty header cell": ("time,a,\n0,1,x\n", 1, 3, "empty column name, over a column that holds 'x'"),
    "short row under an empty header cell": ("time,a,\n0,1,\n1,2\n", 3, None, "ragged row: 2 cells"),
    "short row, the last column text": ('time,a,s\n0,1,"x"\n1,2\n', 3, None, "ragged row: 2 cells"),
    "date-time among dates": (
        "when,a\n2024-01-01T00:00:00Z,1\nlater,2\n",
        3,
        1,
        "'later' is not an ISO 8601 date-time",
        {},
    ),
}


@pytest.mark.parametrize(
    ("text", "row", "column", "words", "options"),
    [v if len(v) == 5 else (*v, {}) for v in BROKEN.values()],
    ids=BROKEN.keys(),
)
def test_unusable_file_names_file_row_and_column(write_csv, text, row, column, words, options):
    """Each defect raises ResultFileError whose message names the file, the row and the column."""
    path = write_csv("run.csv", text)
    with pytest.raises(ResultFileError) as info:
        read_result(path, **options)
    error = info.value
    message = str(error)
    assert message.startswith(path + ": ") and words in message
    assert (error.row, error.column) == (row, column)
    if row is not None:
        assert f"row {row}" in message
    if column is not None:
        assert f"column {column} (" in message or f"column {column}:" in message


def test_cell_error_names_the_column_header(write_csv):
    """A bad cell's message carries the column's name as well as its number."""
    with pytest.raises(ResultFileError, match=r"row 3, column 3 \('velocity'\): 'oops' is not a number"):
        read_result(write_csv("run.csv", "time,position,velocity\n0,1,2\n1,2,oops\n"))


def test_binary_file_is_refused(tmp_path):
    """A file that is not UTF-8 text is refused, not misread."""
    path = tmp_path / "run.csv"
    path.write_bytes(b"\xff\xfe\x00t\x00,\x00a\n")
    with pytest.raises(ResultFileError, match="not a UTF-8 text file"):
        read_result(path)


def test_missing_file_is_an_os_error(tmp_path):
    """A file that does not exist raises FileNotFoundError (the CLI reports it)."""
    with pytest.raises(FileNotFoundError):
        read_result(tmp_path / "absent.csv")


ACCEPTED = {
    "plain": ("time,a\n0,1\n1,2\n", [[0, 1], [1, 2]]),
    # dialects: (text, expected, read options)
    "semicolons and decimal commas": (
        "time;a\n0;1,5\n1,25;-2,5e-3\n",
        [[0, 1.5], [1.25, -2.5e-3]],
        {"delimiter": ";", "decimal": ","},
    ),
    "tabs": ("time\ta\n0\t1\n1\t2\n", [[0, 1], [1, 2]], {"delimiter": "\t"}),
    "sniffed semicolons and decimal commas": (
        "time;a\n0;1,5\n1;2,5\n",
        [[0, 1.5], [1, 2.5]],
        {"delimiter": "auto", "decimal": ","},
    ),
    "sniffed tabs": ("time\ta\n0\t1\n1\t2\n", [[0, 1], [1, 2]], {"delimiter": "auto"}),
    "comment lines and a trailing comment": (
        "# made by a logger\ntime,a\n# calibration\n0,1\n1,2 # spike?\n",
        [[0, 1], [1, 2]],
        {"comment": "#"},
    ),
    "units row": ("time,a\ns,m/s\n0,1\n1,2\n", [[0, 1], [1, 2]], {"units_row": True}),
    "time column by name": ("a,time\n1,0\n2,1\n", [[0, 1], [1, 2]], {"time": "time"}),
    "empty cells as NaN (pandas writes NaN so)": (
        pd.DataFrame({"time": [0.0, 1.0], "a": [np.nan, 2.0]}).to_csv(index=False),
        [[0, np.nan], [1, 2]],
        {"empty_as_nan": True},
    ),
    "ISO 8601 date-times as seconds since 1970 UTC": (
        "time,a\n2024-01-01T00:00:00Z,1\n2024-01-01T01:00:00.5+01:00,2\n2024-01-01 00:00:01,3\n",
        [[1704067200, 1], [1704067200.5, 2], [1704067201, 3]],
        {},
    ),
    "quoted header and BOM": ('\ufeff"time","a"\n0,1\n1,2\n', [[0, 1], [1, 2]]),
    "spaces around cells and names": ("time , a\n 0 , 1 \n1,2\n", [[0, 1], [1, 2]]),
    "CRLF line ends": ("time,a\r\n0,1\r\n1,2\r\n", [[0, 1], [1, 2]]),
    "blank lines and no final newline": ("time,a\n\n0,1\n\n1,2", [[0, 1], [1, 2]]),
    "nan and inf spellings": (
        "time,a\n0,nan\n1,NaN\n2,-inf\n3,Infinity\n4,1e-300\n",
        [[0, np.nan], [1, np.nan], [2, -np.inf], [3, np.inf], [4, 1e-300]],
    ),
}


@pytest.mark.parametrize(
    ("text", "expected", "options"), [v if len(v) == 3 else (*v, {}) for v in ACCEPTED.values()], ids=ACCEPTED.keys()
)
def test_common_result_file_forms_load(write_csv, text, expected, options):
    """Quoting, BOM, CRLF, spaces, blank lines, NaN/inf spellings and the dialects of the options are read as
    numbers, into columns that nothing can write."""
    table = read_result(write_csv("run.csv", text), **options)
    expected = np.array(expected, dtype=float)
    assert table.abscissa_name == "time" and table.names == ("a",)
    np.testing.assert_array_equal(table.t, expected[:, 0])
    np.testing.assert_array_equal(table["a"], expected[:, 1])
    for array in (table.t, table["a"]):  # results keep the columns without copying them
        while isinstance(array, np.ndarray):
            assert not array.flags.writeable
            array = array.base


# Files as the tools write them, with columns that are not numbers: (text, {name: values}, skipped, options)
MIXED = {
    # An FMU simulator's FMI outputs: quoted header, CRLF, integers, booleans, a string, an array
    "FMI outputs": (
        (
            '"time","Int_output","Boolean_output","String_output","Array_output"\r\n'
            '0,1,false,"a","1 2 3"\r\n0.5,2,true,"b c","4 5 6"\r\n1,3,TRUE,"","7 8 9"\r\n'
        ),
        {"Int_output": [1, 2, 3], "Boolean_output": [0, 1, 1]},
        {"String_output": "text column", "Array_output": "several numbers per cell"},
    ),
    "a trailing delimiter on every line": ('"time","h","v",\r\n0,1,2,\r\n1,3,4,\r\n', {"h": [1, 3], "v": [2, 4]}, {}),
    "booleans padded with spaces": ("time , on\n 0 , True \n1, false\n", {"on": [1, 0]}, {}),
    "pandas: booleans and text, NaN as empty cells": (
        pd.DataFrame({"time": [0.0, 1.0, 2.0], "on": [True, None, False], "mode": [None, "off", "on"]}).to_csv(
            index=False
        ),
        {"on": [1, np.nan, 0]},
        {"mode": "text column"},
        {"empty_as_nan": True},
    ),
    "text below more empty cells than the first look reads": (
        "time,a,s\n" + "".join(f"{i},{i},\n" for i in range(1500)) + "1500,1500,on\n",
        {"a": np.arange(1501)},
        {"s": "text column"},
        {"empty_as_nan": True},
    ),
}


@pytest.mark.parametrize(
    ("text", "values", "skipped", "options"), [v if len(v) == 4 else (*v, {}) for v in MIXED.values()], ids=MIXED.keys()
)
def test_booleans_read_as_numbers_and_text_is_skipped(write_csv, text, values, skipped, options):
    """Booleans are 1.0 and 0.0 in any case; text and arrays are listed with why, and asking for one
    gives the error that names its first cell; an unnamed empty column at the end is dropped."""
    table = read_result(write_csv("run.csv", text), **options)
    assert table.names == tuple(values) and table.skipped == skipped
    for name, expected in values.items():
        np.testing.assert_array_equal(table[name], expected)
    for name in skipped:
        with pytest.raises(ResultFileError, match=rf"row \d+, column \d \('{name}'\): .* is not a number: "):
            table[name]


def test_header_only_file_has_no_rows(write_csv):
    """A header with no data rows loads as empty columns (compare then reports too few points)."""
    table = read_result(write_csv("run.csv", "time,a,b\n"))
    assert len(table) == 0 and table.names == ("a", "b") and table["b"].dtype == np.float64


def test_numbers_read_back_bit_for_bit(write_csv):
    """Doubles written with 17 significant digits, random bit patterns included, read back exactly."""
    rng = np.random.default_rng(7)
    bits = rng.integers(0, 2**63, size=4000, dtype=np.int64).view(np.float64)
    values = np.concatenate([bits[np.isfinite(bits)], rng.standard_normal(4000), [5e-324, 1.7976931348623157e308]])
    t = np.arange(len(values), dtype=float)
    table = read_result(write_csv("run.csv", "time,v", np.column_stack([t, values])))
    np.testing.assert_array_equal(table["v"], values)


def test_columns_are_contiguous_float64_ready_for_the_module(write_csv):
    """Every column goes to the module as it is: 1-D, contiguous, float64, in file order."""
    table = read_result(write_csv("run.csv", "time,b,a", [[0, 1, 2], [1, 3, 4], [2, 5, 6]]))
    assert table.names == ("b", "a") and "a" in table and "time" not in table
    for column in (table.t, table["a"], table["b"]):
        assert column.dtype == np.float64 and column.flags.c_contiguous and column.ndim == 1
    result = vf.compare(table.curve("a"), table.curve("a"))
    assert result.passed


def test_units_row_is_kept_as_the_variables_units(write_csv):
    table = read_result(write_csv("run.csv", "time;v;n\n[s];m/s;\n0;1;2\n"), delimiter=";", units_row=True)
    assert table.units == {"time": "[s]", "v": "m/s", "n": ""}
