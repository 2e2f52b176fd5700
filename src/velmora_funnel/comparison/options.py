"""The options of one comparison: the six tolerances, the abscissa range and
the end tolerance, checked once, and the dict the module reads built once."""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import TYPE_CHECKING, Any

import numpy as np

import _velmora_funnel as _vf

from .types import TOLERANCE_NAMES

__all__ = ["MODULE_DEFAULTS", "CompareOptions", "check_end_tolerance", "check_tolerances", "check_x_range"]

# The module's defaults never change while it is loaded.
MODULE_DEFAULTS = _vf.default_options()["tolerances"]


def check_tolerances(**tolerances: object) -> dict[str, float]:
    """Validate tolerances given by name; return all six as floats.

    Names not given take the module's defaults. Unknown names raise
    TypeError; values that are not real numbers raise TypeError; values that
    are not finite or are negative raise ValueError naming the option (the
    module would accept them and build a funnel of no meaning).
    """
    defaults = MODULE_DEFAULTS
    checked: dict[str, float] = {}
    for name in tolerances:
        if name not in TOLERANCE_NAMES:
            raise TypeError(f"unknown tolerance {name!r}; expected one of {', '.join(TOLERANCE_NAMES)}")
    for name in TOLERANCE_NAMES:
        value = tolerances.get(name)
        if value is None:
            checked[name] = float(defaults[name])  # type: ignore[literal-required]
            continue
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
            raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
        number = float(value)
        if not math.isfinite(number) or number < 0.0:
            raise ValueError(f"{name} must be a finite number >= 0, got {number!r}")
        checked[name] = number
    return checked


def check_end_tolerance(value: object) -> float:
    """Validate how far apart in t the two curves' ends may lie (None: 0, the
    module's own rule); a finite number >= 0, as a float."""
    if value is None:
        return 0.0
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"end_tolerance must be a real number, got {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number) or number < 0.0:
        raise ValueError(f"end_tolerance must be a finite number >= 0, got {number!r}")
    return number


def check_x_range(x_range: object) -> tuple[float, float]:
    """Validate an abscissa range ``(lo, hi)``; None (or a None end) is open.

    A not-a-number end is refused: the module would silently retain no point.
    The order of the ends is left to the module, which reports lo >= hi as
    EMPTY_RANGE.
    """
    if x_range is None:
        return (-math.inf, math.inf)
    if isinstance(x_range, (str, bytes)) or not hasattr(x_range, "__len__") or len(x_range) != 2:
        raise TypeError(f"x_range must be a (lo, hi) pair, got {x_range!r}")
    ends = []
    for label, value, open_end in zip(("lo", "hi"), x_range, (-math.inf, math.inf), strict=True):  # type: ignore[call-overload]
        if value is None:
            ends.append(open_end)
            continue
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
            raise TypeError(f"x_range {label} must be a real number or None, got {type(value).__name__}")
        number = float(value)
        if math.isnan(number):
            raise ValueError(f"x_range {label} must not be NaN")
        ends.append(number)
    return (ends[0], ends[1])


def _same_float(a: float, b: float) -> bool:
    # Equal, with the sign of a zero: -0.0 == 0.0 but is not the same tolerance.
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


@dataclass(frozen=True)
class CompareOptions:
    """The checked options of one comparison: all six tolerances, the
    abscissa range (infinite ends when open) and the end tolerance.
    ``CompareOptions.check()`` builds one from compare()'s keywords; a
    comparison that gets one checks nothing again."""

    #: The six tolerances by name, as check_tolerances() gives them.
    tolerances: Mapping[str, float]
    #: ``(lo, hi)`` as check_x_range() gives it.
    x_range: tuple[float, float] = (-math.inf, math.inf)
    #: How far apart in t the ends of the two curves (inside the range) may
    #: lie, as check_end_tolerance() gives it; 0 is the module's own rule.
    end_tolerance: float = 0.0
    if TYPE_CHECKING:
        # The options dict the module reads, set by __post_init__; declared for
        # the type checker only, so it is no field of the dataclass at run time.
        _module_options: _vf._Options = field(init=False, repr=False, compare=False)
        _tolerance_view: Mapping[str, float] = field(init=False, repr=False, compare=False)
        _module_argument: _vf._Options | None = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        # What the module reads, built once: a snapshot, so results share one
        # record of the tolerances that nobody can change.
        lo, hi = self.x_range
        tolerances = dict(self.tolerances)
        object.__setattr__(self, "_module_options", {"tolerances": tolerances, "x_range": {"lo": lo, "hi": hi}})
        object.__setattr__(self, "_tolerance_view", MappingProxyType(tolerances))
        # The module's own defaults, bit for bit, need no dict to read.
        defaults = all(
            _same_float(tolerances[name], float(default))  # type: ignore[arg-type]
            for name, default in MODULE_DEFAULTS.items()
        )
        unbounded = _same_float(lo, -math.inf) and _same_float(hi, math.inf)
        object.__setattr__(self, "_module_argument", None if defaults and unbounded else self._module_options)

    def __reduce__(self) -> tuple[Any, ...]:
        # The fields alone: __post_init__ builds the rest again (a mapping
        # proxy does not pickle).
        return type(self), (self.tolerances, self.x_range, self.end_tolerance)

    @property
    def judges_ends(self) -> bool:
        """Whether the package judges the curves' ends itself: inside an
        explicit range, or with an end tolerance (else the module's verdict
        on the complete curves stands as it is)."""
        lo, hi = self.x_range
        return self.end_tolerance > 0.0 or lo != -math.inf or hi != math.inf

    @classmethod
    def check(cls, *, x_range: object = None, end_tolerance: object = None, **tolerances: object) -> CompareOptions:
        """Check compare()'s keywords (TypeError or ValueError as compare() raises)."""
        return cls(check_tolerances(**tolerances), check_x_range(x_range), check_end_tolerance(end_tolerance))
