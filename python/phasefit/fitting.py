"""The fit in-process: phase functions held in numpy or xarray arrays,
expanded by the tool's own code (the compiled module phasefit._fit) on
worker threads, into an xarray Dataset laid out as a catalogue.

    fit(phase, angles, order, dim=... or axis=...)  -> xarray.Dataset
    disort_inputs(dataset)                         -> unscaled g_l and f
    write_coefficient_file(path, result, ce=, omega0=, g=)

A result holds what a catalogue of phasefit-collect holds, under the same
names and attributes (coefficients(..., moment), ft, rms_deviation,
max_deviation, negative_points, flags), so either can be read by the same
code; and what the tool computes but does not write: the moments, the
coefficients before rescaling, and a few more diagnostics.
"""

import datetime
import importlib
import operator
import os

import numpy as np

from ._deps import require
from ._version import __version__
from .catalogue import ATTRIBUTES, CONVENTION

ANGLE_UNITS = ("deg", "rad", "cos")
ON_PAUSE = ("raise", "go")

# The variables beyond a catalogue's.
_MORE_ATTRIBUTES = {
    "moments": {
        "long_name": "normalised Legendre moment chi_l of the phase function, without the "
                     "factor 2l + 1", "units": "1",
        "comment": "P(mu) = sum_l (2l + 1) * chi_l * P_l(mu) on the quadrature grid; chi_0 = 1"},
    "fitted_coefficients": {
        "long_name": "Legendre coefficient before rescaling, without the factor 2l + 1",
        "units": "1",
        "comment": "chi_0 .. chi_2 at l = 0 .. 2, the fitted coefficients of degrees 3 .. N - 1, "
                   "and ft at l = N; c_l = (fitted_l - ft) / (1 - ft) in single precision"},
    "chi0_sum": {"long_name": "chi_0 summed over the grid before the moments were normalised",
                 "units": "1"},
    "extrapolated_points": {
        "long_name": "grid points outside the table's range of angles, where the resampling "
                     "continues the end interval's cubic", "units": "1"},
    "pauses": {"long_name": "numerical pauses the fit carried on past (on_pause='go')",
               "units": "1"},
}


class FitError(ValueError):
    """A phase function of the batch that the fit refuses.

    ``batch_index`` is its index among the batch dimensions (``()`` when
    there are none), ``index`` the index along the angle axis of the value
    to blame (None when no single value is), ``cause`` the library's one-line
    cause (a cause that names a row counts rows from 1, as the tool's
    diagnostics for a table do; ``index`` counts from 0). ``str(error)`` names both: ``phase function at spectral=1,
    size=0: value 17 is not finite (nan)``.
    """

    def __init__(self, where, cause, batch_index=(), index=None):
        self.batch_index = tuple(batch_index)
        self.index = index
        self.cause = cause
        super().__init__(f"{where}: {cause}")


def _module():
    """phasefit._fit, or ImportError saying how to get it."""
    name = f"{__package__}._fit"
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as err:
        if err.name != name:
            raise
        raise ImportError(
            "phasefit.fit needs the compiled module phasefit._fit, which this copy of the "
            "package lacks: build it (make build or make demo, with Debian's pybind11-dev and "
            "python3-dev) and import phasefit from <build>/python or from an installed "
            "PREFIX/share/phasefit/python", name=name) from None


def _default_workers():
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _real_array(data, what):
    array = np.asarray(data)
    if array.dtype.kind not in "biuf":
        raise ValueError(f"{what} must be real numbers, not {array.dtype}")
    return array


def _layout(xr, phase, angles, dim, axis):
    """(values with the angle axis last, angles as (1 or items, angles),
    batch dims, coordinates, attributes, angle dimension or axis)."""
    if isinstance(phase, xr.DataArray):
        if dim is None and axis is not None:
            dim = phase.dims[_axis(axis, phase.ndim)]
        if dim is None and isinstance(angles, xr.DataArray) and angles.ndim == 1:
            dim = angles.dims[0]
        if dim is None:
            raise ValueError("say which dimension of phase holds the angles: dim=NAME")
        if dim not in phase.dims:
            raise ValueError(f"phase has no dimension '{dim}' "
                             f"(it has {', '.join(map(str, phase.dims))})")
        batch = [d for d in phase.dims if d != dim]
        values = _real_array(phase.transpose(*batch, dim).values, "phase")
        coords = {name: c.variable for name, c in phase.coords.items() if dim not in c.dims}
        attrs = dict(phase.attrs)
        if isinstance(angles, xr.DataArray):
            if dim not in angles.dims or not set(angles.dims) <= set(phase.dims):
                raise ValueError(f"the angles' dimensions ({', '.join(map(str, angles.dims))}) "
                                 f"must include '{dim}' and be among those of phase")
            for d in angles.dims:
                if angles.sizes[d] != phase.sizes[d]:
                    raise ValueError(f"the angles have {angles.sizes[d]} entries along '{d}', "
                                     f"phase {phase.sizes[d]}")
            if angles.ndim == 1:
                angles = angles.values
            else:
                # Broadcast by dimension name only: coordinates are not aligned.
                angles = angles.variable.set_dims(dict(phase.sizes)).transpose(*batch, dim).values
        elif np.ndim(angles) > 1:
            angles = _move_angle_axis(angles, phase.ndim, phase.dims.index(dim))
        return values, angles, batch, coords, attrs, f"'{dim}'"
    if dim is not None:
        raise ValueError("dim names a dimension of an xarray.DataArray; "
                         "give axis= for a numpy array")
    values = _real_array(phase, "phase")
    if values.ndim == 0:
        raise ValueError("phase must have an angle axis; it is a scalar")
    position = _axis(-1 if axis is None else axis, values.ndim)
    values = np.moveaxis(values, position, -1)
    if isinstance(angles, xr.DataArray):
        angles = angles.values
    if np.ndim(angles) > 1:
        angles = _move_angle_axis(angles, values.ndim, position)
    batch = [f"dim_{i}" for i in range(values.ndim - 1)]
    return values, angles, batch, {}, {}, f"axis {position}"


def _move_angle_axis(angles, ndim, position):
    angles = np.asarray(angles)
    if angles.ndim != ndim:
        raise ValueError(f"angles must be 1-D or have the {ndim} dimensions of phase, "
                         f"not {angles.ndim}")
    return np.moveaxis(angles, position, -1)


def _axis(axis, ndim):
    try:
        position = operator.index(axis)
    except TypeError:
        raise ValueError(f"axis must be an integer, not {axis!r}") from None
    if not -ndim <= position < ndim:
        raise ValueError(f"axis {position} is out of range for phase of {ndim} dimensions")
    return position % ndim


def _angle_rows(angles, values, unit, angle_axis):
    """The angles as float32 rows, one shared or one per phase function,
    in the unit the library takes (degrees or cosines)."""
    angles = _real_array(angles, "angles")
    points = values.shape[-1]
    if angles.ndim == 0 or angles.shape[-1] != points:
        raise ValueError(f"phase has {points} values along {angle_axis}, the angles "
                         f"{'none' if angles.ndim == 0 else angles.shape[-1]}")
    if unit == "rad":
        # Degrees in double precision, then rounded to single once.
        angles = np.degrees(angles.astype(np.float64))
    angles = angles.astype(np.float32)
    if angles.ndim == 1:
        return angles.reshape(1, points)
    try:
        angles = np.broadcast_to(angles, values.shape)
    except ValueError:
        raise ValueError(f"angles of shape {angles.shape} (angle axis last) do not match phase "
                         f"of shape {values.shape}") from None
    return np.ascontiguousarray(angles).reshape(-1, points)


def fit(phase, angles, order, *, dim=None, axis=None, angle_unit="deg", workers=None,
        on_pause="raise", diagnostics=True):
    """The delta-fit expansion of every phase function in ``phase``, as an
    ``xarray.Dataset``.

    ``phase`` is a numpy array of any shape or an ``xarray.DataArray``.
    One of its axes holds the tabulated values at ``angles``: ``axis`` for
    a numpy array (the last by default), the dimension ``dim`` for a
    DataArray (by default the one dimension of ``angles`` when that is a
    DataArray). Every other axis is a batch axis: each phase function along
    it is fitted on its own. ``angles`` is 1-D (shared by all) or shaped
    like ``phase`` (one set per phase function; for a DataArray, any
    dimensions of phase that include ``dim``). The angles may come in any
    order and in any number from 2 to 100000; the tool's tables hold 498.

    ``angle_unit``: "deg" (degrees), "cos" (their cosines, converted as
    the tool converts a table of cosines, acos(x) * 180 / 3.1415925 in
    single precision) or "rad" (radians, converted to degrees in double
    precision as x * 180 / pi and then rounded to single precision once).

    Values and angles are rounded to float32 once, as they enter the fit
    (float64 input included): the whole computation runs in single
    precision, as the tool's. For float32 values equal to those the tool
    reads from a table's text, with angles in degrees or cosines, every
    array of the result is bit for bit the tool's; radians have no
    counterpart in the tool and no such promise.

    ``order`` is N, 3 .. 300. ``workers``: threads to run the batch on
    (default: the CPUs this process may use); the GIL is released while
    they run, and the result is the same for every count. ``on_pause``:
    "raise" refuses a phase function whose fit pauses (the SVD does not
    converge), "go" carries on as the tool's --on-pause=go does and flags
    it (resumed_after_pause, pauses). ``diagnostics``: also compute what the
    tool's --report writes (rms_deviation, max_deviation, negative_points,
    flags, chi0_sum, extrapolated_points); it costs about one more pass over
    the grid and changes no other value.

    The Dataset has the batch dimensions of ``phase`` (named dim_0, dim_1,
    ... for a numpy array) and ``moment`` (l = 0 .. N), the coordinates of
    a DataArray input that do not depend on the angle dimension, its
    attributes, and these variables:

        coefficients(..., moment)         c_l as the coefficient file holds them
        ft(...)                           the truncation factor
        moments(..., moment)              chi_0 .. chi_N of the phase function
        fitted_coefficients(..., moment)  before rescaling (see disort_inputs)
        pauses(...)                       numerical pauses carried on past
        rms_deviation, max_deviation, negative_points, flags, chi0_sum,
        extrapolated_points(...)          with diagnostics

    with the catalogue's names, attributes and convention (see
    phasefit.catalogue). A phase function the fit refuses (a non-finite
    value, two equal angles, a cosine outside [-1, 1], a pause under
    on_pause="raise", ...) raises FitError (a ValueError) naming its batch
    index and the cause; nothing is printed. When several are refused, the
    first in the batch's order is named.
    """
    xr = require("xarray")
    module = _module()
    try:
        n = operator.index(order)
    except TypeError:
        raise ValueError(f"order must be an integer, not {order!r}") from None
    if not module.MIN_ORDER <= n <= module.MAX_ORDER:
        raise ValueError(f"order {n} is outside {module.MIN_ORDER} .. {module.MAX_ORDER}")
    if angle_unit not in ANGLE_UNITS:
        raise ValueError(f"angle_unit must be one of {', '.join(ANGLE_UNITS)}, not {angle_unit!r}")
    if on_pause not in ON_PAUSE:
        raise ValueError(f"on_pause must be one of {', '.join(ON_PAUSE)}, not {on_pause!r}")
    if workers is None:
        workers = _default_workers()
    elif isinstance(workers, bool) or not isinstance(workers, (int, np.integer)) or workers < 1:
        raise ValueError(f"workers must be a positive integer, not {workers!r}")

    values, angles, batch, coords, attrs, angle_axis = _layout(xr, phase, angles, dim, axis)
    points = values.shape[-1]
    if not module.MIN_ANGLES <= points <= module.MAX_ANGLES:
        raise ValueError(f"phase has {points} values along {angle_axis}; the fit takes "
                         f"{module.MIN_ANGLES} .. {module.MAX_ANGLES}")
    shape = values.shape[:-1]
    rows = _angle_rows(angles, values, angle_unit, angle_axis)
    values = np.ascontiguousarray(values, dtype=np.float32).reshape(-1, points)

    arrays, failure = module.fit_batch(rows, values, n, angle_unit == "cos", on_pause == "go",
                                       bool(diagnostics), int(workers))
    if failure is not None:
        item, index, cause, refused = failure
        where = np.unravel_index(item, shape) if shape else ()
        where = tuple(int(i) for i in where)
        text = ("the phase function" if not shape else "phase function at "
                + ", ".join(f"{d}={i}" for d, i in zip(batch, where)))
        if not refused:
            raise (MemoryError if "bad_alloc" in cause else RuntimeError)(f"{text}: {cause}")
        raise FitError(text, cause, where, None if index < 0 else int(index))

    dataset = xr.Dataset(coords=coords)
    dataset["moment"] = ("moment", np.arange(n + 1, dtype=np.int32), ATTRIBUTES["moment"])
    for name in ("coefficients", "ft", "moments", "fitted_coefficients", "pauses",
                 "rms_deviation", "max_deviation", "negative_points", "flags", "chi0_sum",
                 "extrapolated_points"):
        if name not in arrays:
            continue
        data = arrays[name]
        per_moment = data.ndim == 2
        dims = tuple(batch) + (("moment",) if per_moment else ())
        data = data.reshape(shape + ((n + 1,) if per_moment else ()))
        # The flags' names are the catalogue's (FLAG_MEANINGS), which the
        # tests hold equal to the library's.
        attributes = ATTRIBUTES.get(name) or _MORE_ATTRIBUTES[name]
        dataset[name] = (dims, data, dict(attributes))

    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    history = f"{now} phasefit.fit (N = {n}, angle_unit = {angle_unit}, on_pause = {on_pause})"
    if attrs.get("history"):
        history = f"{attrs['history']}\n{history}"
    dataset.attrs = {
        **attrs,
        "Conventions": "CF-1.10",
        "title": "phasefit delta-fit Legendre coefficients",
        "source": f"phasefit {__version__}",
        "history": history,
        "phasefit_version": __version__,
        "expansion_order": np.int32(n),
        "coefficient_convention": CONVENTION,
    }
    return dataset


def disort_inputs(dataset):
    """What a solver that truncates by itself takes, as an ``xarray.Dataset``
    with the batch dimensions of ``dataset``: ``legendre_coefficients``
    (the unscaled expansion coefficients g_l, l = 0 .. N - 1, g_0 = 1,
    without the factor 2l + 1) and ``truncation_fraction`` (f).

    Such solvers (DISORT and its kind) rescale the coefficients themselves
    as (g_l - f) / (1 - f), which is c_l, the coefficient the tool writes.
    From a phasefit.fit result, g is exactly the fit before rescaling
    (fitted_coefficients: the moments chi_0 .. chi_2, the fitted values
    for l = 3 .. N - 1) and f is ft, so that rescaling in single
    precision gives back c_l. A catalogue holds only c_l (as the files
    show them, to seven decimals): there g is rebuilt as c_l (1 - ft) + ft
    in double precision and rounded to float32, which is close to the fit
    but not exact.
    """
    xr = require("xarray")
    n = int(dataset.sizes["moment"]) - 1
    f = dataset["ft"]
    if "fitted_coefficients" in dataset:
        g = dataset["fitted_coefficients"].isel(moment=slice(0, n))
        how = "the fit before rescaling (exact)"
    else:
        c = dataset["coefficients"].isel(moment=slice(0, n)).astype(np.float64)
        g = (c * (1.0 - f.astype(np.float64)) + f.astype(np.float64)).astype(np.float32)
        how = "rebuilt from the catalogue's c_l as c_l (1 - ft) + ft, rounded"
    g = g.copy()
    g.attrs = {"long_name": "Legendre expansion coefficient g_l before truncation, without "
                            "the factor 2l + 1 (g_0 = 1)", "units": "1", "comment": how}
    f = f.copy()
    f.attrs = {"long_name": "truncation fraction f: the solver rescales g_l to "
                            "(g_l - f) / (1 - f)", "units": "1"}
    return xr.Dataset({"legendre_coefficients": g, "truncation_fraction": f},
                      attrs={"expansion_order": np.int32(n)})


def write_coefficient_file(path, result, *, ce=None, omega0=None, g=None):
    """Writes the tool's coefficient file of one fitted phase function:
    ``result`` is a phasefit.fit result (or a catalogue) with no batch
    dimension left, for example ``ds.isel(spectral=0, size=2)``.

    ``ce``, ``omega0`` and ``g`` are the three values of the table header
    that the tool passes through (a catalogue's Ce, omega0 and g stand in
    when they are not given); each is rounded to float32, as the tool reads
    it. The file is written by the tool's own writer: from a fit() result
    it is byte for byte the tool's for the same table and header. A
    catalogue holds the files' text read back to float32, which prints the
    same seven decimals again wherever |c_l| < 1 (the usual case) but not
    always above. A value too wide for its field is written as asterisks,
    as the tool writes it.
    """
    module = _module()
    extra = [d for d in result["coefficients"].dims if d != "moment"]
    if extra:
        raise ValueError(f"a coefficient file holds one phase function; select one along "
                         f"{', '.join(map(str, extra))} first (result.isel(...))")
    header = {}
    for name, value, variable in (("ce", ce, "Ce"), ("omega0", omega0, "omega0"), ("g", g, "g")):
        if value is None and variable in result.data_vars:
            value = result[variable].values
        if value is None:
            raise ValueError(f"give {name}= (the table header's value the file passes through)")
        header[name] = float(np.float32(value))
    coefficients = np.asarray(result["coefficients"].values, dtype=np.float32)
    ft = np.float32(result["ft"].values)
    if np.isnan(coefficients).any() or np.isnan(ft):
        raise ValueError("the result has no coefficients here (NaN: the job left no file)")
    text = module.coefficient_file(coefficients.size - 1, header["ce"], header["omega0"],
                                   header["g"], float(ft), coefficients)
    with open(path, "w", encoding="ascii", newline="") as stream:
        stream.write(text)
