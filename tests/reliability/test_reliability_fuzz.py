"""Replays of the fuzz targets' inputs in the ordinary test run.

The committed seed corpus of the ``compare`` fuzz target and every input that
once made a target fail (``fuzz/crashes/``) go through the same checks as
under the fuzzer (``fuzz/compare_target.py``): no exception but the documented
ones, a result of the documented form, unchanged inputs, repeatable results.
Under ``make test-sanitize`` this runs them against the sanitized module too.
"""

from __future__ import annotations

import pathlib
import sys

import pytest

FUZZ = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
sys.path.insert(0, str(FUZZ))
import compare_target  # noqa: E402

sys.path.remove(str(FUZZ))


def inputs(*folders: str):
    # Dot files (.gitkeep) only keep an empty folder in the repository.
    files = sorted(
        p for folder in folders for p in (FUZZ / folder).glob("*") if p.is_file() and not p.name.startswith(".")
    )
    return [pytest.param(p, id=f"{p.parent.name}/{p.name[:24]}") for p in files]


CORPUS = inputs("corpus/compare")
CRASHES = inputs("crashes/compare")


def test_the_seed_corpus_is_committed():
    """The fuzz target starts from a seed corpus that is part of the project."""
    assert len(CORPUS) >= 8


@pytest.mark.parametrize("path", CORPUS + CRASHES)
def test_fuzz_input_replays_cleanly(path):
    """The input passes every check of the compare fuzz target."""
    compare_target.fuzz_one(path.read_bytes())


@pytest.mark.parametrize(
    "data", [b"", b"\x00", b"\xff" * 64, bytes(range(256)) * 4], ids=["empty", "zero", "ones", "ramp"]
)
def test_degenerate_fuzz_inputs(data):
    """Inputs that run out early or hold only extreme bytes decode and pass the checks."""
    compare_target.fuzz_one(data)
