"""Result files as simulation and measurement tools write them: MAT result
files of Modelica tools (written here by scipy.io in both storage orders and
both versions), Parquet and Arrow IPC (pandas, pyarrow) and compressed CSV
(the standard library's compressors, zstandard)."""

import bz2
import gzip
import json
import lzma
import os
import pathlib
import struct
import subprocess
import sys
import tempfile
import warnings
import zlib

import numpy as np
import pandas as pd
import pytest

from velmora_funnel import ReadOptions, ResultFileError, read_result
from velmora_funnel.cli import main
from velmora_funnel.io.limits import parse_size, size_text

scipy_io = pytest.importorskip("scipy.io")
pa = pytest.importorskip("pyarrow")
feather = pytest.importorskip("pyarrow.feather")
pq = pytest.importorskip("pyarrow.parquet")


def text_matrix(rows, transposed, pad=" "):
    """Rows of text padded to one width; transposed: one row per column."""
    width = max(len(row) for row in rows)
    rows = [row.ljust(width, pad) for row in rows]
    if transposed:
        rows = ["".join(row[j] for row in rows) for j in range(width)]
    return np.array(rows)


# An event at t = 1 (the abscissa repeats, x jumps); "der(x)" and "x_alias"
# share x's column, "minus_x" is its negation, "k" and "minus_k" are a
# parameter and its negation in data_1.
T = np.array([0.0, 0.5, 1.0, 1.0, 1.5, 2.0])
X = np.array([0.0, 1.0, 2.0, 5.0, 6.0, 7.0])
V = np.array([2.0, 2.0, 2.0, 2.0, 2.0, 2.0])
MAT_VARIABLES = {"x": X, "v": V, "x_alias": X, "minus_x": -X, "k": np.full(6, 3.5), "minus_k": np.full(6, -3.5)}


def mat_matrices(transposed, *, abscissa="Time", info_abscissa=(0, 1, 0, -1), pad=" ", names=None, descriptions=None):
    names = names or [abscissa, "x", "v", "x_alias", "minus_x", "k", "minus_k"]
    descriptions = descriptions or ["Time in [s]"] + [""] * (len(names) - 1)
    info = np.array(
        [info_abscissa, [2, 2, 0, -1], [2, 3, 0, -1], [2, 2, 0, -1], [2, -2, 0, -1], [1, 2, 0, 0], [1, -2, 0, 0]],
        dtype=np.int32,
    )
    data_1 = np.array([[0.0, 3.5], [2.0, 3.5]])  # start and stop rows; the abscissa first
    data_2 = np.column_stack([T, X, V])
    order = "binTrans" if transposed else "binNormal"
    flip = (lambda m: m.T) if transposed else (lambda m: m)
    return {
        "Aclass": text_matrix(["Atrajectory", "1.1", "", order], False),
        "name": text_matrix(names, transposed, pad),
        "description": text_matrix(descriptions, transposed, pad),
        "dataInfo": flip(info),
        "data_1": flip(data_1),
        "data_2": flip(data_2),
    }


def save_mat(path, matrices, version="4"):
    """version "4", "5", or "5z" (version 5, compressed)."""
    scipy_io.savemat(path, matrices, format=version[0], do_compression=version == "5z")
    return str(path)


LAYOUTS = {
    "v4 binNormal": ("4", False, {}),
    "v4 binTrans": ("4", True, {}),
    "v5 binNormal": ("5", False, {}),
    "v5 compressed binNormal": ("5z", False, {}),
    "v5 compressed binTrans": ("5z", True, {}),
    "v5 binTrans, names padded with NULs, abscissa 'time' in data_2": (
        "5",
        True,
        {"pad": "\0", "abscissa": "time", "info_abscissa": (2, 1, 0, 0)},
    ),
}


@pytest.mark.parametrize(("version", "transposed", "options"), LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize("whole_up_to", [64 << 20, 0], ids=["read whole", "large: a row at a time"])
def test_every_mat_variable_is_read_by_name(tmp_path, monkeypatch, version, transposed, options, whole_up_to):
    """Trajectories, aliases, negated aliases, parameters and the event's repeated abscissa, in every layout."""
    monkeypatch.setattr("velmora_funnel.io.mat_store._WHOLE_UP_TO", whole_up_to)
    table = read_result(save_mat(tmp_path / "run.mat", mat_matrices(transposed, **options), version))
    assert table.abscissa_name == options.get("abscissa", "Time")
    assert table.names == tuple(MAT_VARIABLES)
    np.testing.assert_array_equal(table.t, T)
    # All read before any is checked: a negated alias must not turn the
    # variable it shares a row with, and nobody can write a shared row.
    curves = {name: table.curve(name)[1] for name in MAT_VARIABLES}
    for name, values in MAT_VARIABLES.items():
        y = curves[name]
        assert y.dtype == np.float64 and y.flags.c_contiguous and not y.flags.writeable
        np.testing.assert_array_equal(y, values, err_msg=name)


# Descriptions as the tools write them, in the name matrix's layout: Dymola ends each with the
# unit ("[unit|display unit]"; "[:#(type=Boolean)]" gives a type, no unit), OpenModelica writes the
# modeller's comment alone; brackets inside the text or holding blanks are no unit.
DYMOLA = [
    "Time in [s]",
    "Position of flange [m]",
    "Velocity [m/s|km/h]",
    "x[1] of the spring",
    "[m]",
    "on [:#(type=Boolean)]",
    "range [0, 1]",
]
DYMOLA_UNITS = {"Time": "s", "x": "m", "v": "m/s", "minus_x": "m"}
DESCRIPTIONS = {
    "Dymola, v4 binTrans, padded with spaces": ("4", True, {"descriptions": DYMOLA}, DYMOLA_UNITS),
    "Dymola, v5 compressed binNormal": ("5z", False, {"descriptions": DYMOLA}, DYMOLA_UNITS),
    "OpenModelica, v4 binTrans, padded with NULs": (
        "4",
        True,
        {"abscissa": "time", "pad": "\0", "descriptions": ["Simulation time [s]", "position", "", "", "", "gain", ""]},
        {"time": "s"},
    ),
    "descriptions that are not one per name": ("4", True, {"descriptions": ["Time in [s]", "Position [m]"]}, {}),
}


@pytest.mark.parametrize(("version", "transposed", "options", "units"), DESCRIPTIONS.values(), ids=DESCRIPTIONS.keys())
def test_mat_units_come_from_the_descriptions(tmp_path, capsys, version, transposed, options, units):
    """A description's trailing [unit] is the variable's unit, in the table and the JSON report."""
    path = save_mat(tmp_path / "run.mat", mat_matrices(transposed, **options), version)
    assert read_result(path).units == units
    assert main(["compare", path, path, "--json", "-"]) == 0
    shown = {v["name"]: v["unit"] for v in json.loads(capsys.readouterr().out)["variables"] if v["unit"]}
    assert shown == {name: unit for name, unit in units.items() if name not in ("Time", "time")}


def test_mat_time_option_picks_another_abscissa(tmp_path):
    """--time names the abscissa variable; the first variable becomes a variable."""
    table = read_result(save_mat(tmp_path / "run.mat", mat_matrices(True)), time="v")
    assert table.abscissa_name == "v" and "Time" in table.names
    np.testing.assert_array_equal(table["Time"], T)


@pytest.mark.parametrize("transposed", [False, True], ids=["binNormal", "binTrans"])
def test_mat_file_cut_short_while_open_is_an_error_not_a_crash(tmp_path, monkeypatch, transposed):
    """A simulation rewriting its result while it is compared gives a clear error (never SIGBUS)."""
    # A binTrans matrix this small is read whole with its abscissa; one too
    # large for that is read a row at a time, and cut short in between.
    monkeypatch.setattr("velmora_funnel.io.mat_store._WHOLE_UP_TO", 0)
    path = save_mat(tmp_path / "run.mat", mat_matrices(transposed))
    table = read_result(path)
    os.truncate(path, os.path.getsize(path) // 2)
    with pytest.raises(ResultFileError, match="changed while it was being read"):
        table["v"]


def _mat_bytes_cut(tmp_path):
    path = save_mat(tmp_path / "whole.mat", mat_matrices(True))
    with open(path, "rb") as handle:
        return handle.read()[:-7]


def _float_info(where, value):
    """dataInfo as float64 (legal in both versions) with one number that no column index can be."""
    info = mat_matrices(True)["dataInfo"].astype(np.float64)
    info[where] = value
    return info


# (matrices to change, words in the message, variable named)
BROKEN_MAT = {
    "no Aclass": ({"Aclass": None}, "no matrix 'Aclass'", None),
    "no data_2": ({"data_2": None}, "no matrix 'data_2'", None),
    "other first Aclass row": (
        {"Aclass": text_matrix(["Bclass", "1.1", "", "binNormal"], False)},
        "expected 'Atrajectory'",
        None,
    ),
    "no storage order": (
        {"Aclass": text_matrix(["Atrajectory", "1.1"], False)},
        "expected 'binNormal' or 'binTrans'",
        None,
    ),
    "column past data_2": (
        {
            "dataInfo": np.array(
                [
                    [0, 1, 0, -1],
                    [2, 9, 0, -1],
                    [2, 3, 0, -1],
                    [2, 2, 0, -1],
                    [2, -2, 0, -1],
                    [1, 2, 0, 0],
                    [1, -2, 0, 0],
                ]
            ).T
        },
        "column 9 of data_2, which has 3 columns",
        "x",
    ),
    "unknown matrix": (
        {
            "dataInfo": np.array(
                [
                    [0, 1, 0, -1],
                    [2, 2, 0, -1],
                    [3, 3, 0, -1],
                    [2, 2, 0, -1],
                    [2, -2, 0, -1],
                    [1, 2, 0, 0],
                    [1, -2, 0, 0],
                ]
            ).T
        },
        "matrix 3",
        "v",
    ),
    **{
        f"float dataInfo with {value!r} as a {what}": (
            {"dataInfo": _float_info(where, value)},
            f"dataInfo gives {float(value)!r} as the {what}, expected an integer",
            variable,
        )
        for value in (1e300, 2.0**63, -(2.0**63), np.nan)
        for what, where, variable in (("column", (1, 1), "x"), ("matrix", (0, 2), "v"))
    },
    "parameter without data_1": ({"data_1": None}, "no matrix 'data_1'", "k"),
    "fewer names than dataInfo rows": ({"name": text_matrix(["Time", "x"], True)}, "for each of the 2 names", None),
    "name given twice": (
        {"name": text_matrix(["Time", "x", "v", "x", "minus_x", "k", "minus_k"], True)},
        "given twice",
        "x",
    ),
}


@pytest.mark.parametrize("version", ["4", "5"])
@pytest.mark.parametrize(("changes", "words", "variable"), BROKEN_MAT.values(), ids=BROKEN_MAT.keys())
def test_mat_file_out_of_layout_names_what_is_missing(tmp_path, changes, words, variable, version):
    """A file not in the result-file layout: ResultFileError naming the file, what is missing and the variable."""
    matrices = {**mat_matrices(True), **changes}
    path = save_mat(tmp_path / "run.mat", {k: v for k, v in matrices.items() if v is not None}, version)
    with pytest.raises(ResultFileError) as info:
        read_result(path)
    assert str(info.value).startswith(path + ": ") and words in str(info.value)
    assert info.value.column_name == variable


@pytest.mark.parametrize(
    ("content", "words"),
    [
        (b"time,x\n0,1\n", "not a MAT file"),
        (b"", "empty file"),
        ("cut", "truncated MAT file"),
    ],
    ids=["CSV named .mat", "empty", "truncated"],
)
def test_file_that_is_no_mat_file_is_refused(tmp_path, content, words):
    path = tmp_path / "run.mat"
    path.write_bytes(_mat_bytes_cut(tmp_path) if content == "cut" else content)
    with pytest.raises(ResultFileError, match=words):
        read_result(path)


def _class_byte(path, name, klass):
    """Overwrite the class in the array flags of an uncompressed version 5 matrix, as a damaged file has it."""
    data = bytearray(pathlib.Path(path).read_bytes())
    offset = 128
    while name.encode() not in data[offset : offset + 64]:
        offset += 8 + struct.unpack_from("<I", data, offset + 4)[0]
    data[offset + 16] = klass
    pathlib.Path(path).write_bytes(bytes(data))


def _sparse(matrix):
    return pytest.importorskip("scipy.sparse").csc_matrix(matrix)


# (version, matrices to change, class byte to write into dataInfo, words; None: the file reads)
OTHER_CLASSES = {
    "dataInfo written sparse": ("5", {"dataInfo": _sparse}, None, "matrix 'dataInfo' is sparse"),
    "dataInfo written sparse, compressed": ("5z", {"dataInfo": _sparse}, None, "matrix 'dataInfo' is sparse"),
    "dataInfo's class byte damaged to sparse": ("5", {}, 5, "matrix 'dataInfo' is sparse"),
    "dataInfo's class byte damaged to a cell array": ("5", {}, 1, "matrix 'dataInfo' is a cell array"),
    "data_2 a struct": ("5z", {"data_2": lambda m: {"values": m}}, None, "matrix 'data_2' is a struct"),
    "data_1 complex": ("5", {"data_1": lambda m: m * 1j}, None, "matrix 'data_1' is complex"),
    "a sparse matrix of another name is passed over": ("5", {"extra": lambda m: _sparse(np.eye(3))}, None, None),
}


@pytest.mark.parametrize(("version", "changes", "klass", "words"), OTHER_CLASSES.values(), ids=OTHER_CLASSES.keys())
def test_v5_matrix_of_another_class_is_refused_only_where_needed(tmp_path, version, changes, klass, words):
    """A matrix the reader needs that is not full numbers or text is refused (never handed to code it can
    crash); any other is skipped."""
    matrices = mat_matrices(True)
    matrices.update({name: change(matrices.get(name, 0)) for name, change in changes.items()})
    path = save_mat(tmp_path / "run.mat", matrices, version)
    if klass is not None:
        _class_byte(path, "dataInfo", klass)
    if words is None:
        np.testing.assert_array_equal(read_result(path)["minus_x"], -X)
        return
    with pytest.raises(ResultFileError) as info:
        read_result(path)
    assert str(info.value).startswith(path + ": ") and words in str(info.value)


def _with_huge_data_2(path, version, points, compressed=False):
    """A result file whose data_2 claims ``points`` values, all zeros: a sparse file whose hole holds
    them, or a compressed element that inflates to them (streamed, so building it stays cheap)."""
    matrices = {k: v for k, v in mat_matrices(False).items() if k != "data_2"}
    save_mat(path, matrices, version)
    with open(path, "r+b") as handle:
        handle.seek(0, os.SEEK_END)
        if version == "4":
            handle.write(struct.pack("<5i", 0, 2, points // 2, 0, 7) + b"data_2\0")
            handle.truncate(handle.tell() + 8 * points)
            return str(path)
        head = struct.pack("<2I2I2I2i2I8s2I", 6, 8, 6, 0, 5, 8, 1, points, 1, 6, b"data_2", 9, 8 * points)
        element = struct.pack("<2I", 14, len(head) + 8 * points) + head
        if not compressed:
            handle.write(element)
            handle.truncate(handle.tell() + 8 * points)
            return str(path)
        start = handle.tell()
        handle.write(struct.pack("<2I", 15, 0))
        packer = zlib.compressobj(1)
        handle.write(packer.compress(element))
        zeros = bytes(1 << 20)
        for _ in range(8 * points >> 20):
            handle.write(packer.compress(zeros))
        handle.write(packer.flush())
        handle.seek(start + 4)
        handle.write(struct.pack("<I", os.path.getsize(path) - start - 8))
    return str(path)


BOMBS = {
    "v4, sparse file claiming 2^31 points": (("4", 2**31), None),
    "v5, sparse file claiming 2^24 points": (("5", 2**24), 64 << 20),
    "v5, compressed data_2 inflating to 256 MiB": (("5", 2**25, True), 16 << 20),
}


@pytest.mark.parametrize(("shape", "limit"), BOMBS.values(), ids=BOMBS.keys())
def test_mat_file_claiming_more_than_the_limit_is_refused_before_it_is_taken(tmp_path, shape, limit):
    """A header or a compressed element that would take more than max_bytes: refused with the limit
    and the option that raises it, before the memory is taken."""
    path = _with_huge_data_2(tmp_path / "run.mat", *shape)
    options = ReadOptions(max_bytes=limit)
    with pytest.raises(ResultFileError) as info:
        read_result(path, options)
    assert str(info.value).startswith(f"{path}: matrix 'data_2'")
    assert f"more than the limit of {size_text(options.limit)}" in str(info.value) and "max_bytes" in info.value.advice


# --- Parquet and Arrow IPC ---------------------------------------------------------


def frame():
    t = np.linspace(0.0, 2.0, 9)
    return pd.DataFrame({"time": t, "a": np.sin(t), "count": np.arange(9), "b": np.where(t == 1.0, np.nan, np.cos(t))})


def _ipc(path, writer):
    table = pa.Table.from_pandas(frame(), preserve_index=False)
    with writer(str(path), table.schema) as sink:
        sink.write_table(table)


def _feather_v1(data, path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # older tools still write version 1
        feather.write_feather(data, str(path), version=1)


WRITERS = {
    "pandas parquet": ("run.parquet", lambda df, p: df.to_parquet(p)),
    "pyarrow feather version 1": ("run.feather", _feather_v1),
    "pandas feather, a category of numbers": (
        "run.feather",
        lambda df, p: df.astype({"count": "category"}).to_feather(p),
    ),
    "pandas parquet, time as the index": ("run.parquet", lambda df, p: df.set_index("time").to_parquet(p)),
    "pandas feather": ("run.feather", lambda df, p: df.to_feather(p)),
    "arrow IPC file": ("run.arrow", lambda df, p: _ipc(p, pa.ipc.new_file)),
    "arrow IPC stream": ("run.arrow", lambda df, p: _ipc(p, pa.ipc.new_stream)),
}


@pytest.mark.parametrize(("name", "write"), WRITERS.values(), ids=WRITERS.keys())
def test_columnar_files_read_exactly(tmp_path, name, write):
    """Floats bit for bit, integers as floats, pandas' NaN (stored as null) as NaN; time is the abscissa."""
    expected = frame()
    write(expected, tmp_path / name)
    table = read_result(tmp_path / name)
    assert table.abscissa_name == "time" and table.names == ("a", "count", "b")
    np.testing.assert_array_equal(table.t, expected["time"])
    for column in table.names:
        np.testing.assert_array_equal(table[column], expected[column].to_numpy(dtype=float))


BROKEN_COLUMNAR = {
    # a text column is skipped (AGREEING); a text abscissa leaves nothing to compare against
    "text abscissa": (
        lambda p: frame().assign(time=lambda f: f["time"].astype(str)).to_parquet(p),
        "column 1 ('time'): values of type",
        None,
    ),
    "integer over 2**53": (
        lambda p: frame().assign(big=2**60 + 1).to_parquet(p),
        "column 5 ('big'): integers too large",
        None,
    ),
    "one column": (lambda p: frame()[["time"]].to_parquet(p), "need the abscissa and at least one variable", None),
    "no such time column": (lambda p: frame().to_parquet(p), "no column named 'clock'", "clock"),
    "not parquet": (lambda p: pathlib.Path(p).write_bytes(b"time,a\n0,1\n"), "not a readable parquet file", None),
}


@pytest.mark.parametrize(("write", "words", "time"), BROKEN_COLUMNAR.values(), ids=BROKEN_COLUMNAR.keys())
def test_unusable_columnar_file_is_refused_with_its_column(tmp_path, write, words, time):
    path = str(tmp_path / "run.parquet")
    write(path)
    with pytest.raises(ResultFileError) as info:
        read_result(path, time=time)
    assert str(info.value).startswith(path + ": ") and words in str(info.value)


# Every columnar format a table can be written in, by the tools that write them.
def _ipc_writer(new):
    def write(table, path):
        with new(str(path), table.schema) as sink:
            sink.write_table(table)

    return write


FORMATS = {
    "parquet": ("run.parquet", lambda table, p: pq.write_table(table, p)),
    "feather v1": ("run.feather", _feather_v1),
    "feather": ("run.feather", lambda table, p: feather.write_feather(table, str(p))),
    "arrow file": ("run.arrow", _ipc_writer(pa.ipc.new_file)),
    "arrow stream": ("run.arrow", _ipc_writer(pa.ipc.new_stream)),
}
T6 = np.linspace(0.0, 1.0, 6)


def _written(tmp_path, fmt, table):
    name, write = FORMATS[fmt]
    write(table, tmp_path / name)
    return tmp_path / name


# (pandas metadata, or None to make the second column's name not UTF-8; words)
DAMAGED_NAMES = {
    "pandas metadata not JSON": (b"{not json", "damaged pandas metadata (not JSON)"),
    "pandas metadata a list": (b"[1, 2]", "damaged pandas metadata (not a JSON object)"),
    "index not a list of names": (b'{"index_columns": [1]}', "index_columns is not a list of names"),
    "pandas metadata not UTF-8": (b'{"index_columns": ["\xff"]}', "damaged pandas metadata (not UTF-8 text)"),
    "column name not UTF-8": (None, "name is not UTF-8 text"),
}


@pytest.mark.parametrize("fmt", ["parquet", "feather", "arrow stream"])
@pytest.mark.parametrize(("metadata", "words"), DAMAGED_NAMES.values(), ids=DAMAGED_NAMES.keys())
def test_damaged_pandas_metadata_or_name_is_refused(tmp_path, fmt, metadata, words):
    """The pandas index decides the abscissa: a metadata that cannot be read is refused, unless the time option names it."""
    table = pa.table({"time": T6, "zzzz": -T6})
    path = _written(tmp_path, fmt, table if metadata is None else table.replace_schema_metadata({"pandas": metadata}))
    if metadata is None:
        path.write_bytes(path.read_bytes().replace(b"zzzz", b"\xff\xfe\xfd\xfc"))
    with pytest.raises(ResultFileError) as info:
        read_result(path)
    assert str(info.value).startswith(f"{path}: ") and words in str(info.value)
    if metadata is not None:
        np.testing.assert_array_equal(read_result(path, time="time")["zzzz"], -T6)


def _patched(data, old, new):
    """A Feather version 1 file with every int64 ``old`` of its footer changed to ``new``."""
    (length,) = struct.unpack_from("<I", data, len(data) - 8)
    start = len(data) - 8 - length
    return data[:start] + data[start:-8].replace(struct.pack("<q", old), struct.pack("<q", new)) + data[-8:]


# 1000 rows of time and x: x's values at byte 8008, 8000 bytes each.
V1_DAMAGE = {
    "footer longer than the file": (lambda d: d[:-8] + struct.pack("<I", 2**31 - 1) + d[-4:], "a footer of 2147483647"),
    "values past the end": (lambda d: _patched(d, 8008, 2**40), "column 2 ('x'): damaged feather file: values at"),
    "more rows than values": (lambda d: _patched(d, 1000, 10**6), "the values take 8000000 bytes, the file holds 8000"),
    "fewer bytes than values": (lambda d: _patched(d, 8000, 8), "the values take 8000 bytes, the file holds 8 "),
}


@pytest.mark.parametrize(("damage", "words"), V1_DAMAGE.values(), ids=V1_DAMAGE.keys())
def test_feather_v1_with_a_damaged_footer_is_an_error_not_a_crash(tmp_path, damage, words):
    """One footer field changed: a one-line error and exit 2, never a signal or values from outside the file."""
    t = np.linspace(0.0, 1.0, 1000)
    path = _written(tmp_path, "feather v1", pa.table({"time": t, "x": np.sin(t)}))
    path.write_bytes(damage(path.read_bytes()))
    done = subprocess.run(
        [sys.executable, "-m", "velmora_funnel", "compare", str(path), str(path)],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert done.returncode == 2 and len(done.stderr.splitlines()) == 1, done.stderr
    assert f"{path}: " in done.stderr and words in done.stderr


_REWRITTEN = """
import os, sys
from velmora_funnel import read_result
path = sys.argv[1]
table = read_result(path)
with open(path, "r+b") as handle:  # rewritten in place, as a simulation rewrites its result
    handle.write(bytes(os.path.getsize(path)))
print(table.t.tolist(), table["a"].tolist(), table["b"].tolist())
os.truncate(path, 0)
print(table.t.tolist(), table["a"].tolist(), table["b"].tolist())
"""


@pytest.mark.parametrize("fmt", FORMATS)
def test_table_keeps_its_values_when_the_file_is_rewritten_or_truncated(tmp_path, fmt):
    """A table read is the file as it was: not a view of it that changes, or dies (SIGBUS), with the file."""
    expected = frame()
    path = _written(tmp_path, fmt, pa.Table.from_pandas(expected, preserve_index=False))
    done = subprocess.run(
        [sys.executable, "-c", _REWRITTEN, str(path)], capture_output=True, text=True, timeout=120, check=False
    )
    assert done.returncode == 0, done.stderr
    line = " ".join(str(expected[name].tolist()) for name in ("time", "a", "b"))
    assert done.stdout.splitlines() == [line, line]


def _small_ints(rows):
    return pa.table({"time": np.arange(rows) % 100, "x": np.arange(rows) % 7}).cast(
        pa.schema([("time", pa.int8()), ("x", pa.int8())])
    )


def _claiming(path, size):
    """A zstd feather file of 10000 rows whose compressed buffers say they decompress to ``size`` bytes."""
    feather.write_feather(pa.table({"time": np.arange(10000.0), "x": np.zeros(10000)}), str(path), compression="zstd")
    path.write_bytes(path.read_bytes().replace(struct.pack("<q", 80000), struct.pack("<q", size)))


# (format, writer, words): each file under 1 MiB on disk, read with max_bytes="1M"
OVER_THE_LIMIT = {
    "file larger than the limit": (
        "parquet",
        lambda p: pq.write_table(pa.table({"time": np.random.default_rng(1).random(200_000)}), p),
        "reading the file would take 1.",
    ),
    **{
        f"{fmt}: int8 rows as float64": (
            fmt,
            lambda p, fmt=fmt: FORMATS[fmt][1](_small_ints(100_000), p),
            "100000 rows of 2 columns as float64 would take 1.53 MiB",
        )
        for fmt in ("parquet", "feather v1", "feather", "arrow stream")
    },
    "feather: buffers claiming 1 TiB decompressed": (
        "feather",
        lambda p: _claiming(p, 1 << 40),
        "decompressing its record batches would take 2 TiB",
    ),
}


@pytest.mark.parametrize(("fmt", "write", "words"), OVER_THE_LIMIT.values(), ids=OVER_THE_LIMIT.keys())
def test_file_that_decodes_past_the_limit_is_refused_before_decoding(tmp_path, fmt, write, words):
    path = tmp_path / FORMATS[fmt][0]
    write(path)
    with pytest.raises(ResultFileError) as info:
        read_result(path, max_bytes="1M")
    assert words in str(info.value) and "more than the limit of 1 MiB" in str(info.value)
    assert parse_size(info.value.advice["max_bytes"]) >= 2 << 20  # at least twice, or what the file needs


# (table, c's numbers, or "not compared: why" and the error of asking for c, or the file's error)
AGREEING = {
    "category of numbers": (pd.DataFrame({"time": T6, "c": pd.Categorical([1.5, 2.5] * 3)}), [1.5, 2.5] * 3),
    "booleans (pandas)": (pd.DataFrame({"time": T6, "c": [True, False] * 3}), [1.0, 0.0] * 3),
    "booleans with a null (pyarrow)": (pa.table({"time": T6, "c": [True, None, False] * 2}), [1.0, np.nan, 0.0] * 2),
    "category of text": (
        pd.DataFrame({"time": T6, "c": pd.Categorical(["on", "off"] * 3)}),
        ("not compared: text column", "string (dictionary-encoded), expected numbers"),
    ),
    "text (pyarrow)": (
        pa.table({"time": T6, "c": ["on", "off"] * 3}),
        ("not compared: text column", "string, expected numbers"),
    ),
    "list of numbers (pyarrow)": (
        pa.table({"time": T6, "c": [[1.0, 2.0], []] * 3}),
        ("not compared: several numbers per cell", "double>, expected numbers"),
    ),
    "name given twice": (
        pa.table([T6, T6, T6], names=["time", "c", "c"]),
        "column 3: duplicate column name 'c' (also column 2)",
    ),
    "pandas index of two levels": (
        pd.DataFrame({"time": T6, "a": T6, "c": T6}).set_index(["time", "a"]),
        "the pandas index has 2 levels ('time', 'a'), so no one column is the abscissa",
    ),
}
# Version 1 holds no pandas index and no name twice.
_AGREEING_CASES = [
    pytest.param(fmt, data, words, id=f"{case}, {fmt}")
    for case, (data, words) in AGREEING.items()
    for fmt in FORMATS
    if fmt != "feather v1" or case.startswith(("category", "booleans", "text"))
]


@pytest.mark.parametrize(("fmt", "data", "expected"), _AGREEING_CASES)
def test_columnar_formats_read_and_refuse_alike(tmp_path, fmt, data, expected):
    """The same table gives the same answer in every format: numbers and booleans read, text and lists
    skipped with why (and refused when asked for), a broken layout refused."""
    table = pa.Table.from_pandas(data, preserve_index=None) if isinstance(data, pd.DataFrame) else data
    path = _written(tmp_path, fmt, table)
    if isinstance(expected, list):
        np.testing.assert_array_equal(read_result(path)["c"], expected)
        return
    if isinstance(expected, tuple):
        why, words = expected
        result = read_result(path)
        assert result.names == () and result.skipped == {"c": why.removeprefix("not compared: ")}
        with pytest.raises(ResultFileError) as info:
            result["c"]
    else:
        words = expected
        with pytest.raises(ResultFileError) as info:
            read_result(path)
    assert str(info.value).startswith(f"{path}: ") and words in str(info.value)


def test_date_time_abscissa_of_parquet_is_seconds_since_1970(tmp_path):
    """Zoned time stamps name an instant: 2024-01-01T01:00+01:00 is 1704067200 s."""
    stamps = pd.date_range("2024-01-01T01:00:00", periods=3, freq="250ms", tz="Europe/Berlin")
    pd.DataFrame({"when": stamps, "y": [1.0, 2.0, 3.0]}).to_parquet(tmp_path / "run.parquet")
    np.testing.assert_array_equal(read_result(tmp_path / "run.parquet").t, [1704067200.0, 1704067200.25, 1704067200.5])


# --- compressed CSV ------------------------------------------------------------------


def _zstd(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdCompressor().compress(data)


COMPRESSORS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress, ".zst": _zstd}


@pytest.mark.parametrize("suffix", COMPRESSORS)
def test_compressed_csv_reads_like_plain_and_names_the_bad_cell(tmp_path, suffix):
    """Numbers bit for bit; a bad cell in the compressed file is named by row and column."""
    rng = np.random.default_rng(3)
    values = rng.standard_normal((500, 3))
    text = "time,a,b\n" + "".join(",".join(repr(float(v)) for v in row) + "\n" for row in values)
    path = tmp_path / f"run.csv{suffix}"
    path.write_bytes(COMPRESSORS[suffix](text.encode()))
    table = read_result(path)
    np.testing.assert_array_equal(table["b"], values[:, 2])
    path.write_bytes(COMPRESSORS[suffix]((text + "1,oops,2\n").encode()))
    with pytest.raises(ResultFileError, match=r"row 502, column 2 \('a'\): 'oops' is not a number"):
        read_result(path)


@pytest.mark.parametrize("cut", ["end", "half"])
@pytest.mark.parametrize("suffix", COMPRESSORS)
def test_damaged_compressed_csv_is_refused(tmp_path, suffix, cut):
    """A stream cut short is an error for every compression, never a shorter valid file."""
    path = tmp_path / f"run.csv{suffix}"
    whole = COMPRESSORS[suffix](b"time,a\n" + b"".join(b"%d,%d\n" % (i, i % 7) for i in range(200_000)))
    path.write_bytes(whole[:-40] if cut == "end" else whole[: len(whole) // 2])
    with pytest.raises(ResultFileError, match=f"{path}: damaged"):
        read_result(path)


@pytest.mark.parametrize("suffix", ["", *COMPRESSORS])
def test_file_that_decodes_past_the_limit_is_refused(tmp_path, capsys, suffix):
    """A bomb (a small file decoding to more than max_bytes) stops at the limit with the option that raises
    it, as a keyword for read_result and as a flag on the command line; under the limit it reads."""
    text = b"time,a\n" + b"0.5,1.25\n" * 300_000  # 2.7 MB
    path = tmp_path / f"run.csv{suffix}"
    path.write_bytes(COMPRESSORS[suffix](text) if suffix else text)
    enough = "2M" if suffix else "3M"  # a plain file's size is known: what it needs; a stream: twice the limit
    with pytest.raises(ResultFileError, match=rf"more than the limit of 1 MiB .*: read with max_bytes='{enough}'"):
        read_result(path, max_bytes="1M")
    assert len(read_result(path, max_bytes="4M")) == 300_000
    assert main(["compare", str(path), str(path), "--max-bytes", "1M"]) == 2
    assert f"read with --max-bytes {enough}" in capsys.readouterr().err


@pytest.mark.parametrize("name", ["run.csv", "run.csv.xz", "run.mat", "run.parquet"])
@pytest.mark.parametrize("kind", ["fifo", "device", "socket"])
def test_only_regular_files_are_read(tmp_path, request, kind, name):
    """A FIFO, a device or a socket named like a result file is refused at once by every command,
    never read (a FIFO blocks the reader, /dev/zero never ends)."""
    import socket

    path = tmp_path / "ref" / name
    path.parent.mkdir()
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        path.symlink_to("/dev/zero")
    else:  # bound where its path is short enough for a socket, reached through a link
        listener = socket.socket(socket.AF_UNIX)
        request.addfinalizer(listener.close)
        listener.bind(os.path.join(tempfile.mkdtemp(), "s"))
        path.symlink_to(listener.getsockname())
    for command in (["compare", str(path), str(path)], ["batch", str(path.parent), str(path.parent)]):
        done = subprocess.run(
            [sys.executable, "-m", "velmora_funnel", *command], capture_output=True, text=True, timeout=60
        )
        assert done.returncode == 2 and f"{path}: not a regular file (a " in done.stderr + done.stdout, done


# --- across formats on the command line ------------------------------------------------


def _as_frame(table):
    return pd.DataFrame({table.abscissa_name: table.t, **{name: table[name] for name in table.names}})


SAVERS = {
    "mat": lambda table, path: save_mat(path, mat_matrices(True)),
    "csv": lambda table, path: _as_frame(table).to_csv(path, index=False),
    "csv.gz": lambda table, path: _as_frame(table).to_csv(path, index=False),
    "parquet": lambda table, path: _as_frame(table).to_parquet(path),
}


@pytest.mark.parametrize(("reference", "test"), [("mat", "mat"), ("mat", "csv"), ("csv", "mat"), ("parquet", "csv.gz")])
def test_compare_and_batch_across_formats(tmp_path, capsys, reference, test):
    """Variables pair by exact name across formats; a changed variable fails in any format (exit 1)."""
    table = read_result(save_mat(tmp_path / "source.mat", mat_matrices(True)))
    paths = []
    for side, kind in (("reference", reference), ("test", test)):
        (tmp_path / side).mkdir()
        paths.append(str(tmp_path / side / f"run.{kind}"))
        SAVERS[kind](table, paths[-1])
    assert main(["compare", *paths]) == 0
    assert "PASS: 6 variables, 6 passed" in capsys.readouterr().out
    assert main(["batch", str(tmp_path / "reference"), str(tmp_path / "test"), "--jobs", "1", "--quiet"]) == 0
    assert "PASS: 1 file (0 missing, 0 unusable), 6 variables, 6 passed" in capsys.readouterr().out
    shifted = read_result(paths[1])
    changed = _as_frame(shifted).assign(minus_k=-3.0)
    changed.to_csv(tmp_path / "changed.csv", index=False)
    assert main(["compare", paths[0], str(tmp_path / "changed.csv"), "--column", "minus_k"]) == 1


@pytest.mark.parametrize(
    ("module", "name", "extra"), [("pyarrow", "run.parquet", "parquet"), ("zstandard", "run.csv.zst", "zstd")]
)
def test_missing_optional_package_names_its_extra(tmp_path, monkeypatch, module, name, extra):
    """Without the optional package the file is unusable with a one-line hint, not a traceback."""
    (tmp_path / name).write_bytes(b"x")
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ResultFileError, match=rf"pip install 'velmora-funnel\[{extra}\]'"):
        read_result(tmp_path / name)


def test_optional_package_that_cannot_load_says_so(tmp_path, monkeypatch):
    """An installed package that fails to import (built for another NumPy) is named as such, not as missing."""
    from velmora_funnel.io import table

    def broken(module):
        raise ImportError("pyarrow requires NumPy 2.0 or newer, found 1.26.4")

    (tmp_path / "run.parquet").write_bytes(b"x")
    monkeypatch.setattr(table.importlib, "import_module", broken)
    with pytest.raises(ResultFileError, match=r"installed but cannot be loaded: pyarrow requires NumPy 2\.0"):
        read_result(tmp_path / "run.parquet")
