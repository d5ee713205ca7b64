"""Reader for phasefit's fixed-format coefficient file.

The file has N + 11 lines:

    1-4       empty
    5         " Ce, omega0, g-factor, f-delta"
    6         Ce, omega0, g, f_delta in E15.5 with two blanks between fields
    7         empty
    8         " truncation = y  1-Jul-2002"
    9         ft and f_delta in F9.6, then "truncation factor (ft) and f-delta"
    10        N right-aligned in 11 characters, then "coefficients"
    11..N+11  the index l + 1 in I4 and coefficient l in F12.7, l = 0 .. N

A value that did not fit its field was written as asterisks; such a file
cannot be used and is refused. NaN and Infinity are read as such.
"""

from dataclasses import dataclass
import re

import numpy as np

from ._numbers import parse_number
from .errors import FormatError

HEADER_LINES = 10
# Lines 1 to 10 hold the header; the coefficient records follow.
_COUNT = re.compile(r"\s*([+-]?\d+)\s+coefficients\s*")


@dataclass(frozen=True)
class CoefficientFile:
    """The contents of one coefficient file.

    ``coefficients`` has N + 1 entries, index l = 0 .. N, without the
    2l + 1 factor (see the package docstring for the series).
    """

    path: str
    n: int
    ce: float
    omega0: float
    g: float
    f_delta: float
    ft: float
    coefficients: np.ndarray


def read_coefficients(path):
    """Reads a coefficient file; raises FormatError naming file and line."""
    path = str(path)
    lines = _read_lines(path)

    def need(number):
        if len(lines) < number:
            raise FormatError(
                path,
                f"file ends after {len(lines)} lines; a coefficient file has "
                f"at least {HEADER_LINES + 1}",
            )
        return lines[number - 1]

    def number_at(line_no, text, what, allow_special=True):
        try:
            return parse_number(text, allow_special)
        except ValueError as err:
            raise FormatError(path, f"{what}: {err}", line_no) from None

    for line_no in (1, 2, 3, 4, 7):
        if need(line_no).strip():
            raise FormatError(path, "expected an empty line", line_no)

    if "Ce" not in need(5):
        raise FormatError(
            path, "expected the header ' Ce, omega0, g-factor, f-delta'", 5
        )

    bulk = need(6).split()
    if len(bulk) != 4:
        raise FormatError(
            path, f"expected 4 numbers (Ce, omega0, g, f_delta), found {len(bulk)}", 6
        )
    names = ("Ce", "omega0", "g", "f_delta")
    ce, omega0, g, f_delta = (
        number_at(6, text, name) for text, name in zip(bulk, names)
    )

    if "truncation" not in need(8):
        raise FormatError(path, "expected ' truncation = y  1-Jul-2002'", 8)

    # F9.6 fields: a negative ft fills all nine characters, so the fields are
    # taken by column rather than by blanks.
    line9 = need(9)
    if "truncation factor" not in line9[18:]:
        raise FormatError(
            path, "expected ft, f_delta and 'truncation factor (ft) and f-delta'", 9
        )
    ft = number_at(9, line9[0:9], "ft")
    number_at(9, line9[9:19], "f_delta")

    match = _COUNT.fullmatch(need(10))
    if not match:
        raise FormatError(path, "expected N followed by 'coefficients'", 10)
    n = int(match.group(1))
    if n < 1:
        raise FormatError(path, f"order N = {n} is not positive", 10)

    coefficients = np.empty(n + 1)
    for l in range(n + 1):
        line_no = HEADER_LINES + 1 + l
        if len(lines) < line_no:
            raise FormatError(
                path,
                f"file ends after {len(lines)} lines; N = {n} needs "
                f"{n + 1 + HEADER_LINES} (coefficients 0 to {n})",
            )
        coefficients[l] = _coefficient(path, line_no, lines[line_no - 1], l)

    for extra, text in enumerate(lines[HEADER_LINES + n + 1 :], HEADER_LINES + n + 2):
        if text.strip():
            raise FormatError(path, "text after the last coefficient", extra)

    return CoefficientFile(path, n, ce, omega0, g, f_delta, ft, coefficients)


def _coefficient(path, line_no, text, l):
    # I4 then F12.7: a value of -100 or below fills all twelve characters, no
    # blank is left between the fields, so a 16-character record is split by
    # column.
    stripped = text.rstrip()
    if len(stripped) == 16:
        index_text, value_text = stripped[:4], stripped[4:]
    else:
        fields = stripped.split()
        if len(fields) != 2:
            raise FormatError(
                path, f"expected the index {l + 1} and coefficient {l}", line_no
            )
        index_text, value_text = fields
    if index_text.strip() != str(l + 1):
        raise FormatError(
            path,
            f"expected the index {l + 1} (coefficient {l}), found '{index_text.strip()}'",
            line_no,
        )
    try:
        return parse_number(value_text, allow_special=True)
    except ValueError as err:
        raise FormatError(path, f"coefficient {l}: {err}", line_no) from None


def _read_lines(path):
    try:
        with open(path, encoding="ascii", errors="strict", newline=None) as stream:
            return stream.read().splitlines()
    except OSError as err:
        raise FormatError(path, f"cannot open: {err.strerror or err}") from None
    except UnicodeDecodeError:
        raise FormatError(path, "not a text file (bytes outside ASCII)") from None
