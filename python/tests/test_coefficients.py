"""Coefficient files: exact layout read back, the series convention, and
the diagnostics for files that are not in the layout."""

import numpy as np
import pytest

from conftest import REPO_ROOT, coefficient_file_text, fortran_e15_5
from phasefit import FormatError, read_coefficients, smooth_phase_function

EXAMPLE = {
    "n": 5,
    "ce": 1.234567,
    "omega0": 0.9987654,
    "g": -0.8512345,
    "ft": -0.4321,
    # A value of -100 or below fills F12.7 and touches the index.
    "coefficients": [1.0, -0.0123457, 0.515625, -999.1234567, 0.2890625, 0.0],
}


def test_writer_helper_matches_the_documented_example():
    text = coefficient_file_text(4, 1.234567, 0.9987654, 0.8512345, 0.4321,
                                 [1, 0.7421875, 0.515625, 0.2890625, 0])
    assert text.splitlines()[5] == (
        "    0.12346E+01      0.99877E+00      0.85123E+00      0.00000E+00")
    assert text.splitlines()[8] == " 0.432100  0.000000 truncation factor (ft) and f-delta"
    assert text.splitlines()[9] == "           4 coefficients"
    assert text.splitlines()[14] == "   5   0.0000000"
    assert fortran_e15_5(-2.5e-120) == "   -0.25000-119"


def test_hand_written_file_reads_back(tmp_path):
    path = tmp_path / "c.dat"
    path.write_text(coefficient_file_text(**EXAMPLE))
    got = read_coefficients(path)
    assert (got.n, got.f_delta) == (5, 0.0)
    assert got.ce == pytest.approx(1.2346e0, abs=0)
    assert got.omega0 == pytest.approx(0.99877, abs=0)
    assert got.g == pytest.approx(-0.85123, abs=0)
    assert got.ft == pytest.approx(-0.4321, abs=0)
    np.testing.assert_array_equal(
        got.coefficients, [1.0, -0.0123457, 0.515625, -999.1234567, 0.2890625, 0.0])


def test_three_digit_exponent_and_crlf_are_read(tmp_path):
    path = tmp_path / "c.dat"
    text = coefficient_file_text(3, 2.5e-120, 1.0, 0.5, 0.1, [1, 0.5, 0.25, 0])
    path.write_bytes(text.replace("\n", "\r\n").encode())
    assert read_coefficients(path).ce == pytest.approx(2.5e-120, rel=1e-12)


def test_golden_file_of_the_tool():
    got = read_coefficients(REPO_ROOT / "tests/data/golden/WVN_0p55_DE_010_N16.dat")
    assert (got.n, got.ft, got.coefficients.size) == (16, 0.267237, 17)
    assert got.coefficients[0] == 1.0 and got.coefficients[16] == 0.0


def legendre_by_recurrence(n, mu):
    p = [np.ones_like(mu), mu]
    for l in range(1, n):
        p.append(((2 * l + 1) * mu * p[l] - l * p[l - 1]) / (l + 1))
    return p


def test_series_includes_2l_plus_1_and_the_1_minus_ft_factor(tmp_path):
    path = tmp_path / "c.dat"
    coefficients = [1.0, 0.6, 0.35, 0.2, 0.1, 0.0]
    path.write_text(coefficient_file_text(5, 1, 1, 0.6, 0.25, coefficients))
    got = read_coefficients(path)
    mu = np.linspace(-1.0, 1.0, 41)
    p = legendre_by_recurrence(5, mu)
    want = 0.75 * sum((2 * l + 1) * coefficients[l] * p[l] for l in range(5))
    np.testing.assert_allclose(smooth_phase_function(got, mu), want, rtol=1e-12, atol=1e-12)
    # Half the integral over the cosine is 1 - ft: the peak carries ft.
    x, w = np.polynomial.legendre.leggauss(20)
    assert 0.5 * np.sum(w * smooth_phase_function(got, x)) == pytest.approx(0.75, rel=1e-12)


def _good_lines():
    return coefficient_file_text(3, 1, 1, 0.5, 0.1, [1, 0.5, 0.25, 0]).splitlines()


def _with(line_no, text):
    lines = _good_lines()
    lines[line_no - 1] = text
    return "\n".join(lines) + "\n"


MALFORMED = {
    "asterisk coefficient": (_with(12, "   2************"), 12, "asterisks"),
    "asterisk ft": (_with(9, "********* 0.000000 truncation factor (ft) and f-delta"), 9, "asterisks"),
    "asterisk Ce": (_with(6, "***************      0.10000E+01      0.50000E+00      0.00000E+00"), 6, "asterisks"),
    "index out of step": (_with(13, "   4   0.2500000"), 13, "index 3"),
    "text in line 1": (_with(1, "hello"), 1, "empty line"),
    "no count": (_with(10, "           x coefficients"), 10, "N followed by"),
    "not a number": (_with(14, "   4   0.00x0000"), 14, "not a number"),
    "three bulk numbers": (_with(6, "    0.10000E+01      0.10000E+01      0.50000E+00"), 6, "4 numbers"),
    "text after the end": ("\n".join(_good_lines() + ["   5   0.0000000"]) + "\n", 15, "after the last"),
    "fewer records than N": ("\n".join(_good_lines()[:-1]) + "\n", None, "N = 3 needs 14"),
    "only a header": ("\n\n\n\n", None, "ends after 4 lines"),
}


@pytest.mark.parametrize("text, line, cause", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_file_names_file_line_and_cause(tmp_path, text, line, cause):
    path = tmp_path / "bad.dat"
    path.write_text(text)
    with pytest.raises(FormatError) as caught:
        read_coefficients(path)
    message = str(caught.value)
    assert message.startswith(f"file '{path}'")
    assert (f"line {line}:" in message) if line else ("line" not in message.split(":")[0])
    assert cause in message
    assert "\n" not in message


def test_missing_file(tmp_path):
    with pytest.raises(FormatError, match="cannot open: No such file"):
        read_coefficients(tmp_path / "absent.dat")
