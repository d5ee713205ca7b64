"""Shared helpers: the repository layout, a Henyey-Greenstein table and
runs of the built tool."""

import csv
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

PYTHON_DIR = pathlib.Path(__file__).resolve().parent.parent
REPO_ROOT = PYTHON_DIR.parent
PLOT_COMMAND = PYTHON_DIR / "phasefit-plot"

sys.path.insert(0, str(PYTHON_DIR))


def phasefit_executable():
    """The built tool: $PHASEFIT_EXECUTABLE if set, else build/phasefit."""
    return pathlib.Path(os.environ.get("PHASEFIT_EXECUTABLE", REPO_ROOT / "build" / "phasefit"))


requires_tool = pytest.mark.skipif(
    not phasefit_executable().is_file(),
    reason=f"{phasefit_executable()} has not been built (run `make build` first)",
)


def run_tool(workdir, *arguments):
    """Runs the built tool in ``workdir``; returns the finished process."""
    return subprocess.run(
        [str(phasefit_executable()), *map(str, arguments)], cwd=workdir,
        capture_output=True, text=True, errors="replace", stdin=subprocess.DEVNULL, timeout=300)


def run_bands(workdir, tables, n, *options):
    """Runs the tool in band mode on ``tables`` (band name -> table bytes),
    one size (0), with --keep-going and a report; returns the report rows
    by data-file name. The coefficient files go to workdir/out/."""
    for folder in ("INPUT", "tables", "out"):
        (workdir / folder).mkdir(exist_ok=True)
    (workdir / "INPUT/input_re.dat").write_text("1\n0\n")
    (workdir / "INPUT/input_band.dat").write_text(f"{len(tables)}\n" + "".join(f"{b}\n" for b in tables))
    for band, data in tables.items():
        (workdir / f"tables/{band}_DE_000.dat").write_bytes(data)
    done = run_tool(workdir, "-k", "--on-pause=go", "--report", "report.tsv", *options,
                    "tables/", "out/", 1, n)
    assert done.returncode in (0, 2), done.stderr
    with open(workdir / "report.tsv", newline="", errors="replace") as stream:
        return {row["data_file"]: row for row in csv.DictReader(stream, delimiter="\t")}


def henyey_greenstein(mu, g):
    # Normalised so that half its integral over the cosine is 1.
    return (1.0 - g * g) / (1.0 + g * g - 2.0 * g * mu) ** 1.5


def table_angles(rows=498):
    # Dense near the forward peak, coarse towards 180 degrees.
    t = np.linspace(0.0, 1.0, rows)
    return 180.0 * (0.15 * t + 0.85 * t * t)


def write_hg_table(path, g, cosines=False, header="10 0.87 0\n2.5 0.99 {g}\n"):
    angle = table_angles()
    value = henyey_greenstein(np.cos(np.radians(angle)), g)
    column = np.cos(np.radians(angle)) if cosines else angle
    with open(path, "w") as stream:
        stream.write(header.format(g=g))
        for a, v in zip(column, value):
            stream.write(f"  {a:.8f}   {v:.7E}\n")
    return angle, value


@pytest.fixture
def hg_table(tmp_path):
    path = tmp_path / "hg.dat"
    angle, value = write_hg_table(path, 0.85)
    return path, angle, value


def fortran_e15_5(x):
    """E15.5 as the coefficient writer prints it: 0.ddddd with an exponent."""
    if x == 0.0:
        return f"{'0.00000E+00':>15}"
    mantissa, exponent = f"{abs(x):.4e}".split("e")
    digits = mantissa.replace(".", "")
    exp = int(exponent) + 1
    text = f"0.{digits}" + (f"E{exp:+03d}" if abs(exp) < 100 else f"{exp:+04d}")
    return f"{'-' if x < 0 else ''}{text:>0}".rjust(15)


def fortran_f(x, width, decimals):
    text = f"{x:.{decimals}f}"
    return "*" * width if len(text) > width else text.rjust(width)


def coefficient_file_text(n, ce, omega0, g, ft, coefficients, f_delta=0.0):
    """A coefficient file in the exact layout the tool writes."""
    records = ["", "", "", "", " Ce, omega0, g-factor, f-delta"]
    records.append("  ".join(fortran_e15_5(v) for v in (ce, omega0, g, f_delta)))
    records += ["", " truncation = y  1-Jul-2002"]
    records.append(
        f"{fortran_f(ft, 9, 6)} {fortran_f(f_delta, 9, 6)} truncation factor (ft) and f-delta"
    )
    records.append(f" {n:11d} coefficients")
    records += [f"{l + 1:4d}{fortran_f(c, 12, 7)}" for l, c in enumerate(coefficients)]
    return "\n".join(records) + "\n"
