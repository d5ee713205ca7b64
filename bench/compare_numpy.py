#!/usr/bin/python3
"""Time the whole job as a user would script it with numpy and scipy.

For each table named (or each *.dat of a directory named): read it, cubic
spline (natural ends) onto the 1000-point Gauss-Legendre grid, normalised
Legendre moments, the delta-fit design matrix of order 300 (columns
(2l + 1) P_l(mu) / p for l = 3 .. 299 and a last column minus their sum over
l < 300), scipy.linalg.lstsq with gelsd in double precision, the rescaling,
and a text file of the coefficients. The grid and its Legendre table are
built once, as a phasefit worker does. The time per job is printed as the
best of several passes over the tables, with one BLAS thread.

The script re-runs itself once with a clean environment: one BLAS thread,
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE removed (they pin an older kernel
and slow a current OpenBLAS down), and OpenBLAS preferred over the
reference BLAS when it is installed beside it. It prints which library ran.
"""

import os
import sys
import time

OPENBLAS_DIR = "/usr/lib/x86_64-linux-gnu/openblas-pthread"
CHILD_MARK = "PHASEFIT_COMPARE_NUMPY_CHILD"


def reexec_with_clean_environment():
    env = dict(os.environ)
    env[CHILD_MARK] = "1"
    for name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        env.pop(name, None)
    for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env[name] = "1"
    if os.path.isdir(OPENBLAS_DIR) and env.get("PHASEFIT_NUMPY_BLAS") != "system":
        env["LD_LIBRARY_PATH"] = OPENBLAS_DIR + (
            ":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else ""
        )
    os.execve(sys.executable, [sys.executable] + sys.argv, env)


def blas_description():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        threadpool_info = None
    if threadpool_info is not None:
        parts = []
        for lib in threadpool_info():
            if lib.get("user_api") != "blas":
                continue
            parts.append(
                "{} {} ({}), kernel {}, {} thread(s)".format(
                    lib.get("internal_api"),
                    lib.get("version"),
                    os.path.basename(lib.get("filepath", "")),
                    lib.get("architecture"),
                    lib.get("num_threads"),
                )
            )
        if parts:
            return "; ".join(parts)
    # Without threadpoolctl, name the BLAS and LAPACK libraries mapped.
    libs = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if "blas" in path or "lapack" in path:
                libs.add(path)
    return ", ".join(sorted(libs)) or "unknown"


def read_table(path, np):
    """The six header numbers and the 498 (angle, phase) rows."""
    with open(path, encoding="ascii") as table:
        numbers = table.read().split()
    header = [float(x) for x in numbers[:6]]
    rows = np.array(numbers[6:6 + 2 * 498], dtype=float).reshape(498, 2)
    return header, rows[:, 0], rows[:, 1]


class Grid:
    """The 1000-point Gauss-Legendre grid and its Legendre table, built once
    per worker as phasefit does."""

    def __init__(self, np, points=1000, order=300):
        self.mu, self.weight = np.polynomial.legendre.leggauss(points)
        self.theta = np.degrees(np.arccos(self.mu))
        poly = np.empty((order + 1, points))
        poly[0] = 1.0
        poly[1] = self.mu
        for l in range(1, order):
            poly[l + 1] = ((2 * l + 1) * self.mu * poly[l] - l * poly[l - 1]) / (l + 1)
        self.poly = poly
        self.order = order


def fit_arrays(angle, phase, grid, np, interpolate, lstsq):
    """The computation of one job, without reading or writing: spline onto
    the grid, moments, delta-fit by lstsq (gelsd, double), rescale. Returns
    ft and the rescaled coefficients."""
    order = np.argsort(angle)
    p = interpolate(angle[order], phase[order], bc_type="natural")(grid.theta)
    n = grid.order
    moments = 0.5 * (grid.poly[: n + 1] * (p * grid.weight)).sum(axis=1)
    moments /= moments[0]
    terms = (2.0 * np.arange(n)[:, None] + 1.0) * grid.poly[:n] / p
    cols = n - 2
    a = np.empty((p.size, cols))
    a[:, : cols - 1] = terms[3:n].T
    a[:, cols - 1] = -terms.sum(axis=0)
    rhs = 1.0 - (terms[:3] * moments[:3, None]).sum(axis=0)
    solution = lstsq(a, rhs, lapack_driver="gelsd")[0]
    fitted = np.concatenate([moments[:3], solution])
    ft = fitted[-1]
    return ft, (fitted - ft) / (1.0 - ft)


def fit_table(path, out_path, grid, np, interpolate, lstsq):
    """One job: read, fit_arrays, write the coefficients."""
    header, angle, phase = read_table(path, np)
    ft, coefficients = fit_arrays(angle, phase, grid, np, interpolate, lstsq)
    with open(out_path, "w", encoding="ascii") as out:
        out.write("{:.6e} {:.6e} {:.6e} {:.6f}\n".format(header[3], header[4], header[5], ft))
        out.write("".join("{:4d} {:.6e}\n".format(l, c) for l, c in enumerate(coefficients)))


def tables_of(arguments):
    paths = []
    for argument in arguments:
        if os.path.isdir(argument):
            paths += sorted(os.path.join(argument, name) for name in os.listdir(argument)
                            if name.endswith(".dat"))
        else:
            paths.append(argument)
    return paths


def main():
    if os.environ.get(CHILD_MARK) != "1":
        reexec_with_clean_environment()
    import tempfile

    import numpy as np
    try:
        import scipy
        from scipy.interpolate import CubicSpline
        from scipy.linalg import lstsq
    except ImportError:
        sys.exit("compare_numpy.py: needs scipy (Debian python3-scipy)")

    rounds = 5
    arguments = sys.argv[1:]
    if arguments[:1] == ["--rounds"]:
        rounds, arguments = int(arguments[1]), arguments[2:]
    paths = tables_of(arguments)
    if not paths:
        sys.exit("usage: compare_numpy.py [--rounds R] TABLE_OR_DIRECTORY...")
    grid = Grid(np)
    best = float("inf")
    with tempfile.TemporaryDirectory() as out:
        for _ in range(rounds):
            start = time.perf_counter()
            for k, path in enumerate(paths):
                fit_table(path, os.path.join(out, "{}.txt".format(k)), grid, np, CubicSpline, lstsq)
            best = min(best, time.perf_counter() - start)
    print("scipy {} / numpy {} pipeline (read, spline, moments, lstsq gelsd in double, rescale, "
          "write) on {} tables at N = 300, best of {}: {:.2f} ms per job".format(
              scipy.__version__, np.__version__, len(paths), rounds, best * 1e3 / len(paths)))
    print("  BLAS/LAPACK: " + blas_description())


if __name__ == "__main__":
    main()
