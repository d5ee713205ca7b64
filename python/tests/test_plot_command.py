"""phasefit-plot as a command: the PNG, the text listing and the failures."""

import json
import shutil
import struct
import subprocess

import numpy as np
import pytest

from conftest import PLOT_COMMAND, REPO_ROOT
from phasefit import read_coefficients, read_phase_table, smooth_phase_function
from phasefit.plot import job_of_file

GOLDEN = REPO_ROOT / "tests/data/golden/WVN_0p55_DE_010_N16.dat"
TABLE = REPO_ROOT / "examples/tables/WVN_0p55_DE_010.dat"


def plot(*args, cwd=None):
    return subprocess.run([str(PLOT_COMMAND), *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24]), len(data)


def test_plot_is_a_png_of_sensible_size(tmp_path):
    out = tmp_path / "plot.png"
    done = plot(GOLDEN, TABLE, "-o", out)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "" and done.stderr == ""
    (width, height), size = png_size(out)
    assert width > 200 and height > 200 and size > 10_000


def test_default_name_is_the_coefficient_stem_in_the_working_directory(tmp_path):
    done = plot(GOLDEN, TABLE, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    png_size(tmp_path / "WVN_0p55_DE_010_N16.png")
    assert done.stdout == f"phasefit-plot: wrote {tmp_path / 'WVN_0p55_DE_010_N16.png'}\n"


def test_text_lists_the_reconstruction_at_the_table_angles():
    done = plot(GOLDEN, TABLE, "--text")
    assert done.returncode == 0, done.stderr
    columns = np.loadtxt(done.stdout.splitlines())
    assert columns.shape == (498, 2)
    table = read_phase_table(TABLE)
    order = np.argsort(table.angle, kind="stable")
    np.testing.assert_allclose(columns[:, 0], table.angle[order], atol=1e-6)
    want = smooth_phase_function(read_coefficients(GOLDEN), table.mu[order])
    np.testing.assert_allclose(columns[:, 1], want, rtol=1e-7)


def test_plot_copes_with_a_reconstruction_that_goes_negative(fitted, tmp_path):
    # Three terms of a backward-scattering table dip below zero.
    assert "negative_reconstruction" in fitted.report["back"]["flags"]
    done = plot(fitted.files["back"], fitted.tables["back"], "-o", tmp_path / "p.png")
    assert done.returncode == 0, done.stderr
    png_size(tmp_path / "p.png")


def _bad_coefficients(tmp_path):
    # The golden file with its coefficient 2 written as asterisks.
    lines = GOLDEN.read_text().splitlines()
    lines[12] = "   3************"
    path = tmp_path / "bad.dat"
    path.write_text("\n".join(lines) + "\n")
    return path


def _not_a_catalogue(tmp_path):
    netCDF4 = pytest.importorskip("netCDF4")
    with netCDF4.Dataset(tmp_path / "other.nc", "w") as out:
        out.createDimension("x", 2)
        out.createVariable("x", "f4", ("x",))
    return [tmp_path / "other.nc", "--select", "0p55", "10"]


FAILURES = {
    "missing coefficient file": (lambda t: ["absent.dat", TABLE], "file 'absent.dat': cannot open"),
    "missing table": (lambda t: [GOLDEN, "absent.dat"], "file 'absent.dat': cannot open"),
    "asterisks": (lambda t: [_bad_coefficients(t), TABLE], "line 13: coefficient 2: field"),
    "unwritable plot": (lambda t: [GOLDEN, TABLE, "-o", t / "no/such/dir.png"], "cannot write"),
    "unknown plot format": (lambda t: [GOLDEN, TABLE, "-o", t / "p.xyz"], "no plot format 'xyz'"),
    "missing catalogue": (lambda t: ["absent.nc", "--select", "0p55", "10"],
                          "file 'absent.nc': cannot open"),
    "netCDF that is not a catalogue": (_not_a_catalogue, "not a catalogue of phasefit-collect"),
}


@pytest.mark.parametrize("make_args, cause", FAILURES.values(), ids=FAILURES.keys())
def test_failure_is_one_line_and_status_2(tmp_path, make_args, cause):
    done = plot(*make_args(tmp_path), cwd=tmp_path)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.startswith("phasefit-plot: file '")
    assert done.stderr.count("\n") == 1
    assert cause in done.stderr


def test_the_title_knows_the_job_from_its_run_directory_and_report(fitted, tmp_path):
    # A run directory as phasefit-import leaves it: the size's physical
    # value in import.json, the flags in report.tsv.
    run = tmp_path / "run"
    (run / "output").mkdir(parents=True)
    shutil.copy(fitted.files["back8"], run / "output/WVN_1p60_DE_005.dat")
    (run / "import.json").write_text(json.dumps({
        "spectral": [{"label": "1p60", "wavelength_um": 1.6}],
        "size": {"long_name": "effective radius", "units": "um"},
        "sizes": [{"name": 5, "value": 5.25}]}))
    fit = read_coefficients(run / "output/WVN_1p60_DE_005.dat")
    header = "data_file\tN\tft\tflags\n"
    row = f"WVN_1p60_DE_005.dat\t8\t{fitted.report['back8']['ft']}\tft_outside_0_1,extrapolated\n"
    (run / "report.tsv").write_text(header + row)
    job = job_of_file(fit)
    assert (job.spectral, job.size) == ("1.6 µm", "size 005: effective radius 5.25 µm")
    assert (job.flags, job.flags_from) == (["ft_outside_0_1", "extrapolated"], "report.tsv")
    # A report of another run (another N) is not this file's: the flags
    # the file itself shows stand in.
    (run / "report.tsv").write_text(f"{header}WVN_1p60_DE_005.dat\t16\t0.1\t-\n")
    job = job_of_file(fit)
    assert job.flags == ["ft_outside_0_1"] and "no report" in job.flags_from

