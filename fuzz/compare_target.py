"""Fuzz target for ``_velmora_funnel.compare``: arbitrary bytes in, no crash out.

``fuzz_one(data)`` turns the bytes into the four arrays and the options of one
call (any lengths; not-a-number, infinities, repeated and decreasing
abscissae, subnormals, huge magnitudes; wrong dtypes, dimensions, layouts
and types; options with any values, None, wrong types, unknown keys, and
numbers whose ``__float__`` reshapes an input array while the options are
read), makes the call and checks the outcome:

- an exception must be one that the module documents for malformed
  arguments (TypeError, ValueError, OverflowError) or the one the options
  themselves raised; never SystemError, RuntimeError, MemoryError, ...;
- a result must have the documented form: four keys in order, a known status,
  three curves of fresh, writeable, one-dimensional float64 arrays of equal
  lengths, empty for a rejected input, one error point per test point for a
  comparison that ran to the end;
- the inputs are left unchanged, and the same call made twice gives
  bit-identical results.

Any violation raises AssertionError. The libFuzzer driver (fuzz_compare.cpp)
aborts on it; tests/test_reliability_fuzz.py replays the committed corpus
and every input that once failed through the same function.
"""

from __future__ import annotations

import struct
import warnings

import numpy as np

import _velmora_funnel as vf

STATUSES = {-1, 0, 1, 2, 10, 11, 12, 13, 14}
RAN_TO_THE_END = {-1, 0, 1, 2}
REJECTED = {10, 11, 12, 14}
NAMES = ("t_reference", "y_reference", "t_test", "y_test")

# Values that sit on the edges of the arithmetic: signed zeros, subnormals,
# the extremes of the doubles, infinities and not-a-number, numbers just
# around the closeness thresholds of the funnel (1e-10, 1e-12, 1e-5).
# fmt: off
SPECIAL = (
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-10, -1e-10, 1.1e-10, 9e-11, 1e-12, 1e-5, 1.00001e-5,
    5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
    float("inf"), float("-inf"), float("nan"), 1e15, -1e15, 1e300, 3.0, 10.0, 0.1, 1e-300,
)
# fmt: on


class FuzzError(Exception):
    """Raised on purpose by a number's __float__: compare must pass it on unchanged."""


class Reader:
    """Consumes the fuzzer's bytes; reads past the end give zeros."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def raw(self, n: int) -> bytes:
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk + bytes(n - len(chunk))

    def double(self) -> float:
        """A double that is usually small or special, sometimes any bit pattern."""
        tag = self.byte()
        if tag < 160:
            return (tag - 80) / 8.0  # a coarse grid: repeats and ties are frequent
        if tag < 160 + len(SPECIAL):
            return SPECIAL[tag - 160]
        return struct.unpack("<d", self.raw(8))[0]

    def ramp(self, n: int) -> list[float]:
        """Mostly non-decreasing abscissae, so the input gets past validation."""
        values: list[float] = []
        x = self.double()
        for _ in range(n):
            step = self.byte()
            if step < 200:
                x = x + step / 16.0  # 0 repeats the abscissa
            elif step < 230:
                x = self.double()  # anything, decreasing included
            else:
                x = x - (step - 229) / 16.0
            values.append(x)
        return values


class Number:
    """Converts to a float through __float__ or __index__, or refuses to."""

    def __init__(self, value, mode: int, arrays: list) -> None:
        self.value = value
        self.mode = mode
        self.arrays = arrays

    def __float__(self):
        if self.mode == 1:
            raise FuzzError("refused by __float__")
        # NumPy 2.5 deprecates setting an array's shape and dtype in place,
        # but still does it, which is the hazard exercised here.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            self._mutate()
        return self.value

    def _mutate(self) -> None:
        if self.mode == 2:
            # Python code that runs while the options are read may reshape
            # or retype an input array in place; the binding must look at
            # the arrays again afterwards.
            for a in self.arrays:
                if isinstance(a, np.ndarray) and a.ndim == 1 and a.size % 2 == 0 and a.size:
                    try:
                        a.shape = (2, a.size // 2)
                    except (AttributeError, ValueError):
                        pass
                    break
        if self.mode == 3:
            for a in self.arrays:
                if isinstance(a, np.ndarray) and a.dtype == np.float64:
                    try:
                        a.dtype = np.int64
                    except (TypeError, ValueError):
                        pass
                    break


class Indexable:
    """A number known only through __index__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class MissingDict(dict):
    """A dict subclass whose item access invents values: only stored keys count."""

    def __missing__(self, key):
        return 123.0

    def __getitem__(self, key):
        return 456.0


class Sub(np.ndarray):
    """A trivial ndarray subclass: accepted like an ndarray."""


def make_array(r: Reader, mutable_refs: list):
    """One array argument: mostly a valid float64 vector, sometimes not."""
    kind = r.byte()
    n = r.byte()
    # Mostly short curves, where the cases are dense; now and then a long one.
    n = n % 48 if n < 240 else (n - 239) * 128
    abscissa_like = r.byte() & 1
    values = r.ramp(n) if abscissa_like else [r.double() for _ in range(n)]
    base = np.array(values, dtype=np.float64)
    if kind < 170:
        return base
    kind -= 170
    if kind == 0:
        return base.view(Sub)
    if kind == 1:
        base.flags.writeable = False
        return base
    if kind == 2:  # non-contiguous
        return np.repeat(base, 2)[::2] if n else base[::-1]
    if kind == 3:  # reversed view (contiguous only for fewer than two points)
        return base[::-1]
    if kind == 4:  # misaligned but contiguous float64
        view = np.ndarray(shape=(n,), dtype=np.float64, buffer=bytearray(8 * n + 1), offset=1)
        view[:] = base
        return view
    if kind == 5:
        return base.astype(">f8")  # byte-swapped float64: refused
    # Other dtypes are made directly, not cast: a cast of a huge or
    # not-a-number double would warn, and warnings are errors in the tests.
    if kind == 6:
        return np.arange(n, dtype=np.float32)
    if kind == 7:
        return np.arange(n, dtype=np.int64)
    if kind == 8:
        return base.reshape(1, n)
    if kind == 9:
        return np.float64(r.double())  # a 0-d scalar, not an array
    if kind == 10:
        return np.array(r.double())  # a 0-d array
    if kind == 11:
        return values  # a list
    if kind == 12:
        return None
    if kind == 13:
        return np.empty(0)
    if kind == 14:
        return base[: max(n - 1, 0)]  # a shorter view sharing storage
    if kind == 15:
        return np.asfortranarray(base)
    if kind == 16:
        return base.astype(np.complex128)
    if kind == 17:
        return "t"
    return base


def make_number(r: Reader, arrays: list):
    """Any value a tolerance or range end might hold."""
    kind = r.byte() % 16
    if kind < 6:
        return r.double()
    if kind == 6:
        return None
    if kind == 7:
        return (r.byte() % 7) - 3  # an int
    if kind == 8:
        return 10 ** (300 + r.byte())  # an int too large for a double
    if kind == 9:
        return bool(r.byte() & 1)
    if kind == 10:
        return "0.1"
    if kind == 11:
        return Number(r.double(), r.byte() % 4, arrays)
    if kind == 12:
        return Indexable((r.byte() % 7) - 3)
    if kind == 13:
        return [1.0]
    if kind == 14:
        return np.float32(0.25)
    return complex(1.0, 1.0)


TOLERANCE_KEYS = ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly")


def make_section(r: Reader, keys: tuple[str, ...], arrays: list):
    kind = r.byte() % 12
    if kind == 0:
        return None
    if kind == 1:
        return [1.0, 2.0]
    if kind == 2:
        return (0.0, 1.0)
    if kind == 3:
        return 7
    section: dict = MissingDict() if kind == 4 else {}
    for key in keys:
        if r.byte() & 1:
            section[key] = make_number(r, arrays)
    if r.byte() % 4 == 0:
        section["unknown"] = make_number(r, arrays)
    if r.byte() % 8 == 0:
        section[1] = 1.0  # a key that is not a str
    return section


def make_options(r: Reader, arrays: list):
    kind = r.byte() % 16
    if kind == 0:
        return None
    if kind == 1:
        return []
    if kind == 2:
        return 0
    if kind == 3:
        return "options"
    options: dict = MissingDict() if kind == 4 else {}
    if r.byte() % 3:
        options["tolerances"] = make_section(r, TOLERANCE_KEYS, arrays)
    if r.byte() % 3:
        options["x_range"] = make_section(r, ("lo", "hi"), arrays)
    if r.byte() % 4 == 0:
        options["tolerance"] = {"atolx": 1.0}  # a misspelt key: ignored
    return options


def snapshot(a):
    """The bytes of an input array, or None for anything that is no array."""
    if isinstance(a, np.ndarray):
        return (a.shape, a.dtype.str, a.tobytes())
    return None


def bits(a: np.ndarray) -> bytes:
    return a.tobytes()


def check_result(result, arrays: list, valid_arrays: bool) -> None:
    assert type(result) is dict, type(result)
    assert list(result) == ["status", "lower", "upper", "errors"], list(result)
    status = result["status"]
    assert type(status) is int and status in STATUSES and status != 13, status
    lengths = []
    for key in ("lower", "upper", "errors"):
        pair = result[key]
        assert type(pair) is tuple and len(pair) == 2
        x, y = pair
        for a in (x, y):
            assert type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 1
            assert a.flags.writeable and a.flags.c_contiguous and a.flags.aligned
            assert a.strides == (8,)
        assert x.shape == y.shape
        lengths.append(len(x))
    if status in REJECTED:
        assert lengths == [0, 0, 0], (status, lengths)
        return
    assert lengths[0] >= 1 and lengths[1] >= 1, lengths
    if valid_arrays:
        t_test = arrays[2]
        assert lengths[2] == len(t_test), (lengths, len(t_test))
        # The error curve's abscissae are the test abscissae, exactly.
        assert bits(result["errors"][0]) == bits(np.ascontiguousarray(t_test, dtype=np.float64))


def same_result(a: dict, b: dict) -> bool:
    if a["status"] != b["status"]:
        return False
    return all(bits(a[k][i]) == bits(b[k][i]) for k in ("lower", "upper", "errors") for i in (0, 1))


def fuzz_one(data: bytes) -> None:
    r = Reader(data)
    arrays: list = []
    for _ in NAMES:
        arrays.append(make_array(r, arrays))
    options = make_options(r, arrays)
    style = r.byte() % 8

    args: tuple = tuple(arrays)
    kwargs: dict = {}
    if style == 1:
        kwargs = dict(zip(NAMES, arrays))
        args = ()
    elif style == 2:
        args = tuple(arrays[:2])
        kwargs = dict(zip(NAMES[2:], arrays[2:]))
    if style in (0, 1, 2):
        kwargs["options"] = options
    elif style == 3:
        args = args + (options,)
    elif style == 4:
        pass  # options omitted
    elif style == 5:
        args = args + (options, None)  # one positional argument too many
    elif style == 6:
        args = args[:3]  # one required argument missing
    else:
        kwargs = {"options": options, "t_reference": arrays[0]}  # given twice
    before = [snapshot(a) for a in arrays]
    valid_arrays = all(
        type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 1 for a in arrays
    ) and not _mutates(options)

    try:
        result = vf.compare(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, FuzzError):
        return
    check_result(result, arrays, valid_arrays)
    if valid_arrays:
        assert [snapshot(a) for a in arrays] == before, "compare changed an input array"
        again = vf.compare(*args, **kwargs)
        assert same_result(result, again), "two identical calls gave different results"


def _mutates(options) -> bool:
    """Whether reading the options may run code that changes the inputs."""
    if not isinstance(options, dict):
        return False
    for section in (dict.get(options, "tolerances"), dict.get(options, "x_range")):
        if isinstance(section, dict):
            for v in dict.values(section):
                if isinstance(v, Number):
                    return True
    return False
