"""The C ABI of the installed shared library, called through ctypes: the module's statuses,
messages, defaults and version, and a status instead of a crash for each misuse the header allows.
Under ``make test-sanitize`` this process loads the sanitized library."""

import ctypes
import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import DOUBLES, FIELDS, SANITIZED, Options, load_library, pointer
from samples import T_REF, T_TEST, Y_REF, Y_TEST

import _velmora_funnel as vf
from bitwise import assert_same_curve, assert_same_floats

VF_STATUS_NO_MEMORY = 20
EMPTY = np.array([])


@pytest.fixture(scope="module")
def lib(libdir):
    return load_library(libdir / "libvelmora_funnel.so")


def compare(lib, arrays, n_ref, n_test, options=None):
    """vf_compare, then the result's three curves, read and released."""
    result = ctypes.c_void_p(1)  # vf_compare must set it
    args = [*map(pointer, arrays[:2]), n_ref, *map(pointer, arrays[2:]), n_test]
    status = lib.vf_compare(*args, options and ctypes.byref(options), ctypes.byref(result))
    assert result.value is not None
    curves = {}
    for which, name in enumerate(("lower", "upper", "errors")):
        t, y = DOUBLES(), DOUBLES()
        n = lib.vf_result_curve(result, which, ctypes.byref(t), ctypes.byref(y))
        assert bool(t) == bool(y) == (n > 0), "an empty curve has null pointers, a filled one storage"
        curves[name] = (t[:n], y[:n]) if n else ([], [])
    lib.vf_result_free(result)
    assert status == lib.vf_compare(*args, options and ctypes.byref(options), None), "status alone"
    return status, curves


def test_statuses_messages_version_and_defaults_are_the_modules(lib):
    for code in (getattr(vf, name) for name in vf.__all__ if name.startswith("STATUS_")):
        assert lib.vf_status_message(code).decode() == vf.status_message_py(code)
    assert lib.vf_status_message(VF_STATUS_NO_MEMORY) == b"no memory: the result could not be allocated"
    assert [lib.vf_status_message(code) for code in (3, 9, 15, 21, -2, 2**31 - 1, -(2**31))] == [None] * 7
    assert lib.vf_version().decode() == vf.version()
    defaults = vf.default_options()
    expected = [*defaults["tolerances"].values(), *defaults["x_range"].values()]
    assert_same_floats(expected, [getattr(lib.vf_default_options(), k) for k in FIELDS], "vf_default_options")


@pytest.mark.parametrize("given", [None, (0.01, -0.5, 0.02, 0.03, 0.0, 0.004, 0.5, 3.5)], ids=["null", "given"])
def test_options_are_the_modules(lib, given):
    """Null options are the module's defaults; given ones reach the comparison field by field."""
    spike = np.where(T_TEST == 1.0, 1.1, Y_TEST)
    options = given and {"tolerances": dict(zip(FIELDS[:6], given[:6])), "x_range": {"lo": given[6], "hi": given[7]}}
    expected = vf.compare(T_REF, Y_REF, T_TEST, spike, options)
    status, curves = compare(lib, [T_REF, Y_REF, T_TEST, spike], 5, 9, given and Options(*given))
    assert status == expected["status"]
    for name, curve in curves.items():
        assert_same_curve(expected[name], curve, name)


@pytest.mark.parametrize(
    "nulls, n_ref, n_test",
    [((0,), 5, 9), ((3,), 5, 9), ((0, 1), 5, 9), ((2, 3), 5, 0), ((0, 1, 2, 3), 2**64 - 1, 2**63), ((), 0, 0)],
    ids=["t-ref", "y-test", "reference", "test-length-0", "all-any-length", "lengths-0"],
)
def test_null_arrays_and_lengths_of_0_are_rejected_as_empty_arrays(lib, nulls, n_ref, n_test):
    """A null array holds no points whatever its length: the module's status for an empty array in its
    place, with three empty curves."""
    arrays = [None if i in nulls else a for i, a in enumerate((T_REF, Y_REF, T_TEST, Y_TEST))]
    status, curves = compare(lib, arrays, n_ref, n_test)
    seen = [EMPTY if a is None else a[: (n_ref, n_ref, n_test, n_test)[i]] for i, a in enumerate(arrays)]
    assert status == vf.compare(*seen)["status"] in (vf.STATUS_LENGTH_MISMATCH, vf.STATUS_INSUFFICIENT_DATA)
    assert curves == {name: ([], []) for name in ("lower", "upper", "errors")}


def test_unknown_curves_and_null_results_have_no_points(lib):
    result = ctypes.c_void_p()
    assert (
        lib.vf_compare(
            pointer(T_REF), pointer(Y_REF), 5, pointer(T_TEST), pointer(Y_TEST), 9, None, ctypes.byref(result)
        )
        == 0
    )
    t = DOUBLES(ctypes.c_double(1.0))
    for which, given in [(-1, result), (3, result), (-(2**31), result), (2, None)]:
        assert lib.vf_result_curve(given, which, ctypes.byref(t), None) == 0
        assert not t
    assert lib.vf_result_curve(result, 2, None, None) == 9
    lib.vf_result_free(result)
    lib.vf_result_free(None)


MEMORY = textwrap.dedent(
    """
    import ctypes, json, resource, sys
    import numpy as np
    sys.path.insert(0, sys.argv[2])
    from conftest import load_library, pointer

    lib = load_library(sys.argv[1])
    t = np.linspace(0.0, 10.0, 1_000_000)
    y = np.sin(t * 7.0)
    args = (pointer(t), pointer(y), t.size, pointer(t), pointer(y + 1e-4), t.size, None)
    expected = lib.vf_compare(*args, None)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    for headroom_mb in (0, 1, 4, 8, 16, 32, 64, 128, 192):
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        result = ctypes.c_void_p(1)
        resource.setrlimit(resource.RLIMIT_AS, (vm + headroom_mb * 2**20, hard))
        try:
            outcomes.append((lib.vf_compare(*args, ctypes.byref(result)), result.value is not None))
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        lib.vf_result_free(result)
    print(json.dumps({"expected": expected, "outcomes": outcomes, "after": lib.vf_compare(*args, None)}))
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
@pytest.mark.skipif(SANITIZED, reason="no RLIMIT_AS under AddressSanitizer")
def test_exhausted_memory_is_a_status_with_a_null_result(libdir):
    """Wherever an allocation fails, vf_compare returns VF_STATUS_NO_MEMORY and a null result, and
    nothing is thrown through the C ABI; with memory back, the same call passes again."""
    script = [sys.executable, "-c", MEMORY, libdir / "libvelmora_funnel.so", __file__.rsplit("/", 1)[0]]
    completed = subprocess.run([str(a) for a in script], capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr[-3000:]
    report = json.loads(completed.stdout)
    assert report["outcomes"][0] == [VF_STATUS_NO_MEMORY, False]
    assert {tuple(o) for o in report["outcomes"]} <= {(VF_STATUS_NO_MEMORY, False), (vf.STATUS_PASS, True)}
    assert report["expected"] == report["after"] == vf.STATUS_PASS
