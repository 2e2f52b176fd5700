"""Shared test settings."""

import os

import pytest
from hypothesis import HealthCheck, settings

# The default run stays quick; VELMORA_HEAVY=1 explores far more inputs.
settings.register_profile("quick", max_examples=60, deadline=None)
settings.register_profile("heavy", max_examples=3000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("heavy" if os.environ.get("VELMORA_HEAVY") else "quick")
# The mutation run (tools/mutants) needs the same verdict every time: the
# same examples, no database of earlier failures.
settings.register_profile("mutants", max_examples=60, deadline=None, derandomize=True, database=None)


@pytest.fixture
def write_csv(tmp_path):
    """Write a result file: ``write_csv("name.csv", "time,a", [[0, 1], ...])``
    or raw text with ``rows=None``; returns its path as a string."""

    def write(name, header, rows=None, *, folder=None):
        path = (folder or tmp_path) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if rows is None:
            path.write_text(header, encoding="utf-8")
        else:
            lines = [header] + [",".join(repr(float(v)) for v in row) for row in rows]
            path.write_text("\n".join(lines) + "\n", encoding="utf-8")
        return str(path)

    return write


# Runs pytest on generated test projects (the funnel_regression plugin).
pytest_plugins = ["pytester"]
