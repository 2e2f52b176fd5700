"""Converting what the caller holds into the curves the module compares:
contiguous float64 arrays, copied only when they are not already."""

from __future__ import annotations

import sys
from collections.abc import Mapping

import numpy as np

from .immutable import seal_converted
from .types import Curve, CurveLike, FloatArray

__all__ = ["as_curve", "as_float64", "converted_curve", "plain_arrays"]


def _is_pandas(obj: object, kind: str) -> bool:
    # pandas is optional here: if it was never imported, obj cannot be one.
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(obj, getattr(pd, kind))


def as_float64(values: object, what: str) -> tuple[FloatArray, bool]:
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
    (t, t_fresh), (y, y_fresh) = converted_curve(obj, side)
    return Curve(seal_converted(t, t_fresh), seal_converted(y, y_fresh))


def converted_curve(obj: CurveLike, side: str) -> tuple[tuple[FloatArray, bool], tuple[FloatArray, bool]]:
    if _is_pandas(obj, "Series"):
        return as_float64(obj.index, f"{side} abscissae (Series index)"), as_float64(obj, f"{side} ordinates")
    if isinstance(obj, (str, bytes, Mapping)) or not hasattr(obj, "__len__") or len(obj) != 2:
        raise TypeError(f"{side} must be a (t, y) pair of array-likes or a pandas Series, got {type(obj).__name__}")
    t, y = obj
    return as_float64(t, f"{side} abscissae"), as_float64(y, f"{side} ordinates")


_F64 = np.dtype(np.float64)
_NDARRAY = np.ndarray


def plain_arrays(reference: CurveLike, test: CurveLike) -> tuple[FloatArray, ...] | None:
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
