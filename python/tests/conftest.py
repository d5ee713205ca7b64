"""Shared helpers: the repository layout, a Henyey-Greenstein table (from
tools/make_examples.py) and runs of the built tool."""

import csv
import os
import pathlib
import subprocess
import sys
import types

import numpy as np
import pytest

REPO_ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
# The package and its commands: a build's copy (<build>/python, as
# PHASEFIT_PYTHON_DIR names it under ctest), else the sources.
PYTHON_DIR = pathlib.Path(os.environ.get("PHASEFIT_PYTHON_DIR") or REPO_ROOT / "python")
PLOT_COMMAND = PYTHON_DIR / "phasefit-plot"

sys.path.insert(0, str(PYTHON_DIR))
# The Henyey-Greenstein phase function and the table angles are those the
# bundled examples are written from.
sys.path.append(str(REPO_ROOT / "tools"))
from make_examples import angles_degrees, henyey_greenstein


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


def table_angles():
    # Dense near the forward peak, coarse towards 180 degrees: the grid of
    # the bundled examples.
    return np.array(angles_degrees())


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


@pytest.fixture(scope="session")
def fitted(tmp_path_factory):
    """Coefficient files the built tool wrote: Henyey-Greenstein tables of
    g = 0.85 and of g = -0.6 at N = 3 ('hg', 'back'; the second one's
    series goes negative), and of g = -0.6 at N = 8 ('back8', whose ft is
    negative and fills its field). ``files``, ``tables`` and ``report``
    (the report rows) are keyed by those names."""
    if not phasefit_executable().is_file():
        pytest.skip(f"{phasefit_executable()} has not been built (run `make build` first)")
    runs = {3: {"hg": 0.85, "back": -0.6}, 8: {"back8": -0.6}}
    files, tables, report = {}, {}, {}
    for n, bands in runs.items():
        workdir = tmp_path_factory.mktemp(f"n{n}")
        (workdir / "tables").mkdir()
        data = {}
        for band, g in bands.items():
            tables[band] = workdir / f"tables/{band}_DE_000.dat"
            write_hg_table(tables[band], g)
            data[band] = tables[band].read_bytes()
        rows = run_bands(workdir, data, n)
        for band in bands:
            files[band] = workdir / f"out/{band}_DE_000.dat"
            report[band] = rows[f"{band}_DE_000.dat"]
            assert report[band]["status"] == "ok", report[band]
    return types.SimpleNamespace(files=files, tables=tables, report=report)
