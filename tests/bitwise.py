"""Bit-for-bit equality of doubles for the differential tests."""

import math
import struct


def _bits(v):
    return "nan" if math.isnan(v) else struct.pack("<d", v)


def assert_same_floats(expected, actual, what):
    """Same length and, element by element, the same double (any NaN matches any NaN: the sign and
    payload of a NaN are not part of the result)."""
    expected, actual = list(expected), list(actual)
    assert len(expected) == len(actual), f"{what}: length {len(actual)}, expected {len(expected)}"
    for i, (e, a) in enumerate(zip(expected, actual)):
        assert _bits(e) == _bits(a), f"{what}[{i}]: {a!r}, expected {e!r}\nexpected {expected}\nactual   {actual}"


def assert_same_curve(expected, actual, what):
    assert_same_floats(expected[0], actual[0], what + ".x")
    assert_same_floats(expected[1], actual[1], what + ".y")
