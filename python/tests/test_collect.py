"""phasefit-collect on a run of the built tool that did not go as planned:
an -o that is part of the run, band names beyond ASCII, failed and missing
jobs, shard reports, damaged reports and import records, a stale file of
another order, a full file system."""

import os
import resource
import shutil
import signal
import subprocess

import numpy as np
import pytest

from conftest import PYTHON_DIR, REPO_ROOT, requires_tool, run_bands, run_tool, write_hg_table
from phasefit import open_catalogue, read_coefficients

pytest.importorskip("netCDF4")
pytestmark = requires_tool
COLLECT = PYTHON_DIR / "phasefit-collect"


def collect(*arguments, **options):
    return subprocess.run([str(COLLECT), *map(str, arguments)], capture_output=True, text=True,
                          timeout=300, **options)


@pytest.fixture(scope="module")
def fitted_run(tmp_path_factory):
    """The bundled example database imported and fitted at N = 16 with a
    report: three wavelengths (0.55 first) by sizes 5, 10 and 20."""
    run = tmp_path_factory.mktemp("example") / "run"
    done = subprocess.run([str(PYTHON_DIR / "phasefit-import"), "isca",
                           str(REPO_ROOT / "examples/database"), "-o", str(run)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    done = run_tool(run, "--report", "report.tsv", "tables/", "output/", 0, 16)
    assert done.returncode == 0, done.stderr
    return run


@pytest.fixture
def run(fitted_run, tmp_path):
    shutil.copytree(fitted_run, tmp_path / "run", symlinks=True)
    return tmp_path / "run"


def tree(folder):
    return {str(p): os.readlink(p) if p.is_symlink() else p.read_bytes() if p.is_file() else None
            for p in sorted(folder.rglob("*"))}


def one_line_refusal(done, cause):
    assert done.returncode == 2 and done.stdout == "", done.stderr
    assert done.stderr.startswith("phasefit-collect: file '") and done.stderr.count("\n") == 1
    assert cause in done.stderr, done.stderr


OUTPUTS = {
    # how -o reaches the run (made in the test's folder), what stderr says
    "the report": (lambda t: t / "run/report.tsv", "is also a report (--report)"),
    "a run list through a hard link": (
        lambda t: (os.link(t / "run/INPUT/input_re.dat", t / "c.nc"), t / "c.nc")[1],
        "is also the size list"),
    "import.json through a symbolic link": (
        lambda t: (os.symlink("run/import.json", t / "c.nc"), t / "c.nc")[1],
        "is also the import record"),
    "a coefficient file not written yet, through a link": (
        lambda t: ((t / "run/output/WVN_1p60_DE_020.dat").unlink(),
                   os.symlink("run/output/WVN_1p60_DE_020.dat", t / "c.nc"), t / "c.nc")[2],
        "is also the coefficient file of job WVN_1p60_DE_020.dat"),
    "a FIFO": (lambda t: (os.mkfifo(t / "c.nc"), t / "c.nc")[1], "is not a regular file"),
    # A symbolic link is followed: the catalogue replaces its target.
    "a link to a new file": (lambda t: (os.symlink("new.nc", t / "c.nc"), t / "c.nc")[1], None),
}


@pytest.mark.parametrize("make, cause", OUTPUTS.values(), ids=OUTPUTS.keys())
def test_collect_writes_over_no_file_of_the_run_and_only_a_regular_file(run, tmp_path, make, cause):
    output = make(tmp_path)
    before = tree(tmp_path)
    done = collect(run, "--report", run / "report.tsv", "-o", output, cwd=tmp_path)
    if cause is None:
        assert done.returncode == 0, done.stderr
        assert os.readlink(output) == "new.nc"
        assert (tmp_path / "new.nc").read_bytes()[:8] == b"\x89HDF\r\n\x1a\n"
        return
    one_line_refusal(done, cause)
    assert tree(tmp_path) == before


def test_band_names_come_back_as_the_tool_wrote_them(tmp_path):
    # A name beyond ASCII, and one with a control byte, which the report
    # writes as \x01.
    bands = {"ünï": 0.85, "a\x01b": 0.6, "B07": 0.3}
    data = {}
    for band, g in bands.items():
        write_hg_table(tmp_path / "table.dat", g)
        data[band] = (tmp_path / "table.dat").read_bytes()
    run_bands(tmp_path, data, 8)
    done = collect(tmp_path / "out", "--report", tmp_path / "report.tsv", "-o", tmp_path / "c.nc")
    assert done.returncode == 0 and done.stderr == "", done.stderr
    catalogue = open_catalogue(tmp_path / "c.nc")
    assert list(catalogue["label"].values) == list(catalogue["band"].values) == list(bands)
    for i, band in enumerate(bands):
        stored = read_coefficients(tmp_path / f"out/{band}_DE_000.dat").coefficients
        assert np.array_equal(catalogue["coefficients"].values[i, 0], stored.astype(np.float32))
    assert np.isfinite(catalogue["rms_deviation"].values).all()

    # A name that is not UTF-8 has no string in a catalogue.
    (tmp_path / "INPUT/input_band.dat").write_bytes(b"1\n\xfcn\n")
    one_line_refusal(collect(tmp_path / "out", "-o", tmp_path / "d.nc"), "not UTF-8 text")
    assert not (tmp_path / "d.nc").exists()


def test_jobs_the_run_did_not_finish_are_fill_value_and_counted(run, tmp_path):
    # The report of shard 1 of 2 (jobs 1 to 5) marks job 2 as failed; its
    # file is an earlier run's. Shard 2's report is missing, and so is the
    # file of job 9.
    rows = (run / "report.tsv").read_text().splitlines(keepends=True)
    failed = rows[2].split("\t")
    failed[4:11] = ["-"] * 7
    failed[11] = "cannot open the table"
    (run / "report.1-of-2.tsv").write_text("".join(rows[:2] + ["\t".join(failed)] + rows[3:6]))
    (run / "report.tsv").unlink()
    (run / "output/WVN_1p60_DE_020.dat").unlink()
    done = collect(run, "--report", run / "report.tsv", "-o", tmp_path / "c.nc")
    assert done.returncode == 0, done.stderr
    assert "report.2-of-2.tsv': the report of this shard is missing" in done.stderr
    assert "9 jobs, of which 1 without a coefficient file, 1 failed in the report" in done.stderr
    catalogue = open_catalogue(tmp_path / "c.nc")
    assert (catalogue.attrs["jobs_failed"], catalogue.attrs["jobs_without_file"]) == (1, 1)
    assert catalogue.attrs["reports_missing"].endswith("report.2-of-2.tsv")
    filled = np.isnan(catalogue["coefficients"].values[:, :, 0])
    assert sorted(zip(*np.nonzero(filled))) == [(0, 1), (2, 2)]
    no_diagnostics = np.isnan(catalogue["rms_deviation"].values)
    assert sorted(zip(*np.nonzero(no_diagnostics))) == [(0, 1), (1, 2), (2, 0), (2, 1), (2, 2)]


def _replace(path, old, new):
    text = path.read_bytes()
    assert old in text
    path.write_bytes(text.replace(old, new, 1))


DAMAGE = {
    # damage to the run, the report given, what stderr says
    "a row cut short": (lambda r: _replace(r / "report.tsv", b"\tok\t9\n", b"\to"), "report.tsv",
                        "line 10: the last row ends without a line end"),
    "a row without its last fields": (
        lambda r: _replace(r / "report.tsv", b"\t-\tok\t2\n", b"\n"), "report.tsv",
        "line 3: 10 fields, but the header has 13"),
    "a row of another run": (lambda r: _replace(r / "report.tsv", b"\tok\t2\n", b"\tok\t3\n"),
                             "report.tsv", "line 3: job 3 is 'WVN_0p55_DE_010.dat' here but"),
    "a count that overflows": (lambda r: _replace(r / "report.tsv", b"\t0\t-\tok\t2\n",
                                                  b"\t4294967296\t-\tok\t2\n"),
                               "report.tsv", "line 3: negative_points '4294967296' is not a count"),
    "shard reports of two runs": (
        lambda r: [shutil.copy(r / "report.tsv", r / f"rep.{s}.tsv") for s in ("1-of-2", "3-of-3")],
        "rep.tsv", "the shard reports beside it are of runs of 2 and of 3 shards"),
    "import.json a list": (lambda r: (r / "import.json").write_text("[]"), "report.tsv",
                           "import.json': not an import record of phasefit-import: a JSON list"),
    "import.json with bad sizes": (lambda r: _replace(r / "import.json", b'"name": 10',
                                                      b'"name": "10"'), "report.tsv",
                                   "entry 2 of 'sizes' is not an object"),
    "import.json not text": (lambda r: (r / "import.json").write_bytes(b"\x89HDF\r\n\x1a\n\xff"),
                             "report.tsv", "import.json': not UTF-8 text"),
}


@pytest.mark.parametrize("damage, report, cause", DAMAGE.values(), ids=DAMAGE.keys())
def test_a_damaged_report_or_import_record_is_one_line_and_nothing_written(run, tmp_path, damage,
                                                                           report, cause):
    damage(run)
    done = collect(run, "--report", run / report, "-o", tmp_path / "c.nc")
    one_line_refusal(done, cause)
    assert sorted(os.listdir(tmp_path)) == ["run"]


def test_a_stale_file_of_another_order_is_the_odd_one_out(run, tmp_path):
    # The first job's file comes from a run at N = 8; the order is the one
    # most files have, or the report's.
    shutil.copytree(run / "INPUT", tmp_path / "eight/INPUT")
    (tmp_path / "eight/out").mkdir()
    assert run_tool(tmp_path / "eight", "../run/tables/", "out/", 0, 8).returncode == 0
    shutil.copy(tmp_path / "eight/out/WVN_0p55_DE_005.dat", run / "output")
    for report in ([], ["--report", run / "report.tsv"]):
        done = collect(run, "--keep-going", *report, "-o", tmp_path / "c.nc")
        assert done.returncode == 2 and "1 files left out" in done.stderr, done.stderr
        assert "WVN_0p55_DE_005.dat', line 10: N = 8, but" in done.stderr
        catalogue = open_catalogue(tmp_path / "c.nc")
        assert catalogue.attrs["expansion_order"] == 16
        assert np.isnan(catalogue["coefficients"].values[:, :, 0]).sum() == 1


def test_a_full_file_system_leaves_the_catalogue_as_it_was(run, tmp_path):
    # A file-size limit stands for the full file system: writes past it fail.
    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

    (tmp_path / "c.nc").write_bytes(b"the catalogue before")
    done = collect(run, "-o", tmp_path / "c.nc", preexec_fn=small_files)
    one_line_refusal(done, "c.nc': cannot write: ")
    assert (tmp_path / "c.nc").read_bytes() == b"the catalogue before"
    assert sorted(os.listdir(tmp_path)) == ["c.nc", "run"]
