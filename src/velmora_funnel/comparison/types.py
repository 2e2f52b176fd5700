"""The values every layer of the package speaks in: the module's statuses,
curves as read-only float64 pairs, and the names of the six tolerances."""

from __future__ import annotations

import enum
from typing import Any, NamedTuple, TypeAlias

import numpy as np
from numpy.typing import NDArray

import _velmora_funnel as _vf

__all__ = ["COMPLETED", "TOLERANCE_NAMES", "Curve", "CurveLike", "FloatArray", "Status"]

FloatArray: TypeAlias = NDArray[np.float64]

#: Names of the six tolerances, in the order the module reads them.
TOLERANCE_NAMES: tuple[str, ...] = ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly")


class Status(enum.IntEnum):
    """Outcome of one comparison: the nine statuses of the compiled module.

    FAIL, PASS, MISSING_REFERENCE and MISSING_TEST are outcomes of a
    comparison that ran to the end (a funnel was built); the others reject the
    input before any funnel exists.
    """

    FAIL = _vf.STATUS_FAIL
    PASS = _vf.STATUS_PASS
    MISSING_REFERENCE = _vf.STATUS_MISSING_REFERENCE
    MISSING_TEST = _vf.STATUS_MISSING_TEST
    NON_MONOTONIC = _vf.STATUS_NON_MONOTONIC
    LENGTH_MISMATCH = _vf.STATUS_LENGTH_MISMATCH
    EMPTY_RANGE = _vf.STATUS_EMPTY_RANGE
    BUFFER_TOO_SMALL = _vf.STATUS_BUFFER_TOO_SMALL
    INSUFFICIENT_DATA = _vf.STATUS_INSUFFICIENT_DATA

    @property
    def message(self) -> str:
        """The module's own message for this status."""
        return _vf.status_message_py(int(self))

    @property
    def completed(self) -> bool:
        """True when the comparison ran to the end and built a funnel."""
        return self in COMPLETED


#: The statuses of a comparison that ran to the end and built a funnel.
COMPLETED = frozenset({Status.FAIL, Status.PASS, Status.MISSING_REFERENCE, Status.MISSING_TEST})


class Curve(NamedTuple):
    """A sampled curve: abscissae ``t`` and ordinates ``y`` (read-only float64)."""

    t: FloatArray
    y: FloatArray


#: What compare() accepts for a curve: a ``(t, y)`` pair of array-likes, or a
#: pandas Series whose index holds the abscissae.
CurveLike: TypeAlias = Any
