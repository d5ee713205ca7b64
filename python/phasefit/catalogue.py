"""The coefficient files of a run gathered into one CF-1.10 netCDF catalogue.

Layout (dimensions spectral, size, moment = 0 .. N):

    wavelength(spectral) or band(spectral)   the run list's entries
    label(spectral)                          the label in the file names
    size(size)                               the size in the file names
    physical_size(size)                      from import.json, when present
    moment(moment)                           l
    coefficients(spectral, size, moment)     c_l as the files hold them
    ft, Ce, omega0, g(spectral, size)        from the files
    rms_deviation, max_deviation, negative_points, flags(spectral, size)
                                             from --report files, when given

Every value is the single-precision number nearest the file's text. A job
whose file is missing or empty, or that a report does not cover, holds the
_FillValue. The dataset is built with the fill values in place and decoded
the way xarray decodes the file, so ``read_run`` gives what
``open_catalogue`` of the written file gives.
"""

import csv
import datetime
import json
import math
import os
import tempfile

import numpy as np

from . import __version__
from ._deps import require
from ._freeform import decimal_to_float32
from .coefficients import read_coefficients
from .errors import FormatError
from .naming import (BAND_LIST, WAVELENGTH_LIST, data_file_name, read_size_list,
                     read_spectral_list)

FLAG_MEANINGS = ("ft_outside_0_1", "negative_reconstruction", "large_coefficient",
                 "extrapolated", "renormalised", "field_overflow", "resumed_after_pause")
FLOAT_FILL = np.float32(9.96921e36)
DOUBLE_FILL = np.float64(9.969209968386869e36)
INT_FILL = np.int32(-2147483647)
CONVENTION = (
    "The stored coefficients c_l exclude the factor 2l + 1, which belongs to the series: "
    "P_smooth(mu) = (1 - ft) * sum_{l=0}^{N-1} (2l + 1) * c_l * P_l(mu), with P_l the "
    "Legendre polynomials and mu the cosine of the scattering angle; c_0 = 1 and c_N = 0. "
    "The tables were normalised so that half their integral over mu is 1; the fit "
    "approximates a table by 2 * ft * delta(1 - mu) + P_smooth(mu).")
# The attributes of the variables a catalogue shares with a phasefit.fit
# result (fill values aside), so that the two read the same.
ATTRIBUTES = {
    "moment": {"long_name": "Legendre index l", "units": "1"},
    "coefficients": {"long_name": "rescaled Legendre coefficient c_l, without the factor 2l + 1",
                     "units": "1", "comment": CONVENTION},
    "ft": {"long_name": "truncation factor of the forward peak", "units": "1"},
    "rms_deviation": {
        "long_name": "root mean square of the relative deviation of the fit over the grid",
        "units": "1"},
    "max_deviation": {"long_name": "relative deviation of the fit of largest magnitude, signed",
                      "units": "1"},
    "negative_points": {"long_name": "grid points where the resampled table is negative",
                        "units": "1"},
    "flags": {"long_name": "flags of the fit-quality report",
              "flag_masks": np.array([1 << k for k in range(len(FLAG_MEANINGS))], np.int32),
              "flag_meanings": " ".join(FLAG_MEANINGS)},
}


def _locate(path, mode):
    """(working directory, output directory, band mode, import record)."""
    path = os.path.abspath(path)
    if os.path.isdir(os.path.join(path, "INPUT")):
        workdir, output = path, None
    elif os.path.isdir(os.path.join(os.path.dirname(path), "INPUT")):
        workdir, output = os.path.dirname(path), path
    else:
        raise FormatError(path, "neither it nor its parent holds the run lists (INPUT/)")
    record, record_text = None, None
    record_path = os.path.join(workdir, "import.json")
    if os.path.isfile(record_path):
        with open(record_path, encoding="utf-8") as stream:
            record_text = stream.read()
        try:
            record = json.loads(record_text)
        except ValueError as err:
            raise FormatError(record_path, f"not JSON: {err}") from None
    if output is None:
        output = os.path.join(workdir, (record or {}).get("output_directory", "output"))
    if mode is None and record is not None:
        mode = record.get("spectral_mode")
    if mode is None:
        have = [m for m, f in ((0, WAVELENGTH_LIST), (1, BAND_LIST))
                if os.path.isfile(os.path.join(workdir, f))]
        if len(have) != 1:
            raise FormatError(workdir, "say which run list to follow with --mode 0 (INPUT/wl.dat) "
                              "or --mode 1 (INPUT/input_band.dat)")
        mode = have[0]
    return workdir, output, mode == 1, record, record_text


def _single(value):
    # The files' decimal text, rounded once to single precision.
    if not math.isfinite(value):
        return np.float32(value)
    return np.float32(decimal_to_float32(repr(float(value))))


def _read_reports(paths, files, n):
    """Report columns by data-file name: later reports override earlier."""
    rows = {}
    for path in paths:
        try:
            with open(path, newline="", encoding="utf-8", errors="replace") as stream:
                reader = csv.DictReader(stream, delimiter="\t")
                need = {"data_file", "N", "rms_deviation", "max_deviation", "negative_points",
                        "flags"}
                if not need <= set(reader.fieldnames or ()):
                    raise FormatError(path, "not a phasefit report: the header lacks "
                                      + ", ".join(sorted(need - set(reader.fieldnames or ()))), 1)
                for line_no, row in enumerate(reader, 2):
                    if row["data_file"] not in files:
                        continue
                    if row["rms_deviation"] == "-":
                        rows.pop(row["data_file"], None)
                        continue
                    if n is not None and row["N"] != str(n):
                        raise FormatError(path, f"N = {row['N']}, but the coefficient files have "
                                          f"N = {n}", line_no)
                    mask = 0
                    for flag in row["flags"].split(","):
                        if flag == "-":
                            continue
                        if flag not in FLAG_MEANINGS:
                            raise FormatError(path, f"unknown flag '{flag}'", line_no)
                        mask |= 1 << FLAG_MEANINGS.index(flag)
                    try:
                        rows[row["data_file"]] = (float(row["rms_deviation"]),
                                                  float(row["max_deviation"]),
                                                  int(row["negative_points"]), mask)
                    except (TypeError, ValueError):
                        raise FormatError(path, "a diagnostic is not a number", line_no) from None
        except OSError as err:
            raise FormatError(path, f"cannot open: {err.strerror or err}") from None
    return rows


def read_run(directory, reports=(), keep_going=False, mode=None, history=None):
    """The catalogue of a run as an ``xarray.Dataset``, without writing it.

    ``directory`` is a working directory (holding INPUT/) or an output
    directory inside one; ``reports`` are --report files of the run. A file
    that cannot be read raises FormatError naming it and its line; with
    ``keep_going`` it is left out (its job holds the fill value) and listed
    in the attribute ``left_out``.
    """
    xr = require("xarray")

    workdir, output, band_mode, record, record_text = _locate(directory, mode)
    sizes, size_bytes = read_size_list(workdir)
    labels, spectral, spectral_bytes = read_spectral_list(workdir, band_mode)

    files, read, left_out, empty, absent = {}, {}, [], 0, 0
    n, n_from = None, None
    for label in labels:
        for size in sizes:
            name = data_file_name(label, size, band_mode)
            path = os.path.join(output, name)
            files[name] = path
            if name in read or name in left_out:
                continue
            if not os.path.exists(path):
                absent += 1
                continue
            if os.path.isfile(path) and os.path.getsize(path) == 0:
                empty += 1
                continue
            try:
                fit = read_coefficients(path)
                if n is not None and fit.n != n:
                    raise FormatError(path, f"N = {fit.n}, but '{n_from}' has N = {n}", 10)
            except FormatError as err:
                if not keep_going:
                    raise
                left_out.append(name)
                read[name] = err
                continue
            n, n_from = (fit.n, path) if n is None else (n, n_from)
            read[name] = fit
    if n is None:
        raise FormatError(output, "no coefficient file of the run lists' jobs could be read")
    diagnostics = _read_reports(reports, files, n)

    shape = (len(labels), len(sizes))
    coefficients = np.full(shape + (n + 1,), FLOAT_FILL, np.float32)
    bulk = {k: np.full(shape, FLOAT_FILL, np.float32) for k in ("ft", "Ce", "omega0", "g")}
    rms, largest = (np.full(shape, DOUBLE_FILL) for _ in range(2))
    negative, flags = (np.full(shape, INT_FILL, np.int32) for _ in range(2))
    for i, label in enumerate(labels):
        for j, size in enumerate(sizes):
            name = data_file_name(label, size, band_mode)
            fit = read.get(name)
            if fit is None or isinstance(fit, FormatError):
                continue
            # F12.7 text of magnitude below 10^4 lies far from any midpoint
            # of two singles, so one rounding of the double is exact.
            coefficients[i, j] = fit.coefficients.astype(np.float32)
            for key, value in (("ft", fit.ft), ("Ce", fit.ce), ("omega0", fit.omega0),
                               ("g", fit.g)):
                bulk[key][i, j] = _single(value)
            if name in diagnostics:
                r, m, k, mask = diagnostics[name]
                rms[i, j], largest[i, j], negative[i, j], flags[i, j] = r, m, k, mask

    physical = None
    if record is not None:
        by_name = {entry["name"]: entry["value"] for entry in record.get("sizes", [])}
        physical = np.array([by_name.get(s, np.nan) for s in sizes], float)
    raw = xr.Dataset()
    if band_mode:
        raw["band"] = ("spectral", np.array(spectral, object), {"long_name": "band name"})
    else:
        raw["wavelength"] = ("spectral", np.array(spectral, float),
                             {"standard_name": "radiation_wavelength", "units": "um"})
    raw["label"] = ("spectral", np.array(labels, object),
                    {"long_name": "label of the spectral point in the data-file names"})
    raw["size"] = ("size", np.array(sizes, np.int32),
                   {"long_name": "particle size in the data-file names"})
    if physical is not None:
        info = record.get("size", {})
        raw["physical_size"] = ("size", np.where(np.isnan(physical), FLOAT_FILL, physical)
                                .astype(np.float32),
                                {"long_name": info.get("long_name", "particle size"),
                                 "units": info.get("units", "unknown"), "_FillValue": FLOAT_FILL,
                                 "comment": "from import.json"})
    raw["moment"] = ("moment", np.arange(n + 1, dtype=np.int32), ATTRIBUTES["moment"])
    fill = {"_FillValue": FLOAT_FILL}
    raw["coefficients"] = (("spectral", "size", "moment"), coefficients,
                           {**ATTRIBUTES["coefficients"], **fill})
    raw["ft"] = (("spectral", "size"), bulk["ft"], {**ATTRIBUTES["ft"], **fill})
    raw["Ce"] = (("spectral", "size"), bulk["Ce"],
                 {"long_name": "extinction (Ce) as given in the table's header", **fill})
    raw["omega0"] = (("spectral", "size"), bulk["omega0"],
                     {"long_name": "single-scattering albedo as given in the table's header",
                      "units": "1", **fill})
    raw["g"] = (("spectral", "size"), bulk["g"],
                {"long_name": "asymmetry parameter as given in the table's header", "units": "1",
                 **fill})
    if reports:
        raw["rms_deviation"] = (("spectral", "size"), rms,
                                {**ATTRIBUTES["rms_deviation"], "_FillValue": DOUBLE_FILL})
        raw["max_deviation"] = (("spectral", "size"), largest,
                                {**ATTRIBUTES["max_deviation"], "_FillValue": DOUBLE_FILL})
        raw["negative_points"] = (("spectral", "size"), negative,
                                  {**ATTRIBUTES["negative_points"], "_FillValue": INT_FILL})
        # The fill value second, where catalogues have always had it.
        raw["flags"] = (("spectral", "size"), flags,
                        {"long_name": None, "_FillValue": INT_FILL, **ATTRIBUTES["flags"]})
    raw = raw.set_coords([c for c in ("band", "wavelength", "label", "physical_size")
                          if c in raw])
    raw.attrs = {
        "Conventions": "CF-1.10",
        "title": "phasefit delta-fit Legendre coefficients",
        "source": f"phasefit {__version__}",
        "history": history or (datetime.datetime.now(datetime.timezone.utc)
                               .strftime("%Y-%m-%dT%H:%M:%SZ") + " phasefit.read_run"),
        "phasefit_version": __version__,
        "expansion_order": np.int32(n),
        "spectral_mode": np.int32(1 if band_mode else 0),
        "coefficient_convention": CONVENTION,
        "output_directory": output,
        "run_list_sizes": size_bytes.decode("latin-1"),
        "run_list_spectral": spectral_bytes.decode("latin-1"),
        "jobs_without_file": np.int32(absent),
        "jobs_with_empty_file": np.int32(empty),
    }
    if record_text is not None:
        raw.attrs["import_record"] = record_text
        raw.attrs["tables_directory"] = os.path.join(workdir, record.get("tables", {})
                                                     .get("directory", "tables/"))
    if reports:
        raw.attrs["reports"] = "; ".join(os.path.abspath(r) for r in reports)
    if keep_going:
        raw.attrs["jobs_left_out"] = np.int32(len(left_out))
        raw.attrs["left_out"] = "\n".join(str(read[name]) for name in left_out)
    return xr.decode_cf(raw)


def write_catalogue(dataset, path):
    """Writes ``dataset`` as read_run built it, replacing ``path`` only once
    the whole file is written."""
    netCDF4 = require("netCDF4")

    raw = dataset
    path = os.path.abspath(path)
    if os.path.isdir(path):
        raise FormatError(path, "is a directory")
    handle, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", dir=os.path.dirname(path))
    os.close(handle)
    try:
        with netCDF4.Dataset(temporary, "w", format="NETCDF4") as out:
            for dim, length in raw.sizes.items():
                out.createDimension(dim, length)
            for name, variable in raw.variables.items():
                encoding = variable.encoding
                fill = encoding.get("_FillValue")
                dtype = encoding.get("dtype", variable.dtype)
                if variable.dtype == object:
                    dtype = str
                created = out.createVariable(name, dtype, variable.dims,
                                             fill_value=fill if fill is not None else False)
                attributes = dict(variable.attrs)
                if name not in raw.coords:
                    # Auxiliary coordinates are named by the variables they label.
                    auxiliary = [c for c in raw.coords if c not in raw.dims
                                 and set(raw[c].dims) <= set(variable.dims)]
                    if auxiliary:
                        attributes["coordinates"] = " ".join(auxiliary)
                created.setncatts(attributes)
                data = variable.values
                if fill is not None:
                    data = np.where(np.isnan(data), fill, data).astype(dtype)
                created[...] = data
            out.setncatts(raw.attrs)
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def open_catalogue(path):
    """A catalogue written by phasefit-collect, as an ``xarray.Dataset``
    (loaded; the file is closed)."""
    xr = require("xarray", "netCDF4")

    with xr.open_dataset(path) as dataset:
        return dataset.load()


def entry(dataset, spectral, size, name=""):
    """The CoefficientFile of one job of a catalogue: ``spectral`` is a
    label (0p55), a band name or a wavelength, ``size`` the size of the
    file names."""
    from .coefficients import CoefficientFile
    from .naming import wavelength_label

    labels = [str(x) for x in dataset["label"].values]
    key = str(spectral)
    if key not in labels:
        try:
            key = wavelength_label(float(spectral))
        except ValueError:
            pass
    if key not in labels:
        raise FormatError(name, f"no spectral point '{spectral}' (the catalogue has "
                          + ", ".join(labels) + ")")
    sizes = [int(s) for s in dataset["size"].values]
    if int(size) not in sizes:
        raise FormatError(name, f"no size {size} (the catalogue has "
                          + ", ".join(map(str, sizes)) + ")")
    cell = dataset.isel(spectral=labels.index(key), size=sizes.index(int(size)))
    c = cell["coefficients"].values.astype(float)
    if np.isnan(c).any():
        raise FormatError(name, f"no coefficients for ({key}, {size}): the job left no file")
    n = int(dataset.attrs["expansion_order"])
    return CoefficientFile(f"{name}[{key}, {int(size)}]", n, float(cell["Ce"]),
                           float(cell["omega0"]), float(cell["g"]), 0.0, float(cell["ft"]), c), key
