"""The package's version, derived from the compiled module's: one source,
pyproject.toml, which the build hands to the module."""

import _velmora_funnel as _vf

__all__ = ["__version__"]


def _pep440(version: str) -> str:
    # The module spells its version the SemVer way ("1.0.0-beta.10"); Python
    # packaging spells the same version "1.0.0b10".
    release, _, pre = version.partition("-")
    if not pre:
        return release
    label, _, number = pre.partition(".")
    return release + {"alpha": "a", "beta": "b", "rc": "rc"}[label] + number


__version__ = _pep440(_vf.version())
