"""Decide whether a test curve stays inside a tolerance funnel around a reference curve.

>>> import numpy as np, velmora_funnel as vf
>>> t = np.linspace(0.0, 1.0, 11)
>>> vf.compare((t, t**2), (t, t**2 + 1e-4)).passed
True

compare() compares one pair of curves; compare_many() runs many pairs on a
process pool or any concurrent.futures.Executor (a Dask cluster's included);
read_result() loads a result file (CSV in several dialects, compressed CSV,
MAT result files of Modelica tools, Parquet, Feather/Arrow) as its extension
or a ReadOptions says; RunOptions holds per-variable tolerances (load_config
reads velmora-funnel.toml). velmora_funnel.testing has assert_funnel; the
pytest fixture funnel_regression comes with the package. The command line is
``velmora-funnel`` (or ``python -m velmora_funnel``).

The package by concern, each layer importing only those below it: cli ->
reports -> run -> io -> comparison, with the public exceptions in errors.
"""

from ._version import __version__
from .comparison import (
    TOLERANCE_NAMES,
    CompareOptions,
    CompareResult,
    Curve,
    CurveLike,
    Status,
    as_curve,
    check_tolerances,
    check_x_range,
    compare,
    compare_checked,
    compare_curves,
)
from .errors import ResultFileError
from .io import ReadOptions, ResultTable, read_result
from .run import RunOptions, compare_many, load_config

__all__ = [
    "TOLERANCE_NAMES",
    "CompareOptions",
    "CompareResult",
    "Curve",
    "CurveLike",
    "ReadOptions",
    "ResultFileError",
    "ResultTable",
    "RunOptions",
    "Status",
    "__version__",
    "as_curve",
    "check_tolerances",
    "check_x_range",
    "compare",
    "compare_checked",
    "compare_curves",
    "compare_many",
    "load_config",
    "read_result",
]
