"""Number fields as the Fortran-style writers and free-form readers see them."""

import re

# A decimal number in integer, fixed-point or exponent form; the exponent
# letter may be E or D in either case. Formatted output drops the letter when
# a three-digit exponent needs its place ("0.12345+100"), so a bare signed
# exponent after the mantissa is accepted too.
_DECIMAL = re.compile(
    r"[+-]?(?:\d+\.?\d*|\.\d+)(?:(?:[eEdD][+-]?\d+)|(?:[+-]\d+))?"
)
_SPECIAL = {"nan": float("nan"), "infinity": float("inf"), "inf": float("inf")}


def parse_number(text, allow_special=False):
    """Returns the float in ``text`` or raises ValueError with a short cause.

    ``allow_special`` accepts NaN and Infinity (with an optional sign), which
    the coefficient writer produces for values that are not finite.
    """
    field = text.strip()
    if not field:
        raise ValueError("empty field where a number is expected")
    if set(field) == {"*"}:
        raise ValueError(
            f"field '{field}' is asterisks (the value did not fit its field)"
        )
    if _DECIMAL.fullmatch(field):
        mantissa, exponent = _split_exponent(field)
        return float(mantissa + ("e" + exponent if exponent else ""))
    if allow_special:
        sign = -1.0 if field.startswith("-") else 1.0
        word = field.lstrip("+-").lower()
        if word in _SPECIAL:
            return sign * _SPECIAL[word]
    raise ValueError(f"'{field}' is not a number")


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
