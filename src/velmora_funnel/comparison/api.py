"""The entry points of one comparison: compare() takes what the caller
holds, compare_checked() takes checked options, compare_curves() takes
converted curves. Each calls the compiled module once; the funnel and the
failures are always the module's, the ends are judged inside an explicit
range (ends.py)."""

from __future__ import annotations

from typing import Any

import _velmora_funnel as _vf

from .convert import converted_curve, plain_arrays
from .ends import cut_to_range, judge_ends
from .immutable import seal, seal_converted, seal_together
from .options import CompareOptions
from .result import CompareResult, module_curve
from .types import COMPLETED, TOLERANCE_NAMES, Curve, CurveLike, FloatArray, Status

__all__ = ["compare", "compare_checked", "compare_curves"]

_STATUSES: dict[int, Status] = {int(status): status for status in Status}
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
    end_tolerance: float = 0.0,
) -> CompareResult:
    """Compare a test curve with the funnel around a reference curve.

    ``reference`` and ``test`` are ``(t, y)`` pairs of array-likes (lists,
    NumPy arrays of any real dtype or layout, pandas Series) or pandas Series
    whose index is the abscissa. The tolerances are half-widths of the
    funnel: absolute (``atol*``), relative to each reference point's own
    magnitude (``ltol*``) and relative to the span of the reference inside the
    range (``rtol*``), along x and along y; the defaults are the module's.
    ``x_range`` limits the comparison to ``(lo, hi)`` (inclusive; None for an
    open end); with a range, both curves are cut to it before the module
    compares them, and their ends are judged inside it: a run that covers
    the range passes its end check. ``end_tolerance`` is how far apart in t
    the two curves' ends (inside the range) may lie; 0 is the module's own
    rule.

    Raises ValueError for a tolerance or end tolerance that is negative or
    not finite and for a NaN range end, TypeError for input that is not a
    curve of real numbers. Problems with the curves themselves (unequal lengths, decreasing
    abscissae, too few points) come back as the result's ``status``.
    """
    # Options left at their defaults are the very default objects: they were
    # checked once, at import (identity, because 0 == False == -0.0).
    if (
        x_range is None
        and end_tolerance is _DEFAULT_END_TOLERANCE
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
            atolx=atolx,
            atoly=atoly,
            ltolx=ltolx,
            ltoly=ltoly,
            rtolx=rtolx,
            rtoly=rtoly,
            x_range=x_range,
            end_tolerance=end_tolerance,
        )
    return compare_checked(reference, test, options)


_DEFAULT_ARGUMENTS = tuple(compare.__kwdefaults__[name] for name in TOLERANCE_NAMES)  # type: ignore[index]
_DEFAULT_END_TOLERANCE = compare.__kwdefaults__["end_tolerance"]  # type: ignore[index]
_DEFAULT_OPTIONS = CompareOptions.check(**dict(zip(TOLERANCE_NAMES, _DEFAULT_ARGUMENTS, strict=True)))


def compare_checked(reference: CurveLike, test: CurveLike, options: CompareOptions) -> CompareResult:
    """compare() with options checked already (CompareOptions.check): the
    curves take every form compare() accepts."""
    # The result must never change after it is returned, so it keeps nothing
    # the caller can still write. The copies are made before the call, so they
    # are also exactly what the module compared.
    plain = plain_arrays(reference, test)
    if plain is not None:
        t_ref, y_ref, t_test, y_test = plain
        t_ref, y_ref, y_test = seal_together(t_ref, y_ref, y_test)
        return _compare_sealed(t_ref, y_ref, t_test, y_test, lambda: seal(t_test), options)
    (t_ref, t_ref_fresh), (y_ref, y_ref_fresh) = converted_curve(reference, "reference")
    (t_test, t_test_fresh), (y_test, y_test_fresh) = converted_curve(test, "test")
    t_ref, y_ref = seal_converted(t_ref, t_ref_fresh), seal_converted(y_ref, y_ref_fresh)
    y_test = seal_converted(y_test, y_test_fresh)
    return _compare_sealed(t_ref, y_ref, t_test, y_test, lambda: seal_converted(t_test, t_test_fresh), options)


def compare_curves(reference: Curve, test: Curve, options: CompareOptions) -> CompareResult:
    """Compare curves as as_curve() gives them, without converting them again
    (compare_many converts in the caller's process, compares in a worker).
    An array that someone can still write is copied first."""
    t_ref, y_ref = seal(reference.t, owning_array=True), seal(reference.y, owning_array=True)
    y_test = seal(test.y, owning_array=True)
    return _compare_sealed(t_ref, y_ref, test.t, y_test, lambda: seal(test.t, owning_array=True), options)


def _compare_sealed(
    t_ref: FloatArray,
    y_ref: FloatArray,
    t_test: FloatArray,
    y_test: FloatArray,
    sealed_t_test: Any,
    options: CompareOptions,
) -> CompareResult:
    """Call the module on arrays nobody can write (the test abscissae are made
    so by ``sealed_t_test`` only when the module's copy of them is missing)."""
    lo, hi = options.x_range
    # The module builds the same funnel and finds the same failures from the
    # curves cut to the range (cut_to_range says why), and its work and the
    # result's arrays shrink to what the range can see.
    cut = cut_to_range(t_ref, y_ref, t_test, y_test, lo, hi)
    compared = (t_ref, y_ref, t_test, y_test) if cut is None else cut
    raw = _vf.compare(*compared, options._module_argument)
    status = _STATUSES[raw["status"]]
    result = object.__new__(CompareResult)
    curves: dict[str, Curve] = {}
    reference = _tuple_new(Curve, compared[:2])
    if status not in COMPLETED:
        # No funnel: the module returned no copy of the test abscissae, and
        # the caller's may change after this call, so copy them now. (A cut
        # is never rejected where the whole curves are not; the result holds
        # them whole, as given.)
        reference = _tuple_new(Curve, (t_ref, y_ref))
        curves.update(
            lower=module_curve(raw["lower"]),
            upper=module_curve(raw["upper"]),
            errors=module_curve(raw["errors"]),
            test=_tuple_new(Curve, (sealed_t_test(), y_test)),
        )
    elif status is not Status.FAIL and options.judges_ends:
        status = judge_ends(t_ref, t_test, options.x_range, options.end_tolerance)
    result._set(
        status,
        reference,
        # __post_init__ gives the module all six tolerances as floats.
        options._tolerance_view,
        options.x_range,
        curves,
        (raw, compared[3]),
        options.end_tolerance,
    )
    return result
