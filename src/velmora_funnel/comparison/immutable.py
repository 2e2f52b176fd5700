"""Arrays nobody can write: the one rule by which a result never changes
after it is returned.

A result keeps an array only when its memory cannot be written by anyone: a
read-only array all the way down to an immutable owner (Python bytes, a
block of the kernels' cache, the capsule through which the module hands
over its result vectors). Anything else is copied into such storage first.

- ``is_sealed``: whether nobody can write an array's memory.
- ``sealed_copy``: a copy into immutable storage.
- ``seal``: the array itself when sealed, else its sealed copy.
- ``seal_converted``: what a conversion gave: frozen in place when the
  conversion made it, sealed when it may be the caller's.
- ``seal_together``: three short arrays sealed into one bytes object.
- ``freeze``: read-only in place, down to the array that owns the memory,
  for arrays that nobody else holds (the module's results, a parser's
  block, an unpickled copy).
"""

from __future__ import annotations

import datetime

import numpy as np

from .. import _kernels
from .types import FloatArray

__all__ = [
    "BLOCK_FROM",
    "freeze",
    "freeze_if_owned",
    "is_sealed",
    "seal",
    "seal_converted",
    "seal_together",
    "sealed_copy",
]

_IMMUTABLE_OWNERS: tuple[type, ...] = (bytes, _kernels.Block, type(datetime.datetime_CAPI))

# Below this size the allocator reuses freed memory by itself, and bytes cost
# one call less; above it, freed blocks go back to the system at once and the
# kernels' cache saves the page faults of the next copy.
BLOCK_FROM = 128 * 1024


def is_sealed(array: FloatArray, *, owning_array: bool = False) -> bool:
    """True when no one can write the array's memory: read-only all the way
    down to an immutable owner. A read-only view of a writeable array is not
    sealed (its base can still be written, and its flag turned back on).
    With ``owning_array``, an owner that is a read-only array owning its
    memory counts too (only a deliberate flag change could write it)."""
    owner: object = array
    while isinstance(owner, np.ndarray):
        if owner.flags.writeable:
            return False
        if owner.base is None:
            return owning_array
        owner = owner.base
    return isinstance(owner, _IMMUTABLE_OWNERS)


def sealed_copy(array: FloatArray) -> FloatArray:
    """A read-only, contiguous float64 copy whose storage is immutable (bytes,
    or a block of the kernels' cache), so that neither the caller nor anyone
    holding the result can change it."""
    array = np.ascontiguousarray(array, dtype=np.float64)
    # frombuffer's default dtype is float64; naming it costs a third more.
    if array.nbytes < BLOCK_FROM:
        return np.frombuffer(array.tobytes())
    return np.frombuffer(_kernels.sealed_copy(array))


def seal(array: FloatArray, *, owning_array: bool = False) -> FloatArray:
    """The array as a result may keep it: itself when it is contiguous and
    sealed (with ``owning_array``, also when it is read-only down to an array
    owning its memory, as a loaded table's columns are), else a sealed copy."""
    if not array.flags.writeable and array.flags.c_contiguous and is_sealed(array, owning_array=owning_array):
        return array
    return sealed_copy(array)


def seal_converted(array: FloatArray, fresh: bool) -> FloatArray:
    """A converted array as the result keeps it: one made by the conversion
    (``fresh``) is frozen in place; one that (also) belongs to the caller is
    sealed."""
    if fresh:
        array.flags.writeable = False
        return array
    return seal(array)


def seal_together(a: FloatArray, b: FloatArray, c: FloatArray) -> tuple[FloatArray, FloatArray, FloatArray]:
    """seal() of each; short writeable arrays share one bytes object, which
    saves two of the three array constructions that dominate on short curves."""
    if a.nbytes + b.nbytes + c.nbytes < BLOCK_FROM and a.flags.writeable and b.flags.writeable and c.flags.writeable:
        whole = np.frombuffer(b"".join((a.tobytes(), b.tobytes(), c.tobytes())))
        na = len(a)
        nab = na + len(b)
        return whole[:na], whole[na:nab], whole[nab:]
    return seal(a), seal(b), seal(c)


def freeze(array: FloatArray) -> FloatArray:
    """Make the array read-only down to the array that owns its memory. Only
    for memory nobody else holds: then the array can be kept as it is."""
    owner: object = array
    while isinstance(owner, np.ndarray):
        owner.flags.writeable = False
        owner = owner.base
    return array


def freeze_if_owned(array: FloatArray) -> FloatArray:
    """freeze() an array that owns its memory (an unpickled copy, which
    nobody else holds); any other array is left to seal()."""
    if array.flags.owndata and array.flags.writeable:
        array.flags.writeable = False
    return array
