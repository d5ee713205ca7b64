"""The comparison plot and the text listing of a reconstruction.

Matplotlib runs on its Agg backend, so no display is needed.
"""

import os

import numpy as np

from ._deps import require
from .reconstruct import relative_deviation, smooth_phase_function


def reconstruction_text(coefficient_file, table):
    """Angle (degrees, ascending) and P_smooth at the table's angles, as text
    with one commented header line."""
    order = np.argsort(table.angle, kind="stable")
    angle = table.angle[order]
    smooth = smooth_phase_function(coefficient_file, table.mu[order])
    lines = ["# angle_deg  p_smooth"]
    lines += [f"{a:12.6f}  {v:15.8e}" for a, v in zip(angle, smooth)]
    return "\n".join(lines) + "\n"


def draw_comparison(coefficient_file, table, output_path):
    """Writes a PNG: the table and P_smooth on a logarithmic scale against the
    scattering angle, and their relative deviation in a second panel."""
    matplotlib = require("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    order = np.argsort(table.angle, kind="stable")
    angle = table.angle[order]
    tabulated = table.value[order]
    # The smooth part is drawn on a fine grid so its oscillations show, and
    # compared with the table at the table's own angles.
    fine_angle = np.linspace(0.0, 180.0, 1801)
    fine_smooth = smooth_phase_function(coefficient_file, np.cos(np.radians(fine_angle)))
    smooth = smooth_phase_function(coefficient_file, table.mu[order])
    deviation = 100.0 * relative_deviation(smooth, tabulated)

    figure, (top, bottom) = plt.subplots(
        2, 1, figsize=(8.0, 7.4), sharex=True, gridspec_kw={"height_ratios": [3, 2]}
    )
    # A logarithmic axis cannot show values at or below zero; the smooth
    # series may dip there, so those points are left out of the top panel.
    top.semilogy(angle, np.where(tabulated > 0, tabulated, np.nan), color="black",
                 linewidth=1.6, label="table")
    top.semilogy(fine_angle, np.where(fine_smooth > 0, fine_smooth, np.nan),
                 color="tab:red", linewidth=1.2, linestyle="--",
                 label=r"reconstruction $(1-f_t)\sum_{l=0}^{N-1}(2l+1)\,c_l\,P_l(\cos\theta)$")
    negative = int(np.count_nonzero(fine_smooth <= 0))
    if negative:
        top.plot([], [], " ", label=f"reconstruction ≤ 0 at {negative} of {fine_angle.size} angles (not drawn)")
    top.set_ylabel("phase function")
    top.grid(True, which="major", alpha=0.4)
    top.legend(loc="upper right", fontsize=9)

    bottom.plot(angle, deviation, color="tab:blue", linewidth=1.2)
    bottom.axhline(0.0, color="black", linewidth=0.8)
    bottom.set_ylabel("relative deviation (%)\n(reconstruction − table) / table")
    bottom.set_xlabel("scattering angle (degrees)")
    bottom.set_xlim(0.0, 180.0)
    bottom.set_xticks(np.arange(0, 181, 30))
    bottom.grid(True, which="major", alpha=0.4)

    figure.suptitle(
        f"N = {coefficient_file.n}, ft = {coefficient_file.ft:.6f}\n"
        f"coefficients: {_short(coefficient_file.path)}\n"
        f"table: {_short(table.path)}",
        fontsize=11,
    )
    figure.tight_layout()
    try:
        figure.savefig(output_path, dpi=100)
    finally:
        plt.close(figure)


def _short(path, limit=48):
    # The coefficient file and its table usually share a name, so the folder
    # is kept; only long paths are cut to their last two parts.
    if len(path) <= limit:
        return path
    parent, name = os.path.split(path)
    return os.path.join("…", os.path.basename(parent), name)
