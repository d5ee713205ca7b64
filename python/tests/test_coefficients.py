"""Coefficient files the tool wrote: read back, fields that fill their
width, the series convention, and the diagnostics for files that are not in
the layout."""

import numpy as np
import pytest

from conftest import REPO_ROOT
from phasefit import FormatError, read_coefficients, smooth_phase_function


@pytest.mark.parametrize("name", ["hg", "back8"])
def test_file_written_by_the_tool_reads_back(fitted, name):
    got = read_coefficients(fitted.files[name])
    n = int(fitted.report[name]["N"])
    assert (got.n, got.f_delta, got.coefficients.size) == (n, 0.0, n + 1)
    # ft in F9.6 (negative for back8, filling all nine characters); Ce,
    # omega0 and g in E15.5, five significant digits of the header's values.
    assert got.ft == float(f"{float(fitted.report[name]['ft']):.6f}")
    header = [float(np.float32(x)) for x in (2.5, 0.99, float(fitted.tables[name].read_text().split()[5]))]
    assert [got.ce, got.omega0, got.g] == [float(f"{x:.4e}") for x in header]
    assert got.coefficients[0] == 1.0 and got.coefficients[n] == 0.0


def _edited(fitted, line_no, text):
    lines = fitted.files["hg"].read_text().splitlines()
    lines[line_no - 1] = text
    return "\n".join(lines) + "\n"


# Fields as wide as their format allows, and line ends written elsewhere.
LAYOUTS = {
    # A negative ft of magnitude below 10 fills F9.6.
    "ft filling its field": (9, "-0.432100  0.000000 truncation factor (ft) and f-delta", "ft", -0.4321),
    # A value of -100 or below fills F12.7 and touches the index.
    "coefficient touching its index": (13, "   3-999.1234567", "coefficients", -999.1234567),
    # E15.5 gives way to a third exponent digit by dropping the letter.
    "three-digit exponent": (6, "    0.25000-119      0.99000E+00      0.85000E+00      0.00000E+00",
                             "ce", 2.5e-120),
}


@pytest.mark.parametrize("line_no, text, field, want", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_fields_that_fill_their_width_read_back(fitted, tmp_path, line_no, text, field, want):
    path = tmp_path / "c.dat"
    path.write_bytes(_edited(fitted, line_no, text).replace("\n", "\r\n").encode())
    got = getattr(read_coefficients(path), field)
    assert (got[2] if field == "coefficients" else got) == pytest.approx(want, rel=1e-15)


def test_golden_file_of_the_tool():
    got = read_coefficients(REPO_ROOT / "tests/data/golden/WVN_0p55_DE_010_N16.dat")
    assert (got.n, got.ft, got.coefficients.size) == (16, 0.267237, 17)
    assert got.coefficients[0] == 1.0 and got.coefficients[16] == 0.0


def legendre_by_recurrence(n, mu):
    p = [np.ones_like(mu), mu]
    for l in range(1, n):
        p.append(((2 * l + 1) * mu * p[l] - l * p[l - 1]) / (l + 1))
    return p


@pytest.mark.parametrize("name", ["hg", "back8"])
def test_series_includes_2l_plus_1_and_the_1_minus_ft_factor(fitted, name):
    got = read_coefficients(fitted.files[name])
    mu = np.linspace(-1.0, 1.0, 41)
    p = legendre_by_recurrence(got.n, mu)
    want = (1 - got.ft) * sum((2 * l + 1) * got.coefficients[l] * p[l] for l in range(got.n))
    np.testing.assert_allclose(smooth_phase_function(got, mu), want, rtol=1e-12, atol=1e-12)
    # Half the integral over the cosine is 1 - ft: the peak carries ft.
    x, w = np.polynomial.legendre.leggauss(20)
    assert 0.5 * np.sum(w * smooth_phase_function(got, x)) == pytest.approx(1 - got.ft, rel=1e-12)


# Lines of an N = 3 file of the tool, and their edits.
def _good_lines(fitted):
    return fitted.files["hg"].read_text().splitlines()


def _with(line_no, text):
    return lambda fitted: _edited(fitted, line_no, text)


MALFORMED = {
    "asterisk coefficient": (_with(12, "   2************"), 12, "asterisks"),
    "asterisk ft": (_with(9, "********* 0.000000 truncation factor (ft) and f-delta"), 9, "asterisks"),
    "asterisk Ce": (_with(6, "***************      0.10000E+01      0.50000E+00      0.00000E+00"), 6, "asterisks"),
    "index out of step": (_with(13, "   4   0.2500000"), 13, "index 3"),
    "text in line 1": (_with(1, "hello"), 1, "empty line"),
    "no count": (_with(10, "           x coefficients"), 10, "N followed by"),
    "not a number": (_with(14, "   4   0.00x0000"), 14, "not a number"),
    "three bulk numbers": (_with(6, "    0.10000E+01      0.10000E+01      0.50000E+00"), 6, "4 numbers"),
    "text after the end": (lambda f: "\n".join(_good_lines(f) + ["   5   0.0000000"]) + "\n",
                           15, "after the last"),
    "fewer records than N": (lambda f: "\n".join(_good_lines(f)[:-1]) + "\n", None, "N = 3 needs 14"),
    "only a header": (lambda f: "\n\n\n\n", None, "ends after 4 lines"),
}


@pytest.mark.parametrize("make_text, line, cause", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_file_names_file_line_and_cause(fitted, tmp_path, make_text, line, cause):
    path = tmp_path / "bad.dat"
    path.write_text(make_text(fitted))
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
