"""The JSON document of a run: what was compared and with which options,
why the input is unusable, and every outcome (NaN and infinities as null)."""

from __future__ import annotations

import json
import math
import shutil
import sys
import tempfile
from dataclasses import fields
from typing import IO, TYPE_CHECKING, Any

from ..io.atomic import replacing
from .text import encodable

if TYPE_CHECKING:
    from ..run.options import RunOptions
    from ..run.outcomes import FileOutcome, VariableOutcome

__all__ = ["JsonWriter", "document", "dump", "file_from_json", "file_json", "variable_json", "write_json"]


def _finite_or_none(value: float | None) -> float | None:
    return None if value is None or not math.isfinite(value) else value


def _fields(variable: VariableOutcome) -> dict[str, Any]:
    # A shallow copy: dataclasses.asdict copies deeply, at a cost a batch of
    # thousands of variables notices; the only containers here are a dict of
    # tolerances, the range's tuple and the half-widths, rebuilt below.
    names = _FIELDS.get(type(variable))
    if names is None:
        names = _FIELDS[type(variable)] = tuple(f.name for f in fields(variable) if f.name != "figure")
    data = {name: getattr(variable, name) for name in names}
    if data.get("tolerances") is not None:
        data["tolerances"] = dict(data["tolerances"])
    return data


_FIELDS: dict[type, tuple[str, ...]] = {}


def variable_json(variable: VariableOutcome) -> dict[str, Any]:
    """One variable's outcome as a JSON-ready dict."""
    data = _fields(variable)
    data["status"] = None if variable.status is None else variable.status.name
    data["status_code"] = None if variable.status is None else int(variable.status)
    data["max_error"] = _finite_or_none(variable.max_error)
    data["margin"] = _finite_or_none(variable.margin)
    if variable.x_range is not None:
        lo, hi = variable.x_range
        data["x_range"] = {"lo": _finite_or_none(lo), "hi": _finite_or_none(hi)}
    if variable.half_widths is not None:
        data["half_widths"] = {
            axis: {"min": _finite_or_none(low), "max": _finite_or_none(high)}
            for axis, (low, high) in variable.half_widths.items()
        }
    data["passed"] = variable.passed
    return data


def file_json(file: FileOutcome) -> dict[str, Any]:
    """One file pair's outcome as a JSON-ready dict."""
    return {
        "file": file.file,
        "reference": file.reference,
        "test": file.test,
        "verdict": file.verdict,
        "missing": file.missing,
        "error": file.error,
        "warnings": list(file.warnings),
        "variables": [variable_json(v) for v in file.variables],
    }


def _number(value: Any) -> float | None:
    # null stands for a value that was not finite (or not known): NaN, which
    # no report shows as a number.
    return math.nan if value is None else float(value)


def variable_from_json(data: dict[str, Any]) -> VariableOutcome:
    """A variable's outcome as variable_json() wrote it (a number that was
    not finite comes back as None, a half-width as NaN)."""
    from ..comparison import Status
    from ..run.outcomes import VariableOutcome

    known = {f.name for f in fields(VariableOutcome)} - {"figure"}
    values = {key: value for key, value in data.items() if key in known}
    values["status"] = None if data.get("status") is None else Status[data["status"]]
    if data.get("x_range") is not None:
        lo, hi = data["x_range"]["lo"], data["x_range"]["hi"]
        values["x_range"] = (-math.inf if lo is None else lo, math.inf if hi is None else hi)
    if data.get("half_widths") is not None:
        values["half_widths"] = {
            axis: (_number(pair["min"]), _number(pair["max"])) for axis, pair in data["half_widths"].items()
        }
    return VariableOutcome(**values)


def file_from_json(data: dict[str, Any]) -> FileOutcome:
    """A file pair's outcome as file_json() wrote it."""
    from ..run.outcomes import FileOutcome

    return FileOutcome(
        data["file"],
        data["reference"],
        data["test"],
        missing=data["missing"],
        error=data["error"],
        variables=tuple(variable_from_json(v) for v in data["variables"]),
        warnings=tuple(data["warnings"]),
    )


def document(
    reference: str, test: str, options: RunOptions | None, error: str | None = None, **entries: Any
) -> dict[str, Any]:
    """The JSON report: what was compared and with which options (each
    variable's own are in its entry), why the input is unusable (``error``,
    else null), then the command's own entries."""
    data: dict[str, Any] = {"reference": reference, "test": test, "config": None, "tolerances": None, "x_range": None}
    if options is not None:
        base = options.base()
        lo, hi = base.x_range
        data.update(
            config=options.config.path,
            tolerances=dict(base.tolerances),
            x_range={"lo": _finite_or_none(lo), "hi": _finite_or_none(hi)},
        )
    data["error"] = error
    return {**data, **entries}


def _encodable(value: Any) -> Any:
    """``value`` with every string made writable as UTF-8 (a file name whose
    bytes are not UTF-8 is shown escaped); the rest, control characters
    included, stays exact: JSON escapes those itself."""
    if isinstance(value, str):
        return encodable(value)
    if isinstance(value, dict):
        return {encodable(str(key)): _encodable(item) for key, item in value.items()}
    if isinstance(value, list | tuple):
        return [_encodable(item) for item in value]
    return value


def _dumps(data: dict[str, Any]) -> str:
    """The document as indented JSON text. JSON writes every character past
    ASCII as an escape, so a string that needs encodable() shows as a
    surrogate escape in the text: only then are the strings walked."""
    text = json.dumps(data, indent=2)
    if "\\ud" in text:
        text = json.dumps(_encodable(data), indent=2)
    return text


def dump(data: dict[str, Any], out: IO[str]) -> None:
    """Write the document to ``out``, indented."""
    out.write(_dumps(data))


class JsonWriter:
    """The JSON document of a run of file pairs, written as their outcomes
    arrive: each entry of ``files`` goes to a spool file at once, so a run of
    any size holds none of them; close() writes the document around them,
    the same as write_json() writes it."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._spool = tempfile.TemporaryFile("w+", encoding="utf-8")  # noqa: SIM115 (closed by close())
        self._entries = 0

    def add(self, file: FileOutcome) -> None:
        # Indented to the depth of the document's list (json.dump's blank-free
        # lines, so every line takes the prefix).
        entry = _dumps(file_json(file)).replace("\n", "\n    ")
        self._spool.write(("," if self._entries else "") + "\n    " + entry)
        self._entries += 1

    def close(self, head: dict[str, Any], summary: dict[str, Any]) -> None:
        """Write the document: ``head`` (document()'s keys), the files, then
        ``summary``; to stdout for ``-``."""
        # The entries stand in for an empty list, at the depth json.dump indents them.
        text = _dumps({**head, "files": [], "summary": summary})
        before, after = text.split('"files": []', 1)

        def write(out: IO[str]) -> None:
            out.write(before + '"files": [')
            self._spool.seek(0)
            shutil.copyfileobj(self._spool, out)
            out.write(("\n  ]" if self._entries else "]") + after)

        try:
            if self.path == "-":
                write(sys.stdout)
                print()
            else:
                with replacing(self.path) as out:
                    write(out)
        finally:
            self._spool.close()


def write_json(path: str, data: dict[str, Any]) -> None:
    """Write the document as the file ``path`` (whole or not at all), or to
    stdout for ``-``."""
    if path == "-":
        dump(data, sys.stdout)
        print()
        return
    with replacing(path) as out:
        dump(data, out)
