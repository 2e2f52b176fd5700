"""The library for C and C++ callers, installed once per session into a temporary prefix with
``tools/install-lib`` (the script behind ``make install-lib``), and the example programs of
``examples/`` built against it the way a user builds them: the C++ one with CMake's find_package,
the C one with pkg-config.

Under ``make test-sanitize`` (VELMORA_SANITIZED=1) the library and the programs are built with
AddressSanitizer and UndefinedBehaviorSanitizer, and the programs run with the leak check on.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SANITIZED = bool(os.environ.get("VELMORA_SANITIZED"))
SANITIZER_FLAGS = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"] if SANITIZED else []


def tool(*names: str) -> str:
    """The venv's copy of a build tool (cmake, ninja and pkgconf come with the test set-up), else
    the system's."""
    for name in names:
        local = pathlib.Path(sys.executable).parent / name
        if local.exists():
            return str(local)
    for name in names:
        found = shutil.which(name)
        if found:
            return found
    pytest.fail(f"none of {names} found: make test installs them into the venv")


def build_env() -> dict[str, str]:
    """The environment for compilers and CMake: without the sanitizer runtimes that the sanitized
    test run preloads into every process it starts (the compilers are not built for them)."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}


def program_env() -> dict[str, str]:
    """The environment for the example programs: under the sanitizers, with the leak check on (they
    free what they allocate, unlike the interpreters the suite starts) and reports where the
    sanitized run collects them."""
    env = build_env()
    if SANITIZED:
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "").replace("detect_leaks=0", "detect_leaks=1")
    return env


def run(command: list[str | os.PathLike[str]], env: dict[str, str] | None = None) -> str:
    completed = subprocess.run(
        [str(c) for c in command], capture_output=True, text=True, timeout=600, env=env or build_env()
    )
    assert completed.returncode == 0, f"{command}:\n{completed.stdout[-4000:]}\n{completed.stderr[-4000:]}"
    return completed.stdout


def cmake_generator(cmake: str) -> list[str]:
    ninja = pathlib.Path(cmake).parent / "ninja"
    return ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja.exists() else []


@pytest.fixture(scope="session")
def prefix(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """The prefix the library is installed into. The build tree is kept in build/, so a later
    session rebuilds only what changed."""
    prefix = tmp_path_factory.mktemp("prefix")
    build = ROOT / "build" / ("library-test-sanitize" if SANITIZED else "library-test")
    options = ["-DVELMORA_SANITIZE=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"] if SANITIZED else []
    env = {**build_env(), "CMAKE": tool("cmake"), "BUILD_DIR": str(build)}
    completed = subprocess.run(
        [str(ROOT / "tools" / "install-lib"), str(prefix), *options],
        capture_output=True,
        text=True,
        timeout=900,
        env=env,
    )
    assert completed.returncode == 0, completed.stderr[-4000:]
    return prefix


@pytest.fixture(scope="session")
def libdir(prefix: pathlib.Path) -> pathlib.Path:
    (shared,) = prefix.glob("lib*/libvelmora_funnel.so")
    return shared.parent


@pytest.fixture(scope="session")
def pkg_config(prefix: pathlib.Path, libdir: pathlib.Path):
    """Runs pkg-config on the installed velmora-funnel.pc; returns its output as a list of flags."""
    command = tool("pkg-config", "pkgconf")
    env = {**build_env(), "PKG_CONFIG_PATH": str(libdir / "pkgconfig")}

    def query(*args: str) -> list[str]:
        return run([command, *args, "velmora-funnel"], env=env).split()

    return query


@pytest.fixture(scope="session")
def programs(
    prefix: pathlib.Path, libdir: pathlib.Path, pkg_config, tmp_path_factory: pytest.TempPathFactory
) -> dict[str, pathlib.Path]:
    """The example programs, built against the installed library: the C++ one by CMake with
    find_package(VelmoraFunnel) and velmora::funnel, the C one by cc with the flags of pkg-config,
    once against the shared library and once against the static one (pkg-config --static)."""
    out = tmp_path_factory.mktemp("programs")
    cmake = tool("cmake")
    configure = [cmake, "-S", ROOT / "examples" / "cpp", "-B", out / "cpp", f"-DCMAKE_PREFIX_PATH={prefix}"]
    configure += ["-DCMAKE_BUILD_TYPE=Release", *cmake_generator(cmake)]
    if SANITIZER_FLAGS:
        configure.append("-DCMAKE_CXX_FLAGS=" + " ".join(SANITIZER_FLAGS))
    run(configure)
    run([cmake, "--build", out / "cpp"])

    cc = os.environ.get("CC", "cc")
    source = ROOT / "examples" / "c" / "compare_curves.c"
    strict = ["-std=c11", "-Wall", "-Wextra", "-pedantic", "-Werror", *SANITIZER_FLAGS]
    cflags = pkg_config("--cflags")
    run([cc, *strict, source, *cflags, *pkg_config("--libs"), f"-Wl,-rpath,{libdir}", "-o", out / "c_shared"])
    # The archive instead of the shared object: what --static adds (the C++ runtime) must suffice.
    static_libs = []
    for flag in pkg_config("--static", "--libs"):
        static_libs += ["-Wl,-Bstatic", flag, "-Wl,-Bdynamic"] if flag == "-lvelmora_funnel" else [flag]
    run([cc, *strict, source, *cflags, *static_libs, "-o", out / "c_static"])
    return {
        "c++-find-package": out / "cpp" / "compare_curves",
        "c-pkg-config": out / "c_shared",
        "c-pkg-config-static": out / "c_static",
    }
