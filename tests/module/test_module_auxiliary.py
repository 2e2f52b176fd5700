"""The auxiliary functions of ``_velmora_funnel``: version, default_options, status_message_py."""

import math
import operator
import re
import sys

import numpy as np
import pytest

import _velmora_funnel as vf

MESSAGES = {
    -1: "fail: test points outside the funnel",
    0: "pass: all test points inside the funnel",
    1: "missing reference: test x-range extends past reference",
    2: "missing test: reference x-range extends past test",
    10: "non-monotonic x: reference or test x array is not non-decreasing",
    11: "length mismatch: x and y arrays differ in length",
    12: "empty range: x_range does not intersect reference or test data",
    13: "buffer too small: caller-provided output buffer undersized",
    14: "insufficient data: fewer than two points after x_range filter",
}


def raises_exactly(exc_type, message):
    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")


# --- version -----------------------------------------------------------------


def test_version():
    """version() is the module's version string, a new str each call."""
    assert vf.version() == "1.0.0-beta.10"
    assert type(vf.version()) is str
    assert vf.version() == vf.version()


@pytest.mark.parametrize("function", [vf.version, vf.default_options], ids=["version", "default_options"])
def test_no_argument_functions_refuse_arguments(function):
    """version and default_options take no arguments; the interpreter's own TypeError says so."""
    name = re.escape(f"_velmora_funnel.{function.__name__}()")
    with pytest.raises(TypeError, match=f"^{name} takes no arguments \\(1 given\\)$"):
        function(1)
    with pytest.raises(TypeError, match=f"^{name} takes no arguments \\(2 given\\)$"):
        function(None, None)
    with pytest.raises(TypeError, match=f"^{name} takes no keyword arguments$"):
        function(code=1)


# --- default_options ---------------------------------------------------------


def test_default_options_content_and_order():
    """The defaults, as floats, with keys in order at every level."""
    options = vf.default_options()
    assert options == {
        "tolerances": {"atolx": 0.0, "atoly": 0.0, "ltolx": 0.0, "ltoly": 0.0, "rtolx": 0.002, "rtoly": 0.002},
        "x_range": {"lo": -math.inf, "hi": math.inf},
    }
    assert list(options) == ["tolerances", "x_range"]
    assert list(options["tolerances"]) == ["atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly"]
    assert list(options["x_range"]) == ["lo", "hi"]
    for inner in options.values():
        assert type(inner) is dict
        for value in inner.values():
            assert type(value) is float


def test_default_options_are_fresh_each_call():
    """Changing one returned dict does not change the next one."""
    first = vf.default_options()
    first["tolerances"]["rtolx"] = 5.0
    first["x_range"].clear()
    first["extra"] = 1
    second = vf.default_options()
    assert second["tolerances"]["rtolx"] == 0.002
    assert second["x_range"] == {"lo": -math.inf, "hi": math.inf}
    assert "extra" not in second
    assert second["tolerances"] is not vf.default_options()["tolerances"]


# --- status_message_py -------------------------------------------------------


@pytest.mark.parametrize(("code", "message"), sorted(MESSAGES.items()), ids=[str(c) for c in sorted(MESSAGES)])
def test_status_messages(code, message):
    """Each of the nine statuses has its message, by position and by keyword."""
    assert vf.status_message_py(code) == message
    assert vf.status_message_py(code=code) == message


def test_constants_have_messages():
    """Every STATUS_* constant of the module is a known code."""
    constants = {name: getattr(vf, name) for name in vf.__all__ if name.startswith("STATUS_")}
    assert sorted(constants.values()) == sorted(MESSAGES)
    for value in constants.values():
        assert vf.status_message_py(value) == MESSAGES[value]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    ("code", "message"),
    [
        pytest.param(True, MESSAGES[1], id="true"),
        pytest.param(False, MESSAGES[0], id="false"),
        pytest.param(np.int64(14), MESSAGES[14], id="numpy-int64"),
        pytest.param(np.int8(-1), MESSAGES[-1], id="numpy-int8"),
        pytest.param(Index(12), MESSAGES[12], id="index-protocol"),
    ],
)
def test_integer_like_codes(code, message):
    """Bools and objects with __index__ are accepted as codes."""
    assert vf.status_message_py(code) == message


@pytest.mark.parametrize("code", [3, 9, 15, -2, 4, 20, 100, 2147483647, -2147483648, Index(7)], ids=str)
def test_unknown_codes(code):
    """A 32-bit code that is no status raises ValueError naming it in plain decimal; 20, the
    library's status for exhausted memory, is none of the module's (it raises MemoryError)."""
    with raises_exactly(ValueError, f"unknown status code: {operator.index(code)}"):
        vf.status_message_py(code)


@pytest.mark.parametrize("code", [2147483648, -2147483649, 2**62, -(2**63)], ids=str)
def test_codes_beyond_32_bits(code):
    """A code that fits a long but not 32 bits raises the fixed OverflowError."""
    with raises_exactly(OverflowError, "out of range integral type conversion attempted"):
        vf.status_message_py(code)


@pytest.mark.parametrize("code", [2**63, -(2**63) - 1, 10**100], ids=["2**63", "-2**63-1", "1e100"])
def test_codes_beyond_long(code):
    """An int beyond the platform's long raises the interpreter's own OverflowError."""
    with raises_exactly(OverflowError, "Python int too large to convert to C long"):
        vf.status_message_py(code)


@pytest.mark.parametrize(
    "code",
    [1.0, 0.0, "1", None, b"\x01", [1], np.float64(1.0), 1 + 0j],
    ids=["float", "float-zero", "str", "none", "bytes", "list", "numpy-float", "complex"],
)
def test_non_integer_codes(code):
    """A code that is not an integer raises TypeError: "argument 'code': " and the conversion's message."""
    with pytest.raises(TypeError) as expected:
        operator.index(code)
    with raises_exactly(TypeError, f"argument 'code': {expected.value}"):
        vf.status_message_py(code)


def test_index_hook_errors_are_not_prefixed():
    """Only an exact TypeError gets the argument prefix; other errors of __index__ pass unchanged."""

    class Raises:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error

    with raises_exactly(ValueError, "not today"):
        vf.status_message_py(Raises(ValueError("not today")))

    class Special(TypeError):
        pass

    with pytest.raises(Special, match=r"^special$"):
        vf.status_message_py(Raises(Special("special")))
    with raises_exactly(TypeError, "argument 'code': plain"):
        vf.status_message_py(Raises(TypeError("plain")))


@pytest.mark.parametrize(
    ("call", "message"),
    [
        pytest.param(
            lambda: vf.status_message_py(),
            "status_message_py() missing 1 required positional argument: 'code'",
            id="missing",
        ),
        pytest.param(
            lambda: vf.status_message_py(0, 1),
            "status_message_py() takes 1 positional arguments but 2 were given",
            id="two",
        ),
        pytest.param(
            lambda: vf.status_message_py(0, 1, 2),
            "status_message_py() takes 1 positional arguments but 3 were given",
            id="three",
        ),
        pytest.param(
            lambda: vf.status_message_py(status=0),
            "status_message_py() got an unexpected keyword argument 'status'",
            id="wrong-keyword",
        ),
        pytest.param(
            lambda: vf.status_message_py(0, code=0),
            "status_message_py() got multiple values for argument 'code'",
            id="both",
        ),
        pytest.param(
            lambda: vf.status_message_py(0, 1, code=0),
            "status_message_py() takes 1 positional arguments but 2 were given",
            id="too-many-first",
        ),
        pytest.param(
            lambda: vf.status_message_py(x=1, code=0),
            "status_message_py() got an unexpected keyword argument 'x'",
            id="keywords-in-turn",
        ),
        pytest.param(
            lambda: vf.status_message_py(1.5, bogus=1),
            "status_message_py() got an unexpected keyword argument 'bogus'",
            id="binding-before-conversion",
        ),
    ],
)
def test_status_message_binding_errors(call, message):
    """Binding errors follow compare's rules with the name status_message_py."""
    with raises_exactly(TypeError, message):
        call()


def test_reference_counts_balanced():
    """Looking codes up, successfully or not, leaves the code's reference count unchanged."""
    known, unknown, wide = 14, int("1007"), int("1099511627777")
    index = Index(5)
    before = [sys.getrefcount(o) for o in (known, unknown, wide, index)]
    for _ in range(200):
        vf.status_message_py(known)
        for bad in (unknown, wide, index):
            with pytest.raises((ValueError, OverflowError)):
                vf.status_message_py(code=bad)
    del bad
    assert [sys.getrefcount(o) for o in (known, unknown, wide, index)] == before
