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

and a model library as kept under version control (``library/``): reference
runs of two models with the ``velmora-funnel.toml`` that gives their
variables tolerances of their own, and a folder of new runs:

- ``house.csv``: a day of a heated room (temperatures in kelvin, heater
  power in watts, a valve opening from 0 to 1, solver diagnostics). The new
  run is 0.3 K warmer: inside the config's 0.5 K, outside the default funnel.
- ``motor.csv``: a motor's start (shaft speed, torque, winding current and
  temperature). The new run's current controller overshoots near t = 0.4 s,
  so the current leaves its funnel.

``examples/generate.py`` in the repository writes them with write_examples();
the demo regenerates them into a temporary folder when it runs outside a
checkout.
"""

from __future__ import annotations

import functools
import math
import os
import struct
from collections.abc import Callable, Sequence

__all__ = ["EXAMPLE_FILES", "LIBRARY_CONFIG", "write_examples"]

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


def _write_mat(
    path: str,
    names: Sequence[str],
    grid: Sequence[float],
    columns: Sequence[Callable[[float], float]],
    parameters: dict[str, float],
    descriptions: Sequence[str] = (),
) -> None:
    """A result file as Modelica tools write it (binTrans: one variable per
    column of name and dataInfo, one output point per column of data_2),
    with ``descriptions`` (units in brackets at their ends) as Dymola writes
    them."""
    everything = [*names, *parameters]
    width = max(map(len, everything))
    described = [*descriptions, *[""] * (len(everything) - len(descriptions))]
    text_width = max(1, *map(len, described))
    aclass = [row.ljust(11) for row in ("Atrajectory", "1.1", "", "binTrans")]
    # dataInfo: the abscissa (matrix 0), trajectories in data_2, parameters in data_1
    info = (
        [(0, 1, 0, -1)]
        + [(2, k + 2, 0, -1) for k in range(len(columns))]
        + [(1, k + 2, 0, 0) for k in range(len(parameters))]
    )
    start, stop = grid[0], grid[-1]
    with open(path, "wb") as handle:
        handle.write(_mat_matrix("Aclass", 4, 11, 51, bytes(ord(row[j]) for j in range(11) for row in aclass)))
        handle.write(
            _mat_matrix("name", width, len(everything), 51, "".join(n.ljust(width) for n in everything).encode())
        )
        handle.write(
            _mat_matrix(
                "description",
                text_width,
                len(everything),
                51,
                "".join(d.ljust(text_width) for d in described).encode(),
            )
        )
        handle.write(_mat_matrix("dataInfo", 4, len(info), 20, b"".join(struct.pack("<4i", *row) for row in info)))
        handle.write(
            _mat_matrix(
                "data_1",
                1 + len(parameters),
                2,
                0,
                struct.pack(f"<{2 + 2 * len(parameters)}d", start, *parameters.values(), stop, *parameters.values()),
            )
        )
        handle.write(
            _mat_matrix(
                "data_2",
                1 + len(columns),
                len(grid),
                0,
                b"".join(struct.pack(f"<{1 + len(columns)}d", t, *(f(t) for f in columns)) for t in grid),
            )
        )


def _write_parquet(
    path: str, names: Sequence[str], grid: Sequence[float], columns: Sequence[Callable[[float], float]]
) -> bool:
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        return False
    values = [list(grid)] + [[f(t) for t in grid] for f in columns]
    pq.write_table(pa.table(dict(zip(names, values, strict=True))), path)
    return True


# The model library's per-variable tolerances, as its engineers would keep them.
LIBRARY_CONFIG = """\
# Tolerances of the model library's regression runs (velmora-funnel.toml).
# From weakest: the built-in defaults, [defaults], every [[variable]] whose
# match fits (in this order, key by key), then the command line.

[defaults]
rtoly = 0.005                 # 0.5 % of each variable's span

[[variable]]
match = "*.temperature"       # kelvin: the sensors are good to half a kelvin
atoly = 0.5

[[variable]]
match = "valve.opening"       # a fraction from 0 to 1
atoly = 0.02

[[variable]]
match = ["solver.*", "*.der(*)"]
ignore = true                 # diagnostics and derivatives: listed, never compared
"""


def _house(t: float, warmer: float) -> list[float]:
    hours = t / 3600.0
    outside = 278.15 + 4.0 * math.sin(2.0 * math.pi * (hours - 9.0) / 24.0)
    room = 293.15 + 0.8 * math.sin(2.0 * math.pi * (hours - 15.0) / 24.0) + warmer
    wall = 0.6 * room + 0.4 * outside
    power = max(0.0, 1800.0 - 120.0 * (outside - 274.15))
    opening = min(1.0, power / 2000.0)
    derivative = 0.8 * 2.0 * math.pi / 24.0 / 3600.0 * math.cos(2.0 * math.pi * (hours - 15.0) / 24.0)
    return [room, wall, power, opening, float(3 + int(7 * abs(math.sin(t / 5000.0)))), derivative]


def _motor(t: float, overshoot: float) -> list[float]:
    speed = 150.0 * (1.0 - math.exp(-t / 0.3))
    current = 12.0 * math.exp(-t / 0.25) + 2.0 + overshoot * math.exp(-(((t - 0.4) / 0.03) ** 2))
    torque = 0.8 * current
    temperature = 300.0 + 6.0 * (1.0 - math.exp(-t / 1.5))
    return [speed, torque, current, temperature]


def _write_rows(path: str, names: Sequence[str], grid: Sequence[float], row: Callable[[float], list[float]]) -> None:
    with open(path, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(",".join(names) + "\n")
        for t in grid:
            handle.write(",".join(format(v, ".10g") for v in [t, *row(t)]) + "\n")


def write_library(directory: str | os.PathLike[str]) -> list[str]:
    """Write ``library/reference/`` (with its config) and ``library/runs/`` under ``directory``."""
    directory = os.fspath(directory)
    reference_dir = os.path.join(directory, "library", "reference")
    runs_dir = os.path.join(directory, "library", "runs")
    os.makedirs(reference_dir, exist_ok=True)
    os.makedirs(runs_dir, exist_ok=True)
    config = os.path.join(reference_dir, "velmora-funnel.toml")
    with open(config, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(LIBRARY_CONFIG)
    house = (
        "time",
        "room.temperature",
        "wall.temperature",
        "heater.power",
        "valve.opening",
        "solver.iterations",
        "room.der(T)",
    )
    motor = ("time", "shaft.speed", "shaft.torque", "winding.current", "winding.temperature")
    written = [config]
    for folder, warmer, overshoot, house_grid, motor_grid in (
        (reference_dir, 0.0, 0.0, _uniform(0.0, 86400.0, 145), _uniform(0.0, 2.0, 201)),
        (runs_dir, 0.3, 3.0, _solver_grid(0.0, 86400.0, 121), _solver_grid(0.0, 2.0, 173)),
    ):
        path = os.path.join(folder, "house.csv")
        _write_rows(path, house, house_grid, functools.partial(_house, warmer=warmer))
        written.append(path)
        path = os.path.join(folder, "motor.csv")
        _write_rows(path, motor, motor_grid, functools.partial(_motor, overshoot=overshoot))
        written.append(path)
    return written


def write_examples(directory: str | os.PathLike[str]) -> list[str]:
    """Write ``reference/``, ``test/`` and the model library under ``directory``; return the paths."""
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
    _write(
        path, oscillator, _solver_grid(0.0, 10.0, 433), (_position, _velocity, lambda t: _acceleration(t) + _spike(t))
    )
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
    return written + write_library(directory) + write_tools(directory)


# One model's results as two tools name them: Dymola's dsres.mat (a blank
# after a subscript's comma, der() around the whole path) and an FMU
# simulator's CSV (quoted names, no blanks, the derivative at the path's end).
_DYMOLA = ("R.T[1, 1]", "R.T[1, 2]", "revolute1.phi", "der(revolute1.phi)", "der(der(body.x))", "'wall 1'.T")
_FMU = ("R.T[1,1]", "R.T[1,2]", "revolute1.phi", "revolute1.der(phi)", "body.der(der(x))", "'wall 1'.T")
_UNITS = ("Temperature [K]", "Temperature [K]", "Angle [rad]", "[rad/s]", "[m/s2]", "Temperature [K]")


def _signals(t: float, off: float = 0.0) -> list[float]:
    return [293.15 + t, 293.15 + 2 * t + off, math.sin(t), math.cos(t), -math.sin(t), 300.0 - t]


def _write_quoted(path: str, names: Sequence[str], grid: Sequence[float], row: Callable[[float], list[str]]) -> None:
    """CSV as FMI tools export it: every name quoted, a delimiter ending each line."""
    with open(path, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(",".join(f'"{name}"' for name in names) + ",\n")
        for t in grid:
            handle.write(",".join([format(t, ".10g"), *row(t)]) + ",\n")


def _feedthrough(t: float, late: float) -> list[str]:
    # A real, an integer, a boolean that switches at t = 1 (late: a step later) and a string.
    return [format(2.0 * t, ".10g"), str(int(t)), "true" if t >= 1.0 + late - 1e-9 else "false", '"Set me!"']


def _falling(t: float, energy: bool) -> list[float]:
    return [1.0 - 4.9 * t * t, -9.81 * t, *([9.81] if energy else [])]


def write_tools(directory: str | os.PathLike[str]) -> list[str]:
    """Write ``tools/`` (one model from two tools: a lost, an added and a
    changed output) and ``fmi/`` (FMI outputs with booleans and text; a
    library that keeps each reference beside its run) under ``directory``."""
    directory = os.fspath(directory)
    tools, fmi = os.path.join(directory, "tools"), os.path.join(directory, "fmi")
    for folder in (tools, os.path.join(fmi, "BouncingBall"), os.path.join(fmi, "Feedthrough")):
        os.makedirs(folder, exist_ok=True)
    grid = _uniform(0.0, 2.0, 201)
    dsres = os.path.join(tools, "dsres.mat")
    columns = [functools.partial(lambda t, k: _signals(t)[k] if k < 6 else 1.0, k=k) for k in range(7)]
    _write_mat(dsres, ("Time", *_DYMOLA, "lost.output"), grid, columns, {}, ("Time in [s]", *_UNITS, ""))
    fmu = os.path.join(tools, "fmu_out.csv")
    _write_quoted(
        fmu,
        ("time", *_FMU, "added.output"),
        _solver_grid(0.0, 2.0, 181),
        lambda t: [format(v, ".10g") for v in (*_signals(t, 0.5 * (t > 1.0)), 2.0)],
    )
    written = [dsres, fmu]
    for name, late in (("Feedthrough_ref.csv", 0.0), ("Feedthrough_out.csv", 0.1)):
        path = os.path.join(fmi, "Feedthrough", name)
        _write_quoted(
            path,
            ("time", "Float64_continuous_output", "Int32_output", "Boolean_output", "String_output"),
            _uniform(0.0, 2.0, 21),
            functools.partial(_feedthrough, late=late),
        )
        written.append(path)
    ball = os.path.join(fmi, "BouncingBall")
    for name, extra in (
        ("BouncingBall_ref.csv", False),
        ("BouncingBall_out.csv", True),
        ("BouncingBall_in.csv", False),
    ):
        path = os.path.join(ball, name)
        names = ("time", "h", "v", *(("e",) if extra else ()))
        _write_rows(
            path,
            names,
            _uniform(0.0, 1.0, 101),
            functools.partial(_falling, energy=extra),
        )
        written.append(path)
    return written
