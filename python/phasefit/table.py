"""Reader for phase-function tables, the input of phasefit.

A table is free-form text: a header of six numbers (on one line or spread
over several; the first three are ignored, then Ce, omega0 and g), then 498
rows of angle and phase-function value. Each row starts on a new line; a
line holding only one number continues on the next; anything after the
numbers a read needs on its line is ignored, and lines after row 498 are
never read. Values are separated by blanks, tabs or commas, and may use an
E or D exponent. Blank lines are passed over.

When both the first and the last angle lie in [-1, 1] the angle column holds
cosines; they are converted to degrees with acos(x) * 180 / pi.
"""

from dataclasses import dataclass
import math
import re

import numpy as np

from ._numbers import parse_number
from .errors import FormatError

TABLE_ROWS = 498
_SEPARATORS = re.compile(r"[ \t]*,[ \t]*|[ \t]+")


@dataclass(frozen=True)
class PhaseTable:
    """One phase-function table, rows in file order.

    ``angle`` is in degrees (converted when the file held cosines, which
    ``from_cosines`` records); ``header`` holds all six header numbers.
    """

    path: str
    header: np.ndarray
    angle: np.ndarray
    value: np.ndarray
    from_cosines: bool

    @property
    def ce(self):
        return float(self.header[3])

    @property
    def omega0(self):
        return float(self.header[4])

    @property
    def g(self):
        return float(self.header[5])

    @property
    def mu(self):
        """Cosines of the angles, in file order."""
        return np.cos(np.radians(self.angle))


class _FreeFormReader:
    """Reads groups of numbers the way a free-form read statement does."""

    def __init__(self, path, lines):
        self.path = path
        self.lines = lines
        self.next_line = 0

    def read(self, count, what):
        values = []
        while len(values) < count:
            if self.next_line >= len(self.lines):
                raise FormatError(
                    self.path,
                    f"file ends after {len(self.lines)} lines, before {what} is complete",
                )
            line_no = self.next_line + 1
            text = self.lines[self.next_line].strip()
            self.next_line += 1
            if not text:
                continue
            # Only the fields this read still needs are looked at; the rest
            # of the line is skipped unread.
            for field in _SEPARATORS.split(text)[: count - len(values)]:
                try:
                    number = parse_number(field)
                except ValueError as err:
                    raise FormatError(self.path, f"{what}: {err}", line_no) from None
                if not math.isfinite(number):
                    raise FormatError(self.path, f"{what}: '{field}' is not finite", line_no)
                values.append(number)
        return values


def read_phase_table(path):
    """Reads a phase-function table; raises FormatError naming file and line."""
    path = str(path)
    try:
        with open(path, encoding="ascii", errors="strict") as stream:
            lines = stream.read().splitlines()
    except OSError as err:
        raise FormatError(path, f"cannot open: {err.strerror or err}") from None
    except UnicodeDecodeError:
        raise FormatError(path, "not a text file (bytes outside ASCII)") from None

    reader = _FreeFormReader(path, lines)
    header = np.array(reader.read(6, "the six header numbers"))
    rows = np.array([reader.read(2, f"row {i}") for i in range(1, TABLE_ROWS + 1)])
    angle, value = rows[:, 0], rows[:, 1]

    from_cosines = abs(angle[0]) <= 1.0 and abs(angle[-1]) <= 1.0
    if from_cosines:
        outside = np.flatnonzero(np.abs(angle) > 1.0)
        if outside.size:
            raise FormatError(
                path,
                f"the angles are cosines (first and last row in [-1, 1]) but row "
                f"{outside[0] + 1} holds {angle[outside[0]]!r}",
            )
        angle = np.degrees(np.arccos(angle))
    return PhaseTable(path, header, angle, value, from_cosines)
