"""CompareResult: the immutable record of one comparison, with the summaries
it derives on first access."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import FrozenInstanceError
from types import MappingProxyType
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

import _velmora_funnel as _vf

from . import summaries, verdicts
from .immutable import freeze_if_owned, seal
from .types import Curve, FloatArray, Status

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["CompareResult", "module_curve"]

_tuple_new = tuple.__new__


def module_curve(pair: tuple[FloatArray, FloatArray]) -> Curve:
    """A curve of the module's fresh result arrays: nobody else holds them, so
    they are frozen in place (as immutable.freeze does, without its walk:
    their owner is the module's capsule)."""
    t, y = pair
    t.setflags(write=False)
    y.setflags(write=False)
    return _tuple_new(Curve, pair)


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
            derived.update(summaries.SUMMARIES[name](self))
        return derived[name]

    get.__name__ = name
    return property(get, doc=doc)


class CompareResult:
    """Immutable result of one comparison.

    ``lower``, ``upper`` and ``errors`` are exactly what the module returned,
    and so is ``status``, except that with an explicit range or an end
    tolerance the package judges the ends (comparison.ends). The rest is derived for the caller: ``nan_reference`` and
    ``nan_test`` count not-a-number ordinates inside the compared range (the
    module gives a NaN test point the error 0, so a run full of NaN would
    otherwise pass), ``max_error`` and ``first_failure`` summarise the error
    curve inside the range the verdict looks at. These are computed on first
    access, once.

    Attributes: ``status`` (the verdict), ``lower`` and ``upper`` (the
    funnel's bounds, empty when no funnel was built), ``errors`` (signed
    distance of every test point outside the funnel, 0 inside),
    ``reference`` and ``test`` (the curves as compared, float64: with an
    explicit range, cut to it and one point beyond each end),
    ``tolerances`` (the six used), ``x_range`` (the requested range, infinite
    ends when open), ``end_tolerance``, and the summaries below.
    """

    __slots__ = (
        "_curves",
        "_derived",
        "_module_result",
        "end_tolerance",
        "reference",
        "status",
        "tolerances",
        "x_range",
    )
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
        "end_tolerance",
    )

    status: Status
    reference: Curve
    tolerances: Mapping[str, float]
    x_range: tuple[float, float]
    end_tolerance: float
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
        end_tolerance: float = 0.0,
    ) -> None:
        # A result built by hand (or unpickled) keeps the summaries it is
        # given, and every array frozen: the result is a record of what was compared.
        def frozen(curve: Curve) -> Curve:
            return Curve(seal(curve.t, owning_array=True), seal(curve.y, owning_array=True))

        curves = {"lower": frozen(lower), "upper": frozen(upper), "errors": frozen(errors), "test": frozen(test)}
        self._set(
            Status(status),
            frozen(reference),
            MappingProxyType(dict(tolerances)),
            x_range,
            curves,
            None,
            float(end_tolerance),
        )
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
        end_tolerance: float = 0.0,
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
        _SET_END_TOLERANCE(self, end_tolerance)

    def _curve(self, name: str) -> Curve:
        curves = self._curves
        if name not in curves:
            # Nobody but this result holds the module's arrays, so they are
            # frozen in place here, before anyone can reach them.
            raw, y_test = self._module_result  # type: ignore[misc]
            lower, upper, errors = (module_curve(raw[key]) for key in ("lower", "upper", "errors"))
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
                self.end_tolerance,
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
        """The verdict first: what the status says of these curves
        (verdicts.describe: the ends that are missing, a constant that
        changed, else the module's message); when a caveat overrules a PASS,
        "not passed: " and the caveat with the funnel's own verdict in
        brackets; a caveat on any other status follows its message."""
        caveat = self.caveat
        said = verdicts.describe(self)
        if caveat is None:
            return said
        if self.status is Status.PASS:
            return f"not passed: {caveat} (the funnel itself: pass)"
        return f"{said}; {caveat}"

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
        lo, hi = summaries.effective_range(self.x_range, self.reference.t)
        # NumPy's stubs type `!=` as object's comparison; it is elementwise here.
        non_zero: NDArray[np.bool_] = self.errors.y != 0.0
        return (self.errors.t >= lo) & (self.errors.t <= hi) & non_zero

    failing_count = _summary_property("failing_count", "Number of test points that make the status FAIL.")

    @property
    def margin(self) -> float | None:
        """How close the test came to leaving the funnel: over the test points
        inside the range, the smallest distance to the nearer bound in units
        of the reference's y half-width at that t (1: a whole y tolerance to
        spare, 0 on a bound, negative outside: minus the error in those
        units). None when no funnel was built or no test point with a number
        for an ordinate lies inside the range."""
        return self._smallest_margin()[0]

    @property
    def margin_t(self) -> float | None:
        """Abscissa of the test point with the smallest margin, or None."""
        return self._smallest_margin()[1]

    def margins(self) -> NDArray[np.float64]:
        """The margin of every test point (NaN outside the range, where the
        ordinate is NaN, or when no funnel was built)."""
        if "margins" not in self._derived:
            computed = summaries.margins(self)
            computed.setflags(write=False)  # shared by every later call
            self._derived["margins"] = computed
        margins: NDArray[np.float64] = self._derived["margins"]
        return margins

    def _smallest_margin(self) -> tuple[float | None, float | None]:
        if "smallest_margin" not in self._derived:
            self._derived["smallest_margin"] = summaries.smallest_margin(self)
        smallest: tuple[float | None, float | None] = self._derived["smallest_margin"]
        return smallest

    def half_widths(self) -> dict[str, tuple[float, float]] | None:
        """The smallest and largest half-width of the funnel along t and along
        y over the reference points inside the range, by the module's rule
        (the largest of absolute, span-relative and point-relative, with its
        fallbacks); None when no funnel was built. Equal ends unless an
        ``ltol*`` makes the half-width vary from point to point."""
        return summaries.half_widths(self)

    def plot(self, path: str | None = None, *, title: str | None = None) -> Figure:
        """Draw the funnel, both curves and the error curve (needs the ``plot``
        extra); write it to ``path`` (PNG or SVG by suffix) when given."""
        from ..reports.plot import plot_result

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
(
    _SET_STATUS,
    _SET_REFERENCE,
    _SET_TOLERANCES,
    _SET_X_RANGE,
    _SET_CURVES,
    _SET_MODULE_RESULT,
    _SET_DERIVED,
    _SET_END_TOLERANCE,
) = (
    CompareResult.__dict__[name].__set__
    for name in (
        "status",
        "reference",
        "tolerances",
        "x_range",
        "_curves",
        "_module_result",
        "_derived",
        "end_tolerance",
    )
)


def _unpickle(*fields: Any) -> CompareResult:
    # The arrays were just made by unpickling and nobody else holds them:
    # freeze them in place instead of copying them once more.
    for curve in fields[1:6]:
        for array in curve:
            freeze_if_owned(array)
    return CompareResult(*fields)
