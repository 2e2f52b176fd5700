"""The README's examples, run as written: each console session on the shipped examples prints what the
README shows (numbers aside), and each self-contained Python example runs."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()
# A number standing alone (not part of a name such as oscillator2.csv): its value may drift.
NUMBER = re.compile(r"(?<![\w.])[-+]?(?:\d[\d,]*\.?\d*|\.\d+)(?:e[-+]?\d+)?(?![\w])")
BLOCK = re.compile(r"^( *)```(console|python)\n(.*?)^\1```", flags=re.S | re.M)
SHOWN = [(README[: m.start()].count("\n") + 1, m[2], textwrap.dedent(m[3])) for m in BLOCK.finditer(README)]


def _session(text):
    """The commands of a console block, each with the lines it shows (continued lines joined)."""
    steps = []
    for line in text.splitlines():
        if line.startswith("$ "):
            steps.append([line[2:], []])
        elif steps and steps[-1][0].endswith("\\") and not steps[-1][1]:
            steps[-1][0] = steps[-1][0][:-1] + " " + line.strip()
        elif steps:
            steps[-1][1].append(line)
    return steps


def _words(line):
    return NUMBER.sub("#", line).split()


def _setup(folder):
    """The shipped examples, and the copy of the model library whose config has a typo."""
    shutil.copytree(ROOT / "examples", folder / "examples")
    shutil.copytree(ROOT / "examples" / "library", folder / "lib")
    config = folder / "lib" / "reference" / "velmora-funnel.toml"
    config.write_text(config.read_text().replace("\natoly", "\natoy", 1))


@pytest.mark.parametrize(
    "text",
    [text for _, kind, text in SHOWN if kind == "console"],
    ids=[f"line {n}" for n, k, _ in SHOWN if k == "console"],
)
def test_console_session_prints_what_the_readme_shows(tmp_path, text):
    """Run in one shell, in order (so `echo $?` sees the command before it); a command of the package
    is compared line by line, any other (ls, head) by its words."""
    _setup(tmp_path)
    steps = _session(text)
    # stderr joins stdout in the order written, as a terminal shows them.
    script = "".join(f"{{ {command}\n}} 2>&1\n__s=$?; printf '\\n@@@ step\\n'; (exit $__s)\n" for command, _ in steps)
    path = f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"
    env = {**os.environ, "PATH": path, "PYTHONUNBUFFERED": "1"}
    env.pop("COLUMNS", None)
    done = subprocess.run(
        ["bash", "-c", script], cwd=tmp_path, env=env, capture_output=True, text=True, stdin=subprocess.DEVNULL
    )
    outputs = done.stdout.split("\n@@@ step\n")
    assert len(outputs) == len(steps) + 1, done.stderr
    for (command, shown), printed in zip(steps, outputs, strict=False):
        lines = [line for line in printed.splitlines() if line.strip()]
        if command.startswith(("velmora-funnel", "echo")):
            assert [_words(line) for line in lines] == [_words(line) for line in shown], command
        else:
            assert sorted(_words(" ".join(lines))) == sorted(_words(" ".join(shown))), command


@pytest.mark.parametrize(
    "text",
    [text for _, kind, text in SHOWN if kind == "python" and text.startswith(("import", "from"))],
    ids=[f"line {n}" for n, kind, text in SHOWN if kind == "python" and text.startswith(("import", "from"))],
)
def test_python_example_runs_as_written(tmp_path, text):
    done = subprocess.run([sys.executable, "-c", text], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
