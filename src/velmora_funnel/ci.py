"""Reports CI systems read: JUnit XML and a Markdown summary.

JUnit XML is written with xml.etree.ElementTree: one test suite per file
pair, one test case per variable (a ``<failure>`` for a variable that failed
or is missing, an ``<error>`` for unusable input, ``<skipped>`` for an
ignored one), its numbers as properties, counts and times that add up.
Text from result files goes through printable(), so a header cannot put
characters into the XML that XML 1.0 forbids.
"""

from __future__ import annotations

import math
import re
import xml.etree.ElementTree as ET
from collections.abc import Sequence
from typing import Any

from .batch import FileOutcome, VariableOutcome
from .names import printable
from .report import format_number

__all__ = ["verdict_line", "write_junit", "write_markdown"]


def verdict_line(outcome: Any) -> str:
    """The verdict in one line: the message, the first failure, the largest
    error and the smallest margin (of a VariableOutcome or a CompareResult)."""
    parts = [outcome.message]
    if outcome.first_failure is not None:
        parts.append(f"first failure at t = {format_number(outcome.first_failure, 6)}")
    if outcome.max_error is not None:
        parts.append(f"largest error {format_number(outcome.max_error)}")
    if outcome.margin is not None:
        parts.append(
            f"smallest margin {format_number(outcome.margin, 3)} at t = {format_number(outcome.margin_t, 6)} "
            f"({outcome.failing_count} failing points)"
        )
    return "; ".join(parts)


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
        if variable.verdict != "ignored":
            _properties(case, variable)
        line = printable(verdict_line(variable))
        if variable.verdict in ("fail", "missing"):
            counts["failures"] += 1
            ET.SubElement(case, "failure", message=line, type=variable.verdict).text = line
        elif variable.verdict == "error":
            counts["errors"] += 1
            ET.SubElement(case, "error", message=line, type="unusable").text = line
        elif variable.verdict == "ignored":
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
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)


# CommonMark lets a backslash escape ASCII punctuation: names such as
# "*.der(x)" or "a|b" then show as they are, and no HTML gets through.
_PUNCTUATION = re.compile(r"([\\`*_\[\]<>|&~])")


def _md(text: str) -> str:
    return _PUNCTUATION.sub(r"\\\1", printable(text))


_ORDER = {"error": 0, "fail": 1, "missing": 2, "pass": 3, "ignored": 4}


def write_markdown(path: str, files: Sequence[FileOutcome], summary: str) -> None:
    """Write a Markdown summary: the summary line, then one table row per
    variable, what did not pass first, then the passes closest to a bound."""
    rows: list[tuple[tuple[Any, ...], list[str]]] = []
    for file in files:
        if file.error is not None or file.missing is not None:
            verdict = "error" if file.error is not None else "missing"
            message = file.error or f"file missing in {file.missing}"
            rows.append(
                ((_ORDER[verdict], 0.0), [verdict.upper(), _md(file.file), "", "-", "-", "-", "-", _md(message)])
            )
        for v in file.variables:
            margin = v.margin if v.margin is not None and not math.isnan(v.margin) else math.inf
            rows.append(
                (
                    (_ORDER[v.verdict], margin),
                    [
                        v.verdict.upper() if v.verdict not in ("pass", "ignored") else v.verdict,
                        _md(file.file),
                        _md(v.name),
                        format_number(v.max_error),
                        format_number(v.first_failure, 6),
                        format_number(v.margin, 3),
                        str(v.failing_count) if v.status is not None else "-",
                        _md(v.message),
                    ],
                )
            )
    rows.sort(key=lambda row: row[0])
    lines = [
        f"### velmora-funnel: {printable(summary)}",
        "",
        "| verdict | file | variable | largest error | first failure | margin | failing points | message |",
        "|---|---|---|---:|---:|---:|---:|---|",
    ]
    lines += ["| " + " | ".join(cells) + " |" for _, cells in rows]
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("\n".join(lines) + "\n")
