"""The smooth part of the phase function from its coefficients.

    P_smooth(mu) = (1 - ft) * sum_{l=0}^{N-1} (2l + 1) * c_l * P_l(mu)

The 2l + 1 factor belongs to the series, not to the stored coefficients;
c_0 = 1 and c_N = 0, so half the integral of P_smooth over the cosine is
1 - ft: the truncated forward peak carries the rest.
"""

import numpy as np
from numpy.polynomial import legendre


def smooth_phase_function(coefficient_file, mu):
    """Evaluates P_smooth at the cosines ``mu`` (any array shape), in double
    precision."""
    n = coefficient_file.n
    degrees = np.arange(n)
    series = (2.0 * degrees + 1.0) * coefficient_file.coefficients[:n]
    return (1.0 - coefficient_file.ft) * legendre.legval(np.asarray(mu, float), series)


def relative_deviation(reconstruction, reference):
    """(reconstruction - reference) / reference, NaN where reference is 0."""
    reference = np.asarray(reference, float)
    with np.errstate(divide="ignore", invalid="ignore"):
        deviation = (np.asarray(reconstruction, float) - reference) / reference
    return np.where(reference == 0.0, np.nan, deviation)
