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
whose file is missing or empty, or that a report marks as failed, holds the
_FillValue; so do the diagnostics of a job that no report covers. The dataset is built with the fill values in place and decoded
the way xarray decodes the file, so ``read_run`` gives what
``open_catalogue`` of the written file gives.
"""

import collections
from dataclasses import dataclass
import datetime
import json
import math
import os
import re
import stat

import numpy as np

from ._atomic import replace_atomically
from ._deps import require
from ._numbers import decimal_to_float32
from ._version import __version__
from .coefficients import CoefficientFile, read_coefficients
from .errors import FormatError
from .naming import (BAND_LIST, SIZE_LIST, WAVELENGTH_LIST, data_file_name,
                     is_reference_wavelength, read_size_list, read_spectral_list, size_digits,
                     wavelength_label)

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
REPORT_COLUMNS = ("data_file", "N", "rms_deviation", "max_deviation", "negative_points", "flags",
                  "status", "job")
_DIGITS = re.compile(rb"[0-9]+")
_FAILED = "failed"  # the report row of a job that failed


def _record_error(path, cause):
    return FormatError(path, f"not an import record of phasefit-import: {cause}")


def _read_record(path):
    """import.json and its text, checked for what collect takes from it."""
    try:
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
    except OSError as err:
        raise FormatError(path, f"cannot open: {err.strerror or err}") from None
    except UnicodeDecodeError:
        raise FormatError(path, "not UTF-8 text") from None
    try:
        record = json.loads(text)
    except (ValueError, RecursionError) as err:
        raise FormatError(path, f"not JSON: {err}") from None

    def path_text(value):
        # A NUL would end the name early in any system call.
        return isinstance(value, str) and "\0" not in value

    def number(value):
        return value is None or (isinstance(value, (int, float)) and not isinstance(value, bool))

    if not isinstance(record, dict):
        raise _record_error(path, f"a JSON {type(record).__name__}, not an object")
    mode = record.get("spectral_mode")
    if mode is not None and (type(mode) is not int or mode not in (0, 1)):
        raise _record_error(path, f"'spectral_mode' is {json.dumps(mode)}, not 0 or 1")
    if not path_text(record.get("output_directory", "")):
        raise _record_error(path, "'output_directory' is not a folder name")
    tables = record.get("tables", {})
    if not isinstance(tables, dict) or not path_text(tables.get("directory", "")):
        raise _record_error(path, "'tables' has no folder name in 'directory'")
    size = record.get("size", {})
    if not isinstance(size, dict) or not all(isinstance(size.get(k, ""), str)
                                             for k in ("long_name", "units")):
        raise _record_error(path, "'size' is not an object with text 'long_name' and 'units'")
    sizes = record.get("sizes", [])
    if not isinstance(sizes, list):
        raise _record_error(path, "'sizes' is not a list")
    for i, entry in enumerate(sizes, 1):
        if not (isinstance(entry, dict) and type(entry.get("name")) is int
                and number(entry.get("value"))):
            raise _record_error(path, f"entry {i} of 'sizes' is not an object with an integer "
                                "'name' and a number 'value'")
    return record, text
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
    """(working directory, output directory, band mode, import record, its
    text, its path)."""
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
        record, record_text = _read_record(record_path)
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
    return workdir, output, mode == 1, record, record_text, record_path


def _single(value):
    # The files' decimal text, rounded once to single precision.
    if not math.isfinite(value):
        return np.float32(value)
    return np.float32(decimal_to_float32(repr(float(value))))


def _label_texts(path, labels):
    """The labels as text. The run lists are read byte for byte (one
    character per byte), as the tool names its files; a catalogue holds
    UTF-8 strings, so a label that is not UTF-8 is refused rather than
    guessed at."""
    texts = []
    for i, label in enumerate(labels, 1):
        raw = label.encode("latin-1")
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            shown = raw.decode("utf-8", "backslashreplace")
            raise FormatError(path, f"entry {i}: the label '{shown}' is not UTF-8 text, which "
                              "a catalogue's strings must be") from None
        if "\0" in text:
            raise FormatError(path, f"entry {i}: the label holds a NUL byte, which no file name "
                              "and no catalogue string can hold")
        texts.append(text)
    return texts


def _split_extension(name):
    # The last extension, split as the tool splits it: dots that start the
    # name begin no extension ("..rep" has none, "rep." has ".").
    return os.path.splitext(name)


def _expand_reports(paths):
    """The report files to read, in order, and the shard reports missing.

    A sharded run writes the report of shard K of M as <stem>.K-of-M<ext>;
    a --report path that does not exist stands for all of them.
    """
    found, missing = [], []
    for path in map(str, paths):
        folder, name = os.path.split(path)
        try:
            entries = [] if os.path.lexists(path) else os.listdir(folder or ".")
        except OSError:
            entries = []
        stem, ext = _split_extension(name)
        pattern = re.compile(re.escape(stem) + r"\.([1-9][0-9]*)-of-([1-9][0-9]*)" + re.escape(ext))
        shards = {}
        for entry in entries:
            match = pattern.fullmatch(entry)
            if match:
                shards[int(match[1]), int(match[2])] = os.path.join(folder, entry)
        if not shards:
            found.append(path)  # read as it is, or named when it cannot be opened
            continue
        counts = sorted({m for _, m in shards})
        if len(counts) > 1:
            raise FormatError(path, "the shard reports beside it are of runs of "
                              + " and of ".join(map(str, counts)) + " shards; give the ones of "
                              "this run with --report")
        count = counts[0]
        for (k, m), shard in sorted(shards.items()):
            if k > m:
                raise FormatError(shard, f"names shard {k} of {m}, which does not exist")
        for k in range(1, count + 1):
            shard = os.path.join(folder, f"{stem}.{k}-of-{count}{ext}")
            (found if (k, count) in shards else missing).append(shard)
    return found, missing


def _escaped(name):
    """A name (bytes) as the report writes it: a tab or line end becomes a
    blank, any other control byte \\xHH."""
    out = bytearray()
    for byte in name:
        if byte in b"\t\n\r":
            out += b" "
        elif byte < 0x20 or byte == 0x7F:
            out += b"\\x%02x" % byte
        else:
            out.append(byte)
    return bytes(out)


def _read_reports(paths, names):
    """The report row of each job (its place in the run, from 0): (N,
    diagnostics, file, line) for a job done, _FAILED for one that failed.
    Later rows override earlier ones. Also the N of the run's reports and
    where it was read."""
    rows = {}
    for path in paths:
        try:
            with open(path, "rb") as stream:
                lines = stream.read().split(b"\n")
        except OSError as err:
            raise FormatError(path, f"cannot open: {err.strerror or err}") from None
        if lines[-1]:
            # The tool writes whole rows; a row without its line end was
            # cut short (a shard killed while writing it).
            raise FormatError(path, "the last row ends without a line end: it was cut short",
                              len(lines))
        lines = [line[:-1] if line.endswith(b"\r") else line for line in lines[:-1]]
        header = lines[0].split(b"\t") if lines else []
        columns = {c.decode("ascii", "replace"): i for i, c in enumerate(header)}
        lacking = [c for c in REPORT_COLUMNS if c not in columns]
        if lacking:
            raise FormatError(path, "not a phasefit report: the header lacks "
                              + ", ".join(sorted(lacking)), 1)
        for line_no, line in enumerate(lines[1:], 2):
            if not line or line == lines[0]:
                continue  # a blank line, or the header of another report after cat
            fields = line.split(b"\t")
            if len(fields) != len(header):
                raise FormatError(path, f"{len(fields)} fields, but the header has {len(header)}: "
                                  "the row is damaged", line_no)
            job, row = _report_row(path, line_no, {c: fields[i] for c, i in columns.items()},
                                   names)
            rows[job] = row
    n, where = None, None
    for row in rows.values():
        if row is _FAILED:
            continue
        if n is None:
            n, where = row[0], row
        elif row[0] != n:
            raise FormatError(row[2], f"N = {row[0]}, but '{where[2]}', line {where[3]} has "
                              f"N = {n}", row[3])
    return rows, n, (f"the report '{where[2]}' has" if where else None)


def _report_row(path, line_no, field, names):
    """The job of one report row (from 0) and what the row says of it:
    _FAILED, or (N, (rms, max, negative points, flag mask), path, line)."""
    job = field["job"]
    if not _DIGITS.fullmatch(job) or not 1 <= int(job) <= len(names):
        raise FormatError(path, f"job '{job.decode('ascii', 'backslashreplace')}' is not "
                          f"one of the run's jobs 1 to {len(names)}", line_no)
    job = int(job) - 1
    if field["data_file"] != _escaped(names[job]):
        shown = field["data_file"].decode("utf-8", "backslashreplace")
        want = _escaped(names[job]).decode("utf-8", "backslashreplace")
        raise FormatError(path, f"job {job + 1} is '{shown}' here but '{want}' in the run "
                          "lists: the report is not of this run", line_no)
    if field["status"] != b"ok":
        return job, _FAILED
    text = {c: v.decode("ascii", "replace") for c, v in field.items()}
    if not _DIGITS.fullmatch(field["N"]):
        raise FormatError(path, f"N '{text['N']}' is not an integer", line_no)
    mask = 0
    for flag in text["flags"].split(","):
        if flag == "-":
            continue
        if flag not in FLAG_MEANINGS:
            raise FormatError(path, f"unknown flag '{flag}'", line_no)
        mask |= 1 << FLAG_MEANINGS.index(flag)
    # A count of grid points; one that the catalogue's 32-bit integers
    # cannot hold is no count the tool wrote.
    negative = field["negative_points"]
    if not _DIGITS.fullmatch(negative) or int(negative) > np.iinfo(np.int32).max:
        raise FormatError(path, f"negative_points '{text['negative_points']}' is not a "
                          "count of grid points", line_no)
    try:
        diagnostics = (float(text["rms_deviation"]), float(text["max_deviation"]),
                       int(negative), mask)
    except ValueError:
        raise FormatError(path, "a diagnostic is not a number", line_no) from None
    return job, (int(field["N"]), diagnostics, path, line_no)


def _run_files(run, reports, missing_reports):
    """Every file that collect reads or that belongs to the run, with its
    role and whether collect reads it."""
    workdir, record = run.workdir, run.record
    for name, role in ((SIZE_LIST, "the size list"), (WAVELENGTH_LIST, "the wavelength list"),
                       (BAND_LIST, "the band list")):
        yield os.path.join(workdir, name), f"{role} {name}", True
    if record is not None:
        yield run.record_path, "the import record", True
    for path in reports:
        yield path, "a report (--report)", True
    for path in missing_reports:
        yield path, "the report of a shard", False
    tables = None
    if record is not None:
        tables = os.path.join(workdir, record.get("tables", {}).get("directory", "tables/"))
    for name, path in zip(run.names, run.paths):
        shown = os.fsdecode(name)
        yield path, f"the coefficient file of job {shown}", True
        if tables is not None:
            yield os.path.join(tables, shown), f"the table of job {shown}", False
    if not run.band_mode and any(is_reference_wavelength(w) for w in run.spectral):
        for size in run.sizes:
            name = f"WN_REF_RE_{size_digits(size)}.dat"
            yield os.path.join(run.output_dir, name), f"the reference copy {name}", False


def _catalogue_target(path):
    """The file a catalogue path names, symbolic links followed, and its
    status (None while it does not exist)."""
    target = os.path.realpath(path)
    try:
        info = os.stat(target)
    except FileNotFoundError:
        folder = os.path.dirname(target)
        if not os.path.isdir(folder):
            raise FormatError(path, f"cannot write: the folder '{folder}' does not exist") from None
        return target, None
    except (OSError, ValueError) as err:
        raise FormatError(path, f"cannot write: {getattr(err, 'strerror', None) or err}") from None
    if stat.S_ISDIR(info.st_mode):
        raise FormatError(path, "is a directory")
    if not stat.S_ISREG(info.st_mode):
        raise FormatError(path, "is not a regular file; a catalogue replaces the file it names, "
                          "so it is written only to a regular file or a new name")
    return target, info


def _identity(path):
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino


def _refuse_run_file(output, files):
    """Refuses a catalogue path that reaches a file of the run: by identity
    when it exists, by its folder and name while it does not."""
    target, info = _catalogue_target(output)

    def refuse(path, role, read):
        owner = "collect reads" if read else "belongs to the run"
        raise FormatError(output, f"the catalogue (-o) is also {role} ('{path}'), which {owner}; "
                          "choose another catalogue file")

    if info is not None:
        for path, role, read in files:
            if _identity(path) == (info.st_dev, info.st_ino):
                refuse(path, role, read)
        return
    folder, name = os.path.split(target)
    here, folders = _identity(folder), {}
    for path, role, read in files:
        try:
            os.stat(path)
            continue  # it exists, and the catalogue's file does not
        except FileNotFoundError:
            pass
        except (OSError, ValueError):
            continue
        # A symbolic link that points to no file yet stands for its target.
        entry_folder, entry_name = os.path.split(os.path.realpath(path) if os.path.islink(path)
                                                 else path)
        if entry_name != name:
            continue
        if entry_folder not in folders:
            folders[entry_folder] = _identity(entry_folder)
        if here is not None and folders[entry_folder] == here:
            refuse(path, role, read)


def _read_job_file(path):
    """A job's coefficient file, or "absent" or "empty"."""
    if not os.path.exists(path):
        return "absent"
    if os.path.isfile(path) and os.path.getsize(path) == 0:
        return "empty"
    return read_coefficients(path)


def read_run(directory, reports=(), keep_going=False, mode=None, history=None, output=None):
    """The catalogue of a run as an ``xarray.Dataset``, without writing it.

    ``directory`` is a working directory (holding INPUT/) or an output
    directory inside one; ``reports`` are --report files of the run (a path
    that does not exist stands for the reports of the shards of a sharded
    run, <stem>.K-of-M<ext>). Report rows belong to jobs by their ``job``
    column; a job that a report marks as failed holds the fill value. The
    order N is the reports' or, without them, that of most files. A file
    that cannot be read, or whose N differs, raises FormatError naming it
    and its line; with ``keep_going`` it is left out (its job holds the
    fill value) and listed in the attribute ``left_out``. ``output``, the
    catalogue's path, is refused before anything is read when it is a file
    of the run.
    """
    xr = require("xarray")

    run = _read_run_lists(directory, mode)
    report_paths, missing_reports = _expand_reports(reports)
    if output is not None:
        _refuse_run_file(output, _run_files(run, report_paths, missing_reports))
    rows, n, n_where = _read_reports(report_paths, run.names)
    jobs = _read_job_files(run, rows, keep_going)
    n = _run_order(jobs, n, n_where, run.output_dir, keep_going)
    raw = _encode(xr, run, _assemble(run, rows, jobs, n), n, bool(reports))
    raw.attrs = _attributes(run, jobs, n, history, keep_going,
                            report_paths if reports else None, missing_reports)
    return _indexed(xr.decode_cf(raw))


@dataclass
class _RunLists:
    """A run as its lists describe it: where it is, and every job's data
    file, in job order (spectral point by spectral point, sizes fastest)."""

    workdir: str
    output_dir: str
    band_mode: bool
    record: dict            # import.json, or None
    record_text: str
    record_path: str
    sizes: list
    size_bytes: bytes
    labels: list            # as the tool reads them, one character per byte
    spectral: list          # the wavelengths, or the band names as text
    spectral_bytes: bytes
    texts: list             # the labels as text
    names: list             # the data files' names, bytes
    paths: list             # and their paths


def _read_run_lists(directory, mode):
    workdir, output_dir, band_mode, record, record_text, record_path = _locate(directory, mode)
    sizes, size_bytes = read_size_list(workdir)
    labels, spectral, spectral_bytes = read_spectral_list(workdir, band_mode)
    texts = _label_texts(os.path.join(workdir, BAND_LIST if band_mode else WAVELENGTH_LIST),
                         labels)
    if band_mode:
        spectral = texts
    # The names as the tool forms them, byte for byte; the paths as the
    # operating system gives those bytes back.
    names = [data_file_name(label, size, band_mode).encode("latin-1")
             for label in labels for size in sizes]
    paths = [os.path.join(output_dir, os.fsdecode(name)) for name in names]
    return _RunLists(workdir, output_dir, band_mode, record, record_text, record_path, sizes,
                     size_bytes, labels, spectral, spectral_bytes, texts, names, paths)


@dataclass
class _JobFiles:
    """What each job's data file gave: by name, in job order, a
    CoefficientFile, a FormatError (left out), "absent" or "empty"."""

    found: dict
    absent: int
    empty: int
    failed: int             # jobs a report marks as failed

    def fits(self):
        return {name: fit for name, fit in self.found.items()
                if isinstance(fit, CoefficientFile)}

    def left_out(self):
        return [name for name, fit in self.found.items() if isinstance(fit, FormatError)]


def _read_job_files(run, rows, keep_going):
    jobs = _JobFiles({}, 0, 0, 0)
    for job, (name, path) in enumerate(zip(run.names, run.paths)):
        if job in rows and rows[job] is _FAILED:
            # Whatever file the job has is an earlier run's.
            jobs.failed += 1
            continue
        if name not in jobs.found:
            try:
                jobs.found[name] = _read_job_file(path)
            except FormatError as err:
                if not keep_going:
                    raise
                jobs.found[name] = err
        jobs.absent += jobs.found[name] == "absent"
        jobs.empty += jobs.found[name] == "empty"
    return jobs


def _run_order(jobs, n, n_where, output_dir, keep_going):
    """The run's order N: the reports' ``n`` or, without them, that of
    most files. A file of another N is refused, or with ``keep_going``
    left out."""
    fits = jobs.fits()
    if not fits:
        raise FormatError(output_dir, "no coefficient file of the run lists' jobs could be read")
    if n is None:
        # Without a report the run's order is that of most files, so that a
        # stale file stands out rather than setting it.
        (n, most), *other = collections.Counter(f.n for f in fits.values()).most_common()
        if other and other[0][1] == most:
            raise FormatError(output_dir, f"as many coefficient files have N = {n} as have "
                              f"N = {other[0][0]} ({most}); give the run's --report")
        n_where = f"{most} of {len(fits)} coefficient files have"
    for name, fit in fits.items():
        if fit.n != n:
            err = FormatError(fit.path, f"N = {fit.n}, but {n_where} N = {n}", 10)
            if not keep_going:
                raise err
            jobs.found[name] = err
    return n


def _assemble(run, rows, jobs, n):
    """The catalogue's arrays over (spectral, size), the fill value where a
    job has no value."""
    shape = (len(run.labels), len(run.sizes))
    values = {"coefficients": np.full(shape + (n + 1,), FLOAT_FILL, np.float32)}
    values.update({k: np.full(shape, FLOAT_FILL, np.float32) for k in ("ft", "Ce", "omega0", "g")})
    values.update({k: np.full(shape, DOUBLE_FILL) for k in ("rms_deviation", "max_deviation")})
    values.update({k: np.full(shape, INT_FILL, np.int32) for k in ("negative_points", "flags")})
    for job, name in enumerate(run.names):
        i, j = divmod(job, len(run.sizes))
        row = rows.get(job)
        fit = jobs.found.get(name)
        if row is _FAILED or not isinstance(fit, CoefficientFile):
            continue
        # F12.7 text of magnitude below 10^4 lies far from any midpoint
        # of two singles, so one rounding of the double is exact.
        values["coefficients"][i, j] = fit.coefficients.astype(np.float32)
        for key, value in (("ft", fit.ft), ("Ce", fit.ce), ("omega0", fit.omega0),
                           ("g", fit.g)):
            values[key][i, j] = _single(value)
        if row is not None:
            for key, value in zip(("rms_deviation", "max_deviation", "negative_points", "flags"),
                                  row[1]):
                values[key][i, j] = value
    return values


def _encode(xr, run, values, n, with_reports):
    """The variables of the catalogue, encoded as the file holds them (fill
    values in place), in the file's order."""
    raw = xr.Dataset()
    if run.band_mode:
        raw["band"] = ("spectral", np.array(run.spectral, object), {"long_name": "band name"})
    else:
        raw["wavelength"] = ("spectral", np.array(run.spectral, float),
                             {"standard_name": "radiation_wavelength", "units": "um"})
    raw["label"] = ("spectral", np.array(run.texts, object),
                    {"long_name": "label of the spectral point in the data-file names"})
    raw["size"] = ("size", np.array(run.sizes, np.int32),
                   {"long_name": "particle size in the data-file names"})
    if run.record is not None:
        by_name = {entry["name"]: entry["value"] for entry in run.record.get("sizes", [])}
        physical = np.array([by_name.get(s, np.nan) for s in run.sizes], float)
        info = run.record.get("size", {})
        raw["physical_size"] = ("size", np.where(np.isnan(physical), FLOAT_FILL, physical)
                                .astype(np.float32),
                                {"long_name": info.get("long_name", "particle size"),
                                 "units": info.get("units", "unknown"), "_FillValue": FLOAT_FILL,
                                 "comment": "from import.json"})
    raw["moment"] = ("moment", np.arange(n + 1, dtype=np.int32), ATTRIBUTES["moment"])
    fill = {"_FillValue": FLOAT_FILL}
    raw["coefficients"] = (("spectral", "size", "moment"), values["coefficients"],
                           {**ATTRIBUTES["coefficients"], **fill})
    grid = ("spectral", "size")
    raw["ft"] = (grid, values["ft"], {**ATTRIBUTES["ft"], **fill})
    raw["Ce"] = (grid, values["Ce"],
                 {"long_name": "extinction (Ce) as given in the table's header", **fill})
    raw["omega0"] = (grid, values["omega0"],
                     {"long_name": "single-scattering albedo as given in the table's header",
                      "units": "1", **fill})
    raw["g"] = (grid, values["g"],
                {"long_name": "asymmetry parameter as given in the table's header", "units": "1",
                 **fill})
    if with_reports:
        for key in ("rms_deviation", "max_deviation"):
            raw[key] = (grid, values[key], {**ATTRIBUTES[key], "_FillValue": DOUBLE_FILL})
        raw["negative_points"] = (grid, values["negative_points"],
                                  {**ATTRIBUTES["negative_points"], "_FillValue": INT_FILL})
        # The fill value second, where catalogues have always had it.
        raw["flags"] = (grid, values["flags"],
                        {"long_name": None, "_FillValue": INT_FILL, **ATTRIBUTES["flags"]})
    return raw.set_coords([c for c in ("band", "wavelength", "label", "physical_size")
                           if c in raw])


def _attributes(run, jobs, n, history, keep_going, report_paths, missing_reports):
    """The catalogue's global attributes; ``report_paths`` is None when no
    report was given."""
    attrs = {
        "Conventions": "CF-1.10",
        "title": "phasefit delta-fit Legendre coefficients",
        "source": f"phasefit {__version__}",
        "history": history or (datetime.datetime.now(datetime.timezone.utc)
                               .strftime("%Y-%m-%dT%H:%M:%SZ") + " phasefit.read_run"),
        "phasefit_version": __version__,
        "expansion_order": np.int32(n),
        "spectral_mode": np.int32(1 if run.band_mode else 0),
        "coefficient_convention": CONVENTION,
        "output_directory": run.output_dir,
        # The lists' bytes as text; a byte that is not UTF-8 (it can stand
        # only where the tool never looks) is shown as \xHH.
        "run_list_sizes": run.size_bytes.decode("utf-8", "backslashreplace"),
        "run_list_spectral": run.spectral_bytes.decode("utf-8", "backslashreplace"),
        "jobs_without_file": np.int32(jobs.absent),
        "jobs_with_empty_file": np.int32(jobs.empty),
    }
    if run.record_text is not None:
        attrs["import_record"] = run.record_text
        attrs["tables_directory"] = os.path.join(run.workdir, run.record.get("tables", {})
                                                 .get("directory", "tables/"))
    if jobs.failed:
        attrs["jobs_failed"] = np.int32(jobs.failed)
    if report_paths is not None:
        attrs["reports"] = "; ".join(os.path.abspath(r) for r in report_paths)
    if missing_reports:
        attrs["reports_missing"] = "\n".join(os.path.abspath(r) for r in missing_reports)
    if keep_going:
        left_out = jobs.left_out()
        attrs["jobs_left_out"] = np.int32(len(left_out))
        attrs["left_out"] = "\n".join(str(jobs.found[name]) for name in left_out)
    return attrs


def _indexed(dataset):
    """``dataset`` with indexes on the coordinates along the spectral and
    size dimensions, so that ``.sel(wavelength=0.55)`` (or ``band=``,
    ``label=``) and ``.sel(size=10)`` (or ``physical_size=``) pick a job;
    the dimensions stay those of the file."""
    for name in ("wavelength", "band", "label", "physical_size"):
        if name in dataset.coords and name not in dataset.indexes:
            dataset = dataset.set_xindex(name)
    return dataset


def write_catalogue(dataset, path):
    """Writes ``dataset`` as read_run built it, replacing the file ``path``
    names (a symbolic link is followed) only once the whole file is written.
    A path that names something other than a regular file is refused."""
    target, _ = _catalogue_target(path)
    try:
        replace_atomically(target, lambda temporary: _write_apart(dataset, temporary),
                           prefix=f".{os.path.basename(target)}.")
    except (OSError, RuntimeError) as err:
        cause = err.strerror if isinstance(err, OSError) and err.strerror else err
        raise FormatError(path, f"cannot write: {cause}") from None


def _write_apart(dataset, path):
    # The netCDF library does not recover from a failed write (a full file
    # system): the failure leaves the file open inside HDF5, and the
    # process crashes when it exits. So a child process writes the file and
    # the failure, or the crash, comes back here as an error.
    if not hasattr(os, "fork"):
        _write_netcdf(dataset, path)
        return
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        status, message = 0, b""
        try:
            os.close(reader)
            _write_netcdf(dataset, path)
        except BaseException as err:
            status, message = 1, (str(err) or type(err).__name__).encode("utf-8", "replace")
        try:
            os.write(writer, message[:4096])
        finally:
            os._exit(status)
    os.close(writer)
    with os.fdopen(reader, "rb") as stream:
        message = stream.read().decode("utf-8", "replace")
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        raise RuntimeError(f"the netCDF writer ended with signal {os.WTERMSIG(status)}")
    if os.WEXITSTATUS(status) != 0:
        raise RuntimeError(message or "the netCDF writer failed")


def _write_netcdf(raw, path):
    netCDF4 = require("netCDF4")

    with netCDF4.Dataset(path, "w", format="NETCDF4") as out:
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


def open_catalogue(path):
    """A catalogue written by phasefit-collect, as an ``xarray.Dataset``
    (loaded; the file is closed)."""
    xr = require("xarray", "netCDF4")

    with xr.open_dataset(path) as dataset:
        return _indexed(dataset.load())


def entry(dataset, spectral, size, name=""):
    """The CoefficientFile of one job of a catalogue: ``spectral`` is a
    label (0p55), a band name or a wavelength, ``size`` the size of the
    file names."""
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
