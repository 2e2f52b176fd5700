"""The config file ``velmora-funnel.toml``: per-variable tolerances, ignored
variables and how result files are read.

The config is TOML, read with tomllib; variable names are matched with
case-sensitive globs whose only wildcards are ``*`` and ``?`` (brackets are
literal, so ``x[1]`` names the variable ``x[1]`` and ``x[*]`` every element
of ``x``), compiled once each (globs).
"""

from __future__ import annotations

import difflib
import errno
import os
import re
import stat
import tomllib
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from ..comparison import TOLERANCE_NAMES, check_end_tolerance, check_tolerances, check_x_range
from ..errors import ConfigError, SettingError
from ..io import READ_KEYS, ReadOptions
from .globs import compiled, is_glob, matches
from .names import NAMINGS
from .outcomes import POLICIES

__all__ = [
    "CONFIG_NAME",
    "POLICY_KEYS",
    "SETTING_NAMES",
    "SIDES",
    "FunnelConfig",
    "VariableRule",
    "check_setting",
    "did_you_mean",
    "find_config",
    "is_glob",
    "load_config",
    "matches",
]

#: The config file's name, looked for beside the reference file or in the reference folder.
CONFIG_NAME = "velmora-funnel.toml"

#: The settings a config or the command line may give: compare()'s keywords.
SETTING_NAMES: tuple[str, ...] = (*TOLERANCE_NAMES, "x_range", "end_tolerance")
#: What a variable on one side only does to the run, with its default:
#: a lost output fails it, a new one is a warning.
POLICY_KEYS: dict[str, str] = {"on_missing": "fail", "on_new": "warn"}
#: The sides of a pair, as ``[read.reference]`` and ``[read.test]`` name them.
SIDES = ("reference", "test")


def check_setting(key: str, value: object) -> Any:
    """One setting checked as compare() checks it: a tolerance or the end
    tolerance as a float, an x_range as ``(lo, hi)`` with lo below hi (the
    module would compare nothing); ``on_missing`` and ``on_new`` as one of
    POLICIES. Raises SettingError naming ``key``."""
    try:
        if key in POLICY_KEYS:
            if value not in POLICIES:
                raise ValueError(f"{key} must be {' or '.join(map(repr, POLICIES))}, got {value!r}")
            return value
        if key == "x_range":
            lo, hi = check_x_range(value)
            if not lo < hi:
                raise ValueError(f"x_range must have LO below HI, got [{lo:g}, {hi:g}]")
            return (lo, hi)
        if key == "end_tolerance":
            return check_end_tolerance(value)
        if key not in TOLERANCE_NAMES:
            raise ValueError(f"unknown setting {key!r}{did_you_mean(key, (*SETTING_NAMES, *POLICY_KEYS))}")
        return check_tolerances(**{key: value})[key]
    except (TypeError, ValueError) as exc:
        raise SettingError(key, str(exc)) from None


def did_you_mean(word: str, choices: Iterable[str]) -> str:
    close = difflib.get_close_matches(word, list(choices), n=1)
    return f"; did you mean {close[0]!r}?" if close else ""


@dataclass(frozen=True)
class VariableRule:
    """One ``[[variable]]`` entry of a config file."""

    #: The globs; the rule applies to a name any of them fits.
    match: tuple[str, ...]
    #: Checked settings, by name (tolerances as floats, x_range as a pair).
    settings: Mapping[str, Any]
    #: True: not compared, listed as ignored; None: not said.
    ignore: bool | None = None
    #: Where the entry is, for messages: "FILE: line N: [[variable]] #K".
    where: str = ""

    def applies(self, name: str) -> bool:
        return any(compiled(pattern).match(name) for pattern in self.match)


@dataclass(frozen=True)
class FunnelConfig:
    """A config file's ``[defaults]`` and ``[[variable]]`` entries (empty without a file)."""

    path: str | None = None
    defaults: Mapping[str, Any] = field(default_factory=dict)
    rules: tuple[VariableRule, ...] = ()
    #: How the result files are read (``[read]``: ReadOptions' keys), checked.
    read: Mapping[str, Any] = field(default_factory=dict)
    #: ``[read.reference]`` and ``[read.test]``: stronger than ``[read]`` for that side's files.
    read_sides: Mapping[str, Mapping[str, Any]] = field(default_factory=dict)
    #: How variables pair across the files (``[read]``'s ``names``; names.NAMINGS), None: not said.
    names: str | None = None


# The tables a config file may have. A new table (the reading options of a
# result file, say) is one more entry here and one more reader below.
_TABLES = {"defaults": "a table [defaults]", "variable": "an array of tables [[variable]]", "read": "a table [read]"}
_RULE_KEYS = ("match", "ignore", *SETTING_NAMES, *POLICY_KEYS)
_DEFAULT_KEYS = (*SETTING_NAMES, *POLICY_KEYS)


def find_config(reference: str | os.PathLike[str]) -> str | None:
    """The config that belongs to a reference: ``velmora-funnel.toml`` in the
    reference folder, or beside the reference file; None when there is none.
    A config name that is there but is no file (a dangling symlink, a loop,
    a folder) raises ConfigError: the tolerances it held would be lost, and
    the run would pass with the defaults."""
    reference = os.fspath(reference)
    folder = reference if os.path.isdir(reference) else os.path.dirname(reference) or "."
    path = os.path.join(folder, CONFIG_NAME)
    if not os.path.lexists(path):
        return None
    try:
        info = os.stat(path)
    except OSError as exc:
        raise ConfigError(f"{path}: {_unreadable(path, exc)}") from None
    if not stat.S_ISREG(info.st_mode):
        raise ConfigError(f"{path}: {_not_a_file(info.st_mode)}")
    return path


def _unreadable(path: str, exc: OSError) -> str:
    if exc.errno == errno.ELOOP:
        return "is a symlink loop, not a config file"
    if exc.errno == errno.ENOENT and os.path.islink(path):
        return f"is a dangling symlink (to {os.readlink(path)!r}, which does not exist), not a config file"
    return f"cannot read the config: {exc.strerror or exc}"


def _not_a_file(mode: int) -> str:
    return "is a folder, not a config file" if stat.S_ISDIR(mode) else "is not a regular file, not a config file"


def _read_bytes(path: str) -> bytes:
    """The config's bytes, from a regular file only (a FIFO or a device would
    block or never end: it is opened without waiting and refused)."""
    try:
        descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        raise ConfigError(f"{path}: {_unreadable(path, exc)}") from None
    mode = os.fstat(descriptor).st_mode
    if not stat.S_ISREG(mode):
        os.close(descriptor)
        raise ConfigError(f"{path}: {_not_a_file(mode)}")
    with open(descriptor, "rb") as handle:
        try:
            return handle.read()
        except OSError as exc:
            raise ConfigError(f"{path}: cannot read the config: {exc.strerror or exc}") from None


_HEADER = re.compile(r"\s*(\[\[?)\s*([^\]]*?)\s*\]")
_KEY = re.compile(r"""\s*(?:"([^"]*)"|'([^']*)'|([A-Za-z0-9_-]+))\s*=""")


class _Locator:
    """Finds the line of a table or key for messages. tomllib gives lines for
    syntax errors only, so the file's table headers and the keys below each
    are indexed, in one pass over its lines: a config of many thousand
    entries asks for a line per entry."""

    def __init__(self, path: str, text: str) -> None:
        self.path = path
        #: ``(table, is an array of tables)`` -> one ``(header line, {key: line})`` per header.
        self.headers: dict[tuple[str, bool], list[tuple[int, dict[str, int]]]] = {}
        keys: dict[str, int] | None = None
        for number, line in enumerate(text.splitlines()):
            if line.lstrip().startswith("["):
                # A line opening with "[" ends the keys of the table above, as a header would.
                keys = None
                header = _HEADER.match(line)
                if header is not None:
                    keys = {}
                    self.headers.setdefault((header[2], header[1] == "[["), []).append((number, keys))
            elif keys is not None and (key := _KEY.match(line)) is not None:
                keys.setdefault(next(group for group in key.groups() if group is not None), number)

    def where(self, table: str, index: int | None = None, key: str | None = None) -> str:
        """``FILE: line N: [[table]] #K`` (entries counted from 1)."""
        entry = f"[[{table}]] #{index + 1}" if index is not None else f"[{table}]"
        found = self.headers.get((table, index is not None), [])
        place = ""
        if len(found) > (index or 0):
            start, keys = found[index or 0]
            place = f"line {keys.get(key, start) + 1 if key is not None else start + 1}: "
        return f"{self.path}: {place}{entry}"


def load_config(path: str | os.PathLike[str]) -> FunnelConfig:
    """Read and check a config file. Raises ConfigError naming the file, the
    entry, the key and its line, with a did-you-mean for a misspelled key."""
    path = os.fspath(path)
    raw = _read_bytes(path)
    try:
        text = raw.decode("utf-8")
        document = tomllib.loads(text)
    except UnicodeDecodeError as exc:
        raise ConfigError(f"{path}: not a UTF-8 text file ({exc.reason} at byte {exc.start})") from None
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(f"{path}: not valid TOML: {exc}") from None
    except RecursionError:
        # tomllib descends once per level of arrays and inline tables inside each other.
        raise ConfigError(f"{path}: cannot read the config: arrays or inline tables nested too deeply") from None
    locate = _Locator(path, text)
    for table in document:
        if table not in _TABLES:
            raise ConfigError(
                f"{path}: unknown table {table!r}{did_you_mean(table, _TABLES)} "
                f"(expected {' and '.join(_TABLES.values())})"
            )
    defaults = document.get("defaults", {})
    if not isinstance(defaults, dict):
        raise ConfigError(f"{path}: 'defaults' must be {_TABLES['defaults']}")
    checked_defaults = _settings(defaults, _DEFAULT_KEYS, lambda key: locate.where("defaults", None, key))
    entries = document.get("variable", [])
    if not isinstance(entries, list) or not all(isinstance(entry, dict) for entry in entries):
        raise ConfigError(f"{path}: 'variable' must be {_TABLES['variable']}")
    rules = []
    for index, entry in enumerate(entries):

        def where(key: str | None, index: int = index) -> str:
            return locate.where("variable", index, key)

        if "match" not in entry:
            raise ConfigError(f"{where(None)}: no 'match' (a glob on variable names, or a list of globs)")
        patterns = entry["match"]
        if isinstance(patterns, str):
            patterns = [patterns]
        if not isinstance(patterns, list) or not patterns or not all(isinstance(p, str) and p for p in patterns):
            raise ConfigError(
                f"{where('match')}: 'match' must be a glob or a non-empty list of globs, got {entry['match']!r}"
            )
        ignore = entry.get("ignore")
        if ignore is not None and not isinstance(ignore, bool):
            raise ConfigError(f"{where('ignore')}: 'ignore' must be true or false, got {ignore!r}")
        settings = _settings({k: v for k, v in entry.items() if k not in ("match", "ignore")}, _RULE_KEYS, where)
        rules.append(VariableRule(tuple(patterns), settings, ignore, where("match")))
    table = document.get("read", {})
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: 'read' must be {_TABLES['read']}")
    names = table.get("names")
    if names is not None and names not in NAMINGS:
        raise ConfigError(
            f"{locate.where('read', None, 'names')}: names must be {' or '.join(map(repr, NAMINGS))}, got {names!r}"
        )
    both = {key: value for key, value in table.items() if key not in (*SIDES, "names")}
    read = _read_table(both, "read", locate, both)
    sides = {}
    for side in SIDES:
        own = table.get(side, {})
        if not isinstance(own, dict):
            raise ConfigError(f"{locate.where('read', None, side)}: '{side}' must be a table [read.{side}]")
        sides[side] = _read_table({**both, **own}, f"read.{side}", locate, own)
    return FunnelConfig(path, checked_defaults, tuple(rules), read, sides, names)


def _read_table(merged: dict[str, Any], name: str, locate: _Locator, own: dict[str, Any]) -> dict[str, Any]:
    """A ``[read]`` table (``own``): how result files are read, checked as
    ReadOptions checks it, with what applies to them all (``merged``)."""
    for key in own:
        if key not in READ_KEYS:
            known = READ_KEYS if name != "read" else (*READ_KEYS, "names", *SIDES)
            hint = " (names pairs both sides: give it in [read])" if key == "names" else did_you_mean(key, known)
            raise ConfigError(f"{locate.where(name, None, key)}: unknown key {key!r}{hint}")
    try:
        ReadOptions(**merged)
    except SettingError as exc:
        raise ConfigError(f"{locate.where(name, None, exc.key)}: {exc.key}: {exc}") from None
    return dict(own)


def _settings(table: Mapping[str, Any], allowed: Sequence[str], where: Any) -> dict[str, Any]:
    checked = {}
    for key, value in table.items():
        if key not in allowed:
            raise ConfigError(f"{where(key)}: unknown key {key!r}{did_you_mean(key, allowed)}")
        try:
            checked[key] = check_setting(key, value)
        except SettingError as exc:
            raise ConfigError(f"{where(key)}: {exc}") from None
    return checked
