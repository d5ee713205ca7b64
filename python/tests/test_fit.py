"""phasefit.fit in-process against the built tool: the coefficient files
written from its results, batches of numpy and xarray arrays on any number
of workers, the pytrunc cloud on its own angles, refused input and the
numerical pause."""

import subprocess
import sys

import numpy as np
import pytest

from conftest import REPO_ROOT, phasefit_executable, run_bands
import phasefit
from phasefit._freeform import FreeFormReader, read_source
from phasefit.catalogue import ATTRIBUTES, FLAG_MEANINGS, read_run

xr = pytest.importorskip("xarray")
try:
    from phasefit import _fit
    _skip = None
except ImportError as err:
    _skip = f"phasefit._fit is not built here: the tests run on a build's <build>/python ({err})"
if _skip is None and not phasefit_executable().is_file():
    _skip = f"{phasefit_executable()} has not been built"
built = pytest.mark.skipif(_skip is not None, reason=str(_skip))

REAL_TABLES = REPO_ROOT.parent / "shared/data/real/tables"
PYTRUNC = REPO_ROOT.parent / "shared/data/real/pytrunc/wc_wl500_reff8.nc"
ORDERS = (16, 64, 300)


def raw_table(path):
    """(header, angle column, value column) as the tool reads them, the
    angle column as written (degrees or cosines)."""
    reader = FreeFormReader(str(path), read_source(str(path)))
    header = reader.read(["real"] * 6, "the header")
    rows = np.array([reader.read(["real"] * 2, f"row {i}") for i in range(1, 499)])
    return header, rows[:, 0], rows[:, 1]


def table_sets():
    sets = {"examples": sorted((REPO_ROOT / "examples/tables").glob("*.dat"))}
    sets["real"] = sorted(REAL_TABLES.glob("*.dat"))
    return sets


@pytest.fixture(scope="module")
def tool_runs(tmp_path_factory):
    """The tool's files and report rows for every table (by file stem, as a
    band) at each order of ORDERS, from one band-mode run per order."""
    tables = {p.stem: p.read_bytes() for paths in table_sets().values() for p in paths}
    runs = {}
    for n in ORDERS:
        workdir = tmp_path_factory.mktemp(f"n{n}")
        runs[n] = workdir, run_bands(workdir, tables, n)
    return runs


def same(a, b):
    """The same values to the bit, of the same type."""
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@built
@pytest.mark.parametrize("which", ["examples", "real"])
def test_files_written_from_a_fit_are_the_tools_byte_for_byte(tool_runs, tmp_path, which):
    paths = table_sets()[which]
    if not paths:
        pytest.skip(f"no real tables at {REAL_TABLES}")
    tables = {p.stem: raw_table(p) for p in paths}
    for n in ORDERS:
        workdir, report = tool_runs[n]
        # One batch per unit, each table with its own angles.
        for unit in ("deg", "cos"):
            names = [s for s, (_, a, _) in tables.items()
                     if (unit == "cos") == (abs(a[0]) <= 1 and abs(a[-1]) <= 1)]
            if not names:
                continue
            ds = phasefit.fit(np.array([tables[s][2] for s in names]),
                              np.array([tables[s][1] for s in names]), n, angle_unit=unit,
                              on_pause="go", workers=2)
            for i, stem in enumerate(names):
                header, row = tables[stem][0], report[f"{stem}_DE_000.dat"]
                one = ds.isel(dim_0=i)
                written = tmp_path / f"{stem}_{n}.dat"
                phasefit.write_coefficient_file(written, one, ce=header[3], omega0=header[4],
                                                g=header[5])
                tool = (workdir / f"out/{stem}_DE_000.dat").read_bytes()
                assert written.read_bytes() == tool, (stem, n)
                # The diagnostics are the report's.
                assert row["status"] == "ok"
                assert np.float32(row["ft"]) == one.ft
                assert np.float32(row["chi0_sum"]) == one.chi0_sum
                assert f"{float(one.rms_deviation):.6e}" == row["rms_deviation"]
                assert f"{float(one.max_deviation):.6e}" == row["max_deviation"]
                assert int(one.negative_points) == int(row["negative_points"])
                flags = [f for k, f in enumerate(FLAG_MEANINGS) if int(one.flags) >> k & 1]
                assert (",".join(flags) or "-") == row["flags"], stem


def example_batch():
    """The examples' wavelength tables as spectral x size x theta, with
    coordinates and attributes."""
    wavelengths, sizes = (0.55, 0.87, 1.60), (5, 10, 20)
    values, angles = np.empty((3, 3, 498)), np.empty((3, 3, 498))
    for i, w in enumerate(wavelengths):
        for j, s in enumerate(sizes):
            name = f"WVN_{w:.2f}".replace(".", "p") + f"_DE_{s:03d}.dat"
            _, angles[i, j], values[i, j] = raw_table(REPO_ROOT / "examples/tables" / name)
    # They share one set of angles.
    assert (angles == angles[0, 0]).all()
    angle = angles[0, 0]
    da = xr.DataArray(values, dims=("spectral", "size", "theta"), name="P11",
                      coords={"wavelength": ("spectral", list(wavelengths), {"units": "um"}),
                              "size": ("size", list(sizes)), "theta": angle},
                      attrs={"long_name": "phase function", "history": "made by the test"})
    return da


@built
def test_batches_keep_their_layout_and_do_not_depend_on_workers():
    da = example_batch()
    # The angle dimension in the middle, as a user's array may have it.
    da = da.transpose("spectral", "theta", "size")
    results = [phasefit.fit(da, da.theta, 64, dim="theta", workers=w) for w in (1, 2, 8)]
    ds = results[0]
    assert ds.coefficients.dims == ("spectral", "size", "moment")
    assert ds.ft.dims == ("spectral", "size") and ds.sizes["moment"] == 65
    assert list(ds.wavelength.values) == [0.55, 0.87, 1.60] and ds.wavelength.attrs["units"] == "um"
    assert list(ds.size.values) == [5, 10, 20] and "theta" not in ds.coords
    assert ds.attrs["long_name"] == "phase function"
    assert ds.attrs["history"].startswith("made by the test\n")
    assert ds.attrs["expansion_order"] == 64
    for name in ("moment", "coefficients", "ft", "rms_deviation", "negative_points"):
        assert ds[name].attrs == ATTRIBUTES[name], name
    assert ds.flags.attrs["flag_meanings"] == " ".join(FLAG_MEANINGS)
    assert tuple(_fit.FLAG_NAMES) == FLAG_MEANINGS
    # Angles per phase function as a DataArray, its dimensions in another order.
    per_function = da.theta.broadcast_like(da).transpose("size", "theta", "spectral")
    results.append(phasefit.fit(da, per_function, 64, dim="theta", workers=2))
    for other in results[1:]:
        for name in ds.data_vars:
            assert same(other[name], ds[name]), name
    # The same batch as numpy with axis, angles shared or one set each, in
    # float64 (rounded to float32 once, as the DataArray's were).
    values = da.values
    for angles in (da.theta.values, np.broadcast_to(da.theta.values[:, None], values.shape)):
        plain = phasefit.fit(values, angles, 64, axis=1, workers=3)
        assert plain.coefficients.dims == ("dim_0", "dim_1", "moment")
        for name in ds.data_vars:
            assert same(plain[name], ds[name]), name
    # Radians convert to the same degrees here (these angles survive the
    # round trip through double).
    radians = phasefit.fit(values, np.radians(da.theta.values), 64, axis=1, angle_unit="rad")
    assert np.allclose(radians.coefficients, ds.coefficients, atol=1e-6)


@built
def test_disort_inputs_from_a_fit_and_from_a_catalogue(tool_runs):
    da = example_batch().isel(spectral=[0, 1])
    ds = phasefit.fit(da, da.theta, 16)
    inputs = phasefit.disort_inputs(ds)
    g, f = inputs.legendre_coefficients, inputs.truncation_fraction
    assert g.dims == ("spectral", "size", "moment") and g.sizes["moment"] == 16
    assert np.array_equal(g.values, ds.fitted_coefficients.values[..., :16])
    assert np.array_equal(f.values, ds.ft.values) and np.all(g.values[..., 0] == 1)
    # The solver's own rescaling, in single precision, gives back c_l.
    one = np.float32(1)
    rescaled = (g.values - f.values[..., None]) / (one - f.values[..., None])
    assert same(rescaled, ds.coefficients.values[..., :16])

    # A catalogue of the tool's files (band mode, each table a band).
    workdir, _ = tool_runs[16]
    catalogue = read_run(workdir / "out", [workdir / "report.tsv"], mode=1)
    cell = catalogue.isel(spectral=list(catalogue.label.values).index("WVN_0p87_DE_010"), size=0)
    fitted = phasefit.fit(da.sel(size=10).isel(spectral=1), da.theta, 16)
    rebuilt = phasefit.disort_inputs(cell)
    assert np.allclose(rebuilt.legendre_coefficients, fitted.fitted_coefficients[:16], atol=2e-7)
    assert rebuilt.truncation_fraction == cell.ft
    # Read from the same names either way.
    for name in ("coefficients", "ft", "rms_deviation", "max_deviation", "negative_points",
                 "flags"):
        assert np.allclose(cell[name], fitted[name], atol=5e-8), name


@built
@pytest.mark.skipif(not PYTRUNC.is_file(), reason=f"no pytrunc cloud at {PYTRUNC}")
def test_the_pytrunc_cloud_is_fitted_on_its_own_594_angles():
    with xr.open_dataset(PYTRUNC) as source:
        p11 = source.phase.isel(stk=0).load()
    assert p11.sizes["theta"] == 594
    ds = phasefit.fit(p11, p11.theta, 64, workers=1)
    assert ds.coefficients.dims == ("moment",) and "reff" in ds.coords
    # Its asymmetry as the source gives it (0.861308 on its own angles), a
    # forward peak to truncate, and nothing to flag.
    assert abs(float(ds.moments[1]) - 0.861308) < 1e-4
    assert 0.3 < float(ds.ft) < 0.5 and float(ds.coefficients[64]) == 0 and int(ds.flags) == 0
    # The same cloud resampled onto 498 angles beforehand fits the same.
    if REAL_TABLES.is_dir():
        _, angle, value = raw_table(REAL_TABLES / "wc_pytrunc_500nm_reff08.dat")
        assert abs(float(phasefit.fit(value, angle, 64).ft) - float(ds.ft)) < 1e-4


@built
def test_refused_input_names_the_batch_index_and_the_cause(capfd):
    da = example_batch()
    values = da.values.copy()
    values[1, 2, 17] = np.nan
    values[2, 0, 40] = np.inf
    bad = da.copy(data=values)
    for workers in (1, 8):
        with pytest.raises(phasefit.FitError) as caught:
            phasefit.fit(bad, bad.theta, 16, workers=workers)
        # The first in the batch's order, whatever thread met it first.
        assert caught.value.batch_index == (1, 2) and caught.value.index == 17
        assert str(caught.value).startswith("phase function at spectral=1, size=2: ")
        assert "17" in caught.value.cause and "nan" in caught.value.cause.lower()
    angle = da.theta.values
    one = da.values[0, 0]
    equal = angle.copy()
    equal[5] = equal[4]
    cases = [
        (dict(phase=one, angles=equal, order=16), phasefit.FitError, "equal angles"),
        (dict(phase=one, angles=np.linspace(-1, 1.5, 498),
              order=16, angle_unit="cos"), phasefit.FitError, "cosine"),
        (dict(phase=one, angles=angle, order=2), ValueError, "order 2 is outside 3 .. 300"),
        (dict(phase=one, angles=angle, order=301), ValueError, "order 301"),
        (dict(phase=one, angles=angle[:-1], order=16), ValueError, "498 values along axis 0"),
        (dict(phase=one[:1], angles=angle[:1], order=16), ValueError, "the fit takes 2 .."),
        (dict(phase=one, angles=angle, order=16, angle_unit="grad"), ValueError, "angle_unit"),
        (dict(phase=one, angles=angle, order=16, on_pause="ask"), ValueError, "on_pause"),
        (dict(phase=one, angles=angle, order=16, workers=0), ValueError, "workers"),
        (dict(phase=one.astype(complex), angles=angle, order=16), ValueError, "real numbers"),
        (dict(phase=one, angles=angle, order=16, dim="theta"), ValueError, "axis="),
        (dict(phase=da, angles=angle, order=16), ValueError, "dim=NAME"),
        (dict(phase=da, angles=angle, order=16, dim="angle"), ValueError, "no dimension 'angle'"),
        (dict(phase=da.values, angles=np.ones((2, 498)), order=16), ValueError, "1-D or have"),
        (dict(phase=da.values, angles=np.ones((2, 1, 498)), order=16), ValueError, "do not match"),
    ]
    for arguments, kind, text in cases:
        with pytest.raises(kind, match=None) as caught:
            phasefit.fit(**arguments)
        assert text in str(caught.value), (text, str(caught.value))
    with pytest.raises(ValueError, match="select one along dim_0"):
        phasefit.write_coefficient_file("x.dat", phasefit.fit(da.values[0], angle, 3))
    assert capfd.readouterr() == ("", "")


@built
def test_a_pause_raises_or_goes_on_as_the_tool_does(tmp_path):
    # A table on which the SVD does not converge at N = 300.
    theta = np.array([np.float32(180 * i / 497) for i in range(498)])
    mu = np.cos(np.radians(theta.astype(float)))
    value = ((1 - 0.85 ** 2) / (1 + 0.85 ** 2 - 2 * 0.85 * mu) ** 1.5).astype(np.float32)
    with pytest.raises(phasefit.FitError, match="pause") as caught:
        phasefit.fit(value, theta, 300)
    assert caught.value.batch_index == () and caught.value.index is None
    ds = phasefit.fit(np.stack([value, value]), theta, 300, on_pause="go")
    assert list(ds.pauses.values > 0) == [True, True]
    assert all(ds.flags.values >> FLAG_MEANINGS.index("resumed_after_pause") & 1)
    text = "10 0.55 0\n2.1 0.99 0.85\n" + "".join(f"{a!r} {v!r}\n" for a, v in
                                                  zip(theta.tolist(), value.tolist()))
    run_bands(tmp_path, {"pause": text.encode()}, 300)
    written = tmp_path / "fit.dat"
    phasefit.write_coefficient_file(written, ds.isel(dim_0=1), ce=2.1, omega0=0.99, g=0.85)
    assert written.read_bytes() == (tmp_path / "out/pause_DE_000.dat").read_bytes()


def test_without_the_module_fit_says_what_to_build_and_the_rest_works():
    # The package's sources hold no compiled module.
    script = ("import numpy, phasefit\n"
              "phasefit.read_phase_table('examples/tables/WVN_0p55_DE_010.dat')\n"
              "phasefit.fit(numpy.ones(3), [0, 90, 180], 3)\n")
    done = subprocess.run([sys.executable, "-c", script], cwd=REPO_ROOT, capture_output=True,
                          text=True, env={"PYTHONPATH": str(REPO_ROOT / "python")}, timeout=60)
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: phasefit.fit needs the compiled module phasefit._fit"), \
        done.stderr
    assert "make build or make demo" in last
