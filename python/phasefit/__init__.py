"""Read phasefit's coefficient files and phase-function tables, and rebuild
the phase function from the coefficients.

Coefficient convention
----------------------
A coefficient file holds the order N, the truncation factor ``ft`` and the
rescaled coefficients c_0 .. c_N. The factor 2l + 1 is *not* included in the
coefficients; it belongs to the series. The smooth part of the phase function
is

    P_smooth(mu) = (1 - ft) * sum_{l=0}^{N-1} (2l + 1) * c_l * P_l(mu)

with P_l the Legendre polynomials and mu the cosine of the scattering angle.
By construction c_0 = 1 and c_N = 0 (degree N carries no information).

The phase-function tables are normalised so that half their integral over
the cosine is 1. The fit removes the forward peak: the table is approximated
by 2 * ft * delta(1 - mu) + P_smooth(mu), so half the integral of P_smooth is
1 - ft. Away from the forward peak P_smooth follows the table itself; the
rescaled coefficients c_l = (chi_l - ft) / (1 - ft) are the delta-M scaled
moments, with chi_0 .. chi_2 the table's own Legendre moments.

Modules
-------
coefficients   read_coefficients(path) -> CoefficientFile
table          read_phase_table(path)  -> PhaseTable
reconstruct    smooth_phase_function(coefficient_file, mu)
plot           draw_comparison(...), reconstruction_text(...)
database       the formats phasefit-import reads, and the run directory it writes
catalogue      read_run(directory) and open_catalogue(path) -> xarray.Dataset
fitting        fit(phase, angles, order, ...) -> xarray.Dataset (the fit in-process),
               disort_inputs(dataset), write_coefficient_file(path, result, ...)
naming         the tool's labels and data-file names, its run lists
"""

from ._version import __version__

from .errors import FormatError
from .coefficients import CoefficientFile, read_coefficients
from .table import PhaseTable, read_phase_table, TABLE_ROWS
from .reconstruct import smooth_phase_function, relative_deviation
from .catalogue import open_catalogue, read_run
from .fitting import FitError, fit, disort_inputs, write_coefficient_file

__all__ = [
    "FormatError",
    "CoefficientFile",
    "read_coefficients",
    "PhaseTable",
    "read_phase_table",
    "TABLE_ROWS",
    "smooth_phase_function",
    "relative_deviation",
    "open_catalogue",
    "read_run",
    "FitError",
    "fit",
    "disort_inputs",
    "write_coefficient_file",
]
