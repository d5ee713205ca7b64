"""The built tool fits a generated table; the companion rebuilds the phase
function from the coefficient file and finds the table again."""

import subprocess

import numpy as np
import pytest

from conftest import henyey_greenstein, phasefit_executable, table_angles, write_hg_table
from phasefit import FormatError, read_coefficients, read_phase_table, relative_deviation, smooth_phase_function

pytestmark = pytest.mark.skipif(
    not phasefit_executable().is_file(),
    reason=f"{phasefit_executable()} has not been built (run `make build` first)",
)


def run_tool(workdir, n, *options):
    """Runs the tool on tables/WVN_0p87_DE_010.dat; returns the coefficient file."""
    (workdir / "INPUT").mkdir(exist_ok=True)
    (workdir / "INPUT/input_re.dat").write_text("1\n10\n")
    (workdir / "INPUT/wl.dat").write_text("1\n0.87\n")
    (workdir / "out").mkdir(exist_ok=True)
    done = subprocess.run(
        [str(phasefit_executable()), *options, "tables/", "out/", "0", str(n)],
        cwd=workdir, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return workdir / "out/WVN_0p87_DE_010.dat"


@pytest.mark.parametrize("cosines", [False, True], ids=["degrees", "cosines"])
def test_henyey_greenstein_at_n_32(tmp_path, cosines):
    g = 0.85
    (tmp_path / "tables").mkdir()
    write_hg_table(tmp_path / "tables/WVN_0p87_DE_010.dat", g, cosines=cosines)
    fit = read_coefficients(run_tool(tmp_path, 32))
    table = read_phase_table(tmp_path / "tables/WVN_0p87_DE_010.dat")

    assert fit.n == 32 and fit.coefficients[0] == 1.0 and fit.coefficients[32] == 0.0
    assert (fit.ce, fit.omega0, fit.g) == (2.5, 0.99, 0.85)
    # Degrees 1 and 2 are the table's moments (g^l for this phase function),
    # rescaled by ft, without any 2l + 1 factor.
    for l in (1, 2):
        assert fit.coefficients[l] == pytest.approx((g**l - fit.ft) / (1 - fit.ft), abs=2e-4)

    deviation = relative_deviation(smooth_phase_function(fit, table.mu), table.value)
    away_from_peak = table.angle >= 10.0
    assert np.max(np.abs(deviation[away_from_peak])) < 0.06


def test_truncated_forward_peak(tmp_path):
    # Half of the light in a very narrow lobe: the fit truncates it, and the
    # smooth part, scaled by 1 - ft, follows the broad lobe.
    angle = table_angles()
    mu = np.cos(np.radians(angle))
    value = 0.5 * henyey_greenstein(mu, 0.995) + 0.5 * henyey_greenstein(mu, 0.5)
    (tmp_path / "tables").mkdir()
    (tmp_path / "tables/WVN_0p87_DE_010.dat").write_text(
        "1 2 3\n4 5 6\n" + "".join(f"{a:.8f} {v:.7E}\n" for a, v in zip(angle, value)))
    fit = read_coefficients(run_tool(tmp_path, 32))

    assert fit.ft > 0.3
    x, w = np.polynomial.legendre.leggauss(64)
    assert 0.5 * np.sum(w * smooth_phase_function(fit, x)) == pytest.approx(1 - fit.ft, abs=1e-6)
    deviation = relative_deviation(smooth_phase_function(fit, mu), value)
    assert np.max(np.abs(deviation[angle >= 30.0])) < 0.12


def test_a_value_too_wide_for_its_field_is_flagged_and_named(tmp_path):
    # Large negative values in the forward peak drive ft to about -32, too
    # wide for F9.6: the tool writes asterisks and says so in the report, and
    # the reader names the file, the line and the field instead of a number.
    angle = table_angles()
    value = henyey_greenstein(np.cos(np.radians(angle)), 0.7)
    value[angle < 2.0] = -3200.0
    (tmp_path / "tables").mkdir()
    (tmp_path / "tables/WVN_0p87_DE_010.dat").write_text(
        "1 2 3\n4 5 6\n" + "".join(f"{a:.8f} {v:.7E}\n" for a, v in zip(angle, value)))
    path = run_tool(tmp_path, 16, "--report", "report.tsv")

    row = (tmp_path / "report.tsv").read_text().splitlines()[1].split("\t")
    assert "field_overflow" in row[10].split(","), row
    assert float(row[4]) <= -10.0, row
    with pytest.raises(FormatError) as caught:
        read_coefficients(path)
    assert str(caught.value) == (
        f"file '{path}', line 9: ft: field '*********' is asterisks "
        "(the value did not fit its field)")
