"""Scattering databases turned into a run directory of the tool.

Three source formats are read into one model, a ``Database``: P11 at the
table angles for every (wavelength, size), normalised so that half its
integral over the cosine is 1, and Ce, omega0 and g for each.

``isca``
    The ASCII layout of the Yang et al. (2013) ice database and of
    TAMUdust2020: ``isca.dat`` with 7 columns (wavelength in um, maximum
    dimension in um, volume, projected area, Qext, single-scattering albedo,
    g), one row per (wavelength, size) with the size varying fastest, and
    ``P11.dat``, whose first line lists the scattering angles (degrees) and
    whose following lines hold P11 at those angles in the same row order.
    Ce = Qext * projected area. The tables keep the file's angles.

``legendre-nc``
    netCDF Legendre series such as the OPAC files: a coefficient variable
    (default ``legcoef``) over a Stokes dimension, a Legendre dimension, the
    size dimension and the wavelength dimension, in any order, whose
    coefficients include the factor 2l + 1. P11 is summed from its series in
    double precision at the 498 angles of the database grid; g = c_1 / 3.
    The series ends at the first coefficient that is missing (a fill
    value), if all after it are missing too.

``tabulated-nc``
    netCDF with P11 tabulated on its own angle grid (default ``phase`` over
    ``theta``), such as pytrunc's phase matrices or the FullPhaseMatrix files
    of Baum et al. (2014) with variable names given as options. Off the 498
    database angles, P11 is interpolated linearly in log P11 against the
    angle (an interpolation, not the source's values); g is the source's
    when it names one, otherwise computed from the written table.

Normalisation: a series has its own (c_0, by which it is divided, exact); a
tabulated P11 is divided by half its integral over the cosine by the
trapezoid rule over the angles written, whatever convention the source
used (an integral of 2, 4 pi over the sphere, ...). The divisor of every
table is recorded.

netCDF dimensions are found from the coordinate variables (the wavelength,
size and angle variables' own dimensions); the names are never assumed.
Every other dimension of the phase variable must be placed: the Legendre
index, or the element dimension (Stokes) that --p11-index names or a text
variable labels with P11. Any other is refused rather than read at its
first index, which would drop the sizes or elements it holds.
A size or Ce, omega0 or g variable that is not named by an option and is not
in the file is treated as absent: one size 0, or Ce and omega0 written as
-1 (recorded as missing) and g computed from P11.
"""

from dataclasses import dataclass, field
import hashlib
import json
import math
import os

import numpy as np
from numpy.polynomial import legendre

from ._atomic import replace_atomically
from ._deps import require
from ._numbers import parse_number
from .errors import FormatError
from .naming import band_label, data_file_name, wavelength_label

# The 498 scattering angles of the ice and dust databases, in hundredths of
# a degree: 0.01 to 2, 0.05 to 5, 0.1 to 10, 0.5 to 15, 1 to 176 and 0.25 to
# 180 degrees.
_GRID_SEGMENTS = [(0, 200, 1), (200, 500, 5), (500, 1000, 10), (1000, 1500, 50),
                  (1500, 17600, 100), (17600, 18000, 25)]
DATABASE_ANGLES = np.concatenate(
    [np.arange(start, stop, step) for start, stop, step in _GRID_SEGMENTS] + [[18000]]) / 100.0
assert DATABASE_ANGLES.size == 498

FORMATS = ("isca", "legendre-nc", "tabulated-nc")
_UNITS_IN_UM = {"um": 1.0, "µm": 1.0, "μm": 1.0, "micron": 1.0, "microns": 1.0,
                "micrometer": 1.0, "micrometers": 1.0, "micrometre": 1.0, "micrometres": 1.0,
                "nm": 1e-3, "nanometer": 1e-3, "nanometers": 1e-3, "nanometre": 1e-3,
                "nanometres": 1e-3, "m": 1e6, "meter": 1e6, "meters": 1e6, "metre": 1e6,
                "metres": 1e6}


class ImportRefused(ValueError):
    """A database the import cannot turn into a run directory (not a file's
    fault: colliding labels, a selection the source lacks, an occupied
    directory)."""


@dataclass
class Database:
    format: str
    sources: list
    angle: np.ndarray            # degrees, the rows of every table
    wavelength: np.ndarray       # um, one per spectral point
    wavelength_text: list        # the shortest text of each wavelength (um) in the source's type
    size: np.ndarray             # physical size, one per size
    size_info: dict              # long_name, units, source of the size
    phase: np.ndarray            # (spectral, size, angle), normalised
    divisor: np.ndarray          # (spectral, size): what the source was divided by
    ce: np.ndarray               # (spectral, size); NaN where not in the source
    omega0: np.ndarray
    g: np.ndarray
    method: dict = field(default_factory=dict)
    source_index: np.ndarray = None  # (spectral, size): which of ``sources`` holds it
    source_method: list = None   # joined sources: each one's ``method``


def half_integral(angle, value):
    """Half the integral over the cosine by the trapezoid rule."""
    order = np.argsort(angle)
    mu = np.cos(np.radians(np.asarray(angle, float)[order]))
    v = np.asarray(value, float)[..., order]
    return 0.5 * np.sum((v[..., 1:] + v[..., :-1]) * (mu[:-1] - mu[1:]), axis=-1) / 2.0


def _single(values):
    """``values`` as the tool reads them: rounded to single precision."""
    with np.errstate(over="ignore"):
        return np.asarray(values, float).astype(np.float32)


def _overflows(values):
    """Where finite ``values`` become infinite in single precision."""
    return np.isfinite(values) & ~np.isfinite(_single(values))


def _unusable_row(values, divisor):
    """Why a P11 row whose half integral is not positive cannot be a
    table: divided by it, a row of zeros becomes NaN and a negative row
    changes sign."""
    if not np.any(values):
        return "is 0 at every angle: there is no phase function to normalise"
    if np.all(values <= 0):
        return "is negative at every angle: normalising would drop its sign"
    return (f"has half its integral over the cosine {divisor!r}, not positive: it cannot be "
            "normalised")


def _shortest(value, dtype):
    """The shortest text that reads back as ``value`` in its source type."""
    return np.format_float_positional(dtype(value), unique=True, trim="0")


# --- isca -----------------------------------------------------------------

def _numbers(path, line_no, text, count, what):
    fields = text.split()
    if len(fields) != count:
        raise FormatError(path, f"expected {count} numbers ({what}), found {len(fields)}", line_no)
    values = []
    for f in fields:
        try:
            # An exponent needs its letter here; NaN and Infinity are
            # read, to be refused below as values that are not finite.
            values.append(parse_number(f, allow_special=True, bare_exponent=False))
        except ValueError:
            raise FormatError(path, f"'{_cut(f)}' is not a number", line_no) from None
    for k, v in enumerate(values):
        if not math.isfinite(v):
            raise FormatError(path, f"value {k + 1} ({_cut(fields[k])}) is not finite", line_no)
    return values, fields


def _cut(field, limit=40):
    """A field of the source for a message; a long one (a whole line of
    comma-separated numbers is one field) is cut."""
    return field if len(field) <= limit else f"{field[:limit]}... ({len(field)} characters)"


def _lines(path):
    try:
        with open(path, encoding="ascii", errors="replace") as stream:
            return [(k, t) for k, t in enumerate(stream.read().splitlines(), 1) if t.strip()]
    except OSError as err:
        raise FormatError(path, f"cannot open: {err.strerror or err}") from None


def read_isca(sources):
    """isca.dat and P11.dat, given as the two files or their folder."""
    if len(sources) == 1 and os.path.isdir(sources[0]):
        sources = [os.path.join(sources[0], "isca.dat"), os.path.join(sources[0], "P11.dat")]
    phase_files = [s for s in sources if os.path.basename(s).lower().startswith("p11")]
    if len(sources) != 2 or len(phase_files) != 1:
        raise ImportRefused("isca needs two sources, isca.dat and P11.dat (or their folder)")
    phase_path = phase_files[0]
    isca_path = next(s for s in sources if s != phase_path)

    rows = [(k, *_numbers(isca_path, k, t, 7, "wavelength, maximum dimension, volume, "
                          "projected area, Qext, albedo, g")) for k, t in _lines(isca_path)]
    if not rows:
        raise FormatError(isca_path, "no rows")
    angle, phase, phase_lines = _p11_rows(phase_path, isca_path, len(rows))
    grid = _isca_grid(isca_path, rows)
    n_size = grid.shape[1]
    phase = phase.reshape(grid.shape[0], n_size, 498)
    divisor = half_integral(angle, phase)
    for w, s in np.argwhere(~(divisor > 0)):
        raise FormatError(phase_path, f"P11 of wavelength {grid[w, s, 0]!r} um, size "
                          f"{grid[w, s, 1]!r} " + _unusable_row(phase[w, s], divisor[w, s]),
                          phase_lines[1 + w * n_size + s][0])
    return Database(
        format="isca", sources=[isca_path, phase_path], angle=angle,
        wavelength=grid[:, 0, 0], wavelength_text=[repr(float(w)) for w in grid[:, 0, 0]],
        size=grid[0, :, 1],
        size_info={"long_name": "maximum dimension", "units": "um",
                   "source": f"column 2 of {isca_path}"},
        phase=phase / divisor[..., None], divisor=divisor,
        ce=grid[:, :, 4] * grid[:, :, 3], omega0=grid[:, :, 5], g=grid[:, :, 6],
        method={"phase_function": f"P11 as tabulated in {phase_path}, at its own angles",
                "ce": "Qext (column 5) times projected area (column 4)",
                "normalisation": "divided by half its integral over the cosine (trapezoid rule "
                                 "over the 498 angles)"})


def _p11_rows(phase_path, isca_path, count):
    """The angles of P11.dat, its ``count`` rows of P11 (one per row of
    isca.dat) and its lines (number, text)."""
    phase_lines = _lines(phase_path)
    if not phase_lines:
        raise FormatError(phase_path, "no angle line")
    first_no, first = phase_lines[0]
    angle_count = len(first.split())
    angle = np.array(_numbers(phase_path, first_no, first, angle_count, "the angles")[0])
    if angle_count != 498:
        raise FormatError(phase_path, f"the angle line lists {angle_count} angles; a table has 498",
                          first_no)
    if len(phase_lines) - 1 != count:
        raise FormatError(phase_path, f"{len(phase_lines) - 1} rows of P11 after the angle line, "
                          f"but {isca_path} has {count} rows")
    # The tool reads the tables in single precision: angles that become
    # one there leave its interpolation undefined.
    written = _single([float(f"{a:.9g}") for a in angle])
    order = np.argsort(written, kind="stable")
    same = np.flatnonzero(np.diff(written[order]) == 0)
    if same.size:
        i, j = sorted(order[same[0]:same[0] + 2])
        raise FormatError(phase_path, f"angles {i + 1} and {j + 1} ({angle[i]!r} and {angle[j]!r}) "
                          "are equal as the tool reads them (in single precision); a table needs "
                          "distinct angles", first_no)
    phase = np.array([_numbers(phase_path, k, t, 498, "P11 at the angles")[0]
                      for k, t in phase_lines[1:]])
    big = np.argwhere(_overflows(phase))
    if big.size:
        r, c = big[0]
        raise FormatError(phase_path, f"value {c + 1} ({phase_lines[1 + r][1].split()[c]}) is "
                          "beyond single precision, which the tool reads", phase_lines[1 + r][0])
    return angle, phase, phase_lines


def _isca_grid(isca_path, rows):
    """The rows of isca.dat as (wavelength, size, column). The size varies
    fastest: the first block of equal wavelengths gives the sizes, and
    every block must repeat them."""
    values = np.array([r[1] for r in rows])
    n_size = int(np.argmax(values[:, 0] != values[0, 0])) or len(rows)
    if len(rows) % n_size:
        raise FormatError(isca_path, f"{len(rows)} rows do not make whole blocks of the "
                          f"{n_size} sizes of the first wavelength")
    grid = values.reshape(-1, n_size, 7)
    for w in range(grid.shape[0]):
        for s in range(n_size):
            line_no = rows[w * n_size + s][0]
            if grid[w, s, 0] != grid[w, 0, 0]:
                raise FormatError(isca_path, f"wavelength {grid[w, s, 0]!r} inside the block of "
                                  f"{grid[w, 0, 0]!r} (the size varies fastest)", line_no)
            if grid[w, s, 1] != grid[0, s, 1]:
                raise FormatError(isca_path, f"size {grid[w, s, 1]!r} where the first block has "
                                  f"{grid[0, s, 1]!r}", line_no)
    return grid


# --- netCDF ---------------------------------------------------------------

class _NetCDF:
    """One netCDF source: variables by name with their dimensions."""

    def __init__(self, path):
        netCDF4 = require("netCDF4")

        self.path = path
        try:
            self.file = netCDF4.Dataset(path)
        except OSError as err:
            raise FormatError(path, f"cannot open as netCDF: {err.strerror or err}") from None

    def has(self, name):
        return name in self.file.variables

    def variable(self, name, role):
        if name not in self.file.variables:
            raise FormatError(self.path, f"no variable '{name}' ({role}); the file has "
                              + ", ".join(f"'{v}'" for v in self.file.variables))
        return self.file.variables[name]

    def values(self, variable, role=None):
        """The values as doubles, missing ones (fill values) as NaN."""
        if getattr(variable.dtype, "kind", None) not in ("f", "i", "u"):
            raise FormatError(self.path, f"variable '{variable.name}'"
                              + (f" ({role})" if role else "") + " holds text, not numbers")
        data = variable[...]
        return np.ma.filled(np.ma.asarray(data).astype(float), np.nan)

    def coordinate(self, name, role, required):
        """A 0-d or 1-d coordinate: (values, its dimension or None, variable);
        (None, None, None) when it is absent and not required."""
        if not required and not self.has(name):
            return None, None, None
        variable = self.variable(name, role)
        if variable.ndim > 1:
            raise FormatError(self.path, f"variable '{name}' ({role}) has dimensions "
                              f"{variable.dimensions}; it needs at most one")
        values = np.atleast_1d(self.values(variable, role))
        if not values.size:
            raise FormatError(self.path, f"variable '{name}' ({role}) has no values (dimension "
                              f"'{variable.dimensions[0]}' has length 0)")
        _finite(self.path, name, values)
        return values, (variable.dimensions[0] if variable.ndim else None), variable

    def field_on(self, name, role, dims, required):
        """A variable over some of ``dims`` (wavelength, size), broadcast to
        (wavelength, size); None when absent and not required."""
        if not required and not self.has(name):
            return None
        variable = self.variable(name, role)
        extra = [d for d in variable.dimensions if d not in dims or d is None]
        if extra:
            raise FormatError(self.path, f"variable '{name}' ({role}) has dimension '{extra[0]}', "
                              f"which is neither the wavelength's nor the size's")
        return _arrange(self.values(variable, role), variable.dimensions, dims)


def _arrange(values, have, want):
    """``values`` over dimensions ``have`` rearranged to ``want`` (names or
    None), missing dimensions broadcast with length 1."""
    order = [have.index(d) for d in want if d is not None and d in have]
    rest = [k for k in range(len(have)) if k not in order]
    moved = np.transpose(values, order + rest)
    shape = []
    it = iter(moved.shape)
    for d in want:
        shape.append(next(it) if d is not None and d in have else 1)
    return moved.reshape(shape + list(moved.shape[len(order):]))


def _finite(path, name, values, where=""):
    bad = np.argwhere(~np.isfinite(values))
    if bad.size:
        index = tuple(int(i) for i in bad[0])
        raise FormatError(path, f"variable '{name}'{where} holds NaN or a missing value at index "
                          f"{index if len(index) > 1 else index[0]}")


def _wavelength_um(source, variable, values, unit):
    text = unit or getattr(variable, "units", "um")
    scale = _UNITS_IN_UM.get(str(text).strip().lower())
    if scale is None:
        raise FormatError(source.path, f"variable '{variable.name}' has units '{text}', which are "
                          "not a length the import knows; give --wavelength-unit")
    if scale == 1.0:
        return values, [_shortest(v, variable.dtype.type if variable.dtype.kind == "f" else float)
                        for v in values]
    um = values / 1000.0 if scale == 1e-3 else values * scale
    return um, [_shortest(v, float) for v in um]


def _p11_label(source, dim):
    """Where a text variable labels ``dim``: the position of its label P11,
    or -1 when it has none; None for a dimension without text labels."""
    labels = source.file.variables.get(dim)
    if labels is None or labels.dtype != str:
        return None
    names = [str(x).strip().upper() for x in labels[:]]
    return names.index("P11") if "P11" in names else -1


def _place_dimensions(source, variable, roles, tabulated, options, absent_size):
    """The Legendre dimension (None for a tabulated P11), the element
    dimension (None when there is none) and the position of P11 along it.

    ``roles`` maps the wavelength, size and angle dimensions found from
    their coordinates to what they hold. Every other dimension of the phase
    variable must be placed: the Legendre index, or the element dimension
    named by --p11-index or labelled P11 by a text variable. Taking an
    unplaced one at its first index would drop the sizes or elements it
    holds without a word.
    """
    path, name, dims = source.path, variable.name, variable.dimensions
    rest = [d for d in dims if d not in roles]
    element = getattr(options, "p11_dimension", None)
    if element is not None and element not in rest:
        held = (f"holds the {roles[element]} of '{name}'" if element in roles
                else f"'{name}' does not have (it has {tuple(dims)})")
        raise FormatError(path, f"--p11-index names dimension '{element}', which {held}")
    beyond = "wavelength, size and " + ("angle" if tabulated else "Legendre")

    def size_hint(which):
        return (f"if {which} holds the sizes, name their variable with --size (the file has no "
                f"variable '{absent_size}'); " if absent_size else "")

    labels = {d: _p11_label(source, d) for d in rest}
    legendre = None
    if not tabulated:
        legendre = options.legendre_dimension
        if legendre is None:
            candidates = [d for d in rest if d != element and labels[d] is None]
            if len(candidates) != 1:
                raise FormatError(path, f"cannot tell the Legendre dimension of '{name}' among "
                                  f"{tuple(candidates)}: name it with --legendre-dimension; "
                                  + size_hint("one")
                                  + "to take one element of another, give --p11-index DIM=K")
            legendre = candidates[0]
        elif legendre not in rest or legendre == element:
            raise FormatError(path, f"variable '{name}' has no dimension '{legendre}' besides "
                              f"wavelength and size (it has {tuple(dims)})")
    left = [d for d in rest if d not in (legendre, element)]
    if element is None and left:
        labelled = [d for d in left if labels[d] is not None]
        if len(labelled) == 1:
            element = labelled[0]
        elif len(left) == 1 and options.p11_index is not None:
            element = left[0]
        if element is not None:
            left.remove(element)
    if left:
        d = left[0]
        raise FormatError(path, f"variable '{name}' has dimension '{d}' (length "
                          f"{len(source.file.dimensions[d])}) beyond its {beyond} dimensions; "
                          + size_hint("it") + f"to take one element of it, give --p11-index {d}=K")
    if element is None:
        return legendre, None, None
    index = options.p11_index if options.p11_index is not None else labels[element]
    if index == -1:
        raise FormatError(path, f"the labels of dimension '{element}' of '{name}' have no P11; "
                          f"give --p11-index {element}=K")
    if not 0 <= index < len(source.file.dimensions[element]):
        raise FormatError(path, f"--p11-index {index} is outside dimension '{element}'")
    return legendre, element, index


def _read_netcdf(path, options, tabulated):
    """One netCDF source: a Legendre series, or with ``tabulated`` P11 on
    an angle grid of its own."""
    source = _NetCDF(path)
    wavelength, wl_dim, wl_var = source.coordinate(options.wavelength, "wavelength", True)
    wavelength, wl_text = _wavelength_um(source, wl_var, wavelength, options.wavelength_unit)
    size, size_dim, size_var, size_info = _sizes(source, options)
    variable = source.variable(options.phase, "the phase function")
    roles, angle, angle_dim = _dimension_roles(source, options, variable, wl_dim, size_dim,
                                               tabulated)
    legendre_dim, stokes_dim, p11 = _place_dimensions(
        source, variable, roles, tabulated, options,
        None if size_var is not None else options.size)

    dims = list(variable.dimensions)
    data = source.values(variable, "the phase function")
    if stokes_dim is not None:
        data = np.take(data, p11, axis=dims.index(stokes_dim))
        dims.remove(stokes_dim)
    last = angle_dim if tabulated else legendre_dim
    data = _arrange(data, tuple(dims), (wl_dim, size_dim, last))
    data = np.broadcast_to(data, (wavelength.size, size.size, data.shape[-1]))

    ce, omega0, g, method = _bulk_fields(source, options, (wl_dim, size_dim),
                                         (wavelength.size, size.size))
    if tabulated:
        phase, divisor, g = _tabulated_phase(path, options, angle, data, g, method)
    else:
        phase, divisor, g = _series_phase(path, options, data, g, method)
    nan = np.full((wavelength.size, size.size), np.nan)
    return Database(
        format="tabulated-nc" if tabulated else "legendre-nc", sources=[path],
        angle=DATABASE_ANGLES, wavelength=wavelength, wavelength_text=wl_text, size=size,
        size_info=size_info, phase=phase, divisor=divisor,
        ce=nan if ce is None else np.array(ce), omega0=nan if omega0 is None else np.array(omega0),
        g=np.array(g), method=method)


def _sizes(source, options):
    """The sizes, their dimension (None for none), variable and record; one
    size 0 when the source has no size variable and none is named."""
    size, size_dim, size_var = source.coordinate(options.size, "size", options.size_given)
    if size is None:
        return np.zeros(1), None, None, {"long_name": "none (the source has one size)",
                                         "units": "1", "source": "none"}
    return size, size_dim, size_var, {
        "long_name": getattr(size_var, "long_name", options.size),
        "units": getattr(size_var, "units", "unknown"),
        "source": f"variable '{options.size}' of {source.path}"}


def _dimension_roles(source, options, variable, wl_dim, size_dim, tabulated):
    """The dimensions of the phase variable that its coordinates place
    (wavelengths, sizes and, when ``tabulated``, scattering angles), by
    name; and the angles in degrees and their dimension (None, None for a
    series). Every one must be a dimension of the phase variable, and
    none may be empty."""
    path, dims = source.path, variable.dimensions
    roles = {}
    if wl_dim is not None:
        roles[wl_dim] = "wavelengths"
    if size_dim is not None:
        if size_dim in roles:
            raise FormatError(path, f"the wavelengths '{options.wavelength}' and the sizes "
                              f"'{options.size}' share dimension '{size_dim}'; the import needs "
                              "a grid, with the sizes on a dimension of their own")
        roles[size_dim] = "sizes"
    angle, angle_dim = None, None
    if tabulated:
        angle, angle_dim, angle_var = source.coordinate(options.angle, "scattering angle", True)
        if angle_dim is None:
            raise FormatError(path, f"variable '{options.angle}' (scattering angle) has no dimension")
        if angle_dim in roles:
            raise FormatError(path, f"the scattering angles '{options.angle}' and the "
                              f"{roles[angle_dim]} share dimension '{angle_dim}'")
        if "rad" in str(getattr(angle_var, "units", "")).lower():
            angle = np.degrees(angle)
        roles[angle_dim] = "scattering angles"
    for d in roles:
        if d not in dims:
            raise FormatError(path, f"variable '{options.phase}' has dimensions {tuple(dims)}, "
                              f"without '{d}'")
    for d in dims:
        if not len(source.file.dimensions[d]):
            raise FormatError(path, f"variable '{options.phase}' has no values: dimension '{d}' "
                              "has length 0")
    return roles, angle, angle_dim


def _bulk_fields(source, options, field_dims, shape):
    """Ce (times the projected area when one is named), omega0 and g over
    (wavelength, size), each None when the source lacks it; and how Ce and
    omega0 were obtained."""
    def bulk(name, role, given):
        if name is None:
            return None
        values = source.field_on(name, role, field_dims, given)
        if values is None:
            return None
        values = np.broadcast_to(values, shape)
        _finite(source.path, name, values)
        return values

    ce = bulk(options.extinction, "extinction", options.extinction_given)
    area = bulk(options.area, "projected area", options.area is not None)
    omega0 = bulk(options.albedo, "single-scattering albedo", options.albedo_given)
    g = bulk(options.asymmetry, "asymmetry parameter", options.asymmetry is not None)
    if ce is not None and area is not None:
        ce = ce * area
    method = {"ce": (f"'{options.extinction}'" + (f" times '{options.area}'" if area is not None
                                                   else "")) if ce is not None
              else "not in the source: written as -1",
              "omega0": f"'{options.albedo}'" if omega0 is not None
              else "not in the source: written as -1"}
    return ce, omega0, g, method


def _tabulated_phase(path, options, angle, data, g, method):
    """The tables of a tabulated P11 on the 498 angles, their divisors and
    g (the source's, or computed from the tables); ``method`` records how."""
    phase, divisor, how = _resample(path, options.phase, angle, data)
    method["phase_function"] = how
    method["normalisation"] = ("divided by half its integral over the cosine (trapezoid "
                               "rule over the 498 angles written)")
    if g is None:
        mu = np.cos(np.radians(DATABASE_ANGLES))
        g = half_integral(DATABASE_ANGLES, phase * mu)
        method["g"] = "computed from the written table (trapezoid rule)"
    else:
        method["g"] = f"'{options.asymmetry}'"
    return phase, divisor, g


def _series_phase(path, options, data, g, method):
    """The tables summed from Legendre series, their divisors (c_0) and g
    (the source's, or the series'); ``method`` records how."""
    phase, divisor, g_series, terms = _sum_series(path, options.phase, data)
    method["phase_function"] = (f"P11 summed from its Legendre series '{options.phase}' "
                                f"({min(terms)} to {max(terms)} terms) in double precision "
                                "at the 498 angles of the database grid")
    method["normalisation"] = "divided by the series' c_0 (exact)"
    method["g"] = "c_1 / (3 c_0) of the series" if g is None else f"'{options.asymmetry}'"
    return phase, divisor, g_series if g is None else g


def _sum_series(path, name, data):
    n_w, n_s, n_l = data.shape
    mu = np.cos(np.radians(DATABASE_ANGLES))
    phase = np.empty((n_w, n_s, DATABASE_ANGLES.size))
    divisor, g, terms = np.empty((n_w, n_s)), np.empty((n_w, n_s)), []
    for w in range(n_w):
        for s in range(n_s):
            c = data[w, s]
            missing = ~np.isfinite(c)
            count = int(np.argmax(missing)) if missing.any() else n_l
            # Missing values may only end the series.
            _finite(path, name, c[:count] if missing[count:].all() else c,
                    f" (wavelength {w}, size {s}) along the Legendre index")
            if count < 2 or not c[0] > 0:
                raise FormatError(path, f"variable '{name}' (wavelength {w}, size {s}) has no "
                                  "usable series (c_0 must be positive, c_1 present)")
            terms.append(count)
            divisor[w, s] = c[0]
            phase[w, s] = legendre.legval(mu, c[:count] / c[0])
            g[w, s] = c[1] / (3.0 * c[0])
    return phase, divisor, g, terms


def _resample(path, name, angle, data):
    order = np.argsort(angle)
    angle, data = angle[order], data[..., order]
    if np.any(np.diff(angle) <= 0):
        raise FormatError(path, f"the scattering angles of '{name}' repeat a value")
    _finite(path, name, data)
    big = np.argwhere(_overflows(data))
    if big.size:
        w, s, a = big[0]
        raise FormatError(path, f"variable '{name}' holds {data[w, s, a]!r} (wavelength {w}, size "
                          f"{s}, angle {angle[a]!r}), beyond single precision, which the tool reads")
    if angle.size == DATABASE_ANGLES.size and np.allclose(angle, DATABASE_ANGLES, rtol=0, atol=1e-6):
        phase, how = data, f"P11 as tabulated in '{name}' (the source has the 498 angles)"
    else:
        if angle[0] > 1e-6 or angle[-1] < 180 - 1e-6:
            raise FormatError(path, f"the angles of '{name}' span {angle[0]!r} to {angle[-1]!r} "
                              "degrees; a table needs 0 to 180 (no extrapolation)")
        if np.any(data <= 0):
            raise FormatError(path, f"variable '{name}' is 0 or negative at some angle, so it "
                              "cannot be interpolated in log P11")
        log = np.log(data)
        phase = np.exp(np.apply_along_axis(lambda v: np.interp(DATABASE_ANGLES, angle, v), -1, log))
        how = (f"P11 of '{name}' interpolated from its {angle.size} angles onto the 498 angles of "
               "the database grid, linearly in log P11 against the angle (an interpolation, "
               "not the source's values)")
    divisor = half_integral(DATABASE_ANGLES, phase)
    for w, s in np.argwhere(~(divisor > 0)):
        raise FormatError(path, f"variable '{name}' (wavelength {w}, size {s}) "
                          + _unusable_row(phase[w, s], divisor[w, s]))
    return phase / divisor[..., None], divisor, how


def read_database(format_name, sources, options):
    """Reads ``sources`` in ``format_name``; several netCDF sources are
    joined into one grid of wavelengths and sizes."""
    if format_name == "isca":
        return _in_memory(sources, read_isca, sources)
    parts = [_in_memory([path], _read_netcdf, path, options, format_name == "tabulated-nc")
             for path in sources]
    return parts[0] if len(parts) == 1 else _join(parts)


def _in_memory(sources, read, *arguments):
    """``read(*arguments)``; a source too large for memory is refused by
    name (the largest of ``sources``) instead of with a traceback."""
    try:
        return read(*arguments)
    except MemoryError:
        def size(path):
            try:
                return os.path.getsize(path)
            except OSError:
                return -1
        raise FormatError(max(sources, key=size), "too large to read into memory") from None


def _join(parts):
    wavelengths = sorted({float(w) for p in parts for w in p.wavelength})
    sizes = sorted({float(s) for p in parts for s in p.size})
    shape = (len(wavelengths), len(sizes))
    where = {}
    for k, part in enumerate(parts):
        for w, wl in enumerate(part.wavelength):
            for s, sz in enumerate(part.size):
                key = (wavelengths.index(float(wl)), sizes.index(float(sz)))
                if key in where:
                    raise ImportRefused(f"{part.sources[0]} and {parts[where[key][0]].sources[0]} "
                                        f"both hold wavelength {wl!r} um, size {sz!r}; import them "
                                        "separately")
                where[key] = (k, w, s)
    if len(where) != shape[0] * shape[1]:
        w, s = next((w, s) for w in range(shape[0]) for s in range(shape[1]) if (w, s) not in where)
        raise ImportRefused(f"no source holds wavelength {wavelengths[w]!r} um with size "
                            f"{sizes[s]!r}: the sources do not make a whole grid")
    def pick(attr):
        return np.array([[getattr(parts[where[w, s][0]], attr)[where[w, s][1], where[w, s][2]]
                          for s in range(shape[1])] for w in range(shape[0])])

    texts = {float(wl): t for p in parts for wl, t in zip(p.wavelength, p.wavelength_text)}
    first = parts[0]
    for part in parts[1:]:
        for key in ("long_name", "units"):
            if part.size_info[key] != first.size_info[key]:
                raise ImportRefused(f"the sizes of {first.sources[0]} and {part.sources[0]} differ "
                                    f"in {key} ('{first.size_info[key]}' and "
                                    f"'{part.size_info[key]}'); import them separately")
    # Each source says how its own tables were obtained (one may lack Ce
    # that another has); what all of them share stands for the tables.
    method = {}
    for key in dict.fromkeys(k for p in parts for k in p.method):
        held = [p.method.get(key) for p in parts]
        method[key] = (held[0] if all(h == held[0] for h in held)
                       else "differs between the sources: see each source's provenance")
    size_sources = list(dict.fromkeys(p.size_info["source"] for p in parts))
    return Database(
        format=first.format, sources=[p.sources[0] for p in parts], angle=first.angle,
        wavelength=np.array(wavelengths), wavelength_text=[texts[w] for w in wavelengths],
        size=np.array(sizes), size_info=dict(first.size_info, source="; ".join(size_sources)),
        phase=pick("phase"), divisor=pick("divisor"), ce=pick("ce"), omega0=pick("omega0"),
        g=pick("g"), method=method,
        source_index=np.array([[where[w, s][0] for s in range(shape[1])] for w in range(shape[0])]),
        source_method=[p.method for p in parts])


# --- selection, names and the run directory --------------------------------

def _select(values, wanted, what):
    if not wanted:
        return list(range(len(values)))
    chosen = []
    for v in wanted:
        near = [k for k, x in enumerate(values) if abs(x - v) <= 1e-5 * max(abs(v), 1e-3)]
        if not near:
            closest = sorted(values, key=lambda x: abs(x - v))[:2]
            raise ImportRefused(f"the source has no {what} {v!r} (the nearest: "
                                + ", ".join(repr(float(c)) for c in closest) + ")")
        if near[0] in chosen:
            raise ImportRefused(f"{what} {v!r} is selected twice")
        chosen.append(near[0])
    return chosen


def size_names(sizes):
    """The three-digit names of physical sizes: the rounded sizes when they
    are distinct and 0 to 999, otherwise the sizes' indices."""
    rounded = [math.floor(s + 0.5) for s in sizes]
    if len(set(rounded)) == len(rounded) and all(0 <= r <= 999 for r in rounded):
        return rounded, "the size rounded to an integer"
    if len(sizes) > 1000:
        raise ImportRefused(f"{len(sizes)} sizes do not fit three digits; import at most 1000 "
                            "with --sizes")
    return list(range(len(sizes))), "the index of the size (0 for the first)"


def spectral_labels(texts, band_mode):
    """The tool's labels of the wavelengths given as ``texts``; colliding
    labels are refused."""
    if band_mode:
        labels = [band_label(t) for t in texts]
        for t, label in zip(texts, labels):
            if label != t or any(c in t for c in " \t,/'\"") or not t:
                raise ImportRefused(f"the wavelength text '{t}' cannot be a band name (at most 30 "
                                    "characters, no blank, comma, slash or quote)")
    else:
        labels = [wavelength_label(float(t)) for t in texts]
        if any(set(label) == {"*"} for label in labels):
            raise ImportRefused("a wavelength is too wide for F10.2 in the file names; use --bands")
    seen = {}
    for t, label in zip(texts, labels):
        if label in seen:
            raise ImportRefused(f"wavelengths {seen[label]} and {t} um both get the label {label} "
                                "in the file names (F10.2); select one with --wavelengths, or "
                                "name the tables after the source's labels with --bands")
        seen[label] = t
    return labels


def _checksum(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _table_text(angle, phase, wavelength, size, source_number, ce, omega0, g):
    # Three numbers the tool ignores (wavelength, size, source number), then
    # Ce, omega0 and g; nine significant digits, which carry every float
    # the tool reads.
    header = f"{wavelength} {size!r} {source_number}\n{ce:.8E} {omega0:.8E} {g:.8E}\n"
    return header + "".join(f"{a:>10.9g} {v:.8E}\n" for a, v in zip(angle, phase))


_HEADER_NAMES = ("wavelength", "size", "source number", "Ce", "omega0", "g")


def _readable(text, database, source, what):
    """Refuses a table the tool would refuse on reading it: a number that
    is not finite or overflows in single precision."""
    values = np.array(text.split(), float)
    bad = np.flatnonzero(~np.isfinite(_single(values)))
    if not bad.size:
        return
    k = int(bad[0])
    if database.format == "isca":
        path = database.sources[0 if k < 6 else 1]
    else:
        path = database.sources[source]
    name = _HEADER_NAMES[k] if k < 6 else f"{'angle' if k % 2 == 0 else 'P11'} of row {(k - 4) // 2}"
    raise FormatError(path, f"{what}: {name} {text.split()[k]} is not a number the tool can read "
                      "(not finite in single precision)")


def _tables(database, w_index, s_index, labels, names, band_mode):
    """The tables of the selected wavelengths and sizes as (file name, text),
    each checked as the tool will read it, and the divisors that
    normalised them, by wavelength and size."""
    tables, divisors = [], []
    for w, label in zip(w_index, labels):
        row = []
        for s, name in zip(s_index, names):
            file = data_file_name(label, name, band_mode)
            ce, omega0 = (-1.0 if math.isnan(x) else float(x)
                          for x in (database.ce[w, s], database.omega0[w, s]))
            source = 0 if database.source_index is None else int(database.source_index[w, s])
            text = _table_text(database.angle, database.phase[w, s], database.wavelength_text[w],
                               float(database.size[s]), source + 1, ce, omega0,
                               float(database.g[w, s]))
            _readable(text, database, source,
                      f"the table {file} (wavelength {database.wavelength_text[w]} um, size "
                      f"{float(database.size[s])!r})")
            tables.append((file, text))
            row.append(float(database.divisor[w, s]))
        divisors.append(row)
    return tables, divisors


def write_run_directory(database, rundir, band_mode=False, wavelengths=(), sizes=(), order=64,
                        command_line=""):
    """Writes the run directory; returns the phasefit command to run in it.

    The directory is built beside ``rundir`` and renamed into place, so a
    failure leaves nothing behind; an existing ``rundir`` must be empty.
    """
    rundir = os.path.abspath(rundir)
    if os.path.lexists(rundir) and (not os.path.isdir(rundir) or os.listdir(rundir)):
        raise ImportRefused(f"'{rundir}' exists and is not an empty directory")
    parent = os.path.dirname(rundir)
    if not os.path.isdir(parent):
        raise ImportRefused(f"the folder '{parent}' for the run directory does not exist")
    w_index = _select(list(database.wavelength), wavelengths, "wavelength")
    s_index = _select(list(database.size), sizes, "size")
    texts = [database.wavelength_text[w] for w in w_index]
    labels = spectral_labels(texts, band_mode)
    names, naming = size_names([database.size[s] for s in s_index])
    mode = 1 if band_mode else 0
    command = f"phasefit --report report.tsv tables/ output/ {mode} {order}"

    tables, divisors = _tables(database, w_index, s_index, labels, names, band_mode)
    record = {
        "created_by": f"phasefit-import ({command_line})" if command_line else "phasefit-import",
        "format": database.format,
        "sources": [dict({"path": os.path.abspath(p), "sha256": _checksum(p),
                          "bytes": os.path.getsize(p)},
                         **({"provenance": database.source_method[k]}
                            if database.source_method else {}))
                    for k, p in enumerate(database.sources)],
        "spectral_mode": mode,
        "spectral": [{"label": label, "wavelength_um": float(t), "source_text": t}
                     for label, t in zip(labels, texts)],
        "size": dict(database.size_info, naming=naming),
        "sizes": [{"name": n, "value": float(database.size[s])} for n, s in zip(names, s_index)],
        "tables": {"directory": "tables/", "rows": f"{database.angle.size} angles in degrees",
                   "header": "wavelength (um), size, source number (ignored by the tool); "
                             "Ce, omega0, g", **database.method,
                   "normalisation_divisor": divisors},
        "output_directory": "output/",
        "command": command,
    }

    # Renaming replaces an empty directory in one step. Failures name
    # RUNDIR: the work folder is a name the user never gave (and may be
    # gone), and a failed write() names no file at all.
    def fill(work):
        _fill_run_directory(work, names, labels if band_mode else texts, band_mode, tables,
                            record)

    try:
        replace_atomically(rundir, fill, prefix=f".{os.path.basename(rundir)}.import-",
                           folder=True)
    except OSError as err:
        raise ImportRefused(f"cannot write the run directory '{rundir}': "
                            f"{err.strerror or err}") from None
    return command


def _fill_run_directory(work, sizes, spectral, band_mode, tables, record):
    """The run lists, the tables (name, text), the import record and an
    empty output folder, written into the folder ``work``."""
    for folder in ("INPUT", "tables", "output"):
        os.mkdir(os.path.join(work, folder))
    with open(os.path.join(work, "INPUT", "input_re.dat"), "w", encoding="ascii") as out:
        out.write(f"{len(sizes)}\n" + "".join(f"{n}\n" for n in sizes))
    spectral_list = "input_band.dat" if band_mode else "wl.dat"
    with open(os.path.join(work, "INPUT", spectral_list), "w", encoding="ascii") as out:
        out.write(f"{len(spectral)}\n" + "".join(f"{t}\n" for t in spectral))
    for file, text in tables:
        with open(os.path.join(work, "tables", file), "w", encoding="ascii") as out:
            out.write(text)
    with open(os.path.join(work, "import.json"), "w", encoding="utf-8") as out:
        json.dump(record, out, indent=1, ensure_ascii=False)
        out.write("\n")
