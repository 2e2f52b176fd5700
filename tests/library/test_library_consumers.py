"""The installed library as its users meet it: the files of the prefix, what the shared library
exports, and the example programs, whose every double must be the module's."""

import math
import re
import subprocess

import numpy as np
import pytest
from conftest import FIELDS, ROOT, SANITIZED, program_env, run
from samples import T_REF, T_TEST, Y_REF, Y_TEST

import _velmora_funnel as vf
from bitwise import assert_same_curve

NAN, INF = math.nan, math.inf
DEFAULTS = dict(zip(FIELDS, (0.0, 0.0, 0.0, 0.0, 0.002, 0.002, -INF, INF)))
CURVES = ("lower", "upper", "errors")
T_NOISY = np.linspace(0.0, 10.0, 400)
Y_NOISY = np.sin(T_NOISY) + 0.05 * np.random.default_rng(7).standard_normal(400)
SPIKE = np.where(T_TEST == 1.0, 1.1, Y_TEST)


def case(t_ref, y_ref, t_test, y_test, **options):
    return [np.array(v, dtype=np.float64) for v in (t_ref, y_ref, t_test, y_test)], {**DEFAULTS, **options}


CASES = {
    "pass": case(T_REF, Y_REF, T_TEST, Y_TEST),
    "fail": case(T_REF, Y_REF, T_TEST, SPIKE),
    "missing-reference": case(T_REF, Y_REF, [*T_TEST[:-1], 4.5], Y_TEST),
    "missing-test": case(T_REF, Y_REF, T_TEST[1:], Y_TEST[1:]),
    "noisy-loops": case(T_NOISY, Y_NOISY, T_NOISY[::3], np.sin(T_NOISY[::3]), atolx=0.01, ltoly=0.03, rtoly=0.0),
    "range-negative-tolerance": case(T_NOISY, Y_NOISY, T_NOISY, Y_NOISY + 0.01, atoly=-0.5, lo=2.5, hi=7.25),
    "huge-abscissae": case([0.0, 1e300, 2e300], [0, 1, 0], [0.0, 1e300, 2e300], [0, 1, 0]),
    "tiny-abscissae": case([0.0, 1e-6, 2e-6], [0.0, -0.0, 5e-324], [0.0, 2e-6], [0.0, 1e-9]),
    "nan-test-ordinate": case(T_REF, Y_REF, T_TEST, [NAN, *Y_TEST[1:]]),
    "infinite-reference-ordinate": case(T_REF, [0.0, 1.0, INF, 1.0, 0.0], T_TEST, Y_TEST),
    "nan-and-infinite-tolerances": case(T_REF, Y_REF, T_TEST, SPIKE, rtoly=NAN, atolx=NAN, ltolx=INF),
    "non-monotonic": case([0.0, 2.0, 1.0], [0, 0, 0], T_TEST, Y_TEST),
    "nan-abscissa": case(T_REF, Y_REF, [0.0, NAN, 4.0], [0, 0, 0]),
    "infinite-abscissa": case([0.0, 1.0, INF], [0, 0, 0], T_TEST, Y_TEST),
    "empty-range": case(T_REF, Y_REF, T_TEST, Y_TEST, lo=3.0, hi=1.0),
    "nan-range-end": case(T_REF, Y_REF, T_TEST, Y_TEST, lo=NAN),
    "one-reference-point": case([1.0], [1.0], T_TEST, Y_TEST),
    "no-test-points": case(T_REF, Y_REF, [], []),
}


def module_compare(arrays, options):
    return vf.compare(
        *arrays,
        {"tolerances": {k: options[k] for k in FIELDS[:6]}, "x_range": {"lo": options["lo"], "hi": options["hi"]}},
    )


def program_input(arrays, options):
    """The eight options, then each curve as its count and its pairs; repr round-trips every
    double, and strtod reads it back, nan and inf included."""
    lines = [" ".join(repr(options[k]) for k in FIELDS)]
    for t, y in (arrays[:2], arrays[2:]):
        lines += [str(t.size), *(f"{float(a)!r} {float(b)!r}" for a, b in zip(t, y))]
    return "\n".join(lines) + "\n"


def parse_output(text):
    lines = iter(text.splitlines())
    _, status, message = next(lines).split(" ", 2)
    result = {"status": int(status), "message": message}
    for name in CURVES:
        label, count = next(lines).split()
        assert label == name
        points = [[float(v) for v in next(lines).split()] for _ in range(int(count))]
        result[name] = ([p[0] for p in points], [p[1] for p in points])
    assert next(lines, None) is None
    return result


@pytest.mark.parametrize("name", CASES)
@pytest.mark.parametrize("program", ["c++", "c", "c-static"])
def test_example_programs_give_the_modules_doubles(programs, program, name):
    """The C++ program (find_package) and the C program (pkg-config, shared and static), built against
    the installed library, report the module's status, its message and every double of its curves."""
    arrays, options = CASES[name]
    expected = module_compare(arrays, options)
    completed = subprocess.run(
        [programs[program]], input=program_input(arrays, options), capture_output=True, text=True, env=program_env()
    )
    assert completed.returncode == (0 if expected["status"] == vf.STATUS_PASS else 1), completed.stderr[-3000:]
    actual = parse_output(completed.stdout)
    assert (actual["status"], actual["message"]) == (expected["status"], vf.status_message_py(expected["status"]))
    for curve in CURVES:
        assert_same_curve(expected[curve], actual[curve], curve)


def test_installed_files_and_soname(prefix, libdir, pkg_config):
    """The prefix holds the headers, both libraries, the CMake package and the pkg-config file, and
    nothing of the core's internals; the soname carries the major version."""
    lib = libdir.relative_to(prefix)
    package = f"{lib}/cmake/VelmoraFunnel/VelmoraFunnel"
    assert sorted(str(p.relative_to(prefix)) for p in prefix.rglob("*") if not p.is_dir()) == sorted(
        [
            *(f"include/velmora_funnel{h}" for h in (".h", "/compare.hpp", "/export.hpp", "/records.hpp")),
            *(f"{package}{c}.cmake" for c in ("Config", "ConfigVersion", "Targets")),
            f"{package}Targets-{'relwithdebinfo' if SANITIZED else 'release'}.cmake",
            *(f"{lib}/libvelmora_funnel{s}" for s in (".a", ".so", ".so.1", ".so.1.0.0")),
            f"{lib}/pkgconfig/velmora-funnel.pc",
        ]
    )
    assert "Library soname: [libvelmora_funnel.so.1]" in run(["readelf", "-d", libdir / "libvelmora_funnel.so"])
    assert pkg_config("--modversion") == [vf.version()]


def test_shared_library_exports_the_api_and_nothing_else(libdir):
    """The dynamic symbol table defines the six functions of the C ABI and the three of the C++ API:
    no helper of the core and no instantiation of the standard library."""
    listed = run(["nm", "-D", "--defined-only", "-C", libdir / "libvelmora_funnel.so"])
    symbols = [re.sub(r"\(.*", "", line.split(" ", 2)[2]) for line in listed.splitlines() if line.strip()]
    assert sorted(symbols) == [
        "velmora::compare",
        "velmora::status_message",
        "velmora::version",
        "vf_compare",
        "vf_default_options",
        "vf_result_curve",
        "vf_result_free",
        "vf_status_message",
        "vf_version",
    ]


@pytest.mark.parametrize(
    "path", ["examples/c/compare_curves.c", "examples/cpp/compare_curves.cpp", "examples/cpp/CMakeLists.txt"]
)
def test_readme_shows_the_example_programs_as_they_are(path):
    """The README's examples for C and C++ users are the programs these tests build, word for word."""
    blocks = re.findall(r"```(?:c|cpp|cmake)\n(.*?)```", (ROOT / "README.md").read_text(), flags=re.S)
    assert (ROOT / path).read_text() in blocks
