#!/usr/bin/python3
"""Time phasefit.fit in-process against the scipy pipeline in-process.

    fit_inprocess.py --python BUILD/python [--rounds R] TABLE_OR_DIRECTORY...

The tables are read once into arrays; then, with no file I/O on either
side, each is fitted at N = 300 by phasefit.fit (the tool's single-precision
computation, called from Python on a batch) and by the scipy pipeline of
compare_numpy.py (spline, moments, lstsq gelsd in double, rescale). Both
run on one worker and on every CPU this process may use: phasefit.fit on
its own threads, scipy on as many processes, each with one BLAS thread and
its grid built beforehand. A batch of one worker holds every table once;
the batch of all workers repeats the tables until each worker has at least
eight fits. The time per fit is the best of several passes.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare_numpy  # noqa: E402

ORDER = 300


_worker = {}


def _start_worker():
    import numpy as np
    from scipy.interpolate import CubicSpline
    from scipy.linalg import lstsq

    _worker.update(grid=compare_numpy.Grid(np), np=np, spline=CubicSpline, lstsq=lstsq)


def _scipy_share(pairs):
    w = _worker
    for angle, phase in pairs:
        compare_numpy.fit_arrays(angle, phase, w["grid"], w["np"], w["spline"], w["lstsq"])
    return len(pairs)


def best_time(rounds, run):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    if os.environ.get(compare_numpy.CHILD_MARK) != "1":
        compare_numpy.reexec_with_clean_environment()
    arguments, rounds, python = sys.argv[1:], 5, None
    while arguments[:1] in (["--rounds"], ["--python"]):
        if arguments[0] == "--rounds":
            rounds = int(arguments[1])
        else:
            python = arguments[1]
        arguments = arguments[2:]
    paths = compare_numpy.tables_of(arguments)
    if not paths or python is None:
        sys.exit("usage: fit_inprocess.py --python BUILD/python [--rounds R] TABLE_OR_DIRECTORY...")
    sys.path.insert(0, python)
    import numpy as np
    try:
        import phasefit
        from phasefit import _fit  # noqa: F401
    except ImportError as err:
        sys.exit(f"fit_inprocess.py: phasefit.fit is not available from {python}: {err}")
    try:
        import scipy
    except ImportError:
        sys.exit("fit_inprocess.py: needs scipy (Debian python3-scipy)")
    from concurrent.futures import ProcessPoolExecutor

    # The scipy pipeline takes angles in degrees: tables of cosines are left out.
    tables = [compare_numpy.read_table(path, np)[1:] for path in paths]
    tables = [(a, v) for a, v in tables if not (abs(a[0]) <= 1 and abs(a[-1]) <= 1)]
    if not tables:
        sys.exit("fit_inprocess.py: no table in degrees to time")
    workers = len(os.sched_getaffinity(0))
    copies = -(-8 * workers // len(tables))
    angles = np.array([a for a, _ in tables])
    values = np.array([v for _, v in tables])
    many_angles, many_values = np.tile(angles, (copies, 1)), np.tile(values, (copies, 1))

    def fit(a, v, count, diagnostics=False):
        return phasefit.fit(v, a, ORDER, workers=count, diagnostics=diagnostics, on_pause="go")

    one = fit(angles, values, 1)
    many = fit(many_angles, many_values, workers)
    assert np.array_equal(many.coefficients.values[: len(tables)], one.coefficients.values)
    rows = {
        "phasefit.fit": (best_time(rounds, lambda: fit(angles, values, 1)) / len(tables),
                         best_time(rounds, lambda: fit(many_angles, many_values, workers))
                         / len(many_values)),
        "  with diagnostics": (
            best_time(rounds, lambda: fit(angles, values, 1, True)) / len(tables), None),
    }

    _start_worker()
    single = best_time(rounds, lambda: _scipy_share(tables)) / len(tables)
    pairs = list(zip(many_angles, many_values))
    shares = [pairs[k::workers] for k in range(workers)]
    with ProcessPoolExecutor(workers, initializer=_start_worker) as pool:
        list(pool.map(_scipy_share, [p[:1] for p in shares]))  # workers started and warm
        every = best_time(rounds, lambda: list(pool.map(_scipy_share, shares))) / len(pairs)
    rows["scipy pipeline"] = (single, every)

    print(f"phasefit.fit against the scipy {scipy.__version__} / numpy {np.__version__} pipeline, "
          f"both in-process (no file I/O), {len(tables)} tables in degrees at N = {ORDER}, "
          f"best of {rounds}: ms per fit")
    print(f"  {'':20s} {'1 worker':>10s} {f'{workers} workers':>12s}")
    for name, (first, second) in rows.items():
        second_text = "" if second is None else f"{second * 1e3:12.2f}"
        print(f"  {name:20s} {first * 1e3:10.2f} {second_text}")
    fast, slow = rows["phasefit.fit"], rows["scipy pipeline"]
    print(f"  {'scipy / phasefit':20s} {slow[0] / fast[0]:10.1f} {slow[1] / fast[1]:12.1f}")
    print(f"  (all workers: {len(many_values)} fits, phasefit on threads, scipy on processes; "
          f"BLAS/LAPACK: {compare_numpy.blas_description()})")


if __name__ == "__main__":
    main()
