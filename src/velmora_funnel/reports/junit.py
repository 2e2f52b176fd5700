"""JUnit XML, which CI systems read.

It is written with xml.etree.ElementTree: one test suite per file
pair, one test case per variable (a ``<failure>`` for a variable that failed
or is missing or new, an ``<error>`` for unusable input, ``<skipped>`` for an
ignored one, one not compared (with why) and a missing or new one the run only warns about), its numbers as properties, counts and times that add up.
Text from result files goes through printable(), so a header cannot put
characters into the XML that XML 1.0 forbids.
"""

from __future__ import annotations

import shutil
import tempfile
import xml.etree.ElementTree as ET
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


def _case(suite: ET.Element, classname: str, name: str, micro: int) -> ET.Element:
    return ET.SubElement(suite, "testcase", name=printable(name), classname=classname, time=_seconds(micro))


def _properties(case: ET.Element, variable: VariableOutcome) -> None:
    values: dict[str, Any] = {
        "status": variable.status.name if variable.status is not None else None,
        "largest_error": variable.max_error,
        "first_failure": variable.first_failure,
        "margin": variable.margin,
        "margin_t": variable.margin_t,
        "failing_points": variable.failing_count,
        **(variable.tolerances or {}),
    }
    if variable.x_range is not None:
        values["x_range"] = "[{:g}, {:g}]".format(*variable.x_range)
    properties = ET.SubElement(case, "properties")
    for key, value in values.items():
        if value is not None:
            ET.SubElement(properties, "property", name=key, value=str(value))


def _suite(root: ET.Element, file: FileOutcome) -> dict[str, int]:
    suite = ET.SubElement(root, "testsuite", name=printable(file.file))
    counts = dict.fromkeys((*_COUNTS, "time"), 0)
    classname = _classname(file.file)
    for variable in file.variables:
        micro = _micro(variable.seconds)
        case = _case(suite, classname, variable.name, micro)
        counts["tests"] += 1
        counts["time"] += micro
        if variable.verdict not in ("ignored", "not_compared"):
            _properties(case, variable)
        line = printable(verdict_line(variable))
        if variable.tolerated:
            counts["skipped"] += 1
            ET.SubElement(case, "skipped", message=line)
        elif variable.verdict in ("fail", "missing", "new"):
            counts["failures"] += 1
            ET.SubElement(case, "failure", message=line, type=variable.verdict).text = line
        elif variable.verdict == "error":
            counts["errors"] += 1
            ET.SubElement(case, "error", message=line, type="unusable").text = line
        elif variable.verdict in ("ignored", "not_compared"):
            counts["skipped"] += 1
            ET.SubElement(case, "skipped", message=printable(variable.message))
    # What concerns the whole pair is a test case of its own, named after the file.
    if file.missing is not None:
        present = file.reference if file.missing == "test" else file.test
        message = printable(f"file missing in {file.missing} (present: {present})")
        ET.SubElement(_case(suite, classname, file.file, 0), "failure", message=message, type="missing").text = message
        counts["tests"] += 1
        counts["failures"] += 1
    if file.error is not None:
        message = printable(file.error)
        ET.SubElement(_case(suite, classname, file.file, 0), "error", message=message, type="unusable").text = message
        counts["tests"] += 1
        counts["errors"] += 1
    for key in _COUNTS:
        suite.set(key, str(counts[key]))
    suite.set("time", _seconds(counts["time"]))
    return counts


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
        holder = ET.Element("testsuites")
        for key, value in _suite(holder, file).items():
            self._totals[key] += value
        ET.indent(holder)
        suite = holder[0]
        suite.tail = "\n"
        self._spool.write(b"  " + ET.tostring(suite, encoding="utf-8", xml_declaration=False))

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
