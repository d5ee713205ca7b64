"""Reader for phase-function tables, the input of phasefit.

A table is free-form text, read by the rules of the tool's own reader (see
_freeform): a header of six numbers (on one line or spread over several;
the first three are ignored, then Ce, omega0 and g) by one read, then 498
rows of angle and phase-function value, each by a read of its own. So each
row starts on a new line, a line holding only one number continues on the
next, anything after the numbers a read needs on its line is ignored, and
lines after row 498 are never read. Values are separated by blanks, tabs or
commas, may use an E or D exponent and repeat counts (``3*0.5``), and a
slash may end a record after them. No two rows may share an angle.

Every number is the single-precision value the tool reads, held in a
double. When both the first and the last angle lie in [-1, 1] the angle
column holds cosines; they are converted to degrees with acos(x) * 180 / pi,
in double precision.
"""

from dataclasses import dataclass

import numpy as np

from ._freeform import FreeFormReader, read_source
from .errors import FormatError

TABLE_ROWS = 498


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


def read_phase_table(path):
    """Reads a phase-function table; raises FormatError naming file and line."""
    path = str(path)
    data = read_source(path)

    reader = FreeFormReader(path, data)
    header = np.array(reader.read(["real"] * 6, "the six header numbers"))
    rows = np.array([reader.read(["real"] * 2, f"row {i}") for i in range(1, TABLE_ROWS + 1)])
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
    # Two rows at one angle leave the interpolation between them undefined;
    # the tool refuses such a table.
    order = np.argsort(angle, kind="stable")
    equal = np.flatnonzero(angle[order][1:] == angle[order][:-1])
    if equal.size:
        first, second = sorted(order[equal[0]:equal[0] + 2])
        raise FormatError(
            path, f"rows {first + 1} and {second + 1} share the angle {angle[first]!r}")
    if from_cosines:
        angle = np.degrees(np.arccos(angle))
    return PhaseTable(path, header, angle, value, from_cosines)
