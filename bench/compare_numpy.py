#!/usr/bin/python3
"""Time numpy.linalg.lstsq on the delta-fit system that bench_svdfit solves.

The system is built the same way, in double precision: 1000 Gauss-Legendre
nodes, a Henyey-Greenstein phase function with g = 0.85, columns
(2l + 1) P_l(mu) / p for l = 3 .. 299 and a last column minus their sum over
l < 300, right-hand side 1 - (1 + 3 g P_1 + 5 g^2 P_2) / p. That is the
least-squares solve a user would otherwise script; its time is printed as
the best of several solves with one BLAS thread.

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


def delta_fit_system(np, points=1000, order=300, g=0.85):
    mu, _ = np.polynomial.legendre.leggauss(points)
    p = (1.0 - g * g) / (1.0 + g * g - 2.0 * g * mu) ** 1.5
    # P_0 .. P_{order-1} at the nodes by the three-term recurrence.
    poly = np.empty((order, points))
    poly[0] = 1.0
    poly[1] = mu
    for l in range(1, order - 1):
        poly[l + 1] = ((2 * l + 1) * mu * poly[l] - l * poly[l - 1]) / (l + 1)
    terms = (2.0 * np.arange(order)[:, None] + 1.0) * poly / p
    cols = order - 2
    a = np.empty((points, cols))
    a[:, : cols - 1] = terms[3:order].T
    a[:, cols - 1] = -terms.sum(axis=0)
    rhs = 1.0 - (1.0 + 3.0 * g * poly[1] + 5.0 * g * g * poly[2]) / p
    return a, rhs


def main():
    if os.environ.get(CHILD_MARK) != "1":
        reexec_with_clean_environment()
    import numpy as np

    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    a, rhs = delta_fit_system(np)
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        np.linalg.lstsq(a, rhs, rcond=None)
        best = min(best, time.perf_counter() - start)
    print("numpy {} lstsq (double) {} x {}, best of {}: {:.2f} ms".format(
        np.__version__, a.shape[0], a.shape[1], rounds, best * 1e3))
    print("  BLAS/LAPACK: " + blas_description())


if __name__ == "__main__":
    main()
