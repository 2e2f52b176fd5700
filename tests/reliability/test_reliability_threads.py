"""``_velmora_funnel.compare`` called from many threads at once.

The module holds the interpreter lock for a whole call, but a call can still
be interleaved with others: converting an option may run Python code (a
``__float__``), during which the interpreter may switch threads. Whatever the
interleaving, each thread must get exactly the result that the same call
gives when the calls are made one after another.

The input arrays are only borrowed, and the lock does not keep their memory
still: ``np.copyto`` in another thread runs without it, and another process
may write a shared memory map. Such a call may give any result, but it must
never read or write outside a buffer; and a call must fit on the smallest
thread stack Python allows. Both run in a child interpreter, so that a crash
fails the test instead of ending pytest.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _velmora_funnel as vf

THREADS = 8
ROUNDS = 25


class SlowFloat:
    """A tolerance whose conversion runs Python code, inviting a thread switch."""

    def __init__(self, value: float) -> None:
        self.value = value

    def __float__(self) -> float:
        total = 0.0
        for i in range(50):
            total += i
        return self.value + total * 0.0


def make_call(seed: int):
    """One comparison of its own: curves, tolerances and range differ per seed."""
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 400))
    t_ref = np.cumsum(rng.random(n) * rng.choice([0.0, 1.0], n, p=[0.1, 0.9]))
    y_ref = np.sin(t_ref) + rng.normal(0.0, 0.3, n)
    m = int(rng.integers(2, 400))
    t_test = np.sort(rng.uniform(t_ref[0] - 0.1, t_ref[-1] + 0.1, m))
    y_test = np.interp(t_test, t_ref, y_ref) + rng.normal(0.0, 0.05, m)
    options = {
        "tolerances": {"atoly": SlowFloat(float(rng.random() * 0.2)), "rtolx": 0.01, "rtoly": 0.01},
        "x_range": {"lo": float(t_ref[0] + rng.random()), "hi": None},
    }
    return (t_ref, y_ref, t_test, y_test), options


def frozen(result: dict):
    """The result as plain bytes, so results compare bit for bit."""
    return (result["status"],) + tuple(result[k][i].tobytes() for k in ("lower", "upper", "errors") for i in (0, 1))


@pytest.fixture
def frequent_switches():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_concurrent_calls_match_serial_calls(frequent_switches):
    """Eight threads comparing different curves at once get the serial results, bit for bit."""
    calls = [make_call(seed) for seed in range(THREADS * 4)]
    expected = [frozen(vf.compare(*arrays, options=options)) for arrays, options in calls]
    assert len({e[0] for e in expected}) > 1, "the calls should not all end alike"

    barrier = threading.Barrier(THREADS)
    mismatches: list = []
    errors: list = []

    def worker(index: int) -> None:
        try:
            barrier.wait()
            for round_ in range(ROUNDS):
                k = (index + round_ * THREADS) % len(calls)
                arrays, options = calls[k]
                if frozen(vf.compare(*arrays, options=options)) != expected[k]:
                    mismatches.append((index, k))
        except BaseException as error:  # reported below, in the main thread
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    assert not mismatches


def test_concurrent_calls_share_inputs_without_changing_them(frequent_switches):
    """Threads comparing the very same arrays at once neither change them nor see each other's results."""
    (t_ref, y_ref, t_test, y_test), options = make_call(12345)
    inputs = [a.copy() for a in (t_ref, y_ref, t_test, y_test)]
    expected = frozen(vf.compare(t_ref, y_ref, t_test, y_test, options=options))
    assert expected[0] in (vf.STATUS_FAIL, vf.STATUS_PASS, vf.STATUS_MISSING_REFERENCE, vf.STATUS_MISSING_TEST)
    results: list = []
    lock = threading.Lock()

    def worker() -> None:
        mine = [vf.compare(t_ref, y_ref, t_test, y_test, options=options) for _ in range(ROUNDS)]
        with lock:
            results.extend(mine)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == THREADS * ROUNDS
    assert all(frozen(r) == expected for r in results)
    # Every result owns its arrays: no two results share storage.
    owners = {id(r["errors"][1].base) for r in results}
    assert len(owners) == len(results)
    for original, now in zip(inputs, (t_ref, y_ref, t_test, y_test)):
        assert original.tobytes() == now.tobytes()


# Another thread (np.copyto runs without the interpreter lock) or another
# process (through a shared memory map) rewrites the inputs during the calls:
# infinities appear in the middle of the validated test abscissae, the
# reference, whose last abscissa is 0.0, moves left of zero, ordinates turn
# NaN.
WRITTEN_INPUTS = textwrap.dedent(
    """
    import os, subprocess, sys, threading, time
    import numpy as np
    import _velmora_funnel as vf

    m, n = 50_000, 5_000
    t_ref, t_test = np.linspace(-1.0, 0.0, n), np.linspace(-1.0, 0.0, m)
    y_ref, y_test = np.sin(5.0 * t_ref), np.sin(5.0 * t_test)
    holed = t_test.copy()
    holed[m // 2 : m // 2 + m // 10] = np.inf
    if sys.argv[1] == "thread":
        whole = t_test.copy()
        others = [(a, a.copy(), b) for a, b in ((t_ref, t_ref - 1.0), (y_ref, y_ref * np.nan), (y_test, -y_test))]
        done = threading.Event()
        def write():
            while not done.is_set():
                for a, before, after in others:
                    for test, other in ((holed, after), (whole, before)):
                        np.copyto(t_test, test)
                        np.copyto(a, other)
        writer = threading.Thread(target=write, daemon=True)
        writer.start()
        stop = lambda: (done.set(), writer.join())
    elif sys.argv[1] == "process":
        path = sys.argv[0] + ".t_test"
        t_test.tofile(path)
        writer = subprocess.Popen([sys.executable, sys.argv[0], "writer", path], stdout=subprocess.PIPE)
        writer.stdout.readline()
        t_test = np.memmap(path, np.float64, "r")
        stop = lambda: (writer.kill(), writer.wait())
    else:  # the writing process, until its parent is gone
        shared, parent = np.memmap(sys.argv[2], np.float64, "r+"), os.getppid()
        print(flush=True)
        while os.getppid() == parent:
            shared[:] = holed
            shared[:] = t_test
        sys.exit()

    ran, deadline = 0, time.monotonic() + 3.0
    while time.monotonic() < deadline:
        r = vf.compare(t_ref, y_ref, t_test, y_test)
        if r["status"] != vf.STATUS_NON_MONOTONIC:
            ran += 1
            assert len(r["errors"][1]) == m and len(r["lower"][1]) > 0 and len(r["upper"][1]) > 0
    stop()
    print(ran)
    """
)


@pytest.mark.parametrize("writer", ["thread", "process"])
def test_inputs_written_during_the_call_never_crash(writer, tmp_path):
    """Arrays rewritten by another thread, or a memory map by another process, during the calls: no crash."""
    script = tmp_path / "written_inputs.py"
    script.write_text(WRITTEN_INPUTS)
    done = subprocess.run([sys.executable, str(script), writer], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-4000:]
    assert int(done.stdout) > 0, "no call got past validation, so no funnel was built on changing data"


def test_compare_runs_on_the_smallest_thread_stack():
    """A thread of 32 KiB of stack, the smallest Python allows, can compare curves."""
    script = textwrap.dedent(
        """
        import threading
        import numpy as np
        import _velmora_funnel as vf
        x, y = np.array([0.0, 1.0, 2.0]), np.array([0.0, 1.0, 0.0])
        threading.stack_size(32768)
        got = []
        thread = threading.Thread(target=lambda: got.append(vf.compare(x, y, x, y + 0.5)["status"]))
        thread.start()
        thread.join()
        assert got == [vf.STATUS_FAIL], got
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-4000:]
