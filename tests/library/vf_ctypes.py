"""The C ABI of velmora_funnel.h declared for ctypes, for the tests and the child processes they
start (nothing here but ctypes)."""

import ctypes

DOUBLES = ctypes.POINTER(ctypes.c_double)
FIELDS = ("atolx", "atoly", "ltolx", "ltoly", "rtolx", "rtoly", "lo", "hi")


class Options(ctypes.Structure):
    _fields_ = [(name, ctypes.c_double) for name in FIELDS]


def load(path):
    """The shared library at path, with the signatures of the header."""
    lib = ctypes.CDLL(str(path))
    lib.vf_default_options.restype = Options
    lib.vf_default_options.argtypes = []
    lib.vf_compare.restype = ctypes.c_int
    lib.vf_compare.argtypes = [DOUBLES, DOUBLES, ctypes.c_size_t, DOUBLES, DOUBLES, ctypes.c_size_t]
    lib.vf_compare.argtypes += [ctypes.POINTER(Options), ctypes.POINTER(ctypes.c_void_p)]
    lib.vf_result_curve.restype = ctypes.c_size_t
    lib.vf_result_curve.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(DOUBLES), ctypes.POINTER(DOUBLES)]
    lib.vf_result_free.restype = None
    lib.vf_result_free.argtypes = [ctypes.c_void_p]
    lib.vf_status_message.restype = ctypes.c_char_p
    lib.vf_status_message.argtypes = [ctypes.c_int]
    lib.vf_version.restype = ctypes.c_char_p
    lib.vf_version.argtypes = []
    return lib


def pointer(array):
    """A float64 NumPy array as a const double*, None as a null pointer."""
    return None if array is None else array.ctypes.data_as(DOUBLES)
