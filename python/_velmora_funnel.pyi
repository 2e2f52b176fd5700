"""Type stubs for the compiled funnel module.

compare() takes four one-dimensional, contiguous float64 arrays (nothing is
cast or copied) and an optional options dict, and returns the status with the
lower and upper bound of the funnel and the error curve.
"""

from typing import Final, TypedDict, type_check_only

import numpy as np
from numpy.typing import NDArray

__all__: list[str]

STATUS_PASS: Final[int]
STATUS_FAIL: Final[int]
STATUS_MISSING_REFERENCE: Final[int]
STATUS_MISSING_TEST: Final[int]
STATUS_NON_MONOTONIC: Final[int]
STATUS_LENGTH_MISMATCH: Final[int]
STATUS_EMPTY_RANGE: Final[int]
STATUS_BUFFER_TOO_SMALL: Final[int]
STATUS_INSUFFICIENT_DATA: Final[int]

@type_check_only
class _Tolerances(TypedDict, total=False):
    atolx: float | None
    atoly: float | None
    ltolx: float | None
    ltoly: float | None
    rtolx: float | None
    rtoly: float | None

@type_check_only
class _XRange(TypedDict, total=False):
    lo: float | None
    hi: float | None

@type_check_only
class _Options(TypedDict, total=False):
    tolerances: _Tolerances | None
    x_range: _XRange | None

@type_check_only
class _DefaultTolerances(TypedDict):
    atolx: float
    atoly: float
    ltolx: float
    ltoly: float
    rtolx: float
    rtoly: float

@type_check_only
class _DefaultXRange(TypedDict):
    lo: float
    hi: float

@type_check_only
class _DefaultOptions(TypedDict):
    tolerances: _DefaultTolerances
    x_range: _DefaultXRange

_F64 = NDArray[np.float64]

@type_check_only
class _Result(TypedDict):
    status: int
    lower: tuple[_F64, _F64]
    upper: tuple[_F64, _F64]
    errors: tuple[_F64, _F64]

def compare(
    t_reference: _F64,
    y_reference: _F64,
    t_test: _F64,
    y_test: _F64,
    options: _Options | None = None,
) -> _Result: ...
def default_options() -> _DefaultOptions: ...
def status_message_py(code: int) -> str: ...
def version() -> str: ...
