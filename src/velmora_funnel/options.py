"""Run options: which variables to compare and with which tolerances.

One RunOptions object, checked once, carries everything the command line,
a batch's workers, ``accept`` and the pytest fixture need: the config file
(``velmora-funnel.toml``), the settings given for every variable (command
line or keywords), the selected and excluded variable names, and whether
values that are not finite may pass.

Precedence for each variable, from weakest: the module's defaults, the
config's ``[defaults]``, every ``[[variable]]`` entry whose ``match`` fits
the name (in file order, key by key), then the settings given for every
variable. The config is TOML, read with tomllib; variable names are matched
with fnmatch's case-sensitive globs (a pattern also matches the name it
spells exactly, so ``x[1]`` names the variable ``x[1]``).
"""

from __future__ import annotations

import difflib
import math
import os
import re
import tomllib
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from fnmatch import fnmatchcase
from typing import Any

from ._api import TOLERANCE_NAMES, CompareOptions, check_tolerances, check_x_range
from ._options import READ_KEYS, ReadOptions, SettingError

__all__ = [
    "CONFIG_NAME",
    "SETTING_NAMES",
    "ConfigError",
    "FunnelConfig",
    "RunOptions",
    "SettingError",
    "VariableRule",
    "check_setting",
    "find_config",
    "load_config",
    "matches",
]

#: The config file's name, looked for beside the reference file or in the reference folder.
CONFIG_NAME = "velmora-funnel.toml"

#: The settings a config or the command line may give: compare()'s keywords.
SETTING_NAMES: tuple[str, ...] = (*TOLERANCE_NAMES, "x_range")


class ConfigError(ValueError):
    """A config file that cannot be used; the message names the file, the
    entry, the key and the line where it can be found."""


def check_setting(key: str, value: object) -> Any:
    """One setting checked as compare() checks it: a tolerance as a float, an
    x_range as ``(lo, hi)`` with lo below hi (the module would compare
    nothing). Raises SettingError naming ``key``."""
    try:
        if key == "x_range":
            lo, hi = check_x_range(value)
            if not lo < hi:
                raise ValueError(f"x_range must have LO below HI, got [{lo:g}, {hi:g}]")
            return (lo, hi)
        if key not in TOLERANCE_NAMES:
            raise ValueError(f"unknown setting {key!r}{_did_you_mean(key, SETTING_NAMES)}")
        return check_tolerances(**{key: value})[key]
    except (TypeError, ValueError) as exc:
        raise SettingError(key, str(exc)) from None


def _did_you_mean(word: str, choices: Iterable[str]) -> str:
    close = difflib.get_close_matches(word, list(choices), n=1)
    return f"; did you mean {close[0]!r}?" if close else ""


def matches(pattern: str, name: str) -> bool:
    """Whether a glob fits a variable name (case-sensitive; a pattern also
    fits the name it spells exactly, brackets and all)."""
    return name == pattern or fnmatchcase(name, pattern)


def _is_glob(pattern: str) -> bool:
    return any(char in pattern for char in "*?[")


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
        return any(matches(pattern, name) for pattern in self.match)


@dataclass(frozen=True)
class FunnelConfig:
    """A config file's ``[defaults]`` and ``[[variable]]`` entries (empty without a file)."""

    path: str | None = None
    defaults: Mapping[str, Any] = field(default_factory=dict)
    rules: tuple[VariableRule, ...] = ()
    #: How the result files are read (``[read]``: ReadOptions' keys), checked.
    read: Mapping[str, Any] = field(default_factory=dict)


# The tables a config file may have. A new table (the reading options of a
# result file, say) is one more entry here and one more reader below.
_TABLES = {"defaults": "a table [defaults]", "variable": "an array of tables [[variable]]", "read": "a table [read]"}
_RULE_KEYS = ("match", "ignore", *SETTING_NAMES)


def find_config(reference: str | os.PathLike[str]) -> str | None:
    """The config that belongs to a reference: ``velmora-funnel.toml`` in the
    reference folder, or beside the reference file; None when there is none."""
    reference = os.fspath(reference)
    folder = reference if os.path.isdir(reference) else os.path.dirname(reference) or "."
    path = os.path.join(folder, CONFIG_NAME)
    return path if os.path.isfile(path) else None


class _Locator:
    """Finds the line of a table or key for messages. tomllib gives lines for
    syntax errors only, so the lines of the file are searched for the n-th
    table header and the key below it."""

    def __init__(self, path: str, text: str) -> None:
        self.path = path
        self.lines = text.splitlines()

    def _header(self, table: str, index: int | None) -> int | None:
        pattern = re.compile(rf"^\s*\[\[\s*{table}\s*\]\]" if index is not None else rf"^\s*\[\s*{table}\s*\]")
        seen = -1
        for number, line in enumerate(self.lines):
            if pattern.match(line):
                seen += 1
                if index is None or seen == index:
                    return number
        return None

    def where(self, table: str, index: int | None = None, key: str | None = None) -> str:
        """``FILE: line N: [[table]] #K`` (entries counted from 1)."""
        entry = f"[[{table}]] #{index + 1}" if index is not None else f"[{table}]"
        start = self._header(table, index)
        line = start
        if start is not None and key is not None:
            key_pattern = re.compile(rf"""^\s*(["']?){re.escape(key)}\1\s*=""")
            for number in range(start + 1, len(self.lines)):
                if self.lines[number].lstrip().startswith("["):
                    break
                if key_pattern.match(self.lines[number]):
                    line = number
                    break
        place = f"line {line + 1}: " if line is not None else ""
        return f"{self.path}: {place}{entry}"


def load_config(path: str | os.PathLike[str]) -> FunnelConfig:
    """Read and check a config file. Raises ConfigError naming the file, the
    entry, the key and its line, with a did-you-mean for a misspelled key."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as handle:
            raw = handle.read()
    except OSError as exc:
        raise ConfigError(f"{path}: cannot read the config: {exc.strerror or exc}") from None
    try:
        text = raw.decode("utf-8")
        document = tomllib.loads(text)
    except UnicodeDecodeError as exc:
        raise ConfigError(f"{path}: not a UTF-8 text file ({exc.reason} at byte {exc.start})") from None
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(f"{path}: not valid TOML: {exc}") from None
    locate = _Locator(path, text)
    for table in document:
        if table not in _TABLES:
            raise ConfigError(
                f"{path}: unknown table {table!r}{_did_you_mean(table, _TABLES)} "
                f"(expected {' and '.join(_TABLES.values())})"
            )
    defaults = document.get("defaults", {})
    if not isinstance(defaults, dict):
        raise ConfigError(f"{path}: 'defaults' must be {_TABLES['defaults']}")
    checked_defaults = _settings(defaults, SETTING_NAMES, lambda key: locate.where("defaults", None, key))
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
    return FunnelConfig(path, checked_defaults, tuple(rules), _read_table(document.get("read", {}), path, locate))


def _read_table(table: object, path: str, locate: _Locator) -> dict[str, Any]:
    """The ``[read]`` table: how result files are read, checked as ReadOptions checks it."""
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: 'read' must be {_TABLES['read']}")
    for key in table:
        if key not in READ_KEYS:
            raise ConfigError(f"{locate.where('read', None, key)}: unknown key {key!r}{_did_you_mean(key, READ_KEYS)}")
    try:
        ReadOptions(**table)
    except SettingError as exc:
        raise ConfigError(f"{locate.where('read', None, exc.key)}: {exc.key}: {exc}") from None
    return dict(table)


def _settings(table: Mapping[str, Any], allowed: Sequence[str], where: Any) -> dict[str, Any]:
    checked = {}
    for key, value in table.items():
        if key not in allowed:
            raise ConfigError(f"{where(key)}: unknown key {key!r}{_did_you_mean(key, allowed)}")
        try:
            checked[key] = check_setting(key, value)
        except SettingError as exc:
            raise ConfigError(f"{where(key)}: {exc}") from None
    return checked


@dataclass(frozen=True)
class Pattern:
    """A glob given by the user, with where it was given (for "matches nothing")."""

    text: str
    origin: str


@dataclass(frozen=True)
class RunOptions:
    """Everything that decides what a run compares and how, checked once.

    Build it with RunOptions.build(); it pickles, so a batch's workers get
    the same object."""

    #: The config file's entries (empty without one).
    config: FunnelConfig = field(default_factory=FunnelConfig)
    #: Settings for every variable, checked; stronger than the config.
    overrides: Mapping[str, Any] = field(default_factory=dict)
    #: Variable names or globs to compare, in this order; None: all.
    columns: tuple[str, ...] | None = None
    #: Globs of variables not to compare (not listed at all).
    exclude: tuple[str, ...] = ()
    #: Let NaN, infinite ordinates and funnels that are not finite pass on the module's verdict.
    allow_non_finite: bool = False
    #: How result files are read (format, CSV dialect, time column); None: by extension.
    read: ReadOptions | None = None
    _resolved: dict[tuple[int, ...], CompareOptions | None] = field(
        default_factory=dict, init=False, repr=False, compare=False
    )

    @classmethod
    def build(
        cls,
        *,
        config: FunnelConfig | str | os.PathLike[str] | None = None,
        columns: Sequence[str] | None = None,
        exclude: Sequence[str] = (),
        allow_non_finite: bool = False,
        read: Mapping[str, Any] | ReadOptions | None = None,
        **settings: object,
    ) -> RunOptions:
        """Check the settings (compare()'s keywords, None for not given) and
        read ``config`` when it is a path. ``read`` is how result files are
        read: ReadOptions as they are, or the keys given (stronger than the
        config's ``[read]``). Raises SettingError or ConfigError."""
        overrides = {key: check_setting(key, value) for key, value in settings.items() if value is not None}
        if config is not None and not isinstance(config, FunnelConfig):
            config = load_config(config)
        config = config or FunnelConfig()
        reading: ReadOptions | None = None
        if isinstance(read, ReadOptions):
            reading = read
        elif config.read or read:
            # Reading options given here (the command line's) are stronger than the config's [read].
            reading = ReadOptions(**{**config.read, **(read or {})})
        return cls(
            config,
            overrides,
            None if columns is None else tuple(columns),
            tuple(exclude),
            allow_non_finite,
            reading,
        )

    def base(self) -> CompareOptions:
        """The options of a variable that no ``[[variable]]`` entry matches."""
        settings = {**check_tolerances(), "x_range": (-math.inf, math.inf), **self.config.defaults, **self.overrides}
        return CompareOptions({name: settings[name] for name in TOLERANCE_NAMES}, settings["x_range"])

    def for_variable(self, name: str) -> CompareOptions | None:
        """The options ``name`` is compared with; None when it is ignored."""
        applying = tuple(index for index, rule in enumerate(self.config.rules) if rule.applies(name))
        if applying not in self._resolved:
            settings: dict[str, Any] = {**check_tolerances(), "x_range": (-math.inf, math.inf), **self.config.defaults}
            ignore: bool | None = None
            for index in applying:
                rule = self.config.rules[index]
                settings.update(rule.settings)
                ignore = rule.ignore if rule.ignore is not None else ignore
            settings.update(self.overrides)
            self._resolved[applying] = (
                None if ignore else CompareOptions({key: settings[key] for key in TOLERANCE_NAMES}, settings["x_range"])
            )
        return self._resolved[applying]

    def select(self, reference: Sequence[str], test: Sequence[str]) -> list[tuple[str, bool, bool]]:
        """The variables to compare, ``(name, in_reference, in_test)``: all of
        them (reference order, then the test's own) or those ``columns``
        names, in that order; a name given without wildcards that is in
        neither file is kept (it is missing), ``exclude`` drops what it fits."""
        in_reference, in_test = set(reference), set(test)
        every = [(name, True, name in in_test) for name in reference]
        every += [(name, False, True) for name in test if name not in in_reference]
        if self.columns is None:
            chosen = every
        else:
            chosen = []
            for column in self.columns:
                hits = [item for item in every if matches(column, item[0])]
                chosen += hits or ([] if _is_glob(column) else [(column, False, False)])
        seen: set[str] = set()
        selected = []
        for item in chosen:
            if item[0] not in seen and not any(matches(pattern, item[0]) for pattern in self.exclude):
                seen.add(item[0])
                selected.append(item)
        return selected

    def patterns(self) -> tuple[Pattern, ...]:
        """Every glob the user gave that must fit some variable of the run."""
        found = [Pattern(p, rule.where + " match") for rule in self.config.rules for p in rule.match]
        found += [Pattern(p, "--column") for p in self.columns or () if _is_glob(p)]
        found += [Pattern(p, "--exclude") for p in self.exclude]
        return tuple(found)

    def matched(self, names: Iterable[str]) -> frozenset[int]:
        """Indices into patterns() of the globs that fit any of ``names``."""
        patterns = self.patterns()
        hit: set[int] = set()
        for name in names:
            hit.update(i for i, pattern in enumerate(patterns) if i not in hit and matches(pattern.text, name))
            if len(hit) == len(patterns):
                break
        return frozenset(hit)

    def unmatched(self, matched: Iterable[int], names: Iterable[str] = (), *, config: bool = True) -> list[str]:
        """A message for each glob that fit no variable of the run; the
        config's globs only with ``config`` (a config serves a whole folder of
        references, so comparing one file of it need not match them all)."""
        hit = set(matched)
        known = sorted(set(names))
        messages = []
        for index, pattern in enumerate(self.patterns()):
            if index not in hit and (config or pattern.origin in ("--column", "--exclude")):
                hint = _did_you_mean(pattern.text, known) if known else ""
                messages.append(f"{pattern.origin} {pattern.text!r} matches no variable{hint}")
        return messages

    def describe(self) -> str:
        """One line for reports: the settings for every variable and the config file."""
        base = self.base()
        lo, hi = base.x_range
        text = (
            ", ".join(f"{name} = {value:g}" for name, value in base.tolerances.items()) + f"; x range [{lo:g}, {hi:g}]"
        )
        if self.config.path:
            text += f"; per-variable settings from {self.config.path}"
        return text
