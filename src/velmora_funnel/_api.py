"""The friendly comparison API over the compiled funnel module.

compare() turns whatever the caller holds (lists, NumPy arrays of any real
dtype or layout, pandas Series) into the contiguous float64 arrays that
_velmora_funnel.compare insists on, refuses tolerances that would build a
meaningless funnel, and wraps the result dict in an immutable CompareResult.
The verdict itself is always the compiled module's.
"""

from __future__ import annotations

import datetime
import enum
import math
import sys
from collections.abc import Callable, Mapping
from dataclasses import FrozenInstanceError, dataclass, field
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, NamedTuple, TypeAlias

import numpy as np
from numpy.typing import NDArray

import _velmora_funnel as _vf

from . import _kernels

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = [
    "TOLERANCE_NAMES",
    "CompareOptions",
    "CompareResult",
    "Curve",
    "CurveLike",
    "Status",
    "as_curve",
    "check_tolerances",
    "check_x_range",
    "compare",
    "compare_checked",
    "compare_curves",
]

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
        return self in _COMPLETED


_COMPLETED = frozenset({Status.FAIL, Status.PASS, Status.MISSING_REFERENCE, Status.MISSING_TEST})


class Curve(NamedTuple):
    """A sampled curve: abscissae ``t`` and ordinates ``y`` (read-only float64)."""

    t: FloatArray
    y: FloatArray


#: What compare() accepts for a curve: a ``(t, y)`` pair of array-likes, or a
#: pandas Series whose index holds the abscissae.
CurveLike: TypeAlias = Any


# The storage behind an array that nothing can write: Python bytes, a block
# of a sealed copy, or the capsule through which the module hands over its
# result vectors.
_IMMUTABLE_OWNERS: tuple[type, ...] = (bytes, _kernels.Block, type(datetime.datetime_CAPI))


def _is_sealed(array: FloatArray, *, owning_array: bool = False) -> bool:
    """True when no one can write the array's memory: read-only all the way
    down to an immutable owner. A read-only view of a writeable array is not
    sealed (its base can still be written, and its flag turned back on).
    With ``owning_array``, an owner that is a read-only array owning its
    memory counts too (only a deliberate flag change could write it)."""
    owner: object = array
    while isinstance(owner, np.ndarray):
        if owner.flags.writeable:
            return False
        if owner.base is None:
            return owning_array
        owner = owner.base
    return isinstance(owner, _IMMUTABLE_OWNERS)


def _sealed_copy(array: FloatArray) -> FloatArray:
    """A read-only copy of the array whose storage is immutable (bytes, or a
    block of the kernels' cache), so that neither the caller nor anyone
    holding the result can change it."""
    array = np.ascontiguousarray(array, dtype=np.float64)
    # frombuffer's default dtype is float64; naming it costs a third more.
    if array.nbytes < _BLOCK_FROM:
        return np.frombuffer(array.tobytes())
    return np.frombuffer(_kernels.sealed_copy(array))


# Below this size the allocator reuses freed memory by itself, and bytes cost
# one call less; above it, freed blocks go back to the system at once and the
# kernels' cache saves the page faults of the next copy.
_BLOCK_FROM = 128 * 1024


def _private(array: FloatArray, fresh: bool) -> FloatArray:
    """The array as the result keeps it: one made during this call is frozen in
    place; one that (also) belongs to the caller is copied, unless it is sealed."""
    if fresh:
        array.flags.writeable = False
        return array
    return array if _is_sealed(array) else _sealed_copy(array)


def _frozen(array: FloatArray) -> FloatArray:
    """What a result built by hand (or unpickled), or from a loaded table,
    keeps: an array read-only all the way down to its owner (an immutable
    object, or an array that owns its data) as it is, anything else copied."""
    if array.flags.c_contiguous and _is_sealed(array, owning_array=True):
        return array
    return _sealed_copy(array)


def _is_pandas(obj: object, kind: str) -> bool:
    # pandas is optional here: if it was never imported, obj cannot be one.
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(obj, getattr(pd, kind))


def _as_float64(values: object, what: str) -> tuple[FloatArray, bool]:
    """Convert one axis to a 1-D contiguous float64 array, copying only when
    the input is not already one (another dtype, byte order or layout).

    Also says whether the array was made by this call (True) or may share
    memory with the caller's data (False). Masked values become NaN: they are
    missing, as pandas' NA is.
    """
    fresh = False
    if _is_pandas(values, "Series") or _is_pandas(values, "Index"):
        import pandas as pd

        dtype = values.dtype  # type: ignore[attr-defined]
        if pd.api.types.is_bool_dtype(dtype) or not pd.api.types.is_numeric_dtype(dtype):
            raise TypeError(f"{what} must hold real numbers, got dtype {dtype}")
        if pd.api.types.is_complex_dtype(dtype):
            raise TypeError(f"{what} must hold real numbers, got dtype {dtype}")
        # pandas may hand back its own block, so what it returns is never ours.
        values = values.to_numpy(dtype=np.float64, na_value=np.nan)  # type: ignore[attr-defined]
    elif _is_masked(values):
        if values.dtype.kind not in "iuf":  # type: ignore[attr-defined]
            raise TypeError(f"{what} must hold real numbers, got dtype {values.dtype}")  # type: ignore[attr-defined]
        values, fresh = values.astype(np.float64).filled(np.nan), True  # type: ignore[attr-defined]
    elif isinstance(values, (list, tuple)):
        fresh = True  # np.asarray builds a new array from a sequence
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{what} cannot be read as an array of numbers: {exc}") from None
    if array.dtype.kind == "O":
        try:
            array, fresh = array.astype(np.float64), True
        except (TypeError, ValueError) as exc:
            raise TypeError(f"{what} must hold real numbers: {exc}") from None
    elif array.dtype.kind not in "iuf":
        raise TypeError(f"{what} must hold real numbers, got dtype {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    converted = np.ascontiguousarray(array, dtype=np.float64)
    return converted, fresh or converted is not array


def _is_masked(obj: object) -> bool:
    ma = sys.modules.get("numpy.ma")
    return ma is not None and isinstance(obj, ma.MaskedArray)


def as_curve(obj: CurveLike, side: str = "curve") -> Curve:
    """The curve as compare() takes it: contiguous float64 arrays that nobody
    can write (the caller's memory is copied, a converted array is frozen).
    compare_curves() compares such curves without converting them again."""
    (t, t_fresh), (y, y_fresh) = _converted_curve(obj, side)
    return Curve(_private(t, t_fresh), _private(y, y_fresh))


def _converted_curve(obj: CurveLike, side: str) -> tuple[tuple[FloatArray, bool], tuple[FloatArray, bool]]:
    if _is_pandas(obj, "Series"):
        return _as_float64(obj.index, f"{side} abscissae (Series index)"), _as_float64(obj, f"{side} ordinates")
    if isinstance(obj, (str, bytes, Mapping)) or not hasattr(obj, "__len__") or len(obj) != 2:
        raise TypeError(f"{side} must be a (t, y) pair of array-likes or a pandas Series, got {type(obj).__name__}")
    t, y = obj
    return _as_float64(t, f"{side} abscissae"), _as_float64(y, f"{side} ordinates")


# The module's defaults never change while it is loaded.
_MODULE_DEFAULTS = _vf.default_options()["tolerances"]


def check_tolerances(**tolerances: object) -> dict[str, float]:
    """Validate tolerances given by name; return all six as floats.

    Names not given take the module's defaults. Unknown names raise
    TypeError; values that are not real numbers raise TypeError; values that
    are not finite or are negative raise ValueError naming the option (the
    module would accept them and build a funnel of no meaning).
    """
    defaults = _MODULE_DEFAULTS
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
    """The checked options of one comparison: all six tolerances and the
    abscissa range (infinite ends when open). ``CompareOptions.check()``
    builds one from compare()'s keywords; a comparison that gets one checks
    nothing again."""

    #: The six tolerances by name, as check_tolerances() gives them.
    tolerances: Mapping[str, float]
    #: ``(lo, hi)`` as check_x_range() gives it.
    x_range: tuple[float, float] = (-math.inf, math.inf)
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
            for name, default in _vf.default_options()["tolerances"].items()
        )
        unbounded = _same_float(lo, -math.inf) and _same_float(hi, math.inf)
        object.__setattr__(self, "_module_argument", None if defaults and unbounded else self._module_options)

    def __reduce__(self) -> tuple[Any, ...]:
        # The fields alone: __post_init__ builds the rest again (a mapping
        # proxy does not pickle).
        return type(self), (self.tolerances, self.x_range)

    @classmethod
    def check(cls, *, x_range: object = None, **tolerances: object) -> CompareOptions:
        """Check compare()'s keywords (TypeError or ValueError as compare() raises)."""
        return cls(check_tolerances(**tolerances), check_x_range(x_range))


# Summaries a result derives from its arrays, computed on first access: most
# callers read only the status or ``passed``, and at 10^5 points and more
# these passes cost as much as the copies that keep the result immutable.
_SUMMARY_NAMES = (
    "nan_reference",
    "nan_test",
    "max_error",
    "first_failure",
    "inf_reference",
    "inf_test",
    "non_finite_bounds",
)


def _summary_property(name: str, doc: str) -> property:
    def get(self: CompareResult) -> Any:
        derived = self._derived
        if name not in derived:
            derived.update(_SUMMARIES[name](self))
        return derived[name]

    get.__name__ = name
    return property(get, doc=doc)


class CompareResult:
    """Immutable result of one comparison.

    ``status``, ``lower``, ``upper`` and ``errors`` are exactly what the module
    returned. The rest is derived for the caller: ``nan_reference`` and
    ``nan_test`` count not-a-number ordinates inside the compared range (the
    module gives a NaN test point the error 0, so a run full of NaN would
    otherwise pass), ``max_error`` and ``first_failure`` summarise the error
    curve inside the range the verdict looks at. These are computed on first
    access, once.

    Attributes: ``status`` (the module's verdict), ``lower`` and ``upper``
    (the funnel's bounds, empty when no funnel was built), ``errors`` (signed
    distance of every test point outside the funnel, 0 inside),
    ``reference`` and ``test`` (the curves as compared, float64),
    ``tolerances`` (the six used), ``x_range`` (the requested range, infinite
    ends when open), and the summaries below.
    """

    __slots__ = ("_curves", "_derived", "_module_result", "reference", "status", "tolerances", "x_range")
    __match_args__ = (
        "status",
        "lower",
        "upper",
        "errors",
        "reference",
        "test",
        "tolerances",
        "x_range",
        *_SUMMARY_NAMES,
    )

    status: Status
    reference: Curve
    tolerances: Mapping[str, float]
    x_range: tuple[float, float]
    # lower, upper, errors and test: made from the module's result on first access.
    _curves: dict[str, Curve]
    # What the module returned with the test ordinates, until the curves are made.
    _module_result: tuple[_vf._Result, FloatArray] | None
    _derived: dict[str, Any]

    def __init__(
        self,
        status: Status | int,
        lower: Curve,
        upper: Curve,
        errors: Curve,
        reference: Curve,
        test: Curve,
        tolerances: Mapping[str, float],
        x_range: tuple[float, float],
        nan_reference: int,
        nan_test: int,
        max_error: float | None,
        first_failure: float | None,
        inf_reference: int = 0,
        inf_test: int = 0,
        non_finite_bounds: int = 0,
    ) -> None:
        # A result built by hand (or unpickled) keeps the summaries it is
        # given, and every array frozen: the result is a record of what was compared.
        def frozen(curve: Curve) -> Curve:
            return Curve(_frozen(curve.t), _frozen(curve.y))

        curves = {"lower": frozen(lower), "upper": frozen(upper), "errors": frozen(errors), "test": frozen(test)}
        self._set(Status(status), frozen(reference), MappingProxyType(dict(tolerances)), x_range, curves, None)
        self._derived.update(
            nan_reference=nan_reference,
            nan_test=nan_test,
            max_error=max_error,
            first_failure=first_failure,
            inf_reference=inf_reference,
            inf_test=inf_test,
            non_finite_bounds=non_finite_bounds,
        )

    def _set(
        self,
        status: Status,
        reference: Curve,
        tolerances: Mapping[str, float],
        x_range: tuple[float, float],
        curves: dict[str, Curve],
        module_result: tuple[_vf._Result, FloatArray] | None,
    ) -> None:
        # The slots' own setters: __setattr__ refuses every assignment, and
        # object.__setattr__ costs twice as much per call on small curves.
        _SET_STATUS(self, status)
        _SET_REFERENCE(self, reference)
        _SET_TOLERANCES(self, tolerances)
        _SET_X_RANGE(self, x_range)
        _SET_CURVES(self, curves)
        _SET_MODULE_RESULT(self, module_result)
        _SET_DERIVED(self, {})

    def _curve(self, name: str) -> Curve:
        curves = self._curves
        if name not in curves:
            # Nobody but this result holds the module's arrays, so they are
            # frozen in place here, before anyone can reach them.
            raw, y_test = self._module_result  # type: ignore[misc]
            lower, upper, errors = (_frozen_pair(raw[key]) for key in ("lower", "upper", "errors"))
            # The error abscissae are the module's own copy of the test
            # abscissae: a completed comparison needs no second copy of them.
            curves.update(lower=lower, upper=upper, errors=errors, test=_tuple_new(Curve, (errors[0], y_test)))
        return curves[name]

    @property
    def lower(self) -> Curve:
        """Lower bound of the funnel (empty when no funnel was built)."""
        return self._curve("lower")

    @property
    def upper(self) -> Curve:
        """Upper bound of the funnel (empty when no funnel was built)."""
        return self._curve("upper")

    @property
    def errors(self) -> Curve:
        """Signed distance of every test point outside the funnel (0 inside)."""
        return self._curve("errors")

    @property
    def test(self) -> Curve:
        """The test curve as compared (float64)."""
        return self._curve("test")

    def __setattr__(self, name: str, value: object) -> None:
        raise FrozenInstanceError(f"cannot assign to field {name!r}")

    def __delattr__(self, name: str) -> None:
        raise FrozenInstanceError(f"cannot delete field {name!r}")

    nan_reference = _summary_property("nan_reference", "Not-a-number ordinates of the reference inside the range.")
    nan_test = _summary_property("nan_test", "Not-a-number ordinates of the test inside the range.")
    max_error = _summary_property(
        "max_error",
        "The error of largest magnitude inside the range, with its sign; NaN if an error there is "
        "NaN; None when no funnel was built.",
    )
    first_failure = _summary_property(
        "first_failure",
        "Abscissa of the first test point inside the range with a non-zero error (the point "
        "that makes the status FAIL), or None.",
    )
    inf_reference = _summary_property("inf_reference", "Infinite ordinates of the reference inside the range.")
    inf_test = _summary_property("inf_test", "Infinite ordinates of the test inside the range.")
    non_finite_bounds = _summary_property(
        "non_finite_bounds",
        "Points of the lower and the upper bound with a coordinate that is not finite (an "
        "infinite ordinate or a span beyond the largest double).",
    )

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        # Rebuild through __init__ so a result that crossed a process boundary
        # is frozen again.
        return (
            _unpickle,
            (
                int(self.status),
                self.lower,
                self.upper,
                self.errors,
                self.reference,
                self.test,
                dict(self.tolerances),
                self.x_range,
                self.nan_reference,
                self.nan_test,
                self.max_error,
                self.first_failure,
                self.inf_reference,
                self.inf_test,
                self.non_finite_bounds,
            ),
        )

    @property
    def passed(self) -> bool:
        """True when the module says PASS and nothing it compared is outside the
        finite numbers: no NaN ordinate inside the range (a NaN test point can
        never be seen to fail), no infinite one (it makes the span, and so
        every half-width, infinite) and no bound point that is not finite (a
        funnel of infinite width contains every test)."""
        return self.status is Status.PASS and self.caveat is None

    @property
    def has_nan(self) -> bool:
        """True when either curve has a NaN ordinate inside the range."""
        # The summaries are untyped properties; these are the counts.
        nan_reference: int = self.nan_reference
        nan_test: int = self.nan_test
        return nan_reference > 0 or nan_test > 0

    @property
    def caveat(self) -> str | None:
        """Why the module's verdict certifies nothing: the values inside the
        range or the funnel that are not finite; None when there are none."""
        reasons = []
        if self.has_nan:
            reasons.append(f"NaN ordinates in range: {self.nan_reference} in reference, {self.nan_test} in test")
        if self.inf_reference or self.inf_test:
            reasons.append(f"infinite ordinates in range: {self.inf_reference} in reference, {self.inf_test} in test")
        if self.non_finite_bounds:
            reasons.append(f"funnel not finite: {self.non_finite_bounds} bound points are infinite or NaN")
        return "; ".join(reasons) or None

    @property
    def message(self) -> str:
        """The module's message for the status, then the caveat if there is one."""
        caveat = self.caveat
        return self.status.message if caveat is None else f"{self.status.message}; {caveat}"

    def failing_points(self) -> Curve:
        """The test points that make the status FAIL: those inside the range
        (clipped to the reference span) with a non-zero error."""
        mask = self.failing_mask()
        return Curve(self.test.t[mask], self.test.y[mask])

    def failing_mask(self) -> NDArray[np.bool_]:
        """Boolean mask over the test points: True where a point makes the
        status FAIL (inside the clipped range, non-zero or NaN error)."""
        if not self.status.completed or len(self.reference.t) == 0:
            return np.zeros(len(self.errors.t), dtype=bool)
        lo, hi = _effective_range(self.x_range, self.reference.t)
        # NumPy's stubs type `!=` as object's comparison; it is elementwise here.
        non_zero: NDArray[np.bool_] = self.errors.y != 0.0
        return (self.errors.t >= lo) & (self.errors.t <= hi) & non_zero

    failing_count = _summary_property("failing_count", "Number of test points that make the status FAIL.")

    @property
    def margin(self) -> float | None:
        """How close the test came to leaving the funnel: over the test points
        inside the range, the smallest distance to the nearer bound as a
        fraction of the funnel's half-height there (1 in the middle, 0 on a
        bound, negative outside). None when no funnel was built or no test
        point with a number for an ordinate lies inside the range."""
        return self._smallest_margin()[0]

    @property
    def margin_t(self) -> float | None:
        """Abscissa of the test point with the smallest margin, or None."""
        return self._smallest_margin()[1]

    def margins(self) -> NDArray[np.float64]:
        """The margin of every test point (NaN outside the range, where the
        ordinate is NaN, or when no funnel was built)."""
        if "margins" not in self._derived:
            computed = _margins(self)
            computed.setflags(write=False)  # shared by every later call
            self._derived["margins"] = computed
        margins: NDArray[np.float64] = self._derived["margins"]
        return margins

    def _smallest_margin(self) -> tuple[float | None, float | None]:
        if "smallest_margin" not in self._derived:
            self._derived["smallest_margin"] = _smallest_margin(self)
        smallest: tuple[float | None, float | None] = self._derived["smallest_margin"]
        return smallest

    def half_widths(self) -> dict[str, tuple[float, float]] | None:
        """The smallest and largest half-width of the funnel along t and along
        y over the reference points inside the range, by the module's rule
        (the largest of absolute, span-relative and point-relative, with its
        fallbacks); None when no funnel was built. Equal ends unless an
        ``ltol*`` makes the half-width vary from point to point."""
        if not self.status.completed or len(self.reference.t) == 0:
            return None
        t, y = self.reference
        lo, hi = self.x_range
        # A completed comparison had non-decreasing reference abscissae, so
        # the range is one slice of them.
        inside = slice(int(np.searchsorted(t, lo, side="left")), int(np.searchsorted(t, hi, side="right")))
        t, y = t[inside], y[inside]
        if len(t) == 0:
            return None
        widths = {}
        for axis, values in (("t", t), ("y", y)):
            atol, ltol, rtol = (self.tolerances[f"{kind}tol{'x' if axis == 't' else 'y'}"] for kind in "alr")
            with np.errstate(invalid="ignore", over="ignore"):
                # fmax and fmin skip NaN (NaN only when every value is NaN):
                # two passes, nothing allocated.
                largest, smallest = float(np.fmax.reduce(values)), float(np.fmin.reduce(values))
                span = largest - smallest
                magnitude = max(abs(largest), abs(smallest))
                # Without a point-relative part every point has the same
                # half-width (0 * |value| never wins): one point gives it.
                h = _axis_half_widths(values if ltol else values[:1], span, magnitude, atol, ltol, rtol)
            widths[axis] = (float(np.nanmin(h)), float(np.nanmax(h))) if not np.isnan(h).all() else (math.nan, math.nan)
        return widths

    def plot(self, path: str | None = None, *, title: str | None = None) -> Figure:
        """Draw the funnel, both curves and the error curve (needs the ``plot``
        extra); write it to ``path`` (PNG or SVG by suffix) when given."""
        from .plot import plot_result

        return plot_result(self, path, title=title)

    def __repr__(self) -> str:
        return (
            f"CompareResult(status={self.status.name}, passed={self.passed}, "
            f"max_error={self.max_error!r}, first_failure={self.first_failure!r}, "
            f"nan_reference={self.nan_reference}, nan_test={self.nan_test}, "
            f"inf_reference={self.inf_reference}, inf_test={self.inf_test}, "
            f"non_finite_bounds={self.non_finite_bounds}, "
            f"reference_points={len(self.reference.t)}, test_points={len(self.test.t)})"
        )


# Looked up by name: __slots__ is kept sorted, not in this order.
_SET_STATUS, _SET_REFERENCE, _SET_TOLERANCES, _SET_X_RANGE, _SET_CURVES, _SET_MODULE_RESULT, _SET_DERIVED = (
    CompareResult.__dict__[name].__set__
    for name in ("status", "reference", "tolerances", "x_range", "_curves", "_module_result", "_derived")
)


def _unpickle(*fields: Any) -> CompareResult:
    # The arrays were just made by unpickling and nobody else holds them:
    # freeze them in place instead of copying them once more.
    for curve in fields[1:6]:
        for array in curve:
            if array.flags.owndata:
                array.flags.writeable = False
    return CompareResult(*fields)


_CORNER_EPS = 1e-10


def _max_ignoring_nan(a: FloatArray | float, b: FloatArray | float) -> FloatArray:
    return np.where(np.isnan(a), b, np.where(np.isnan(b), a, np.maximum(a, b)))


def _axis_half_widths(
    values: FloatArray, span: float, magnitude: float, atol: float, ltol: float, rtol: float
) -> FloatArray:
    """The module's half-width rule of one axis, point by point: the largest
    of the absolute, the span-relative and the point-relative half-width; one
    below 1e-10 falls back to a fraction of the largest magnitude (unless
    rtol is 0), and is never below 1e-10."""
    h = _max_ignoring_nan(_max_ignoring_nan(atol, rtol * span), ltol * np.abs(values))
    tiny = np.abs(h) < _CORNER_EPS
    if not abs(rtol) < _CORNER_EPS:
        h = np.where(tiny, _max_ignoring_nan(h, rtol * magnitude), h)
    return np.where(np.abs(h) < _CORNER_EPS, _CORNER_EPS, h)


# Below this many values one isfinite pass is cheaper than the error state a sum needs.
_SUM_CHECK_FROM = 4096


def _all_finite(*arrays: FloatArray) -> bool:
    for a in arrays:
        if len(a) < _SUM_CHECK_FROM:
            if not np.isfinite(a).all():
                return False
            continue
        # A NaN or an infinity makes the sum NaN or infinite, so a finite sum
        # proves every value finite in one pass that allocates nothing; a
        # sum that overflows only sends the array to the exact check.
        with np.errstate(over="ignore", invalid="ignore"):
            total = float(np.add.reduce(a))
        if not math.isfinite(total) and not np.isfinite(a).all():
            return False
    return True


def _count_non_finite(t: FloatArray, y: FloatArray, lo: float, hi: float) -> tuple[int, int]:
    """NaN and infinite ordinates inside the range ``lo <= t <= hi``."""
    if _all_finite(y):
        return 0, 0
    if len(t) == len(y):
        inside = (t >= lo) & (t <= hi)
        nan = int(np.count_nonzero(np.isnan(y) & inside))
        return nan, int(np.count_nonzero(np.isinf(y) & inside))
    # Unequal lengths (rejected by the module): no point can be placed.
    return int(np.count_nonzero(np.isnan(y))), int(np.count_nonzero(np.isinf(y)))


def _count_non_finite_points(*curves: Curve) -> int:
    if _all_finite(*(a for curve in curves for a in curve)):
        return 0
    return sum(int(np.count_nonzero(~(np.isfinite(c.t) & np.isfinite(c.y)))) for c in curves)


_MarginArrays: TypeAlias = tuple[FloatArray, FloatArray, FloatArray, FloatArray, FloatArray, FloatArray, FloatArray]


def _margin_inputs(result: CompareResult) -> tuple[slice, _MarginArrays] | None:
    """The test points inside the range and what the margins kernel reads
    of them, or None when no margin can be taken."""
    t, v = result.test
    if not result.status.completed or len(result.reference.t) == 0 or len(t) == 0:
        return None
    lo, hi = _effective_range(result.x_range, result.reference.t)
    # A completed comparison had non-decreasing test abscissae without NaN
    # (the module rejects others), so the range is one slice of them.
    inside = slice(int(np.searchsorted(t, lo, side="left")), int(np.searchsorted(t, hi, side="right")))
    lower, upper = result.lower, result.upper
    return inside, (lower.t, lower.y, upper.t, upper.y, t[inside], v[inside], result.errors.y[inside])


def _margins(result: CompareResult) -> FloatArray:
    margins = np.full(len(result.test.t), np.nan)
    found = _margin_inputs(result)
    if found is not None:
        inside, arrays = found
        _kernels.margins(*arrays, margins[inside])
    return margins


def _smallest_margin(result: CompareResult) -> tuple[float | None, float | None]:
    # The kernel's own minimum: no array of every margin is needed for it.
    found = _margin_inputs(result)
    if found is None:
        return None, None
    inside, arrays = found
    smallest, where = _kernels.margins(*arrays, None)
    if where < 0:
        return None, None
    return smallest, float(result.test.t[inside.start + where])


def _effective_range(x_range: tuple[float, float], reference_t: FloatArray) -> tuple[float, float]:
    """The requested range clipped to the reference span, as the module does."""
    return max(x_range[0], float(reference_t[0])), min(x_range[1], float(reference_t[-1]))


def _summarise_errors(
    status: Status, reference_t: FloatArray, errors: Curve, lo: float, hi: float
) -> tuple[float | None, float | None, int]:
    """Largest error, first failing abscissa and the number of failing points
    inside the range on which the module decides FAIL: the requested range
    clipped to the reference span."""
    if not status.completed or len(reference_t) == 0:
        return None, None, 0
    effective_lo, effective_hi = _effective_range((lo, hi), reference_t)
    # A failing error is one that is not 0, NaN included, exactly as in the
    # module's own failure scan.
    inside, failing, first, largest, nan = _kernels.error_summary(*errors, effective_lo, effective_hi)
    first_failure = float(errors.t[first]) if failing else None
    if not inside:
        return 0.0, first_failure, 0
    return (math.nan if nan else largest), first_failure, failing


def _error_summary(result: CompareResult) -> dict[str, Any]:
    lo, hi = result.x_range
    max_error, first_failure, failing = _summarise_errors(result.status, result.reference.t, result.errors, lo, hi)
    summary = {"max_error": max_error, "first_failure": first_failure, "failing_count": failing}
    # A result built by hand keeps the summaries it was given.
    return {name: value for name, value in summary.items() if name not in result._derived}


def _reference_counts(result: CompareResult) -> dict[str, Any]:
    nan, inf = _count_non_finite(*result.reference, *result.x_range)
    return {"nan_reference": nan, "inf_reference": inf}


def _test_counts(result: CompareResult) -> dict[str, Any]:
    nan, inf = _count_non_finite(*result.test, *result.x_range)
    return {"nan_test": nan, "inf_test": inf}


def _bound_counts(result: CompareResult) -> dict[str, Any]:
    return {"non_finite_bounds": _count_non_finite_points(result.lower, result.upper)}


# Which pass computes each summary (the pass also stores its siblings).
_SUMMARIES: dict[str, Callable[[CompareResult], dict[str, Any]]] = {
    "max_error": _error_summary,
    "first_failure": _error_summary,
    "failing_count": _error_summary,
    "nan_reference": _reference_counts,
    "inf_reference": _reference_counts,
    "nan_test": _test_counts,
    "inf_test": _test_counts,
    "non_finite_bounds": _bound_counts,
}

_STATUSES: dict[int, Status] = {int(status): status for status in Status}
_F64 = np.dtype(np.float64)
_tuple_new = tuple.__new__


def compare(
    reference: CurveLike,
    test: CurveLike,
    *,
    atolx: float = 0.0,
    atoly: float = 0.0,
    ltolx: float = 0.0,
    ltoly: float = 0.0,
    rtolx: float = 0.002,
    rtoly: float = 0.002,
    x_range: tuple[float | None, float | None] | None = None,
) -> CompareResult:
    """Compare a test curve with the funnel around a reference curve.

    ``reference`` and ``test`` are ``(t, y)`` pairs of array-likes (lists,
    NumPy arrays of any real dtype or layout, pandas Series) or pandas Series
    whose index is the abscissa. The tolerances are half-widths of the
    funnel: absolute (``atol*``), relative to each reference point's own
    magnitude (``ltol*``) and relative to the span of the reference inside the
    range (``rtol*``), along x and along y; the defaults are the module's.
    ``x_range`` limits the comparison to ``(lo, hi)`` (inclusive; None for an
    open end).

    Raises ValueError for a tolerance that is negative or not finite and for a
    NaN range end, TypeError for input that is not a curve of real numbers.
    Problems with the curves themselves (unequal lengths, decreasing
    abscissae, too few points) come back as the result's ``status``.
    """
    # Options left at their defaults are the very default objects: they were
    # checked once, at import (identity, because 0 == False == -0.0).
    if (
        x_range is None
        and atolx is _DEFAULT_ARGUMENTS[0]
        and atoly is _DEFAULT_ARGUMENTS[1]
        and ltolx is _DEFAULT_ARGUMENTS[2]
        and ltoly is _DEFAULT_ARGUMENTS[3]
        and rtolx is _DEFAULT_ARGUMENTS[4]
        and rtoly is _DEFAULT_ARGUMENTS[5]
    ):
        options = _DEFAULT_OPTIONS
    else:
        options = CompareOptions.check(
            atolx=atolx, atoly=atoly, ltolx=ltolx, ltoly=ltoly, rtolx=rtolx, rtoly=rtoly, x_range=x_range
        )
    return compare_checked(reference, test, options)


_DEFAULT_ARGUMENTS = tuple(compare.__kwdefaults__[name] for name in TOLERANCE_NAMES)  # type: ignore[index]
_DEFAULT_OPTIONS = CompareOptions.check(**dict(zip(TOLERANCE_NAMES, _DEFAULT_ARGUMENTS, strict=True)))


def _plain_arrays(reference: CurveLike, test: CurveLike) -> tuple[FloatArray, ...] | None:
    """The four arrays when both curves are tuples of two 1-D float64 NumPy
    arrays (what a simulation's results usually are) and the test abscissae
    are contiguous: nothing to convert but the layout, which the copies fix
    (the test abscissae are copied only if the module rejects the curves)."""
    if type(reference) is tuple and type(test) is tuple and len(reference) == 2 == len(test):
        t_ref, y_ref = reference
        t_test, y_test = test
        if (
            type(t_ref) is _NDARRAY
            and type(y_ref) is _NDARRAY
            and type(t_test) is _NDARRAY
            and type(y_test) is _NDARRAY
            and t_ref.dtype is _F64
            and y_ref.dtype is _F64
            and t_test.dtype is _F64
            and y_test.dtype is _F64
            and t_ref.ndim == y_ref.ndim == t_test.ndim == y_test.ndim == 1
            and t_test.flags.c_contiguous
        ):
            return t_ref, y_ref, t_test, y_test
    return None


_NDARRAY = np.ndarray


def _sealed(array: FloatArray) -> FloatArray:
    # _private() of a 1-D float64 array that the caller may hold; the copy is
    # contiguous whatever the caller's layout.
    flags = array.flags
    if not flags.writeable and flags.c_contiguous and _is_sealed(array):
        return array
    return _sealed_copy(array)


def _sealed_three(a: FloatArray, b: FloatArray, c: FloatArray) -> tuple[FloatArray, FloatArray, FloatArray]:
    """_sealed() of each; small writeable arrays share one bytes object, which
    saves two of the three array constructions that dominate on short curves."""
    if a.nbytes + b.nbytes + c.nbytes < _BLOCK_FROM and a.flags.writeable and b.flags.writeable and c.flags.writeable:
        whole = np.frombuffer(b"".join((a.tobytes(), b.tobytes(), c.tobytes())))
        na = len(a)
        nab = na + len(b)
        return whole[:na], whole[na:nab], whole[nab:]
    return _sealed(a), _sealed(b), _sealed(c)


def compare_checked(reference: CurveLike, test: CurveLike, options: CompareOptions) -> CompareResult:
    """compare() with options checked already (CompareOptions.check): the
    curves take every form compare() accepts."""
    # The result must never change after it is returned, so it keeps nothing
    # the caller can still write. The copies are made before the call, so they
    # are also exactly what the module compared.
    plain = _plain_arrays(reference, test)
    if plain is not None:
        t_ref, y_ref, t_test, y_test = plain
        t_ref, y_ref, y_test = _sealed_three(t_ref, y_ref, y_test)
        return _compare_private(t_ref, y_ref, t_test, y_test, lambda: _sealed(t_test), options)
    (t_ref, t_ref_fresh), (y_ref, y_ref_fresh) = _converted_curve(reference, "reference")
    (t_test, t_test_fresh), (y_test, y_test_fresh) = _converted_curve(test, "test")
    t_ref, y_ref = _private(t_ref, t_ref_fresh), _private(y_ref, y_ref_fresh)
    y_test = _private(y_test, y_test_fresh)
    return _compare_private(t_ref, y_ref, t_test, y_test, lambda: _private(t_test, t_test_fresh), options)


def compare_curves(reference: Curve, test: Curve, options: CompareOptions) -> CompareResult:
    """Compare curves as as_curve() gives them, without converting them again
    (compare_many converts in the caller's process, compares in a worker).
    An array that someone can still write is copied first."""
    t_ref, y_ref, y_test = _frozen(reference.t), _frozen(reference.y), _frozen(test.y)
    return _compare_private(t_ref, y_ref, test.t, y_test, lambda: _frozen(test.t), options)


def _frozen_pair(pair: tuple[FloatArray, FloatArray]) -> Curve:
    # The module's fresh result arrays: nobody else holds them, freeze in place.
    t, y = pair
    t.setflags(write=False)
    y.setflags(write=False)
    return _tuple_new(Curve, pair)


def _compare_private(
    t_ref: FloatArray,
    y_ref: FloatArray,
    t_test: FloatArray,
    y_test: FloatArray,
    private_t_test: Any,
    options: CompareOptions,
) -> CompareResult:
    """Call the module on arrays nobody can write (the test abscissae are made
    so by ``private_t_test`` only when the module's copy of them is missing)."""
    raw = _vf.compare(t_ref, y_ref, t_test, y_test, options._module_argument)
    status = _STATUSES[raw["status"]]
    result = object.__new__(CompareResult)
    curves: dict[str, Curve] = {}
    if status not in _COMPLETED:
        # No funnel: the module returned no copy of the test abscissae, and
        # the caller's may change after this call, so copy them now.
        curves.update(
            lower=_frozen_pair(raw["lower"]),
            upper=_frozen_pair(raw["upper"]),
            errors=_frozen_pair(raw["errors"]),
            test=_tuple_new(Curve, (private_t_test(), y_test)),
        )
    result._set(
        status,
        _tuple_new(Curve, (t_ref, y_ref)),
        # __post_init__ gives the module all six tolerances as floats.
        options._tolerance_view,
        options.x_range,
        curves,
        (raw, y_test),
    )
    return result
