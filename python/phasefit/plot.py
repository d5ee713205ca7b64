"""The comparison plot and the text listing of a reconstruction.

Matplotlib runs on its Agg backend, so no display is needed.
"""

import contextlib
import csv
import io
import json
import os
import re
from dataclasses import dataclass, field

import numpy as np

from ._deps import require
from .reconstruct import relative_deviation, smooth_phase_function

# What each flag of the fit-quality report means for the picture's reader.
FLAG_WARNINGS = {
    "ft_outside_0_1": "ft < 0: the series holds more than all the scattering and a negative "
                      "delta term takes the excess back; see FLAGS in phasefit(1)",
    "ft_outside_0_1 at 1": "ft >= 1: the delta term takes all the scattering; the "
                           "coefficients are not usable",
    "negative_reconstruction": "the series is negative at some angles",
    "large_coefficient": "a coefficient exceeds 10 in magnitude",
    "extrapolated": "the table does not span the grid's angles; the fit saw extrapolated values",
    "renormalised": "the table was off its normalisation and was rescaled",
    "field_overflow": "a value did not fit its field in the coefficient file",
    "resumed_after_pause": "the fit went on after a numerical pause",
}
# The bound below which the report calls ft negative: half a unit in the
# sixth decimal of the file's F9.6 field.
_FT_NOISE = -5e-7
_LARGE_COEFFICIENT = 10.0


@dataclass
class Job:
    """What the title says about a job beyond its files: the spectral point
    and size (as text), and the flags, with where they came from (a report
    or a catalogue), or those the coefficient file itself shows."""

    spectral: str = ""
    size: str = ""
    flags: list = field(default_factory=list)
    flags_from: str = ""


def reconstruction_text(coefficient_file, table):
    """Angle (degrees, ascending) and P_smooth at the table's angles, as text
    with one commented header line."""
    order = np.argsort(table.angle, kind="stable")
    angle = table.angle[order]
    smooth = smooth_phase_function(coefficient_file, table.mu[order])
    lines = ["# angle_deg  p_smooth"]
    lines += [f"{a:12.6f}  {v:15.8e}" for a, v in zip(angle, smooth)]
    return "\n".join(lines) + "\n"


def plot_format(output_path):
    """The file a plot goes to and its format, from the name's extension
    (a name without one gets .png); ValueError for a format Matplotlib
    cannot write."""
    matplotlib = require("matplotlib")
    matplotlib.use("Agg")
    from matplotlib.backend_bases import FigureCanvasBase

    output_path = str(output_path)
    extension = os.path.splitext(output_path)[1][1:].lower()
    if not extension:
        extension = matplotlib.rcParams["savefig.format"]
        output_path = output_path.rstrip(".") + "." + extension
    formats = FigureCanvasBase.get_supported_filetypes()
    if extension not in formats:
        raise ValueError(f"no plot format '{extension}' (the formats: "
                         + ", ".join(sorted(formats)) + ")")
    return output_path, extension


def flags_of_file(coefficient_file):
    """The report's flags that the coefficient file alone shows."""
    flags = []
    if coefficient_file.ft < _FT_NOISE or coefficient_file.ft >= 1.0:
        flags.append("ft_outside_0_1")
    if np.nanmax(np.abs(coefficient_file.coefficients)) > _LARGE_COEFFICIENT:
        flags.append("large_coefficient")
    return flags


def job_of_file(coefficient_file):
    """The Job of a coefficient file: the spectral point and size from its
    name and, when it lies in the output folder of a run directory, from
    the run's import.json, and the flags from a report of the run
    (report*.tsv there) whose row matches the file's N and ft."""
    path = os.path.abspath(coefficient_file.path)
    name = os.path.basename(path)
    job = Job()
    match = re.fullmatch(r"(WVN_)?(.+)_DE_(\d{3})\.dat", name)
    if match:
        label, size = match.group(2), match.group(3)
        job.spectral = (f"{label.replace('p', '.', 1)} µm" if match.group(1)
                        else f"band {label}")
        job.size = f"size {size}"
    rundir = os.path.dirname(os.path.dirname(path))
    record = _json(os.path.join(rundir, "import.json"))
    if match and record:
        for entry in record.get("spectral", []):
            if entry.get("label") == match.group(2):
                job.spectral = f"{entry['wavelength_um']:g} µm"
                if not match.group(1):
                    job.spectral = f"band {entry['label']} ({job.spectral})"
        info = record.get("size", {})
        for entry in record.get("sizes", []):
            if f"{entry.get('name'):03d}" == match.group(3):
                job.size += f": {_size_text(info, entry['value'])}"
    row = _report_row(rundir, name, coefficient_file)
    if row is not None:
        job.flags = [] if row[1] == "-" else row[1].split(",")
        job.flags_from = row[0]
    else:
        job.flags = flags_of_file(coefficient_file)
        job.flags_from = "as the coefficient file shows them; no report found"
    return job


def job_of_catalogue(dataset, label, size, path):
    """The Job of one cell of a catalogue (phasefit-collect)."""
    from .catalogue import FLAG_MEANINGS

    cell = dataset.sel(label=label, size=size)
    job = Job(size=f"size {int(size):03d}")
    if "wavelength" in dataset.coords:
        job.spectral = f"{float(cell['wavelength']):g} µm"
    else:
        job.spectral = f"band {cell['band'].item()}"
    if "physical_size" in dataset.coords and np.isfinite(float(cell["physical_size"])):
        attrs = dataset["physical_size"].attrs
        job.size += ": " + _size_text(attrs, float(cell["physical_size"]))
    if "flags" in dataset and np.isfinite(float(cell["flags"])):
        mask = int(cell["flags"])
        job.flags = [f for k, f in enumerate(FLAG_MEANINGS) if mask & (1 << k)]
        job.flags_from = os.path.basename(path)
    return job


def truncated_region(angle, deviation, ft):
    """The forward angles whose peak the delta term replaces: from 0 to the
    first table angle where the series reaches the table, when the fit
    truncated anything (ft > 0) and falls short of the table at 0. None
    otherwise."""
    if not ft > 0 or not deviation[0] < 0:
        return None
    reached = np.nonzero(deviation >= 0)[0]
    return float(angle[reached[0]]) if reached.size else float(angle[-1])


def draw_comparison(coefficient_file, table, output_path, job=None):
    """Writes a PNG (or the format of the name's extension): the table and
    P_smooth on a logarithmic scale against the scattering angle, on a
    logarithmic angle axis that shows the forward peak (left) and a linear
    one (right), their relative deviation below with the truncated forward
    region marked, and a title naming the job, its flags and the files. The
    plot is drawn whole before the file is opened, and a file this call
    created is removed again when writing it fails."""
    output_path, extension = plot_format(output_path)
    import matplotlib.pyplot as plt

    if job is None:
        job = job_of_file(coefficient_file)
    order = np.argsort(table.angle, kind="stable")
    angle = table.angle[order]
    tabulated = table.value[order]
    smooth = smooth_phase_function(coefficient_file, table.mu[order])
    deviation = 100.0 * relative_deviation(smooth, tabulated)
    ft = coefficient_file.ft
    cut = truncated_region(angle, deviation, ft)
    # The smallest angle a logarithmic axis shows: the table's first one
    # above 0, and no more than 0.01 degrees.
    positive = angle[angle > 0]
    first = min(0.01, float(positive[0])) if positive.size else 0.01
    # The series is drawn on fine grids so its oscillations show, and
    # compared with the table at the table's own angles.
    fine = {"log": np.geomspace(first, 180.0, 2000), "linear": np.linspace(0.0, 180.0, 1801)}

    figure, axes = plt.subplots(2, 2, figsize=(12.0, 8.2), sharex="col",
                                gridspec_kw={"height_ratios": [3, 2]})
    for column, scale in enumerate(("log", "linear")):
        top, bottom = axes[0, column], axes[1, column]
        fine_angle = fine[scale]
        fine_smooth = smooth_phase_function(coefficient_file, np.cos(np.radians(fine_angle)))
        # A logarithmic value axis cannot show values at or below zero; the
        # series may dip there, so those points are left out.
        top.semilogy(angle, np.where(tabulated > 0, tabulated, np.nan), color="black",
                     linewidth=1.6, label="table")
        top.semilogy(fine_angle, np.where(fine_smooth > 0, fine_smooth, np.nan),
                     color="tab:red", linewidth=1.2, linestyle="--",
                     label=r"series $(1-f_t)\sum_{l=0}^{N-1}(2l+1)\,c_l\,P_l(\cos\theta)$")
        bottom.plot(angle, deviation, color="tab:blue", linewidth=1.2)
        bottom.axhline(0.0, color="black", linewidth=0.8)
        for ax in (top, bottom):
            ax.grid(True, which="major", alpha=0.4)
            if cut is not None:
                ax.axvspan(first if scale == "log" else 0.0, cut, color="0.85", zorder=0,
                           label=(f"forward peak replaced by the delta term\n"
                                  f"(ft = {ft:.4f} of the scattering, 0–{cut:.3g}°)"
                                  if ax is top else None))
        if scale == "log":
            top.set_title("forward peak (logarithmic angle)", fontsize=10)
            bottom.set_xscale("log")
            bottom.set_xlim(first, 180.0)
            top.set_ylabel("phase function")
            bottom.set_ylabel("relative deviation (%)")
        else:
            top.set_title("whole range (linear angle)", fontsize=10)
            bottom.set_xlim(0.0, 180.0)
            bottom.set_xticks(np.arange(0, 181, 30))
            negative = int(np.count_nonzero(fine_smooth <= 0))
            if negative:
                top.plot([], [], " ", label=f"series ≤ 0 at {negative} of {fine_angle.size} "
                                           "angles (not drawn)")
            top.legend(loc="upper right", fontsize=8.5)
        bottom.set_xlabel("scattering angle (degrees)")
        _deviation_limits(bottom, angle, deviation, cut, note=scale == "log")

    figure.text(0.5, 0.005, "relative deviation = (series − table) / table", ha="center",
                fontsize=8.5, color="0.3")
    figure.tight_layout(rect=(0, 0.02, 1, _title(figure, coefficient_file, table, job)))
    image = io.BytesIO()
    try:
        figure.savefig(image, format=extension, dpi=100)
    finally:
        plt.close(figure)
    existed = os.path.lexists(output_path)
    try:
        with open(output_path, "wb") as stream:
            stream.write(image.getbuffer())
    except OSError:
        if not existed:
            with contextlib.suppress(OSError):
                os.unlink(output_path)
        raise


def _deviation_limits(ax, angle, deviation, cut, note):
    # Inside the truncated region the series misses the peak on purpose (down
    # to -100 %); the scale follows the deviation outside it, so the ripple
    # of the fit stays readable, and says how far the region goes.
    outside = deviation[np.isfinite(deviation) & (angle >= (cut or 0.0))]
    if cut is None or outside.size == 0:
        return
    bound = max(float(np.max(np.abs(outside))) * 1.25, 0.5)
    inside = deviation[np.isfinite(deviation) & (angle < cut)]
    if inside.size and float(np.min(inside)) < -bound:
        ax.set_ylim(-bound, bound)
        if note:
            ax.annotate(f"down to {float(np.min(inside)):.0f} % in the\nreplaced forward region",
                        xy=(0.02, 0.04), xycoords="axes fraction", fontsize=8, color="0.25")


_LINE = 0.021  # a line of 9-point text, as a fraction of the figure's height


def _title(figure, coefficient_file, table, job):
    """Writes the title lines; returns the height left for the panels."""
    what = ", ".join(part for part in (job.spectral, job.size) if part)
    figure.suptitle(f"{what}    N = {coefficient_file.n}, ft = {coefficient_file.ft:.6f}".strip(),
                    fontsize=12, y=0.995)
    top = 0.96
    if job.flags:
        lines = [f"⚠ flagged ({job.flags_from}): {', '.join(job.flags)}"]
        at_1 = " at 1" if coefficient_file.ft >= 1 else ""
        lines += [f"{flag}: {FLAG_WARNINGS.get(flag + at_1, FLAG_WARNINGS.get(flag, ''))}"
                  for flag in job.flags]
        figure.text(0.5, top, "\n".join(lines), ha="center", va="top", fontsize=9.5,
                    color="darkred", bbox={"facecolor": "#fff0f0", "edgecolor": "darkred"})
        top -= _LINE * len(lines) + 0.018
    elif job.flags_from:
        figure.text(0.5, top, f"flags ({job.flags_from}): none", ha="center", va="top",
                    fontsize=9)
        top -= _LINE
    figure.text(0.5, top, f"coefficients: {_short(coefficient_file.path)}    "
                f"table: {_short(table.path)}", ha="center", va="top", fontsize=9)
    return top - 0.02


def _size_text(info, value):
    name = info.get("long_name", "size")
    units = {"um": "µm", "unknown": ""}.get(info.get("units", ""), info.get("units", ""))
    return f"{name} {value:g}" + (f" {units}" if units else "")


def _json(path):
    try:
        with open(path, encoding="utf-8") as stream:
            return json.load(stream)
    except (OSError, ValueError):
        return None


def _report_row(rundir, name, coefficient_file):
    """(report file name, flags) of the last row for ``name`` among the
    run's reports whose N and ft agree with the file, or None."""
    try:
        reports = sorted(f for f in os.listdir(rundir)
                         if f.startswith("report") and f.endswith(".tsv"))
    except OSError:
        return None
    found = None
    for report in reports:
        try:
            with open(os.path.join(rundir, report), newline="", encoding="utf-8",
                      errors="replace") as stream:
                for row in csv.DictReader(stream, delimiter="\t", quoting=csv.QUOTE_NONE):
                    if (row.get("data_file") == name and row.get("N") == str(coefficient_file.n)
                            and _same_ft(row.get("ft"), coefficient_file.ft)):
                        found = (report, row.get("flags") or "-")
        except OSError:
            continue
    return found


def _same_ft(text, ft):
    # The report holds ft in full, the file in F9.6.
    try:
        return abs(float(text) - ft) <= 5e-7 + 1e-12
    except (TypeError, ValueError):
        return False


def _short(path, limit=48):
    # The coefficient file and its table usually share a name, so the folder
    # is kept; only long paths are cut to their last two parts.
    if len(path) <= limit:
        return path
    parent, name = os.path.split(path)
    return os.path.join("…", os.path.basename(parent), name)
