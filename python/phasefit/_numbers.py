"""Number fields as the Fortran-style writers and free-form readers see them.

Every reader of the package takes its numbers from here, so that one field
means one value whichever file it stands in.
"""

from decimal import Decimal
import math
import re

import numpy as np

# A decimal number in integer, fixed-point or exponent form; the exponent
# letter may be E or D in either case. Written with [0-9]: a str pattern's
# \d would also take other scripts' digits, which no writer produces.
_DECIMAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eEdD][+-]?[0-9]+)?")
# Formatted output drops the letter when a three-digit exponent needs its
# place ("0.12345+100"), so a bare signed exponent after the mantissa may
# stand there too.
_FORMATTED = re.compile(
    r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:(?:[eEdD][+-]?[0-9]+)|(?:[+-][0-9]+))?")
_SPECIAL = {"nan": float("nan"), "infinity": float("inf"), "inf": float("inf")}


def decimal_text(field, bare_exponent=False):
    """The decimal number ``field`` as text that ``float`` and ``Decimal``
    read (exponent letter e), or ValueError with a short cause.

    ``bare_exponent`` accepts an exponent without its letter, as formatted
    output writes a three-digit one. Nothing around the number is taken,
    blanks included.
    """
    if field and set(field) == {"*"}:
        raise ValueError(f"field '{field}' is asterisks (the value did not fit its field)")
    if not (_FORMATTED if bare_exponent else _DECIMAL).fullmatch(field):
        raise ValueError(f"'{field}' is not a number")
    mantissa, exponent = _split_exponent(field)
    return mantissa + ("e" + exponent if exponent else "")


def parse_number(text, allow_special=False, bare_exponent=True):
    """Returns the float in ``text`` (blanks around it allowed) or raises
    ValueError with a short cause.

    ``allow_special`` accepts NaN and Infinity (with an optional sign), which
    the coefficient writer produces for values that are not finite;
    ``bare_exponent`` an exponent without its letter, which formatted
    output writes.
    """
    field = text.strip()
    if not field:
        raise ValueError("empty field where a number is expected")
    try:
        return float(decimal_text(field, bare_exponent))
    except ValueError:
        if allow_special:
            sign = -1.0 if field.startswith("-") else 1.0
            word = field.lstrip("+-").lower()
            if word in _SPECIAL:
                return sign * _SPECIAL[word]
        raise


def _split_exponent(field):
    body = field.lower().replace("d", "e")
    if "e" in body:
        mantissa, exponent = body.split("e")
        return mantissa, exponent
    # A sign after the first character starts a bare exponent.
    for i in range(1, len(body)):
        if body[i] in "+-":
            return body[:i], body[i:]
    return body, ""


def _float32_neighbour_value(x):
    # The float32 overflow threshold sits halfway between the largest float
    # and 2**128, so infinity stands for 2**128 there.
    return 2.0**128 if math.isinf(x) else float(x)


def decimal_to_float32(text):
    """The single-precision value nearest the checked decimal ``text``
    (exponent letter e), as a Python float; None when it overflows.

    Rounding to double first and then to single can go wrong only when the
    double lies exactly halfway between two singles; there the exact
    decimal decides.
    """
    x = float(text)
    if math.isinf(x):
        return None
    with np.errstate(over="ignore"):
        f = np.float32(x)
        toward = np.float32(np.inf if x > _float32_neighbour_value(f) else -np.inf)
        other = np.nextafter(f, toward)
    if float(f) != x:
        middle = (_float32_neighbour_value(f) + _float32_neighbour_value(other)) / 2.0
        if middle == x:
            exact = Decimal(text)
            if exact > Decimal(x):
                f = max(f, other)
            elif exact < Decimal(x):
                f = min(f, other)
    if math.isinf(f):
        return None
    return float(f)
