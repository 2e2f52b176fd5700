"""Run options: which variables to compare and with which tolerances.

One RunOptions object, checked once, carries everything the command line,
a batch's workers, ``accept`` and the pytest fixture need: the config file
(``velmora-funnel.toml``), the settings given for every variable (command
line or keywords), the selected and excluded variable names, how result
files are read (on both sides, or on each), how variables pair across the
files, what a variable on one side only does, and whether values that are
not finite may pass.

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
from ..errors import ResultFileError, SettingError
from ..io import READ_KEYS, ReadOptions
from .config import POLICY_KEYS, SIDES, FunnelConfig, check_setting, did_you_mean, load_config
from .globs import GlobIndex, is_glob, matches
from .names import NAMINGS, NameClash, Variable, normal_form, pair_names

__all__ = ["Pattern", "Policy", "RunOptions"]


@dataclass(frozen=True)
class Policy:
    """What a variable on one side only does to the run: "fail" it or "warn"."""

    on_missing: str = "fail"
    on_new: str = "warn"


def _tuple(columns: Sequence[str] | None) -> tuple[str, ...] | None:
    return None if columns is None else tuple(columns)


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
    #: How the reference's and the test's files are read where that differs from ``read``.
    read_reference: ReadOptions | None = None
    read_test: ReadOptions | None = None
    #: How variables pair across the two files (names.NAMINGS).
    names: str = "exact"
    _resolved: dict[tuple[int, ...], tuple[CompareOptions | None, Policy]] = field(
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
        read_reference: Mapping[str, Any] | None = None,
        read_test: Mapping[str, Any] | None = None,
        names: str | None = None,
        **settings: object,
    ) -> RunOptions:
        """Check the settings (compare()'s keywords, ``on_missing`` and
        ``on_new``; None for not given) and read ``config`` when it is a path.
        ``read`` is how result files are read: ReadOptions as they are, or
        the keys given (stronger than the config's ``[read]``);
        ``read_reference`` and ``read_test`` the keys for one side's files
        (stronger still, and than ``[read.reference]``, ``[read.test]``).
        ``names`` is how variables pair ("exact", "modelica"; stronger than
        the config's). Raises SettingError or ConfigError."""
        overrides = {key: check_setting(key, value) for key, value in settings.items() if value is not None}
        if config is not None and not isinstance(config, FunnelConfig):
            config = load_config(config)
        config = config or FunnelConfig()
        naming = names or config.names or "exact"
        if naming not in NAMINGS:
            raise SettingError("names", f"names must be {' or '.join(map(repr, NAMINGS))}, got {naming!r}")
        given = {"reference": read_reference or {}, "test": read_test or {}}
        if isinstance(read, ReadOptions):
            # Taken as they are, the config's [read] tables aside; each side's keys still go on top.
            common = {key: getattr(read, key) for key in READ_KEYS}
            reading: ReadOptions | None = read
            tables: list[Mapping[str, Any]] = [common, common]
        else:
            # Weakest first: [read], [read.SIDE], the options for both sides, those for one side.
            common = {**config.read, **(read or {})}
            reading = ReadOptions(**common) if common else None
            tables = [{**config.read, **config.read_sides.get(side, {}), **(read or {})} for side in SIDES]
        sides = []
        for side, table in zip(SIDES, tables, strict=True):
            own = {**table, **given[side]}
            sides.append(ReadOptions(**own) if own != common else None)
        return cls(
            config,
            overrides,
            _tuple(columns),
            tuple(exclude),
            allow_non_finite,
            reading,
            sides[0],
            sides[1],
            naming,
        )

    def reading(self, side: str) -> ReadOptions | None:
        """How the files of ``side`` ("reference" or "test") are read."""
        own = self.read_reference if side == "reference" else self.read_test
        return own if own is not None else self.read

    def sides(self) -> tuple[ReadOptions | None, ReadOptions | None]:
        """How the reference's and the test's files are read."""
        return self.reading("reference"), self.reading("test")

    def base(self) -> CompareOptions:
        """The options of a variable that no ``[[variable]]`` entry matches."""
        settings = {**_OPEN, **self.config.defaults, **self.overrides}
        return _options(settings)

    def for_variable(self, name: str, spelled: str | None = None) -> CompareOptions | None:
        """The options ``name`` is compared with; None when it is ignored.
        ``spelled`` is the test file's spelling when that differs (names
        paired as Modelica names): an entry that fits either applies."""
        return self._settings(name, spelled)[0]

    def policy(self, name: str, spelled: str | None = None) -> Policy:
        """What ``name`` does to the run when it is on one side only."""
        return self._settings(name, spelled)[1]

    def _settings(self, name: str, spelled: str | None) -> tuple[CompareOptions | None, Policy]:
        rules, owners = self._index("rules")
        hits = rules.hits(name) + (rules.hits(spelled) if spelled is not None and spelled != name else [])
        applying = tuple(sorted({owners[hit] for hit in hits}))
        if applying not in self._resolved:
            settings: dict[str, Any] = {**_OPEN, **POLICY_KEYS, **self.config.defaults}
            ignore: bool | None = None
            for index in applying:
                rule = self.config.rules[index]
                settings.update(rule.settings)
                ignore = rule.ignore if rule.ignore is not None else ignore
            settings.update(self.overrides)
            options = None if ignore else _options(settings)
            self._resolved[applying] = (options, Policy(settings["on_missing"], settings["on_new"]))
        return self._resolved[applying]

    def variables(
        self, reference: Sequence[str], test: Sequence[str], paths: tuple[str, str] = SIDES
    ) -> list[Variable]:
        """The variables to compare, each with its spelling in both files
        (None where a file does not have it), paired as ``names`` says: all
        of them (reference order, then the test's own) or those ``columns``
        names, in that order; a name given without wildcards that is in
        neither file is kept (it is missing), ``exclude`` drops what it fits.
        A glob fits a variable that either file's spelling of it fits. Two
        names of one file that pair as one variable raise ResultFileError
        naming that file (``paths``)."""
        try:
            every = pair_names(reference, test, self.names)
        except NameClash as exc:
            raise ResultFileError(paths[SIDES.index(exc.side)], str(exc)) from None

        normal = normal_form(self.names)

        def fits(pattern: str, variable: Variable) -> bool:
            return any(matches(pattern, spelled) for spelled in {variable.name, variable.test} if spelled is not None)

        by_normal: dict[str, Variable] | None = None
        if self.columns is None:
            chosen = every
        else:
            chosen = []
            for column in self.columns:
                hits = [variable for variable in every if fits(column, variable)]
                if not hits and not is_glob(column):
                    # A name spelled as the other tool spells it names the same variable.
                    if by_normal is None:
                        by_normal = {normal(v.reference or v.test or ""): v for v in every}
                    hits = [by_normal[key]] if (key := normal(column)) in by_normal else []
                chosen += hits or ([] if is_glob(column) else [Variable(column, None, None)])
        seen: set[str] = set()
        selected = []
        for variable in chosen:
            if variable.name not in seen and not any(fits(pattern, variable) for pattern in self.exclude):
                seen.add(variable.name)
                selected.append(variable)
        return selected

    def select(self, reference: Sequence[str], test: Sequence[str]) -> list[tuple[str, bool, bool]]:
        """variables() as ``(name, in_reference, in_test)``."""
        return [(v.name, v.reference is not None, v.test is not None) for v in self.variables(reference, test)]

    def named(self, name: str) -> bool:
        """Whether the user asked for ``name`` by its whole name (not by a
        glob): in ``columns`` or in a config entry that sets how it is
        compared, and neither excluded nor ignored."""
        given = any(column == name for column in self.columns or ())
        given = given or any(name in rule.match for rule in self.config.rules if not rule.ignore)
        return (
            given
            and not any(matches(pattern, name) for pattern in self.exclude)
            and self.for_variable(name) is not None
        )

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
