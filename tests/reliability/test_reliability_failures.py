"""Every TypeError, ValueError and OverflowError of the module, with its literal text.

One case per row of the module's failure tables (and per form of a row whose
text varies), each asserting the exact exception type and the exact message
as a literal string, so that a change of wording, of exception type or of the
order of the checks shows up here. The interpreter's own messages are pinned
as the supported interpreters (3.12, 3.13) word them.
"""

from __future__ import annotations

import numpy as np
import pytest

import _velmora_funnel as vf

A = np.array([0.0, 1.0, 2.0])
B = np.array([0.0, 1.0, 0.0])
REVERSED = np.array([2.0, 1.0, 0.0])[::-1]


def cmp(*args, **kwargs):
    return lambda: vf.compare(*args, **kwargs)


def opts(options):
    return cmp(A, B, A, B, options)


CASES = [
    # compare: argument binding
    (cmp(A, B, A, B, None, None), TypeError, "compare() takes from 4 to 5 positional arguments but 6 were given"),
    (cmp(A, B, A, B, toleranses={}), TypeError, "compare() got an unexpected keyword argument 'toleranses'"),
    (cmp(A, B, A, B, y_test=B), TypeError, "compare() got multiple values for argument 'y_test'"),
    (cmp(A, B, A), TypeError, "compare() missing 1 required positional argument: 'y_test'"),
    (cmp(A, t_test=A), TypeError, "compare() missing 2 required positional arguments: 'y_reference' and 'y_test'"),
    (cmp(A), TypeError, "compare() missing 3 required positional arguments: 'y_reference', 't_test', and 'y_test'"),
    (
        cmp(),
        TypeError,
        "compare() missing 4 required positional arguments: 't_reference', 'y_reference', 't_test', and 'y_test'",
    ),
    # compare: the arrays, one per parameter name
    (
        cmp([0.0, 1.0], B, A, B),
        TypeError,
        "argument 't_reference': 'list' object cannot be converted to 'PyArray<T, D>'",
    ),
    (
        cmp(A, np.arange(3), A, B),
        TypeError,
        "argument 'y_reference': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    (cmp(A, B, 1.5, B), TypeError, "argument 't_test': 'float' object cannot be converted to 'PyArray<T, D>'"),
    (
        cmp(A, B, A, np.zeros((3, 1))),
        TypeError,
        "argument 'y_test': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    (cmp(A, B, A, None), TypeError, "argument 'y_test': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
    # compare: the options
    (opts([]), ValueError, "options must be a dict or None"),
    (opts(0), ValueError, "options must be a dict or None"),
    (opts({"tolerances": [1, 2]}), TypeError, "'list' object cannot be converted to 'PyDict'"),
    (opts({"x_range": (0.0, 1.0)}), TypeError, "'tuple' object cannot be converted to 'PyDict'"),
    (opts({"tolerances": {"atolx": "0.1"}}), TypeError, "must be real number, not str"),
    (opts({"tolerances": {"rtoly": [1.0]}}), TypeError, "must be real number, not list"),
    (opts({"x_range": {"lo": 1j}}), TypeError, "must be real number, not complex"),
    (opts({"tolerances": {"ltolx": 10**400}}), OverflowError, "int too large to convert to float"),
    (opts({"x_range": {"hi": -(10**400)}}), OverflowError, "int too large to convert to float"),
    # compare: the memory layout, with no argument name
    (cmp(REVERSED, B, A, B), TypeError, "The given array is not contiguous"),
    (cmp(A, B, A, np.repeat(B, 2)[::2]), TypeError, "The given array is not contiguous"),
    # status_message_py
    (lambda: vf.status_message_py(), TypeError, "status_message_py() missing 1 required positional argument: 'code'"),
    (
        lambda: vf.status_message_py(1, 2),
        TypeError,
        "status_message_py() takes 1 positional arguments but 2 were given",
    ),
    (lambda: vf.status_message_py(kode=1), TypeError, "status_message_py() got an unexpected keyword argument 'kode'"),
    (lambda: vf.status_message_py(1, code=1), TypeError, "status_message_py() got multiple values for argument 'code'"),
    (
        lambda: vf.status_message_py(1.0),
        TypeError,
        "argument 'code': 'float' object cannot be interpreted as an integer",
    ),
    (lambda: vf.status_message_py("1"), TypeError, "argument 'code': 'str' object cannot be interpreted as an integer"),
    (
        lambda: vf.status_message_py(None),
        TypeError,
        "argument 'code': 'NoneType' object cannot be interpreted as an integer",
    ),
    (lambda: vf.status_message_py(2**63), OverflowError, "Python int too large to convert to C long"),
    (lambda: vf.status_message_py(2**31), OverflowError, "out of range integral type conversion attempted"),
    (lambda: vf.status_message_py(-(2**31) - 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: vf.status_message_py(3), ValueError, "unknown status code: 3"),
    (lambda: vf.status_message_py(-2), ValueError, "unknown status code: -2"),
    # version and default_options take nothing
    (lambda: vf.version(1), TypeError, "_velmora_funnel.version() takes no arguments (1 given)"),
    (
        lambda: vf.default_options(None, None),
        TypeError,
        "_velmora_funnel.default_options() takes no arguments (2 given)",
    ),
    (lambda: vf.default_options(x=1), TypeError, "_velmora_funnel.default_options() takes no keyword arguments"),
]


@pytest.mark.parametrize(("call", "exc_type", "message"), CASES, ids=[f"{c[1].__name__}:{c[2][:60]}" for c in CASES])
def test_failure_raises_exact_type_and_message(call, exc_type, message):
    """The call raises exactly this exception type (not a subclass) with exactly this text."""
    with pytest.raises(Exception) as caught:
        call()
    assert type(caught.value) is exc_type
    assert str(caught.value) == message


def test_module_works_after_every_failure():
    """After each failure in turn, a valid comparison still gives its usual result."""
    expected = vf.compare(A, B, A, B)
    for call, exc_type, _ in CASES:
        with pytest.raises(exc_type):
            call()
        again = vf.compare(A, B, A, B)
        assert again["status"] == expected["status"]
        assert all(np.array_equal(again[k][i], expected[k][i]) for k in ("lower", "upper", "errors") for i in (0, 1))
