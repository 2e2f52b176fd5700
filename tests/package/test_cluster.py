"""A batch beyond one process pool: on a real Dask scheduler and workers started as processes of their
own on 127.0.0.1, and split into shards merged back. Every output is the local run's."""

import json
import pathlib
import shutil
import socket
import subprocess
import sys

import junitparser
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = pathlib.Path(sys.executable).parent


def _cli(*argv, cwd):
    done = subprocess.run(
        [BIN / "velmora-funnel", *map(str, argv)], capture_output=True, text=True, cwd=cwd, timeout=300, check=False
    )
    return done.returncode, done.stdout


def _outcome(path):
    """The JSON document without the times the comparisons took."""
    document = json.loads(pathlib.Path(path).read_text())
    for file in document["files"]:
        for variable in file["variables"]:
            variable.pop("seconds")
    return document


@pytest.fixture(scope="module")
def library(tmp_path_factory):
    """The model-library example with a file on one side only and one that cannot be read, and the
    local batch's outputs to hold every other run to."""
    root = tmp_path_factory.mktemp("cluster")
    shutil.copytree(ROOT / "examples" / "library", root / "lib")
    (root / "lib" / "reference" / "gone.csv").write_text("time,a\n0,1\n1,1\n")
    for side in ("reference", "runs"):
        (root / "lib" / side / "broken.csv").write_text("time,a\n0,1\n1,x\n")
    code, out = _cli(
        "batch", "lib/reference", "lib/runs", "--jobs", "1", "--json", "local.json", "--junit", "local.xml", cwd=root
    )
    return root, code, out


@pytest.fixture(scope="module")
def scheduler():
    """A scheduler and two workers, each a `dask` process as on a cluster's machines."""
    pytest.importorskip("distributed")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    address = f"tcp://127.0.0.1:{port}"
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    started = [
        subprocess.Popen(
            [BIN / "dask", "scheduler", "--host", "127.0.0.1", "--port", str(port), "--no-dashboard"], **quiet
        )
    ]
    started += [
        subprocess.Popen([BIN / "dask", "worker", address, "--nthreads", "1", "--no-dashboard"], **quiet)
        for _ in range(2)
    ]
    try:
        wait = f"import distributed; c = distributed.Client({address!r}, timeout=60); c.wait_for_workers(2, timeout=60)"
        subprocess.run([sys.executable, "-c", wait], check=True, timeout=120, capture_output=True)
        yield address
    finally:
        for process in reversed(started):
            process.terminate()
        for process in started:
            process.wait(timeout=60)


@pytest.mark.parametrize("where", ["scheduler", "local:2"])
def test_a_batch_on_a_dask_cluster_gives_the_local_outputs(library, scheduler, where):
    """--scheduler runs the pairs on the cluster's workers (they read the files from the shared path);
    exit code, table, JSON and JUnit are those of a local run."""
    root, local_code, local_out = library
    address = scheduler if where == "scheduler" else where
    code, out = _cli(
        "batch", "lib/reference", "lib/runs", "--scheduler", address, "--json", "c.json", "--junit", "c.xml", cwd=root
    )
    assert (code, out) == (local_code, local_out) and code == 2
    assert _outcome(root / "c.json") == _outcome(root / "local.json")
    suites = [junitparser.JUnitXml.fromfile(str(root / name)) for name in ("c.xml", "local.xml")]
    assert [(x.tests, x.failures, x.errors, x.skipped) for x in suites] == [(12, 3, 1, 2)] * 2


def test_shards_merge_into_the_outputs_of_one_run(library):
    """--shard K/N splits the pairs into parts that neither overlap nor leave one out (merge refuses an
    overlap); merge makes of their JSON the whole run's JSON, exit code and summary line."""
    root, local_code, local_out = library
    parts = []
    for k in (1, 2, 3):
        _cli("batch", "lib/reference", "lib/runs", "--shard", f"{k}/3", "--json", f"s{k}.json", cwd=root)
        parts.append({file["file"] for file in json.loads((root / f"s{k}.json").read_text())["files"]})
    assert sum(map(len, parts)) == len(set().union(*parts)) == 4
    code, out = _cli("merge", "s1.json", "s2.json", "s3.json", "--json", "merged.json", cwd=root)
    assert code == local_code and out.splitlines()[-1] == local_out.splitlines()[-1]
    assert _outcome(root / "merged.json") == _outcome(root / "local.json")
    code, _ = _cli("merge", "s1.json", "s2.json", "s1.json", cwd=root)
    assert code == 2
