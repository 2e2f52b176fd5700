"""Pairing the variables of a reference and a test run by name.

By default names pair exactly as they are spelled. Modelica tools spell the
same variable in more than one way, and ``names = "modelica"`` pairs the
spellings that are one variable:

- Blanks inside subscripts and function calls do not count: Dymola writes
  ``R.T[1, 1]``, OpenModelica ``R.T[1,1]``.
- A derivative is one variable however it is written: ``der(a.b.c)`` (Dymola,
  OpenModelica) and ``a.b.der(c)`` (as some tools and FMI exports write it),
  nested (``der(der(a.x))``, ``a.der(der(x))``, ``der(a.der(x))``) and with
  subscripts on the way (``der(a.b[1].c)``, ``a.b[1].der(c)``).
- Quoted identifiers (``'x y'``) are kept as they are, blanks and dots
  inside them included, and the quotes stay: ``'x'`` and ``x`` are two
  identifiers in Modelica.

The normal form only pairs: reports show each variable as the reference
spells it (the test's spelling for a variable only the test run has). Two
names of one file that are one variable under the normal form cannot both be
paired, and are an error naming both, never one of them dropped.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from typing import NamedTuple

__all__ = ["NAMINGS", "NameClash", "Variable", "modelica_name", "normal_form", "pair_names"]

#: How variables pair across the two files.
NAMINGS = ("exact", "modelica")


class Variable(NamedTuple):
    """One variable of a pair of runs: its name as reports show it, and its
    spelling in each file (None where the file does not have it)."""

    name: str
    reference: str | None
    test: str | None


class NameClash(ValueError):
    """Two names of one file that are one variable under the normal form."""

    def __init__(self, side: str, first: str, second: str, normal: str) -> None:
        super().__init__(
            f"the names {first!r} and {second!r} are one variable ({normal!r}) when names are "
            "paired as Modelica names: compare with exact names, or leave one of them out"
        )
        self.side = side


def _scanned(text: str) -> Iterator[tuple[int, str, int, bool]]:
    """Each character of ``text`` with its index, the depth of brackets and
    parentheses around it, and whether it belongs to a quoted identifier
    (its quotes included, a backslash escaping the next character)."""
    depth, quoted, escaped = 0, False, False
    for index, char in enumerate(text):
        inside = quoted or char == "'"
        if quoted:
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == "'":
                quoted = False
        elif char == "'":
            quoted = True
        elif char in "([":
            depth += 1
        elif char in ")]":
            depth -= 1
        yield index, char, depth, inside


def _parts(text: str) -> list[str]:
    """``text`` cut at its dots that separate components: not those inside
    quotes, brackets or parentheses."""
    parts, start = [], 0
    for index, char, depth, inside in _scanned(text):
        if char == "." and depth == 0 and not inside:
            parts.append(text[start:index])
            start = index + 1
    parts.append(text[start:])
    return parts


def _squeezed(text: str) -> str:
    """``text`` without the blanks inside brackets and parentheses (quoted identifiers left whole)."""
    return "".join(char for _, char, depth, inside in _scanned(text) if inside or not (char.isspace() and depth > 0))


def _call_argument(part: str, function: str) -> str | None:
    """The argument of ``part`` when all of it is one call ``function(...)``."""
    if not (part.startswith(function + "(") and part.endswith(")")):
        return None
    inner = part[len(function) + 1 : -1]
    # "der(a)+der(b)" ends in ")" too: the argument must be one whole component path.
    depth = 0
    for char in inner:
        depth += char in "(["
        depth -= char in ")]"
        if depth < 0:
            return None
    return inner if depth == 0 else None


def _derivatives_outside(text: str) -> str:
    """``a.b.der(c)`` -> ``der(a.b.c)``, at every level of nesting."""
    parts = _parts(text)
    inner = _call_argument(parts[-1], "der")
    if inner is None:
        return text
    return f"der({_derivatives_outside('.'.join([*parts[:-1], inner]))})"


def modelica_name(name: str) -> str:
    """The normal form of a Modelica variable name that pairs the spellings of
    one variable (see the module's docstring)."""
    return _derivatives_outside(_squeezed(name.strip()))


def _exact(name: str) -> str:
    return name


_NORMAL_FORMS: dict[str, Callable[[str], str]] = {"exact": _exact, "modelica": modelica_name}


def normal_form(naming: str) -> Callable[[str], str]:
    """The normal form that pairs names under ``naming`` (one of NAMINGS)."""
    return _NORMAL_FORMS[naming]


def _by_normal_form(names: Sequence[str], side: str, normal: Callable[[str], str]) -> dict[str, str]:
    found: dict[str, str] = {}
    for name in names:
        key = normal(name)
        if key in found:
            raise NameClash(side, found[key], name, key)
        found[key] = name
    return found


def pair_names(reference: Sequence[str], test: Sequence[str], naming: str = "exact") -> list[Variable]:
    """The variables of both files, paired under ``naming`` (one of NAMINGS):
    the reference's in its order, then the test's own. Raises NameClash."""
    normal = _NORMAL_FORMS[naming]
    references = _by_normal_form(reference, "reference", normal)
    tests = _by_normal_form(test, "test", normal)
    found = [Variable(name, name, tests.get(key)) for key, name in references.items()]
    found += [Variable(name, None, name) for key, name in tests.items() if key not in references]
    return found
