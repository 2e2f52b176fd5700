"""What one CSV cell holds, and what its column is read as.

A column is read as what its first non-empty cell (below the header and the
units row) holds:

- a number: a column of numbers; any later cell that is not a number is an
  error naming its row and column;
- ``true`` or ``false`` in any case (``True``, ``FALSE``, as CSV writers
  spell booleans): a column of booleans, read as 1.0 and 0.0 (a discrete
  signal, compared like any step signal); a later cell that is neither is an
  error;
- several numbers apart by spaces (``1 2 3``, an array written into one
  cell): not compared, "several numbers per cell";
- anything else: not compared, "text column" (an enumeration's label, a
  string output).

A first cell that looks like a number gone wrong is not text: digits with
signs, points, commas, underscores, exponent marks and spaces only
(``1_000``, ``1.5.2``, ``1 000``, a digit that is not ASCII), or a spelling
of not-a-number that pandas does not take (``NA``, ``nAn``, `` nan``). Its
column stays a column of numbers, so the cell is the error it was: a typo
in a file of numbers never turns its column into text that is quietly left
out. A column the user names to be compared that is skipped is refused with
the error of its first cell.
"""

from __future__ import annotations

import itertools
import re
from typing import Literal

__all__ = [
    "FALSE_SPELLINGS",
    "NAN_SPELLINGS",
    "REASONS",
    "SPACES",
    "TRUE_SPELLINGS",
    "Kind",
    "boolean_value",
    "cell_kind",
    "is_boolean",
    "is_number",
    "not_a_number",
]

#: What a column is read as: "dated" is an abscissa of ISO 8601 date-times;
#: "unnamed" a column under an empty header cell at the end of the header
#: (the trailing delimiter some writers end each line with), read only to
#: check that it is empty.
Kind = Literal["number", "boolean", "text", "array", "dated", "unnamed"]

#: Why a column of each kind that is not compared is left out.
REASONS: dict[str, str] = {"text": "text column", "array": "several numbers per cell"}

# Spellings of not-a-number that count as numbers (a crashed run writes them);
# an empty cell or "NA" does not.
NAN_SPELLINGS = ["nan", "NaN", "NAN", "-nan", "-NaN", "+nan"]

# The white space pandas' parser skips around a number.
SPACES = " \t\n\r\v\f"


def _every_case(word: str) -> list[str]:
    return ["".join(letters) for letters in itertools.product(*((c.lower(), c.upper()) for c in word))]


# pandas matches booleans by their spelling, whole: every case of each word.
TRUE_SPELLINGS = _every_case("true")
FALSE_SPELLINGS = _every_case("false")

# A number gone wrong: nothing but what numbers are written with, and a digit
# (\d takes digits of every script, which pandas does not).
_MISTYPED = re.compile(r"[\s+\-.,_eE\d]*\d[\s+\-.,_eE\d]*")
_NOT_A_NUMBER_WORDS = {"nan", "na", "n/a"}
_GROUPED = re.compile(r"[+-]?\d{1,3}( \d{3})+([.,]\d*)?")


def is_number(text: str, decimal: str = ".") -> bool:
    """Whether pandas' parser reads ``text`` as a float: Python's float() also
    takes non-ASCII digits and spaces, '_' separators and NaN in any case."""
    if not text.isascii() or "_" in text:
        return False
    if decimal != ".":
        if "." in text:
            return False
        text = text.replace(decimal, ".", 1)
    try:
        float(text)
    except ValueError:
        return False
    return text.strip().lstrip("+-").lower() != "nan" or text in NAN_SPELLINGS


def is_boolean(text: str) -> bool:
    """``true`` or ``false``, in any case, spaces around it aside."""
    return text.strip(SPACES).lower() in ("true", "false")


def boolean_value(text: str) -> float:
    """1.0 for true, 0.0 for false (any case, spaces around), NaN for the
    rest: a cell checked before (a NaN spelling, or empty as NaN)."""
    word = text.strip(SPACES).lower()
    return 1.0 if word == "true" else 0.0 if word == "false" else float("nan")


def cell_kind(cell: str, decimal: str = ".") -> Kind:
    """What a column whose first non-empty cell is ``cell`` is read as (see the module's docstring)."""
    if is_number(cell, decimal):
        return "number"
    text = cell.strip(SPACES)
    if is_boolean(text):
        return "boolean"
    parts = text.split()
    if len(parts) > 1 and all(is_number(part, decimal) for part in parts):
        # "1 000" and "12 345,5" are one number in groups of thousands, not an array
        return "number" if _GROUPED.fullmatch(text) else "array"
    if _MISTYPED.fullmatch(text) or text.lstrip("+-").lower() in _NOT_A_NUMBER_WORDS:
        return "number"
    return "text"


def not_a_number(cell: str, decimal: str = ".") -> str:
    """Why ``cell`` is no number, in words."""
    text = cell.strip(SPACES)
    shown = text if len(text) <= 40 else text[:37] + "..."
    if decimal != "." and "." in text and is_number(text):
        return f"{shown!r} is not a number (the decimal mark is {decimal!r})"
    if not text.isascii():
        return f"{shown!r} is not a number (digits, signs and spaces must be ASCII)"
    if text in NAN_SPELLINGS:
        # pandas matches these spellings whole, spaces and all
        return f"{cell!r} is not a number (not-a-number is written without spaces around it)"
    if text.lstrip("+-").lower() == "nan":
        return f"{shown!r} is not a number (not-a-number is written nan, NaN or NAN)"
    return f"{shown!r} is not a number"
