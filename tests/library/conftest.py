"""The library for C and C++ callers, installed once per session into a temporary prefix by
``tools/install-lib`` (what ``make install-lib`` runs), and the programs of ``examples/`` built
against it as a user builds them: C++ with find_package, C with pkg-config. Under
``make test-sanitize`` (VELMORA_SANITIZED=1) all of it is built with the sanitizers."""

import ctypes
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SANITIZED = bool(os.environ.get("VELMORA_SANITIZED"))
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"] if SANITIZED else []
FIELDS = ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly", "lo", "hi")
DOUBLES = ctypes.POINTER(ctypes.c_double)


def tool(*names):
    """The venv's build tool (make test installs cmake, ninja and pkgconf there), else the system's."""
    for found in [pathlib.Path(sys.executable).parent / n for n in names] + [shutil.which(n) for n in names]:
        if found and os.path.exists(found):
            return str(found)
    pytest.fail(f"none of {names} found")


def build_env():
    """Without the sanitizer runtimes that the sanitized run preloads into every child: the
    compilers are not built for them."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}


def program_env():
    """For the example programs: under the sanitizers, with the leak check on (they free all they
    allocate) and reports where the sanitized run collects them."""
    env = build_env()
    if SANITIZED:
        env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "").replace("detect_leaks=0", "detect_leaks=1")
    return env


def run(command, env=None):
    completed = subprocess.run(
        [str(c) for c in command], capture_output=True, text=True, timeout=900, env=env or build_env()
    )
    assert completed.returncode == 0, f"{command}:\n{completed.stdout[-3000:]}\n{completed.stderr[-3000:]}"
    return completed.stdout


class Options(ctypes.Structure):
    _fields_ = [(name, ctypes.c_double) for name in FIELDS]


def load_library(path):
    """The shared library with the signatures of velmora_funnel.h, for ctypes."""
    lib = ctypes.CDLL(str(path))
    p = ctypes.POINTER
    signatures = {
        "vf_default_options": (Options, []),
        "vf_compare": (ctypes.c_int, [DOUBLES, DOUBLES, ctypes.c_size_t] * 2 + [p(Options), p(ctypes.c_void_p)]),
        "vf_result_curve": (ctypes.c_size_t, [ctypes.c_void_p, ctypes.c_int, p(DOUBLES), p(DOUBLES)]),
        "vf_result_free": (None, [ctypes.c_void_p]),
        "vf_status_message": (ctypes.c_char_p, [ctypes.c_int]),
        "vf_version": (ctypes.c_char_p, []),
    }
    for name, (restype, argtypes) in signatures.items():
        getattr(lib, name).restype = restype
        getattr(lib, name).argtypes = argtypes
    return lib


def pointer(array):
    """A float64 array as a const double*, None as a null pointer."""
    return None if array is None else array.ctypes.data_as(DOUBLES)


@pytest.fixture(scope="session")
def prefix(tmp_path_factory):
    """The build tree stays in build/, so a later session rebuilds only what changed."""
    prefix = tmp_path_factory.mktemp("prefix")
    build = ROOT / "build" / ("library-test-sanitize" if SANITIZED else "library-test")
    options = ["-DVELMORA_SANITIZE=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"] if SANITIZED else []
    run(
        [ROOT / "tools" / "install-lib", prefix, *options],
        {**build_env(), "CMAKE": tool("cmake"), "BUILD_DIR": str(build)},
    )
    return prefix


@pytest.fixture(scope="session")
def libdir(prefix):
    (shared,) = prefix.glob("lib*/libvelmora_funnel.so")
    return shared.parent


@pytest.fixture(scope="session")
def pkg_config(libdir):
    env = {**build_env(), "PKG_CONFIG_PATH": str(libdir / "pkgconfig")}
    return lambda *args: run([tool("pkg-config", "pkgconf"), *args, "velmora-funnel"], env).split()


@pytest.fixture(scope="session")
def programs(prefix, libdir, pkg_config, tmp_path_factory):
    """The C++ example by CMake with velmora::funnel; the C one by cc with pkg-config's flags, on the
    shared library and on the archive (pkg-config --static)."""
    out = tmp_path_factory.mktemp("programs")
    cmake = tool("cmake")
    ninja = pathlib.Path(cmake).parent / "ninja"
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja.exists() else []
    flags = ["-DCMAKE_CXX_FLAGS=" + " ".join(SANITIZE)] if SANITIZE else []
    run([cmake, "-S", ROOT / "examples/cpp", "-B", out / "cpp", f"-DCMAKE_PREFIX_PATH={prefix}", *generator, *flags])
    run([cmake, "--build", out / "cpp"])
    compile_c = [os.environ.get("CC", "cc"), "-std=c11", "-Wall", "-Wextra", "-pedantic", "-Werror", *SANITIZE]
    compile_c += [ROOT / "examples/c/compare_curves.c", *pkg_config("--cflags")]
    run([*compile_c, *pkg_config("--libs"), f"-Wl,-rpath,{libdir}", "-o", out / "c_shared"])
    static = [f"-Wl,-Bstatic,{f},-Bdynamic" if f == "-lvelmora_funnel" else f for f in pkg_config("--static", "--libs")]
    run([*compile_c, *static, "-o", out / "c_static"])
    return {"c++": out / "cpp" / "compare_curves", "c": out / "c_shared", "c-static": out / "c_static"}
