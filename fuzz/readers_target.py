"""Bounded mutation fuzzing of the result-file readers (MAT, Parquet, Feather, Arrow, CSV).

Seed files are written by the real tools (scipy.io for MAT, pyarrow for the
columnar formats, the standard library's compressors for CSV); each case is
a seed with random bytes flipped, overwritten by extreme integers, cut,
duplicated or spliced. A case passes when read_result either gives a table
whose every variable can be read, or raises ResultFileError; anything else
is a finding: another exception, a crash of the process (a signal), or more
memory than the limit this process sets itself (RLIMIT_AS).

    python fuzz/readers_target.py [--seconds S] [--cases N] [--formats mat4,mat5,...] [--seed K]

Each case is written to OUT/current-<format><suffix> before it is read, so a case
that kills the process is left there for replay (the caller sees the
signal); a case that raises is copied to OUT/finding-*<suffix>. Exit 1 on a
finding, 0 otherwise.
"""

from __future__ import annotations

import argparse
import io
import os
import random
import resource
import struct
import sys
import time
import traceback
import warnings
from collections.abc import Callable

import numpy as np

OUT = os.path.join("build", "fuzz", "readers")


def _mat(version: str) -> bytes:
    import scipy.io

    # A result file the reader takes whole (binTrans: every matrix but Aclass
    # transposed, one column per variable), so that mutations reach the
    # reading of values, not only the refusals of a file out of layout.
    names = ["time", "x", "y", "k"]
    # Dymola's descriptions: a trailing [unit], [unit|display unit], a type annotation
    descriptions = ["Time in [s]", "Position [m]", "Speed [m/s|km/h]", "on [:#(type=Boolean)]"]

    def by_column(rows: list[str]) -> np.ndarray:
        width = max(len(row) for row in rows)
        padded = [row.ljust(width) for row in rows]
        return np.array(["".join(row[j] for row in padded) for j in range(width)])

    t = np.linspace(0.0, 1.0, 6)
    matrices = {
        "Aclass": np.array(["Atrajectory", "1.1        ", "           ", "binTrans   "]),
        "name": by_column(names),
        "description": by_column(descriptions),
        "dataInfo": np.array([[0, 1, 0, -1], [2, 2, 0, -1], [2, -2, 0, -1], [1, 2, 0, -1]], dtype=float).T,
        "data_1": np.array([[0.0, 1.0], [2.5, 2.5]]),
        "data_2": np.vstack([t, np.sin(t)]),
    }
    buffer = io.BytesIO()
    scipy.io.savemat(buffer, matrices, format="4" if version == "4" else "5", do_compression=version == "5z")
    return buffer.getvalue()


def _columnar(kind: str) -> bytes:
    import pandas as pd
    import pyarrow as pa
    import pyarrow.feather as feather
    import pyarrow.parquet as pq

    t = np.linspace(0.0, 1.0, 8)
    # a NaN (a null and its bitmap), a category of numbers (dictionary-encoded), booleans with a
    # null and a category of text (skipped) besides plain columns
    x = np.where(t == t[3], np.nan, np.sin(t))
    level = pd.Categorical([0.5, 1.5, 0.5, 2.5] * 2)
    on = [True, False, None, True] * 2
    mode = pd.Categorical(["off", "on"] * 4)
    frame = pd.DataFrame(
        {"x": x, "n": np.arange(8), "level": level, "on": on, "mode": mode}, index=pd.Index(t, name="time")
    )
    table = pa.Table.from_pandas(frame)
    sink = io.BytesIO()
    if kind == "parquet":
        pq.write_table(table, sink)
    elif kind == "feather1":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # version 1 is still what older tools write
            feather.write_feather(frame.reset_index(), sink, version=1)
    elif kind == "feather2":
        feather.write_feather(table, sink)
    else:
        with pa.ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table)
    return sink.getvalue()


def _csv(compression: str) -> bytes:
    import bz2
    import gzip
    import lzma

    text = "time,x,y\n" + "".join(f"{i / 10!r},{i * 0.5!r},{-i!r}\n" for i in range(40))
    if compression == "fmi":
        # FMI outputs: quoted header, CRLF, a trailing delimiter, booleans, a string and an array
        text = '"time","n","on","label","v",\r\n' + "".join(
            f'{i / 10!r},{i},{"true" if i % 3 else "FALSE"},"s{i}","{i} {i + 1}",\r\n' for i in range(40)
        )
    data = text.encode()
    if compression == "gz":
        return gzip.compress(data)
    if compression == "bz2":
        return bz2.compress(data)
    if compression == "xz":
        return lzma.compress(data)
    if compression == "zst":
        import zstandard

        return zstandard.ZstdCompressor().compress(data)
    return data


#: format name -> (file suffix, seed maker)
SEEDS: dict[str, tuple[str, Callable[[], bytes]]] = {
    "mat4": (".mat", lambda: _mat("4")),
    "mat5": (".mat", lambda: _mat("5")),
    "mat5z": (".mat", lambda: _mat("5z")),
    "parquet": (".parquet", lambda: _columnar("parquet")),
    "feather1": (".feather", lambda: _columnar("feather1")),
    "feather2": (".feather", lambda: _columnar("feather2")),
    "arrow": (".arrow", lambda: _columnar("arrow")),
    "csv": (".csv", lambda: _csv("")),
    "csv-fmi": (".csv", lambda: _csv("fmi")),
    "csv.gz": (".csv.gz", lambda: _csv("gz")),
    "csv.zst": (".csv.zst", lambda: _csv("zst")),
}

_EXTREMES = [0, 1, -1, 2**31 - 1, -(2**31), 2**32 - 1, 2**63 - 1, 255, 0x7F, 0x80, 1000, 5]


def mutate(data: bytes, rng: random.Random, pool: list[bytes]) -> bytes:
    """One to four random edits of the seed's bytes."""
    out = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        if not out:
            out += bytes([rng.randrange(256)])
        where = rng.randrange(len(out))
        edit = rng.randrange(7)
        if edit == 0:
            out[where] ^= 1 << rng.randrange(8)
        elif edit == 1:
            out[where] = rng.randrange(256)
        elif edit == 2:
            value = rng.choice(_EXTREMES)
            packed = struct.pack("<q" if value > 2**31 or value < -(2**31) else "<i", value)
            out[where : where + len(packed)] = packed
        elif edit == 3:
            value = rng.choice([1e300, -1e300, float("nan"), float("inf"), 2.0**63, -(2.0**63), 1e10])
            out[where : where + 8] = struct.pack("<d", value)
        elif edit == 4:
            del out[where:]
        elif edit == 5:
            span = rng.randint(1, 64)
            out[where:where] = out[where : where + span]
        else:
            other = rng.choice(pool)
            start = rng.randrange(len(other)) if other else 0
            out[where : where + 32] = other[start : start + 32]
    return bytes(out)


def check(path: str) -> None:
    """Read the file and every variable; only ResultFileError may come out."""
    from velmora_funnel import ReadOptions, ResultFileError, read_result

    try:
        table = read_result(path, ReadOptions(max_bytes=64 << 20))
        for name in table.names:
            column = table[name]
            if len(column) != len(table.t):
                raise AssertionError(f"variable {name!r} has {len(column)} values for {len(table.t)} abscissae")
        for name in table.skipped:
            if name in table or table.refusal(name) is None:
                raise AssertionError(f"column {name!r} is skipped, yet read or without its reason")
    except ResultFileError:
        pass


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--cases", type=int, default=None, help="stop after this many cases")
    parser.add_argument("--formats", default=",".join(SEEDS))
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument(
        "--memory", type=int, default=4 << 30, help="address-space limit of this process, bytes (0: none)"
    )
    parser.add_argument("--out", default=OUT)
    args = parser.parse_args()
    formats = [f for f in args.formats.split(",") if f]
    if args.memory:  # 0: no limit (AddressSanitizer reserves more address space than any limit)
        resource.setrlimit(resource.RLIMIT_AS, (args.memory, args.memory))
    os.makedirs(args.out, exist_ok=True)
    seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(4), "little")
    rng = random.Random(seed)
    seeds = {name: (SEEDS[name][0], SEEDS[name][1]()) for name in formats}
    pool = [data for _, data in seeds.values()]
    deadline, cases = time.monotonic() + args.seconds, 0
    while time.monotonic() < deadline and (args.cases is None or cases < args.cases):
        name = formats[cases % len(formats)]
        suffix, data = seeds[name]
        case = mutate(data, rng, pool)
        current = os.path.join(args.out, f"current-{name}{suffix}")
        with open(current, "wb") as handle:
            handle.write(case)
        try:
            check(current)
        except Exception:
            finding = os.path.join(args.out, f"finding-{name}-{seed}-{cases}{suffix}")
            os.replace(current, finding)
            print(f"readers: finding in {name} (seed {seed}, case {cases}): {finding}", file=sys.stderr)
            traceback.print_exc()
            return 1
        cases += 1
    for name, (suffix, _) in seeds.items():
        current = os.path.join(args.out, f"current-{name}{suffix}")
        if os.path.exists(current):
            os.unlink(current)
    print(f"readers: {cases} cases of {', '.join(formats)} in {args.seconds:g} s (seed {seed}), no finding")
    return 0


if __name__ == "__main__":
    sys.exit(main())
