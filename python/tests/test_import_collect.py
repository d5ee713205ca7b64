"""From a database to a catalogue: phasefit-import on generated databases
in each format, the built tool on the run directory it writes, and
phasefit-collect on the result."""

import errno
import glob
import hashlib
import importlib.machinery
import importlib.util
import json
import os
import shutil
import subprocess

import numpy as np
import pytest

from conftest import PYTHON_DIR, henyey_greenstein, phasefit_executable, requires_tool
from phasefit import open_catalogue, read_phase_table, read_run
from phasefit import database
from phasefit.database import DATABASE_ANGLES, half_integral

netCDF4 = pytest.importorskip("netCDF4")
pytestmark = requires_tool

SIZES = [5.0, 20.0]


def asymmetry(w, s):
    return 0.5 + 0.1 * w + 0.2 * s


def command(name, *arguments, cwd=None):
    return subprocess.run([str(PYTHON_DIR / name), *map(str, arguments)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def write_isca(folder, wavelengths, rows=None, edit=None):
    folder.mkdir()
    lines, phases = [], []
    mu = np.cos(np.radians(DATABASE_ANGLES))
    for w, wl in enumerate(wavelengths):
        for s, size in enumerate(SIZES):
            lines.append(f"{wl} {size} {size ** 3} {2 * size} 2.1 0.99 {asymmetry(w, s)}\n")
            phases.append(" ".join(f"{v:.9e}" for v in henyey_greenstein(mu, asymmetry(w, s))) + "\n")
    (folder / "isca.dat").write_text("".join(lines))
    phase_lines = [" ".join(f"{a:.2f}" for a in DATABASE_ANGLES) + "\n"] + phases[:rows]
    if edit:
        edit(phase_lines)
    (folder / "P11.dat").write_text("".join(phase_lines))
    return [folder / "isca.dat", folder / "P11.dat"], []


def edit_line(line_no, change):
    """An edit of P11.dat: ``change`` of the fields of line ``line_no``
    (0 for the angles), joined by blanks."""
    def edit(lines):
        lines[line_no] = " ".join(change(lines[line_no].split())) + "\n"
    return edit


def edit_field(line_no, k, text):
    return edit_line(line_no, lambda fields: fields[:k] + [text] + fields[k + 1:])


def write_legendre(path, wavelengths, drop=None, nan_at=None):
    # The layout of the OPAC files: legcoef(stokes_index, legendre_index,
    # humidity, wavelength) with the factor 2l + 1, strings naming the rows.
    with netCDF4.Dataset(path, "w") as out:
        for dim, length in (("stokes_index", 2), ("legendre_index", 300), ("humidity", 2),
                            ("wavelength", len(wavelengths))):
            out.createDimension(dim, length)
        out.createVariable("stokes_index", str, ("stokes_index",))[:] = np.array(["P22", "P11"], object)
        out.createVariable("wavelength", "f4", ("wavelength",))[:] = wavelengths
        out.createVariable("humidity", "f4", ("humidity",))[:] = [0.0, 50.0]
        l = np.arange(300)[:, None, None]
        g = np.array([[asymmetry(w, s) for w in range(len(wavelengths))] for s in range(2)])
        legcoef = np.stack([np.zeros((300, 2, len(wavelengths))), (2 * l + 1) * g ** l])
        if nan_at is not None:
            legcoef[(1, nan_at, 0, 0)] = np.nan
        out.createVariable("legcoef", "f4", ("stokes_index", "legendre_index", "humidity",
                                             "wavelength"))[:] = legcoef
        out.createVariable("extinction", "f4", ("humidity", "wavelength"))[:] = 2.5 + g
        out.createVariable("ssalb", "f4", ("humidity", "wavelength"))[:] = 0.9 + 0 * g
        if drop:
            out.renameVariable(drop, drop + "_gone")
    return [path], []


BAUM = ["--phase", "p11_phase_function", "--angle", "phase_angles", "--wavelength", "wavelengths",
        "--size", "effective_diameter", "--extinction", "extinction_efficiency", "--area",
        "total_area", "--albedo", "single_scattering_albedo", "--asymmetry", "asymmetry_parameter"]


def write_tabulated(path, wavelengths, phase_dims=("effective_diameter", "phase_angles", "wavelengths")):
    # Variables named as in the FullPhaseMatrix files, P11 on a grid of its
    # own, dimensions in an order of its own, normalised to 2.
    angle = np.linspace(0.0, 180.0, 721)
    with netCDF4.Dataset(path, "w") as out:
        for dim, length in (("wavelengths", len(wavelengths)), ("effective_diameter", 2),
                            ("phase_angles", angle.size)):
            out.createDimension(dim, length)
        out.createVariable("wavelengths", "f8", ("wavelengths",))[:] = wavelengths
        out.createVariable("effective_diameter", "f8", ("effective_diameter",))[:] = SIZES
        out.createVariable("phase_angles", "f8", ("phase_angles",))[:] = angle
        p11 = np.array([[[2 * henyey_greenstein(np.cos(np.radians(a)), asymmetry(w, s))
                          for w in range(len(wavelengths))] for a in angle] for s in range(2)])
        keep = [d for d in ("effective_diameter", "phase_angles", "wavelengths") if d in phase_dims]
        p11 = p11[tuple(slice(None) if d in keep else 0 for d in
                        ("effective_diameter", "phase_angles", "wavelengths"))]
        out.createVariable("p11_phase_function", "f8", tuple(keep))[:] = p11
        g = np.array([[asymmetry(w, s) for s in range(2)] for w in range(len(wavelengths))])
        for name, value in (("extinction_efficiency", 2.0 + 0 * g), ("single_scattering_albedo", 0.95 + 0 * g),
                            ("asymmetry_parameter", g)):
            out.createVariable(name, "f8", ("wavelengths", "effective_diameter"))[:] = value
        out.createVariable("total_area", "f8", ("effective_diameter",))[:] = [10.0, 40.0]
    return [path], BAUM


def expected_table(fmt, w, s):
    mu = np.cos(np.radians(DATABASE_ANGLES))
    if fmt == "tabulated-nc":
        source = np.linspace(0.0, 180.0, 721)
        log = np.log(2 * henyey_greenstein(np.cos(np.radians(source)), asymmetry(w, s)))
        value = np.exp(np.interp(DATABASE_ANGLES, source, log))
    else:
        value = henyey_greenstein(mu, asymmetry(w, s))
    return value if fmt == "legendre-nc" else value / half_integral(DATABASE_ANGLES, value)


FORMATS = {
    # format: (writer, wavelengths, band mode, the size names)
    "isca": (lambda p, w: write_isca(p / "db", w), [0.55, 1.6], False, [5, 20]),
    # Labels that collide in F10.2, so band mode with the source's labels.
    "legendre-nc": (lambda p, w: write_legendre(p / "db.nc", w), [0.549, 0.551], True, [0, 50]),
    "tabulated-nc": (lambda p, w: write_tabulated(p / "db.nc", w), [0.55, 1.6], False, [5, 20]),
}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Imports, runs and collects each format once, on request."""
    done = {}

    def run(fmt):
        if fmt not in done:
            root = tmp_path_factory.mktemp(fmt)
            writer, wavelengths, bands, _ = FORMATS[fmt]
            sources, options = writer(root, wavelengths)
            imported = command("phasefit-import", fmt, *sources, "-o", root / "run", "--order", 16,
                               *(["--bands"] if bands else []), *options)
            assert imported.returncode == 0, imported.stderr
            # The printed command runs as it is, with the built tool first on the path.
            tool_dir = phasefit_executable().resolve().parent
            fitted = subprocess.run(imported.stdout, shell=True, cwd=root, capture_output=True,
                                    text=True, env={**os.environ, "PATH": f"{tool_dir}:{os.environ['PATH']}"})
            assert fitted.returncode == 0, fitted.stderr
            collected = command("phasefit-collect", root / "run", "--report", root / "run/report.tsv",
                                "-o", root / "catalogue.nc")
            assert collected.returncode == 0, collected.stderr
            done[fmt] = root, sources
        return done[fmt]
    return run


def bits(values):
    return np.asarray(values, np.float32).view(np.uint32)


@pytest.mark.parametrize("fmt", FORMATS)
def test_round_trip_from_database_to_catalogue(runs, fmt):
    root, sources = runs(fmt)
    _, wavelengths, bands, size_names = FORMATS[fmt]
    record = json.loads((root / "run/import.json").read_text())
    assert [s["sha256"] for s in record["sources"]] == [
        hashlib.sha256(open(p, "rb").read()).hexdigest() for p in sources]

    with netCDF4.Dataset(root / "catalogue.nc") as nc:
        labels = list(nc["label"][:])
        # The sizes of these sources are integers, so they name the files.
        assert list(nc["size"][:]) == size_names == list(nc["physical_size"][:])
        if bands:
            assert list(nc["band"][:]) == labels == [str(w) for w in wavelengths]
        else:
            np.testing.assert_array_equal(nc["wavelength"][:], wavelengths)
        n = nc.expansion_order
        for w, label in enumerate(labels):
            for s, size in enumerate(size_names):
                name = f"{'' if bands else 'WVN_'}{label}_DE_{size:03d}.dat"
                lines = (root / "run/output" / name).read_text().splitlines()
                # Bit for bit the single-precision values of the file's text.
                want = [float(line[4:]) for line in lines[10:11 + n]]
                assert np.array_equal(bits(nc["coefficients"][w, s, :]), bits(want)), name
                assert bits(nc["ft"][w, s]) == bits(float(lines[8][:9]))
                ce, omega0, g = (float(x) for x in lines[5].split()[:3])
                assert bits([nc["Ce"][w, s], nc["omega0"][w, s], nc["g"][w, s]]).tolist() == \
                    bits([ce, omega0, g]).tolist()
                # The table holds the source's P11, normalised, in the order
                # of the database's angles.
                table = read_phase_table(root / "run/tables" / name)
                np.testing.assert_allclose(table.value, expected_table(fmt, w, s),
                                           rtol=1e-5 if fmt == "legendre-nc" else 2e-7)
                np.testing.assert_allclose(table.g, asymmetry(w, s), rtol=1e-6)
        assert nc.Conventions == "CF-1.10" and nc["flags"].flag_meanings.split()[0] == "ft_outside_0_1"

    catalogue = open_catalogue(root / "catalogue.nc")
    again = read_run(root / "run", [root / "run/report.tsv"], history=catalogue.attrs["history"])
    assert catalogue.identical(again)
    header = subprocess.run(["ncdump", "-h", str(root / "catalogue.nc")], capture_output=True,
                            text=True, check=True).stdout
    for line in ("float coefficients(spectral, size, moment) ;", ':Conventions = "CF-1.10" ;',
                 "int flags(spectral, size) ;", f":expansion_order = {n} ;"):
        assert line in header, line


def test_the_catalogue_draws_as_its_coefficient_file(runs):
    root, _ = runs("isca")
    from_catalogue = command("phasefit-plot", root / "catalogue.nc", "--select", "0.55", "20", "--text")
    from_file = command("phasefit-plot", root / "run/output/WVN_0p55_DE_020.dat",
                        root / "run/tables/WVN_0p55_DE_020.dat", "--text")
    assert from_catalogue.returncode == 0, from_catalogue.stderr
    np.testing.assert_allclose(np.loadtxt(from_catalogue.stdout.splitlines()),
                               np.loadtxt(from_file.stdout.splitlines()), rtol=1e-6)


@pytest.mark.parametrize("fmt", ["isca", "legendre-nc"])
def test_a_job_is_selected_by_wavelength_or_band_and_by_size(runs, fmt):
    root, _ = runs(fmt)
    _, wavelengths, bands, size_names = FORMATS[fmt]
    spectral = {"band": str(wavelengths[1])} if bands else {"wavelength": wavelengths[1]}
    for dataset in (open_catalogue(root / "catalogue.nc"), read_run(root / "run")):
        want = bits(dataset.coefficients.isel(spectral=1, size=1))
        for size in ({"size": size_names[1]}, {"physical_size": size_names[1]}):
            assert np.array_equal(bits(dataset.coefficients.sel(**spectral, **size)), want)
        assert dict(dataset.coefficients.sizes) == {"spectral": 2, "size": 2, "moment": 17}


BAD_SOURCES = {
    "a missing variable": (lambda p: write_legendre(p / "db.nc", [0.55], drop="legcoef"),
                           "legendre-nc", "db.nc': no variable 'legcoef'"),
    "a wrong dimension": (lambda p: write_tabulated(p / "db.nc", [0.55, 1.6], ("effective_diameter",
                                                                            "phase_angles")),
                          "tabulated-nc", "without 'wavelengths'"),
    "a row count that does not match": (lambda p: write_isca(p / "db", [0.55], rows=1), "isca",
                                        "P11.dat': 1 rows of P11 after the angle line"),
    "NaN in a table": (lambda p: (write_isca(p / "db", [0.55]), (p / "db/isca.dat").write_text(
        (p / "db/isca.dat").read_text().replace(" 0.99 ", " nan ")))[0], "isca",
                       "isca.dat', line 1: value 6 (nan) is not finite"),
    "NaN in a series": (lambda p: write_legendre(p / "db.nc", [0.55], nan_at=5), "legendre-nc",
                        "'legcoef' (wavelength 0, size 0) along the Legendre index holds NaN"),
    "colliding labels": (lambda p: write_legendre(p / "db.nc", [0.549, 0.551]), "legendre-nc",
                         "both get the label 0p55"),
    "an occupied run directory": (lambda p: ((p / "run").mkdir(), (p / "run/keep").write_text("x"),
                                             write_isca(p / "db", [0.55]))[2], "isca", "not an empty"),
    # A dimension that is not placed is refused, not read at its first index.
    "an unplaced dimension": (lambda p: (write_tabulated(p / "db.nc", [0.55, 1.6])[0], BAUM[:6]),
        "tabulated-nc", "dimension 'effective_diameter' (length 2) beyond its wavelength, size and "
        "angle dimensions; if it holds the sizes, name their variable with --size"),
    "a missing size variable": (lambda p: write_legendre(p / "db.nc", [0.55], drop="humidity"),
                                "legendre-nc", "name their variable with --size (the file has no "
                                "variable 'humidity')"),
    # P11 rows that cannot be normalised.
    "a negative P11 row": (lambda p: write_isca(p / "db", [0.55], edit=edit_line(
        2, lambda fields: ["-" + f for f in fields])), "isca",
        "P11.dat', line 3: P11 of wavelength 0.55 um, size 20.0 is negative at every angle"),
    "a zero P11 row": (lambda p: write_isca(p / "db", [0.55], edit=edit_line(
        1, lambda fields: ["0"] * len(fields))), "isca",
        "line 2: P11 of wavelength 0.55 um, size 5.0 is 0 at every angle"),
    # What the tool would refuse in the tables, as it reads them (single precision).
    "angles equal in single precision": (
        lambda p: write_isca(p / "db", [0.55], edit=edit_field(0, 2, "0.0100000001")), "isca",
        "line 1: angles 2 and 3 (0.01 and 0.0100000001) are equal as the tool reads them"),
    # Digits grouped by underscores are Python's syntax, not a number any
    # writer of these files produces.
    "digits with an underscore": (lambda p: write_isca(p / "db", [0.55], edit=edit_field(
        1, 7, "1_0")), "isca", "line 2: '1_0' is not a number"),
    "a value beyond single precision": (lambda p: write_isca(p / "db", [0.55], edit=edit_field(
        1, 7, "1e39")), "isca", "line 2: value 8 (1e39) is beyond single precision"),
    "a Ce beyond single precision": (lambda p: (write_isca(p / "db", [0.55]), (
        p / "db/isca.dat").write_text((p / "db/isca.dat").read_text().replace(
            " 10.0 2.1 ", " 1e39 2.1 ")))[0], "isca",
        "isca.dat': the table WVN_0p55_DE_005.dat (wavelength 0.55 um, size 5.0): Ce 2.10000000E+39 "
        "is not a number the tool can read"),
    # Sources and arguments that met a traceback.
    "a zero-length wavelength dimension (legendre-nc)": (
        lambda p: write_legendre(p / "db.nc", np.zeros(0)), "legendre-nc",
        "variable 'wavelength' (wavelength) has no values"),
    "a zero-length wavelength dimension (tabulated-nc)": (
        lambda p: write_tabulated(p / "db.nc", np.zeros(0)), "tabulated-nc",
        "variable 'wavelengths' (wavelength) has no values"),
    "wavelengths and sizes on one dimension": (
        lambda p: (write_tabulated(p / "db.nc", [0.55, 1.6])[0], BAUM[:7] + ["wavelengths"]),
        "tabulated-nc", "the wavelengths 'wavelengths' and the sizes 'wavelengths' share dimension"),
    "text as the wavelengths": (
        lambda p: (write_legendre(p / "db.nc", [0.55])[0], ["--wavelength", "stokes_index"]),
        "legendre-nc", "variable 'stokes_index' (wavelength) holds text, not numbers"),
    "text as the sizes": (
        lambda p: (write_legendre(p / "db.nc", [0.55])[0], ["--size", "stokes_index"]),
        "legendre-nc", "variable 'stokes_index' (size) holds text, not numbers"),
    "a path that is not UTF-8": (lambda p: ([write_isca(p / os.fsdecode(b"db\xff"), [0.55])[0][0]
                                             .parent], []), "isca", "db\\xff' is not UTF-8"),
    "a comma-separated angle line": (lambda p: write_isca(p / "db", [0.55], edit=edit_line(
        0, lambda fields: [",".join(fields)])), "isca",
        "'0.00,0.01,0.02,0.03,0.04,0.05,0.06,0.07,... (2770 characters)' is not a number"),
    "an order the tool refuses": (lambda p: (write_isca(p / "db", [0.55])[0], ["--order", 5000]),
                                  "isca", "--order 5000: the tool takes an expansion order of 3 to 300"),
}


@pytest.mark.parametrize("write, fmt, cause", BAD_SOURCES.values(), ids=BAD_SOURCES.keys())
def test_bad_source_is_one_line_status_2_and_no_run_directory(tmp_path, write, fmt, cause):
    sources, options = write(tmp_path)
    before = sorted(os.listdir(tmp_path))
    done = command("phasefit-import", fmt, *sources, "-o", tmp_path / "run", *options)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith("phasefit-import: ") and done.stderr.count("\n") == 1
    assert cause in done.stderr and len(done.stderr) < 400, done.stderr
    # Nothing half-written: no run directory, no work folder beside it.
    assert sorted(os.listdir(tmp_path)) == before
    assert not (tmp_path / "run").exists() or os.listdir(tmp_path / "run") == ["keep"]


def test_an_element_dimension_is_read_where_named(tmp_path):
    # The sizes' dimension left unnamed: element 1 of it is taken only
    # when asked for, and it is element 1's P11 that the tables hold.
    sources, options = write_tabulated(tmp_path / "db.nc", [0.55, 1.6])
    done = command("phasefit-import", "tabulated-nc", *sources, "-o", tmp_path / "run", *options[:6],
                   "--p11-index", "effective_diameter=1")
    assert done.returncode == 0, done.stderr
    for w, label in enumerate(["0p55", "1p60"]):
        table = read_phase_table(tmp_path / f"run/tables/WVN_{label}_DE_000.dat")
        np.testing.assert_allclose(table.value, expected_table("tabulated-nc", w, 1), rtol=2e-7)


def test_each_source_records_its_own_provenance(tmp_path):
    # The second source has no extinction: its tables carry Ce = -1, and
    # import.json must say so for it, not repeat the first source's.
    first, _ = write_legendre(tmp_path / "a.nc", [0.55])
    second, _ = write_legendre(tmp_path / "b.nc", [1.6], drop="extinction")
    done = command("phasefit-import", "legendre-nc", *first, *second, "-o", tmp_path / "run")
    assert done.returncode == 0, done.stderr
    record = json.loads((tmp_path / "run/import.json").read_text())
    assert [s["provenance"]["ce"] for s in record["sources"]] == [
        "'extinction'", "not in the source: written as -1"]
    assert record["tables"]["ce"] != "'extinction'"
    assert (tmp_path / "run/tables/WVN_1p60_DE_000.dat").read_text().splitlines()[1].startswith(
        "-1.00000000E+00 ")


def _full_disk(*_, **__):
    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))


def _work_folder_removed(*_, **__):
    parent = os.path.dirname(_work_folder_removed.rundir)
    for work in glob.glob(os.path.join(parent, ".run.import-*")):
        shutil.rmtree(work)


def _interrupt(*_, **__):
    raise KeyboardInterrupt


def _out_of_memory(*_):
    raise MemoryError


FAILURES_ON_THE_WAY = {
    # what fails, where, what stderr says ({rundir}, {db} filled in)
    "a full disk": (_full_disk, "json", "cannot write the run directory '{rundir}': "
                    + os.strerror(errno.ENOSPC)),
    "the work folder removed": (_work_folder_removed, "json", "cannot write the run directory "
                                "'{rundir}': " + os.strerror(errno.ENOENT)),
    "Ctrl-C": (_interrupt, "json", "interrupted; '{rundir}' not written"),
    "a source too large for memory": (_out_of_memory, "read", "file '{db}': too large to read "
                                      "into memory"),
}


@pytest.mark.parametrize("fail, where, message", FAILURES_ON_THE_WAY.values(),
                         ids=FAILURES_ON_THE_WAY.keys())
def test_a_failure_on_the_way_is_one_line_naming_what_the_user_gave(tmp_path, monkeypatch, capsys,
                                                                    fail, where, message):
    write_isca(tmp_path / "db", [0.55])
    rundir = str(tmp_path / "run")
    _work_folder_removed.rundir = rundir
    if where == "json":
        monkeypatch.setattr(database.json, "dump", fail)
    else:
        monkeypatch.setattr(database, "read_isca", fail)
    loader = importlib.machinery.SourceFileLoader("phasefit_import",
                                                  str(PYTHON_DIR / "phasefit-import"))
    program = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(program)
    assert program.main(["isca", str(tmp_path / "db"), "-o", rundir]) == 2
    err = capsys.readouterr().err
    assert err == f"phasefit-import: {message.format(rundir=rundir, db=tmp_path / 'db')}\n"
    assert os.listdir(tmp_path) == ["db"]


def _edit(path, line_no, text, drop=0):
    lines = path.read_text().splitlines()
    lines[line_no - 1] = text
    path.write_text("\n".join(lines[:len(lines) - drop]) + "\n")


DAMAGE = {
    # damage to the run, the exit status, what stderr says, the jobs left empty
    "asterisks": (lambda o: _edit(o / "WVN_0p55_DE_005.dat", 13, "   3************"), [], 2,
                  "WVN_0p55_DE_005.dat', line 13: coefficient 2: field", []),
    "a missing record": (lambda o: _edit(o / "WVN_1p60_DE_020.dat", 27, "  17   0.0000000", drop=1),
                         [], 2, "WVN_1p60_DE_020.dat': file ends after 26 lines; N = 16 needs 27", []),
    "N differing between files": (lambda o: (_edit(o / "WVN_1p60_DE_005.dat", 10, "          15 coefficients",
                                                   drop=1), _edit(o / "WVN_1p60_DE_005.dat", 26, "  16   0.0000000")),
                                  [], 2, "WVN_1p60_DE_005.dat', line 10: N = 15, but", []),
    "a missing and an empty file": (lambda o: ((o / "WVN_0p55_DE_005.dat").unlink(),
                                               (o / "WVN_1p60_DE_020.dat").write_text("")),
                                    [], 0, "", [(0, 0), (1, 1)]),
    "--keep-going": (lambda o: _edit(o / "WVN_0p55_DE_020.dat", 12, "   2************"),
                     ["--keep-going"], 2, "left out: file '", [(0, 1)]),
}


@pytest.mark.parametrize("damage, options, status, cause, empty", DAMAGE.values(), ids=DAMAGE.keys())
def test_collect_names_unreadable_files_and_fills_missing_jobs(runs, tmp_path, damage, options,
                                                               status, cause, empty):
    root, _ = runs("isca")
    shutil.copytree(root / "run", tmp_path / "run")
    damage(tmp_path / "run/output")
    done = command("phasefit-collect", tmp_path / "run", *options, "-o", tmp_path / "c.nc")
    assert done.returncode == status and cause in done.stderr, done.stderr
    if not (tmp_path / "c.nc").exists():
        assert status == 2 and done.stderr.count("\n") == 1 and os.listdir(tmp_path) == ["run"]
        return
    catalogue = open_catalogue(tmp_path / "c.nc")
    missing = np.isnan(catalogue["coefficients"].values[:, :, 0])
    assert sorted(zip(*np.nonzero(missing))) == empty
    assert not np.isnan(catalogue["coefficients"].values[~missing]).any()
    if options:
        assert catalogue.attrs["jobs_left_out"] == 1
    else:
        assert (catalogue.attrs["jobs_without_file"], catalogue.attrs["jobs_with_empty_file"]) == (1, 1)
