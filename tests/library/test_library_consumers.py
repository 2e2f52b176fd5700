"""The installed library as its users meet it: the files of the prefix, the symbols the shared
library exports, and the example programs (C++ through find_package, C through pkg-config),
whose every double must be the module's."""

from __future__ import annotations

import math
import pathlib
import re
import subprocess

import numpy as np
import pytest
from conftest import ROOT, SANITIZED, program_env, run
from samples import T_REF, T_TEST, Y_REF, Y_TEST

import _velmora_funnel as vf
from bitwise import assert_same_curve

NAN, INF = math.nan, math.inf
DEFAULTS = (0.0, 0.0, 0.0, 0.0, 0.002, 0.002, -INF, INF)
CURVES = ("lower", "upper", "errors")


def case(t_ref, y_ref, t_test, y_test, options=DEFAULTS):
    return tuple(np.array(v, dtype=np.float64) for v in (t_ref, y_ref, t_test, y_test)), tuple(options)


def with_options(**changed):
    names = ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly", "lo", "hi")
    return tuple(changed.get(name, value) for name, value in zip(names, DEFAULTS))


RNG = np.random.default_rng(20240611)
T_NOISY = np.linspace(0.0, 10.0, 400)
Y_NOISY = np.sin(T_NOISY) + 0.05 * RNG.standard_normal(T_NOISY.size)
SPIKE = Y_TEST.copy()
SPIKE[2] = 1.1

CASES = {
    "pass": case(T_REF, Y_REF, T_TEST, Y_TEST),
    "fail": case(T_REF, Y_REF, T_TEST, SPIKE),
    "missing-reference": case(T_REF, Y_REF, [*T_TEST[:-1], 4.5], Y_TEST),
    "missing-test": case(T_REF, Y_REF, T_TEST[1:], Y_TEST[1:]),
    "noisy-loops-local-tolerances": case(
        T_NOISY, Y_NOISY, T_NOISY[::3], np.sin(T_NOISY[::3]), with_options(atolx=0.01, ltoly=0.03, rtoly=0.0)
    ),
    "range-and-negative-tolerance": case(T_NOISY, Y_NOISY, T_NOISY, Y_NOISY + 0.01, with_options(lo=2.5, hi=7.25)),
    "huge-abscissae-scaled": case(np.array([0.0, 1.0, 2.0]) * 1e300, [0.0, 1.0, 0.0], [0.0, 1e300, 2e300], [0, 1, 0]),
    "tiny-abscissae-unscaled": case([0.0, 1e-6, 2e-6], [0.0, -0.0, 5e-324], [0.0, 2e-6], [0.0, 1e-9]),
    "nan-test-ordinate": case(T_REF, Y_REF, T_TEST, [NAN, *Y_TEST[1:]]),
    "infinite-reference-ordinate": case(T_REF, [0.0, 1.0, INF, 1.0, 0.0], T_TEST, Y_TEST),
    "nan-tolerances": case(T_REF, Y_REF, T_TEST, SPIKE, with_options(rtoly=NAN, atolx=NAN)),
    "infinite-tolerance": case(T_REF, Y_REF, T_TEST, SPIKE * 100, with_options(atoly=INF)),
    "non-monotonic": case([0.0, 2.0, 1.0], [0, 0, 0], T_TEST, Y_TEST),
    "nan-abscissa": case(T_REF, Y_REF, [0.0, NAN, 4.0], [0, 0, 0]),
    "infinite-abscissa": case([0.0, 1.0, INF], [0, 0, 0], T_TEST, Y_TEST),
    "empty-range": case(T_REF, Y_REF, T_TEST, Y_TEST, with_options(lo=3.0, hi=1.0)),
    "nan-range-end": case(T_REF, Y_REF, T_TEST, Y_TEST, with_options(lo=NAN)),
    "one-reference-point": case([1.0], [1.0], T_TEST, Y_TEST),
    "no-test-points": case(T_REF, Y_REF, [], []),
}


def module_result(arrays, options):
    keys = ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly")
    return vf.compare(
        *arrays, {"tolerances": dict(zip(keys, options[:6])), "x_range": {"lo": options[6], "hi": options[7]}}
    )


def program_input(arrays, options):
    """The programs' input: the eight options, then each curve as its count and its pairs, every
    double written exactly (repr round-trips, and strtod reads nan and inf)."""
    t_ref, y_ref, t_test, y_test = arrays
    lines = [" ".join(map(repr, map(float, options)))]
    for t, y in ((t_ref, y_ref), (t_test, y_test)):
        lines.append(str(t.size))
        lines += [f"{float(a)!r} {float(b)!r}" for a, b in zip(t, y)]
    return "\n".join(lines) + "\n"


def parse_output(text):
    lines = iter(text.splitlines())
    _, status, message = next(lines).split(" ", 2)
    result = {"status": int(status), "message": message}
    for name in CURVES:
        label, count = next(lines).split()
        assert label == name
        points = [tuple(float(v) for v in next(lines).split()) for _ in range(int(count))]
        result[name] = ([p[0] for p in points], [p[1] for p in points])
    assert next(lines, None) is None
    return result


@pytest.mark.parametrize("name", CASES)
@pytest.mark.parametrize("program", ["c++-find-package", "c-pkg-config", "c-pkg-config-static"])
def test_programs_give_the_modules_doubles(programs, program, name):
    """Each example program, built against the installed library, reports the module's status and
    message and every double of the module's three curves, rejected inputs and NaN/inf included."""
    arrays, options = CASES[name]
    expected = module_result(arrays, options)
    completed = subprocess.run(
        [str(programs[program])],
        input=program_input(arrays, options),
        capture_output=True,
        text=True,
        timeout=120,
        env=program_env(),
    )
    assert completed.returncode == (0 if expected["status"] == vf.STATUS_PASS else 1), completed.stderr[-4000:]
    actual = parse_output(completed.stdout)
    assert (actual["status"], actual["message"]) == (expected["status"], vf.status_message_py(expected["status"]))
    for curve in CURVES:
        assert_same_curve(expected[curve], actual[curve], f"{program} {name} {curve}")


def test_cases_reach_every_status_a_program_can_get():
    """The cases cover each status the curves of a program's input can produce."""
    statuses = {module_result(*c)["status"] for c in CASES.values()}
    assert statuses == {-1, 0, 1, 2, 10, 12, 14}


@pytest.mark.parametrize("program", ["c++-find-package", "c-pkg-config"])
def test_programs_refuse_unreadable_input(programs, program):
    """Input that is not numbers ends a program with exit status 2, before any comparison."""
    completed = subprocess.run(
        [str(programs[program])], input="0 0 x\n", capture_output=True, text=True, timeout=60, env=program_env()
    )
    assert completed.returncode == 2
    assert completed.stdout == ""


# --- the installed files -------------------------------------------------------------------------


def test_installed_files(prefix, libdir):
    """The prefix holds the headers, both libraries with the soname links, the CMake package and the
    pkg-config file, and nothing of the core's internals or of Python."""
    files = sorted(str(p.relative_to(prefix)) for p in prefix.rglob("*") if not p.is_dir())
    lib = libdir.relative_to(prefix)
    targets = [f"{lib}/cmake/VelmoraFunnel/VelmoraFunnelTargets-{'relwithdebinfo' if SANITIZED else 'release'}.cmake"]
    assert files == sorted(
        [
            "include/velmora_funnel.h",
            "include/velmora_funnel/compare.hpp",
            "include/velmora_funnel/export.hpp",
            "include/velmora_funnel/records.hpp",
            f"{lib}/cmake/VelmoraFunnel/VelmoraFunnelConfig.cmake",
            f"{lib}/cmake/VelmoraFunnel/VelmoraFunnelConfigVersion.cmake",
            f"{lib}/cmake/VelmoraFunnel/VelmoraFunnelTargets.cmake",
            *targets,
            f"{lib}/libvelmora_funnel.a",
            f"{lib}/libvelmora_funnel.so",
            f"{lib}/libvelmora_funnel.so.1",
            f"{lib}/libvelmora_funnel.so.1.0.0",
            f"{lib}/pkgconfig/velmora-funnel.pc",
        ]
    )
    assert (libdir / "libvelmora_funnel.so").readlink().name == "libvelmora_funnel.so.1"


def test_public_headers_include_only_each_other_and_the_standard_library(prefix):
    """An installed header includes nothing of core/, which is not installed."""
    for header in (prefix / "include").rglob("*.h*"):
        for included in re.findall(r'#include [<"]([^>"]+)[>"]', header.read_text()):
            assert included.startswith("velmora_funnel/") or re.fullmatch(r"[a-z_]+(\.h)?", included), (
                f"{header.name} includes {included}"
            )


def test_shared_library_has_a_soname(libdir):
    """The shared library names its major version in its soname and needs only the C and C++
    runtimes."""
    dynamic = run(["readelf", "-d", libdir / "libvelmora_funnel.so"])
    assert "Library soname: [libvelmora_funnel.so.1]" in dynamic
    needed = set(re.findall(r"Shared library: \[([^]]+)\]", dynamic))
    runtime = {"libstdc++.so.6", "libgcc_s.so.1", "libc.so.6", "libm.so.6"}
    assert needed - runtime <= ({n for n in needed if "san.so" in n} if SANITIZED else set())


def test_shared_library_exports_the_api_and_nothing_else(libdir):
    """The dynamic symbol table defines the eight functions of the C ABI and the three of the C++
    API: no internal helper of the core and no instantiation of the standard library."""
    listed = run(["nm", "-D", "--defined-only", "-C", libdir / "libvelmora_funnel.so"])
    symbols = {line.split(" ", 2)[2] for line in listed.splitlines() if line.strip()}
    assert {re.sub(r"\(.*", "", s) for s in symbols} == {
        "vf_compare",
        "vf_default_options",
        "vf_result_curve",
        "vf_result_free",
        "vf_status_message",
        "vf_version",
        "velmora::compare",
        "velmora::status_message",
        "velmora::version",
    }
    assert len(symbols) == 9


def test_pkg_config_file(pkg_config):
    """pkg-config gives the installed include directory and library, the version in SemVer's
    spelling, and the C++ runtime for static links."""
    assert pkg_config("--modversion") == [vf.version()]
    (include,) = pkg_config("--cflags")
    assert (pathlib.Path(include.removeprefix("-I")) / "velmora_funnel.h").is_file()
    assert "-lvelmora_funnel" in pkg_config("--libs")
    assert "-lstdc++" in pkg_config("--static", "--libs")


# --- the README ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "path", ["examples/c/compare_curves.c", "examples/cpp/compare_curves.cpp", "examples/cpp/CMakeLists.txt"]
)
def test_readme_shows_the_example_programs_as_they_are(path):
    """The README's examples for C and C++ users are the programs these tests build, word for word."""
    readme = (ROOT / "README.md").read_text()
    blocks = re.findall(r"```(?:c|cpp|cmake)\n(.*?)```", readme, flags=re.S)
    assert (ROOT / path).read_text() in blocks
