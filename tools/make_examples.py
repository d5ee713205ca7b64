#!/usr/bin/env python3
"""Writes the bundled example working directory examples/ for `make demo`.

The phase functions are two-term Henyey-Greenstein mixtures: a strong
forward lobe whose asymmetry grows with the size parameter 2*pi*r/lambda,
and a weak backward lobe. Each term is normalised so that half its integral
over the cosine is 1, so the mixture is too. The header carries three
numbers the tool ignores (size, spectral point, 0), then Ce, omega0 and g.

Rows are 498 scattering angles from 0 to 180 degrees on a grid that is
denser near 0, where the forward peak changes fastest. Band B07's tables
give the angles as cosines instead of degrees, to exercise the conversion.

It also writes examples/database/, the same phase functions as a small
scattering database in the isca layout (isca.dat and P11.dat, on the 498
angles of the ice and dust databases), for `python/phasefit-import isca`.

Run from anywhere: python3 tools/make_examples.py

With --out DIR it writes a wavelength batch instead (INPUT/input_re.dat,
INPUT/wl.dat and tables/ under DIR) from the same table function, for the
sizes and wavelengths given (--sizes, --wavelengths); the examples are left
alone. The benchmark uses that for a batch of realistic size.
"""

import argparse
import math
import os

ROWS = 498
SIZES = [5, 10, 20]
WAVELENGTHS = [0.55, 0.87, 1.6]
BANDS = {"B07": 3.9, "ch4.3um": 4.3}  # band name -> centre wavelength (um)
COSINE_BANDS = {"B07"}

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples")


# The Python tests build their tables from these two functions as well.

def henyey_greenstein(mu, g):
    """The Henyey-Greenstein phase function of asymmetry g at the cosine mu
    (a float or a numpy array), normalised so that half its integral over
    the cosine is 1."""
    return (1.0 - g * g) / (1.0 + g * g - 2.0 * g * mu) ** 1.5


def angles_degrees(rows=ROWS):
    # theta = 180 * (a t + (1 - a) t^2): a fine step near 0, a coarse one
    # near 180.
    a = 0.15
    return [180.0 * (a * t + (1.0 - a) * t * t) for t in (i / (rows - 1) for i in range(rows))]


def optical_properties(size, wavelength):
    x = 2.0 * math.pi * size / wavelength
    g_forward = 0.92 - 0.5 * math.exp(-x / 25.0)
    g_backward = -0.3
    w_forward = 0.95
    g = w_forward * g_forward + (1.0 - w_forward) * g_backward
    ce = 2.0 + 2.0 * math.exp(-x / 40.0) * math.sin(x / 10.0) ** 2
    omega0 = 1.0 - 0.02 * wavelength / (1.0 + size / 10.0)
    return g_forward, g_backward, w_forward, ce, omega0, g


def write_table(path, size, spectral_value, wavelength, as_cosines):
    g_f, g_b, w_f, ce, omega0, g = optical_properties(size, wavelength)
    lines = [f"{size:d} {spectral_value:.4f} 0\n", f"{ce:.6f} {omega0:.7f} {g:.7f}\n"]
    for theta in angles_degrees():
        mu = math.cos(math.radians(theta))
        phase = w_f * henyey_greenstein(mu, g_f) + (1.0 - w_f) * henyey_greenstein(mu, g_b)
        angle = mu if as_cosines else theta
        # Pin the ends so the first and last cosines are exactly 1 and -1.
        if as_cosines and theta == 0.0:
            angle = 1.0
        if as_cosines and theta == 180.0:
            angle = -1.0
        lines.append(f"{angle:14.8f} {phase:15.7E}\n")
    with open(path, "w", encoding="ascii") as out:
        out.writelines(lines)


def wavelength_label(wavelength):
    return f"{wavelength:.2f}".replace(".", "p")


def write_wavelength_batch(root, sizes, wavelengths):
    """Run lists and one table per wavelength and size under root."""
    input_dir = os.path.join(root, "INPUT")
    table_dir = os.path.join(root, "tables")
    os.makedirs(input_dir, exist_ok=True)
    os.makedirs(table_dir, exist_ok=True)
    with open(os.path.join(input_dir, "input_re.dat"), "w", encoding="ascii") as out:
        out.write(f"{len(sizes)}\n" + "".join(f"{s}\n" for s in sizes))
    with open(os.path.join(input_dir, "wl.dat"), "w", encoding="ascii") as out:
        out.write(f"{len(wavelengths)}\n" + "".join(f"{w}\n" for w in wavelengths))
    for wavelength in wavelengths:
        for size in sizes:
            name = f"WVN_{wavelength_label(wavelength)}_DE_{size:03d}.dat"
            write_table(os.path.join(table_dir, name), size, wavelength, wavelength, False)


# The 498 angles of the ice and dust databases, in hundredths of a degree.
DATABASE_GRID = [(0, 200, 1), (200, 500, 5), (500, 1000, 10), (1000, 1500, 50),
                 (1500, 17600, 100), (17600, 18000, 25)]


def write_database(folder):
    """isca.dat (wavelength, maximum dimension, volume, projected area, Qext,
    albedo, g; the size varying fastest) and P11.dat (the angles, then P11
    in the same row order, normalised to 4 pi over the sphere)."""
    os.makedirs(folder, exist_ok=True)
    angles = [h / 100.0 for a, b, step in DATABASE_GRID for h in range(a, b, step)] + [180.0]
    rows, phases = [], []
    for wavelength in WAVELENGTHS:
        for size in SIZES:
            g_f, g_b, w_f, ce, omega0, g = optical_properties(size, wavelength)
            # A sphere of diameter `size` gives the volume and projected area.
            area = math.pi * size * size / 4.0
            volume = math.pi * size ** 3 / 6.0
            rows.append(f"{wavelength:10.4f} {size:10.4f} {volume:14.6E} {area:14.6E} "
                        f"{ce / area:14.6E} {omega0:10.7f} {g:10.7f}\n")
            phases.append(" ".join(
                f"{w_f * henyey_greenstein(mu, g_f) + (1.0 - w_f) * henyey_greenstein(mu, g_b):.7E}"
                for mu in (math.cos(math.radians(a)) for a in angles)) + "\n")
    with open(os.path.join(folder, "isca.dat"), "w", encoding="ascii") as out:
        out.writelines(rows)
    with open(os.path.join(folder, "P11.dat"), "w", encoding="ascii") as out:
        out.write(" ".join(f"{a:.2f}" for a in angles) + "\n")
        out.writelines(phases)


def write_examples():
    input_dir = os.path.join(ROOT, "INPUT")
    table_dir = os.path.join(ROOT, "tables")
    os.makedirs(input_dir, exist_ok=True)
    os.makedirs(table_dir, exist_ok=True)

    with open(os.path.join(input_dir, "input_re.dat"), "w", encoding="ascii") as out:
        out.write(f"{len(SIZES)}\n" + "".join(f"{s}\n" for s in SIZES))
    with open(os.path.join(input_dir, "wl.dat"), "w", encoding="ascii") as out:
        out.write(f"{len(WAVELENGTHS)}\n" + "".join(f"{w}\n" for w in WAVELENGTHS))
    with open(os.path.join(input_dir, "input_band.dat"), "w", encoding="ascii") as out:
        out.write(f"{len(BANDS)}\n" + "".join(f"{b}\n" for b in BANDS))

    for wavelength in WAVELENGTHS:
        label = f"{wavelength:.2f}".replace(".", "p")
        for size in SIZES:
            name = f"WVN_{label}_DE_{size:03d}.dat"
            write_table(os.path.join(table_dir, name), size, wavelength, wavelength, False)
    for band, centre in BANDS.items():
        for size in SIZES:
            name = f"{band}_DE_{size:03d}.dat"
            write_table(os.path.join(table_dir, name), size, centre, centre, band in COSINE_BANDS)
    write_database(os.path.join(ROOT, "database"))


def main():
    parser = argparse.ArgumentParser(description="Write the example working directory, or a batch.")
    parser.add_argument("--out", help="write a wavelength batch into this directory instead")
    parser.add_argument("--sizes", type=int, nargs="+", default=SIZES, help="particle sizes (with --out)")
    parser.add_argument("--wavelengths", type=float, nargs="+", default=WAVELENGTHS,
                        help="wavelengths in micrometres (with --out)")
    args = parser.parse_args()
    if args.out is None:
        write_examples()
    else:
        write_wavelength_batch(args.out, args.sizes, args.wavelengths)


if __name__ == "__main__":
    main()
