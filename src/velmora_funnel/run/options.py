"""Run options: which variables to compare and with which tolerances.

One RunOptions object, checked once, carries everything the command line,
a batch's workers, ``accept`` and the pytest fixture need: the config file
(``velmora-funnel.toml``), the settings given for every variable (command
line or keywords), the selected and excluded variable names, how result
files are read, and whether values that are not finite may pass.

Precedence for each variable, from weakest: the module's defaults, the
config's ``[defaults]``, every ``[[variable]]`` entry whose ``match`` fits
the name (in file order, key by key), then the settings given for every
variable.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from ..comparison import TOLERANCE_NAMES, CompareOptions, check_tolerances
from ..io import ReadOptions
from .config import FunnelConfig, check_setting, did_you_mean, load_config
from .globs import GlobIndex, is_glob, matches

__all__ = ["Pattern", "RunOptions"]


# Every setting before the config or the caller gives one: the module's
# defaults, an open range, the module's own end rule.
_OPEN: Mapping[str, Any] = {**check_tolerances(), "x_range": (-math.inf, math.inf), "end_tolerance": 0.0}


def _options(settings: Mapping[str, Any]) -> CompareOptions:
    return CompareOptions(
        {name: settings[name] for name in TOLERANCE_NAMES}, settings["x_range"], settings["end_tolerance"]
    )


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
    # Made on first use: the config's globs and the run's, indexed once
    # rather than each tried for every variable of every file.
    _indexes: dict[str, tuple[GlobIndex, tuple[int, ...]]] = field(
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
        settings = {**_OPEN, **self.config.defaults, **self.overrides}
        return _options(settings)

    def for_variable(self, name: str) -> CompareOptions | None:
        """The options ``name`` is compared with; None when it is ignored."""
        rules, owners = self._index("rules")
        applying = tuple(sorted({owners[hit] for hit in rules.hits(name)}))
        if applying not in self._resolved:
            settings: dict[str, Any] = {**_OPEN, **self.config.defaults}
            ignore: bool | None = None
            for index in applying:
                rule = self.config.rules[index]
                settings.update(rule.settings)
                ignore = rule.ignore if rule.ignore is not None else ignore
            settings.update(self.overrides)
            self._resolved[applying] = None if ignore else _options(settings)
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
                chosen += hits or ([] if is_glob(column) else [(column, False, False)])
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
        found += [Pattern(p, "columns") for p in self.columns or () if is_glob(p)]
        found += [Pattern(p, "exclude") for p in self.exclude]
        return tuple(found)

    def matched(self, names: Iterable[str]) -> frozenset[int]:
        """Indices into patterns() of the globs that fit any of ``names``."""
        patterns, _ = self._index("patterns")
        hit: set[int] = set()
        every = len(self.patterns())
        for name in names:
            hit.update(patterns.hits(name))
            if len(hit) == every:
                break
        return frozenset(hit)

    def _index(self, which: str) -> tuple[GlobIndex, tuple[int, ...]]:
        """The globs of the config's rules ("rules", each with its rule's
        index) or of patterns() ("patterns"), indexed."""
        if which not in self._indexes:
            if which == "rules":
                pairs = [(p, i) for i, rule in enumerate(self.config.rules) for p in rule.match]
            else:
                pairs = [(p.text, i) for i, p in enumerate(self.patterns())]
            self._indexes[which] = (GlobIndex(p for p, _ in pairs), tuple(i for _, i in pairs))
        return self._indexes[which]

    def unmatched(
        self,
        matched: Iterable[int],
        names: Iterable[str] = (),
        *,
        config: bool = True,
        spell: Mapping[str, str] | None = None,
    ) -> list[str]:
        """A message for each glob that fit no variable of the run; the
        config's globs only with ``config`` (a config serves a whole folder of
        references, so comparing one file of it need not match them all).
        ``spell`` names the keywords ``columns`` and ``exclude`` as the caller
        knows them (the command line's flags)."""
        hit = set(matched)
        known = sorted(set(names))
        messages = []
        for index, pattern in enumerate(self.patterns()):
            if index not in hit and (config or pattern.origin in ("columns", "exclude")):
                hint = did_you_mean(pattern.text, known) if known else ""
                origin = (spell or {}).get(pattern.origin, pattern.origin)
                messages.append(f"{origin} {pattern.text!r} matches no variable{hint}")
        return messages

    def describe(self) -> str:
        """One line for reports: the settings for every variable and the config file."""
        base = self.base()
        lo, hi = base.x_range
        text = (
            ", ".join(f"{name} = {value:g}" for name, value in base.tolerances.items()) + f"; x range [{lo:g}, {hi:g}]"
        )
        if base.end_tolerance:
            text += f"; end tolerance {base.end_tolerance:g}"
        if self.config.path:
            text += f"; per-variable settings from {self.config.path}"
        return text
