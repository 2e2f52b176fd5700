"""JUnit XML, which CI systems read.

One test suite per file pair (written as text in the layout
ElementTree gives it), one test case per variable (a ``<failure>`` for a variable that failed
or is missing or new, an ``<error>`` for unusable input, ``<skipped>`` for an
ignored one, one not compared (with why) and a missing or new one the run only warns about), its numbers as properties, counts and times that add up.
Text from result files goes through printable(), so a header cannot put
characters into the XML that XML 1.0 forbids.
"""

from __future__ import annotations

import functools
import shutil
import tempfile
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any
from xml.sax.saxutils import quoteattr

from ..io.atomic import replacing
from .cells import verdict_line
from .text import printable

if TYPE_CHECKING:
    from ..run.outcomes import FileOutcome, VariableOutcome

__all__ = ["JunitWriter", "write_junit"]


def _classname(file: str) -> str:
    stem = file.rsplit(".", 1)[0] if "." in file.rsplit("/", 1)[-1] else file
    return printable(stem.replace("/", ".")) or "results"


def _micro(seconds: float) -> int:
    return max(0, round(seconds * 1e6))


def _seconds(micro: int) -> str:
    return f"{micro // 1_000_000}.{micro % 1_000_000:06d}"


_COUNTS = ("tests", "failures", "errors", "skipped")


def _escaped(text: str) -> str:
    # ElementTree's escapes of an attribute, each looked for before it is
    # replaced: most values hold none of them.
    for char, entity in _ENTITIES:
        if char in text:
            text = text.replace(char, entity)
    return text


_ENTITIES = (
    ("&", "&amp;"),
    ("<", "&lt;"),
    (">", "&gt;"),
    ('"', "&quot;"),
    ("\r", "&#13;"),
    ("\n", "&#10;"),
    ("\t", "&#09;"),
)


def _attributes(pairs: Sequence[tuple[str, str]]) -> str:
    return "".join(f' {key}="{_escaped(value)}"' for key, value in pairs)


class _Suite:
    """One test suite's XML, as ElementTree indents and writes it, built as
    text: a batch of thousands of variables spends its time here otherwise."""

    def __init__(self) -> None:
        self.lines: list[str] = []

    def case(self, classname: str, name: str, micro: int, inner: Sequence[str] = ()) -> None:
        head = "    <testcase" + _attributes(
            (("name", printable(name)), ("classname", classname), ("time", _seconds(micro)))
        )
        if not inner:
            self.lines.append(head + " />")
            return
        self.lines.append(head + ">")
        self.lines.extend(inner)
        self.lines.append("    </testcase>")


def _element(tag: str, attributes: Sequence[tuple[str, str]], text: str | None = None) -> str:
    head = f"      <{tag}{_attributes(attributes)}"
    if text is None:
        return head + " />"
    for char, entity in _ENTITIES[:3]:
        text = text.replace(char, entity)
    return f"{head}>{text}</{tag}>"


def _property(key: str, value: Any) -> str:
    # Names of the package's own and numbers: nothing to escape.
    return f'        <property name="{key}" value="{value!s}" />'


@functools.lru_cache(maxsize=256)
def _option_properties(
    tolerances: tuple[tuple[str, float], ...], x_range: tuple[float, float] | None
) -> tuple[str, ...]:
    """The properties of the options a variable was compared with: most
    variables of a run share them, so each set is written once."""
    lines = [_property(key, value) for key, value in tolerances]
    if x_range is not None:
        lines.append(_property("x_range", "[{:g}, {:g}]".format(*x_range)))
    return tuple(lines)


def _properties(variable: VariableOutcome) -> list[str]:
    status = variable.status
    own = (
        ("status", status.name if status is not None else None),
        ("largest_error", variable.max_error),
        ("first_failure", variable.first_failure),
        ("margin", variable.margin),
        ("margin_t", variable.margin_t),
        ("failing_points", variable.failing_count),
    )
    shown = [_property(key, value) for key, value in own if value is not None]
    shown += _option_properties(tuple((variable.tolerances or {}).items()), variable.x_range)
    if not shown:
        return ["      <properties />"]
    return ["      <properties>", *shown, "      </properties>"]


def _suite(file: FileOutcome) -> tuple[str, dict[str, int]]:
    suite = _Suite()
    counts = dict.fromkeys((*_COUNTS, "time"), 0)
    classname = _classname(file.file)
    for variable in file.variables:
        micro = _micro(variable.seconds)
        counts["tests"] += 1
        counts["time"] += micro
        inner = _properties(variable) if variable.verdict not in ("ignored", "not_compared") else []
        if variable.tolerated:
            counts["skipped"] += 1
            inner.append(_element("skipped", (("message", printable(verdict_line(variable))),)))
        elif variable.verdict in ("fail", "missing", "new"):
            counts["failures"] += 1
            line = printable(verdict_line(variable))
            inner.append(_element("failure", (("message", line), ("type", variable.verdict)), line))
        elif variable.verdict == "error":
            counts["errors"] += 1
            line = printable(verdict_line(variable))
            inner.append(_element("error", (("message", line), ("type", "unusable")), line))
        elif variable.verdict in ("ignored", "not_compared"):
            counts["skipped"] += 1
            inner.append(_element("skipped", (("message", printable(variable.message)),)))
        suite.case(classname, variable.name, micro, inner)
    # What concerns the whole pair is a test case of its own, named after the file.
    if file.missing is not None:
        present = file.reference if file.missing == "test" else file.test
        message = printable(f"file missing in {file.missing} (present: {present})")
        suite.case(classname, file.file, 0, [_element("failure", (("message", message), ("type", "missing")), message)])
        counts["tests"] += 1
        counts["failures"] += 1
    if file.error is not None:
        message = printable(file.error)
        suite.case(classname, file.file, 0, [_element("error", (("message", message), ("type", "unusable")), message)])
        counts["tests"] += 1
        counts["errors"] += 1
    attributes = [("name", printable(file.file)), *((key, str(counts[key])) for key in _COUNTS)]
    attributes.append(("time", _seconds(counts["time"])))
    head = f"  <testsuite{_attributes(attributes)}"
    if not suite.lines:
        return head + " />\n", counts
    return "\n".join((head + ">", *suite.lines, "  </testsuite>\n")), counts


class JunitWriter:
    """JUnit XML written as the file pairs' outcomes arrive: each test suite
    goes to a spool file at once, so a run of any size holds none of them;
    close() writes the totals the root element carries, then the suites."""

    def __init__(self, path: str, *, name: str = "velmora-funnel") -> None:
        self.path = path
        self._name = name
        self._spool = tempfile.TemporaryFile()  # noqa: SIM115 (closed by close())
        self._totals = dict.fromkeys((*_COUNTS, "time"), 0)

    def add(self, file: FileOutcome) -> None:
        text, counts = _suite(file)
        for key, value in counts.items():
            self._totals[key] += value
        self._spool.write(text.encode("utf-8", "xmlcharrefreplace"))

    def close(self) -> None:
        """Write the file whole (or leave it as it was)."""
        try:
            attributes = {"name": self._name, **{key: str(self._totals[key]) for key in _COUNTS}}
            attributes["time"] = _seconds(self._totals["time"])
            start = " ".join(f"{key}={quoteattr(value)}" for key, value in attributes.items())
            with replacing(self.path, "wb") as out:
                out.write(f"<?xml version='1.0' encoding='utf-8'?>\n<testsuites {start}>\n".encode())
                self._spool.seek(0)
                shutil.copyfileobj(self._spool, out)
                out.write(b"</testsuites>\n")
        finally:
            self._spool.close()


def write_junit(path: str, files: Sequence[FileOutcome], *, name: str = "velmora-funnel") -> None:
    """Write JUnit XML for the outcomes of file pairs."""
    writer = JunitWriter(path, name=name)
    for file in files:
        writer.add(file)
    writer.close()
