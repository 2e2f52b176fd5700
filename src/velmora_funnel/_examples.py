"""The example result files: generated, never hand-typed.

Two simulated systems, each as a reference run and a new run on another time
grid (as a variable-step solver would give):

- ``oscillator.csv``: the unit-step response of a damped mass-spring
  oscillator (position, velocity, acceleration). The new run's acceleration
  carries a short spike from a mishandled event near t = 6.3 s, so that one
  variable leaves its funnel while the others stay inside.
- ``heater.csv``: a first-order heating curve (temperature, power); the new
  run agrees within its funnel.

The same runs in the formats simulation tools write, under ``formats/``:

- ``oscillator.mat``: the oscillator's reference run as a Modelica tool's MAT
  result file (version 4, binTrans), with the damping ratio as a parameter;
- ``heater.parquet``: the heater's reference run as Parquet (written only
  where pyarrow, the ``parquet`` extra, is installed).

``examples/generate.py`` in the repository writes them with write_examples();
the demo regenerates them into a temporary folder when it runs outside a
checkout.
"""

from __future__ import annotations

import math
import os
import struct
from collections.abc import Callable, Sequence

__all__ = ["EXAMPLE_FILES", "write_examples"]

EXAMPLE_FILES = ("oscillator.csv", "heater.csv")  # in reference/ and test/

# Oscillator: natural frequency 0.5 Hz, damping ratio 0.2, unit step at t = 0.
_OMEGA = 2.0 * math.pi * 0.5
_ZETA = 0.2
_OMEGA_D = _OMEGA * math.sqrt(1.0 - _ZETA * _ZETA)


def _position(t: float) -> float:
    decay = math.exp(-_ZETA * _OMEGA * t)
    return 1.0 - decay * (math.cos(_OMEGA_D * t) + _ZETA / math.sqrt(1.0 - _ZETA**2) * math.sin(_OMEGA_D * t))


def _velocity(t: float) -> float:
    return _OMEGA / math.sqrt(1.0 - _ZETA**2) * math.exp(-_ZETA * _OMEGA * t) * math.sin(_OMEGA_D * t)


def _acceleration(t: float) -> float:
    # x'' = omega^2 (u - x) - 2 zeta omega x' with the unit step u = 1.
    return _OMEGA**2 * (1.0 - _position(t)) - 2.0 * _ZETA * _OMEGA * _velocity(t)


def _spike(t: float) -> float:
    return 0.9 * math.exp(-(((t - 6.3) / 0.06) ** 2))


# Heater: 20 degC ambient, 60 K rise, time constant 120 s; heating power
# drops as the element warms.
def _temperature(t: float) -> float:
    return 20.0 + 60.0 * (1.0 - math.exp(-t / 120.0))


def _power(t: float) -> float:
    return 1500.0 * math.exp(-t / 120.0) + 500.0


def _uniform(start: float, stop: float, count: int) -> list[float]:
    step = (stop - start) / (count - 1)
    return [start + i * step for i in range(count)]


def _solver_grid(start: float, stop: float, count: int) -> list[float]:
    """Steps that start small and grow, as a variable-step solver takes them."""
    return [start + (stop - start) * (i / (count - 1)) ** 1.4 for i in range(count)]


def _write(path: str, names: Sequence[str], grid: Sequence[float], columns: Sequence[Callable[[float], float]]) -> None:
    with open(path, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(",".join(names) + "\n")
        for t in grid:
            handle.write(",".join(format(v, ".10g") for v in [t] + [f(t) for f in columns]) + "\n")


def _mat_matrix(name: str, rows: int, cols: int, kind: int, payload: bytes) -> bytes:
    # version 4, little-endian: type (precision * 10 + text flag), rows,
    # columns, no imaginary part, name length; then the values column by column
    return struct.pack("<5i", kind, rows, cols, 0, len(name) + 1) + name.encode() + b"\0" + payload


def _write_mat(path: str, names: Sequence[str], grid: Sequence[float], columns: Sequence[Callable[[float], float]],
               parameters: dict[str, float]) -> None:
    """A result file as Modelica tools write it (binTrans: one variable per
    column of name and dataInfo, one output point per column of data_2)."""
    everything = [*names, *parameters]
    width = max(map(len, everything))
    aclass = [row.ljust(11) for row in ("Atrajectory", "1.1", "", "binTrans")]
    # dataInfo: the abscissa (matrix 0), trajectories in data_2, parameters in data_1
    info = [(0, 1, 0, -1)] + [(2, k + 2, 0, -1) for k in range(len(columns))] + [(1, k + 2, 0, 0) for k in range(len(parameters))]
    start, stop = grid[0], grid[-1]
    with open(path, "wb") as handle:
        handle.write(_mat_matrix("Aclass", 4, 11, 51, bytes(ord(row[j]) for j in range(11) for row in aclass)))
        handle.write(_mat_matrix("name", width, len(everything), 51, "".join(n.ljust(width) for n in everything).encode()))
        handle.write(_mat_matrix("description", 1, len(everything), 51, b" " * len(everything)))
        handle.write(_mat_matrix("dataInfo", 4, len(info), 20, b"".join(struct.pack("<4i", *row) for row in info)))
        handle.write(_mat_matrix("data_1", 1 + len(parameters), 2, 0,
                                 struct.pack(f"<{2 + 2 * len(parameters)}d", start, *parameters.values(), stop, *parameters.values())))
        handle.write(_mat_matrix("data_2", 1 + len(columns), len(grid), 0,
                                 b"".join(struct.pack(f"<{1 + len(columns)}d", t, *(f(t) for f in columns)) for t in grid)))


def _write_parquet(path: str, names: Sequence[str], grid: Sequence[float], columns: Sequence[Callable[[float], float]]) -> bool:
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        return False
    values = [list(grid)] + [[f(t) for t in grid] for f in columns]
    pq.write_table(pa.table(dict(zip(names, values, strict=True))), path)
    return True


def write_examples(directory: str | os.PathLike[str]) -> list[str]:
    """Write ``reference/`` and ``test/`` under ``directory``; return the paths."""
    directory = os.fspath(directory)
    reference_dir = os.path.join(directory, "reference")
    test_dir = os.path.join(directory, "test")
    os.makedirs(reference_dir, exist_ok=True)
    os.makedirs(test_dir, exist_ok=True)
    written = []
    oscillator = ("time", "position", "velocity", "acceleration")
    path = os.path.join(reference_dir, "oscillator.csv")
    _write(path, oscillator, _uniform(0.0, 10.0, 501), (_position, _velocity, _acceleration))
    written.append(path)
    path = os.path.join(test_dir, "oscillator.csv")
    _write(path, oscillator, _solver_grid(0.0, 10.0, 433), (_position, _velocity, lambda t: _acceleration(t) + _spike(t)))
    written.append(path)
    heater = ("time", "temperature", "power")
    path = os.path.join(reference_dir, "heater.csv")
    _write(path, heater, _uniform(0.0, 600.0, 301), (_temperature, _power))
    written.append(path)
    path = os.path.join(test_dir, "heater.csv")
    _write(path, heater, _solver_grid(0.0, 600.0, 257), (lambda t: _temperature(t) + 0.01 * math.sin(t / 7.0), _power))
    written.append(path)
    formats_dir = os.path.join(directory, "formats")
    os.makedirs(formats_dir, exist_ok=True)
    path = os.path.join(formats_dir, "oscillator.mat")
    _write_mat(path, oscillator, _uniform(0.0, 10.0, 501), (_position, _velocity, _acceleration), {"zeta": _ZETA})
    written.append(path)
    path = os.path.join(formats_dir, "heater.parquet")
    if _write_parquet(path, heater, _uniform(0.0, 600.0, 301), (_temperature, _power)):
        written.append(path)
    return written
