"""JUnit XML, which CI systems read.

It is written with xml.etree.ElementTree: one test suite per file
pair, one test case per variable (a ``<failure>`` for a variable that failed
or is missing, an ``<error>`` for unusable input, ``<skipped>`` for an
ignored one or one not compared, with why), its numbers as properties, counts and times that add up.
Text from result files goes through printable(), so a header cannot put
characters into the XML that XML 1.0 forbids.
"""

from __future__ import annotations

import xml.etree.ElementTree as ET
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ..io.atomic import replacing
from .cells import verdict_line
from .text import printable

if TYPE_CHECKING:
    from ..run.outcomes import FileOutcome, VariableOutcome

__all__ = ["write_junit"]


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
        if variable.verdict in ("fail", "missing"):
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


def write_junit(path: str, files: Sequence[FileOutcome], *, name: str = "velmora-funnel") -> None:
    """Write JUnit XML for the outcomes of file pairs."""
    root = ET.Element("testsuites", name=name)
    totals = dict.fromkeys((*_COUNTS, "time"), 0)
    for file in files:
        for key, value in _suite(root, file).items():
            totals[key] += value
    for key in _COUNTS:
        root.set(key, str(totals[key]))
    root.set("time", _seconds(totals["time"]))
    ET.indent(root)
    with replacing(path, "wb") as out:
        ET.ElementTree(root).write(out, encoding="utf-8", xml_declaration=True)
