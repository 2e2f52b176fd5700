"""Bounded fuzzing of the result-file readers in the ordinary test run.

Each format's seed file (written by scipy.io, pyarrow or the compressors)
goes through a few hundred random mutations in a child process with an
address-space limit (fuzz/readers_target.py): a reader must give a table it
can read whole, or a ResultFileError, never another exception, a crash or
more memory than the limit. Longer runs: make fuzz.
"""

from __future__ import annotations

import os
import pathlib
import signal
import subprocess
import sys

import pytest

TARGET = pathlib.Path(__file__).resolve().parents[2] / "fuzz" / "readers_target.py"
FORMATS = ["mat4", "mat5", "mat5z", "parquet", "feather1", "feather2", "arrow", "csv", "csv-fmi", "csv.gz", "csv.zst"]


@pytest.mark.parametrize("fmt", FORMATS)
def test_mutated_files_give_a_table_or_a_result_file_error(tmp_path, fmt):
    command = [sys.executable, str(TARGET), "--formats", fmt, "--cases", "400", "--seconds", "60", "--seed", "7"]
    if os.environ.get("VELMORA_SANITIZED"):
        command += ["--memory", "0"]  # AddressSanitizer reserves more address space than the limit; max_bytes holds
    done = subprocess.run([*command, "--out", str(tmp_path)], capture_output=True, text=True, timeout=300, check=False)
    died = f" (killed by {signal.Signals(-done.returncode).name})" if done.returncode < 0 else ""
    assert done.returncode == 0, f"{fmt}{died}: {sorted(p.name for p in tmp_path.iterdir())}\n{done.stderr[-3000:]}"
