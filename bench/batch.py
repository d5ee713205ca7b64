#!/usr/bin/python3
"""Times phasefit on a realistic batch and prints the throughput figures.

The batch (8 sizes x 6 wavelengths at N = 300 by default) comes from the
example generator's table function (tools/make_examples.py --out). The
built tool runs it with --on-pause=go (some N = 300 tables pause once in
svdcmp; `go` resumes as the operator would):

  * at -j 1 and at -j <all hardware threads>: wall time, jobs per second,
    parallel efficiency = (jobs/s at -j all) / (jobs/s at -j 1) / cores;
  * on one wavelength's sizes with the fast kernels and with
    --kernels=reference, both at -j 1: the time per job of each and the
    single-job speed-up of the fast kernels;
  * peak memory (maximum resident set, from /usr/bin/time) at -j 1, -j 2 and
    -j 8: the memory per worker and the fixed part;
  * a check that the output trees are byte-identical between -j 1, -j all
    and the reference kernels, on the batch and on a batch with missing
    tables and repeated sizes and wavelengths run with --keep-going.

Each timed run is repeated (--repeat) and the fastest counts. With
--results DIR it also reads what `make bench` left there from the
microbenchmarks (bench_bfit.json, bench_svdfit.json, numpy.txt) and prints
the per-stage shares of one job, the kernel-level speed-up and the numpy
comparison beside the batch figures. The summary at the end is Markdown,
ready to paste.

Usage: bench/batch.py [--build build-bench] [--results build-bench/bench-results]
Standard library only.
"""

import argparse
import filecmp
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import make_examples  # noqa: E402  (the table function of the examples)

SIZES = [2, 5, 10, 20, 40, 60, 80, 100]
WAVELENGTHS = [0.47, 0.55, 0.67, 0.87, 1.24, 1.6]
TIME = "/usr/bin/time"


def load_average():
    try:
        return os.getloadavg()[0]
    except OSError:
        return float("nan")


def source_version():
    """The commit measured, marked when the work tree had changes."""
    try:
        head = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown commit"
    return f"commit {head}" + (" with uncommitted changes" if dirty else "")


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as info:
            text = info.read()
    except OSError:
        return "unknown CPU", ""
    model = re.search(r"^model name\s*:\s*(.*)$", text, re.M)
    flags = re.search(r"^flags\s*:\s*(.*)$", text, re.M)
    wide = ""
    if flags:
        names = flags.group(1).split()
        if "avx512f" in names:
            wide = "AVX-512F"
        elif "avx2" in names:
            wide = "AVX2"
    return (model.group(1).strip() if model else "unknown CPU"), wide


class Batch:
    """A working directory: run lists in INPUT/, tables in `tables`."""

    def __init__(self, path, tables, sizes, wavelengths):
        self.path = path
        self.tables = tables  # relative to path, with the final '/'
        self.sizes = sizes
        self.wavelengths = wavelengths
        os.makedirs(os.path.join(path, "INPUT"), exist_ok=True)
        with open(os.path.join(path, "INPUT", "input_re.dat"), "w", encoding="ascii") as out:
            out.write(f"{len(sizes)}\n" + "".join(f"{s}\n" for s in sizes))
        with open(os.path.join(path, "INPUT", "wl.dat"), "w", encoding="ascii") as out:
            out.write(f"{len(wavelengths)}\n" + "".join(f"{w}\n" for w in wavelengths))

    mode = "0"

    @property
    def jobs(self):
        return len(self.sizes) * len(self.wavelengths)


class TableBatch(Batch):
    """Tables named otherwise, run in band mode with one size, 0: each table
    is linked as pf/<its name>_DE_000.dat and its name is the band."""

    mode = "1"

    def __init__(self, path, table_dir):
        names = sorted(f[:-4] for f in os.listdir(table_dir) if f.endswith(".dat"))
        os.makedirs(os.path.join(path, "INPUT"), exist_ok=True)
        os.makedirs(os.path.join(path, "pf"), exist_ok=True)
        for name in names:
            os.symlink(os.path.abspath(os.path.join(table_dir, name + ".dat")),
                       os.path.join(path, "pf", name + "_DE_000.dat"))
        with open(os.path.join(path, "INPUT", "input_re.dat"), "w", encoding="ascii") as out:
            out.write("1\n0\n")
        with open(os.path.join(path, "INPUT", "input_band.dat"), "w", encoding="ascii") as out:
            out.write(f"{len(names)}\n" + "".join(f"{n}\n" for n in names))
        self.path = path
        self.tables = "pf/"
        self.sizes = [0]
        self.wavelengths = names


class Run:
    def __init__(self, wall, cpu, rss_kb, status, output):
        self.wall = wall
        self.cpu = cpu  # user + system seconds of the fastest run
        self.rss_kb = rss_kb
        self.status = status
        self.output = output  # the output directory of the last repetition


def run_tool(tool, batch, name, options, n, repeat, expect_status=0):
    """Runs the tool `repeat` times into <batch>/<name>/; the fastest wall
    time and the largest peak resident set count."""
    best = float("inf")
    cpu = 0.0
    rss = 0
    status = None
    output = os.path.join(batch.path, name)
    memory_file = os.path.join(batch.path, name + ".rss")
    for _ in range(repeat):
        shutil.rmtree(output, ignore_errors=True)
        os.makedirs(output)
        command = [TIME, "-o", memory_file, "-f", "%M %U %S", tool, "--no-progress", "--on-pause=go"]
        command += options + [batch.tables, name + "/", batch.mode, str(n)]
        start = time.perf_counter()
        done = subprocess.run(command, cwd=batch.path, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        status = done.returncode
        if status != expect_status:
            sys.exit(f"batch.py: {' '.join(command)} exited with {status}, not {expect_status}:\n"
                     + done.stderr.decode(errors="replace"))
        with open(memory_file, encoding="ascii") as memory:
            # /usr/bin/time adds a line of its own for a non-zero status.
            kb, user, system = memory.read().split()[-3:]
        rss = max(rss, int(kb))
        if wall < best:
            best, cpu = wall, float(user) + float(system)
    return Run(best, cpu, rss, status, output)


def same_tree(a, b):
    """Whether two directory trees hold the same files with the same bytes."""
    compare = filecmp.dircmp(a, b)
    if compare.left_only or compare.right_only or compare.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, compare.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_tree(os.path.join(a, d), os.path.join(b, d)) for d in compare.common_dirs)


def same_files_as(subset, full):
    """Whether every file of `subset` is in `full` with the same bytes."""
    names = sorted(os.listdir(subset))
    _, mismatch, errors = filecmp.cmpfiles(subset, full, names, shallow=False)
    return bool(names) and not mismatch and not errors


def benchmark_times(path):
    """Benchmark name -> real time in ms, from Google Benchmark JSON."""
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
    try:
        with open(path, encoding="utf-8") as data:
            entries = json.load(data)["benchmarks"]
    except (OSError, ValueError, KeyError):
        return {}
    return {e["name"]: e["real_time"] * scale[e.get("time_unit", "ns")]
            for e in entries if e.get("run_type", "iteration") == "iteration"}


def numpy_time(path):
    try:
        with open(path, encoding="utf-8") as text:
            found = re.search(r"lstsq.*?([0-9.]+) ms", text.read())
    except OSError:
        return None
    return float(found.group(1)) if found else None


def fmt(value, pattern):
    return "n/a" if value is None else pattern.format(value)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"),
                        help="build directory holding phasefit (default build-bench)")
    parser.add_argument("--results", help="directory of the microbenchmarks' results")
    parser.add_argument("--n", type=int, default=300, help="expansion order (default 300)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each timing (default 3)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="worker count of the parallel run (default: all hardware threads)")
    parser.add_argument("--keep", action="store_true", help="keep the batch directory")
    parser.add_argument("--tables", help="a directory of real tables, timed first (fast and "
                        "reference kernels, -j 1 and -j all) and checked for identical outputs")
    args = parser.parse_args()

    tool = os.path.abspath(os.path.join(args.build, "phasefit"))
    if not os.access(tool, os.X_OK):
        sys.exit(f"batch.py: no phasefit at {tool}; build it first (make bench)")
    if not os.access(TIME, os.X_OK):
        sys.exit(f"batch.py: {TIME} is missing (Debian package `time`)")
    cores = args.jobs
    model, wide = cpu_model()
    load_before = load_average()

    work = tempfile.mkdtemp(prefix="phasefit-batch-")
    try:
        make_examples.write_wavelength_batch(work, SIZES, WAVELENGTHS)
        full = Batch(work, "tables/", SIZES, WAVELENGTHS)
        one_wavelength = Batch(os.path.join(work, "subset"), "../tables/", SIZES, WAVELENGTHS[1:2])
        # A missing table (size 7) and a repeated size and wavelength: later
        # jobs replace earlier ones of the same name, the failures are skipped.
        awkward = Batch(os.path.join(work, "awkward"), "../tables/", [5, 7, 40, 5, 100],
                        [0.55, 1.6, 0.55])

        n, rep = args.n, args.repeat
        real_job = real_speedup = None
        if args.tables:
            real = TableBatch(os.path.join(work, "real"), args.tables)
            print(f"== real tables: {real.jobs} tables of {args.tables} at N = {n}, best of {rep}",
                  flush=True)
            r1 = run_tool(tool, real, "out-j1", ["-j", "1"], n, rep)
            rall = run_tool(tool, real, "out-jall", ["-j", str(cores)], n, rep)
            rref = run_tool(tool, real, "out-ref", ["-j", "1", "--kernels=reference"], n, rep)
            print("| run (real tables) | jobs | wall s | CPU s | ms/job |")
            print("|---|---:|---:|---:|---:|")
            for label, run in (("-j 1", r1), (f"-j {cores}", rall),
                               ("--kernels=reference, -j 1", rref)):
                print(f"| {label} | {real.jobs} | {run.wall:.3f} | {run.cpu:.2f} | "
                      f"{1e3 * run.wall / real.jobs:.1f} |")
            print(f"| reference / fast, -j 1 | | | | {rref.wall / r1.wall:.1f}x |")
            real_job = 1e3 * r1.wall / real.jobs
            real_speedup = rref.wall / r1.wall
            real_same = same_tree(r1.output, rall.output) and same_tree(r1.output, rref.output)
            print(f"real tables: output trees -j 1, -j {cores} and reference "
                  f"{'identical' if real_same else 'DIFFERENT'}", flush=True)
            if not real_same:
                sys.exit("batch.py: the output trees of the real tables differ")
        print(f"== batch: {len(SIZES)} sizes x {len(WAVELENGTHS)} wavelengths = {full.jobs} jobs "
              f"at N = {n}; {model} ({wide or 'no AVX2/AVX-512'}), {os.cpu_count()} hardware "
              f"threads; load average {load_before:.2f}; best of {rep}", flush=True)
        j1 = run_tool(tool, full, "out-j1", ["-j", "1"], n, rep)
        jall = run_tool(tool, full, "out-jall", ["-j", str(cores)], n, rep)
        mem2 = run_tool(tool, full, "out-j2", ["-j", "2"], n, 1)
        mem8 = run_tool(tool, full, "out-j8", ["-j", "8"], n, 1)
        fast_one = run_tool(tool, one_wavelength, "out-fast", ["-j", "1"], n, rep)
        ref_one = run_tool(tool, one_wavelength, "out-ref", ["-j", "1", "--kernels=reference"], n, rep)
        awkward_runs = [run_tool(tool, awkward, name, ["-k"] + options, n, 1, expect_status=2)
                        for name, options in (("out-j1", ["-j", "1"]),
                                              ("out-jall", ["-j", str(cores)]),
                                              ("out-ref", ["-j", "1", "--kernels=reference"]))]
        load_after = load_average()

        identical = {
            f"-j 1 vs -j {cores} ({full.jobs} jobs)": same_tree(j1.output, jall.output),
            "-j 1 vs -j 2 and -j 8": same_tree(j1.output, mem2.output) and same_tree(j1.output, mem8.output),
            f"reference vs fast ({one_wavelength.jobs} jobs)":
                same_tree(ref_one.output, fast_one.output) and same_files_as(ref_one.output, j1.output),
            "with failures and duplicates (-k), -j 1 vs -j all vs reference":
                same_tree(awkward_runs[0].output, awkward_runs[1].output)
                and same_tree(awkward_runs[0].output, awkward_runs[2].output),
        }

        rate1 = full.jobs / j1.wall
        rate_all = full.jobs / jall.wall
        efficiency = rate_all / rate1 / cores
        fast_job = fast_one.wall / one_wavelength.jobs
        ref_job = ref_one.wall / one_wavelength.jobs
        per_worker_2 = (mem2.rss_kb - j1.rss_kb) / 1024.0
        per_worker_8 = (mem8.rss_kb - j1.rss_kb) / 7 / 1024.0
        fixed = j1.rss_kb / 1024.0 - per_worker_8

        micro = {}
        numpy_ms = None
        if args.results:
            micro.update(benchmark_times(os.path.join(args.results, "bench_bfit.json")))
            micro.update(benchmark_times(os.path.join(args.results, "bench_svdfit.json")))
            numpy_ms = numpy_time(os.path.join(args.results, "numpy.txt"))
        whole = micro.get(f"BM_WholeJob/{n}")
        whole_ref = micro.get(f"BM_WholeJobReference/{n}")
        svdfit_fast = micro.get("BM_Svdfit1000x298")
        svdfit_ref = micro.get("BM_ReferenceSvdfit1000x298")

        out = []
        out.append(f"Measured {time.strftime('%Y-%m-%d %H:%M')} on {model}, {os.cpu_count()} hardware "
                   f"threads, {wide or 'no AVX2/AVX-512'}, {source_version()}; "
                   f"load average {load_before:.2f} before, "
                   f"{load_after:.2f} after; times are the best of {rep} runs.")
        out.append("")
        out.append("| run | jobs | wall s | CPU s | jobs/s | ms/job | peak RSS MB |")
        out.append("|---|---:|---:|---:|---:|---:|---:|")
        for label, batch, run in (("batch -j 1", full, j1),
                                  (f"batch -j {cores}", full, jall),
                                  ("batch -j 2 (memory, 1 run)", full, mem2),
                                  ("batch -j 8 (memory, 1 run)", full, mem8),
                                  ("1 wavelength, fast, -j 1", one_wavelength, fast_one),
                                  ("1 wavelength, --kernels=reference, -j 1", one_wavelength, ref_one)):
            out.append(f"| {label} | {batch.jobs} | {run.wall:.3f} | {run.cpu:.2f} | {batch.jobs / run.wall:.1f} | "
                       f"{1e3 * run.wall / batch.jobs:.1f} | {run.rss_kb / 1024.0:.1f} |")
        if whole is not None:
            out.append("")
            out.append(f"Stages of one job at N = {n} (bench_bfit, fast kernels, one core):")
            out.append("")
            out.append("| stage | ms | share of the job |")
            out.append("|---|---:|---:|")
            stages = [("read table", "BM_ReadTable"), ("resample", "BM_Resample"),
                      ("moments", f"BM_MomentsOnTable/{n}"),
                      ("design matrix", f"BM_DesignMatrix/{n}"), ("svdcmp", f"BM_Svdcmp/{n}"),
                      ("svbksb", f"BM_Svbksb/{n}")]
            for label, key in stages:
                if key in micro:
                    out.append(f"| {label} | {micro[key]:.2f} | {100.0 * micro[key] / whole:.0f} % |")
            out.append(f"| whole job (bfit) | {whole:.2f} | 100 % |")
            # Built once per worker and kept from job to job: not in a job's time.
            once = [("quadrature grid", "BM_Grid"),
                    ("moments with a new Legendre table", f"BM_Moments/{n}")]
            for label, key in once:
                if key in micro:
                    out.append(f"| {label} (once per worker) | {micro[key]:.2f} | - |")
            if f"BM_SvdcmpReference/{n}" in micro:
                out.append(f"| svdcmp reference | {micro[f'BM_SvdcmpReference/{n}']:.2f} | "
                           f"({micro[f'BM_SvdcmpReference/{n}'] / micro[f'BM_Svdcmp/{n}']:.1f}x svdcmp) |")
            if whole_ref is not None:
                out.append(f"| whole job, reference kernels | {whole_ref:.2f} | "
                           f"({whole_ref / whole:.1f}x the job) |")

        speedup = ref_job / fast_job
        numpy_ok = None if numpy_ms is None else (whole if whole is not None else fast_job * 1e3) <= numpy_ms
        per_worker_ok = max(per_worker_2, per_worker_8) < 8.0
        out.append("")
        out.append("| target | wanted | measured | met |")
        out.append("|---|---|---|---|")
        if real_job is not None:
            out.append(f"| real tables: speed-up over the reference kernels | >= 10x | "
                       f"{real_speedup:.1f}x (-j 1, per job {real_job:.1f} ms) | "
                       f"{'yes' if real_speedup >= 10 else 'no'} |")
            out.append(f"| real tables: one job at -j 1 vs the scipy pipeline | no slower | "
                       f"{real_job:.1f} ms vs {fmt(numpy_ms, '{:.1f}')} ms | "
                       f"{'n/a' if numpy_ms is None else ('yes' if real_job <= numpy_ms else 'no')} |")
        kernel = ""
        if svdfit_fast is not None and svdfit_ref is not None:
            kernel = f"; svdfit alone {svdfit_ref:.1f} / {svdfit_fast:.1f} ms = {svdfit_ref / svdfit_fast:.1f}x"
        if whole is not None and whole_ref is not None:
            kernel += f"; bfit {whole_ref:.1f} / {whole:.1f} ms = {whole_ref / whole:.1f}x"
        out.append(f"| single-job speed-up over the reference kernels | >= 10x | "
                   f"{ref_job * 1e3:.1f} / {fast_job * 1e3:.1f} ms per job = {speedup:.1f}x (batch){kernel} | "
                   f"{'yes' if speedup >= 10 else 'no'} |")
        job_ms = whole if whole is not None else fast_job * 1e3
        out.append(f"| examples: one job vs the scipy pipeline on the tables above | no slower | "
                   f"{job_ms:.1f} ms {'(bfit) ' if whole is not None else '(batch) '}vs "
                   f"{fmt(numpy_ms, '{:.1f}')} ms numpy; batch ms/job {fast_job * 1e3:.1f} | "
                   f"{'n/a' if numpy_ok is None else ('yes' if numpy_ok else 'no')} |")
        out.append(f"| parallel efficiency at -j {cores} | >= 90 % | "
                   f"{rate_all:.1f} / {rate1:.1f} jobs/s / {cores} = {100 * efficiency:.0f} % | "
                   f"{'yes' if efficiency >= 0.9 else 'no'} |")
        out.append(f"| peak memory | < 8 MB per worker + a few MB | "
                   f"{per_worker_8:.1f} MB per worker (-j 8), {per_worker_2:.1f} (-j 2); "
                   f"fixed {fixed:.1f} MB; -j 1 {j1.rss_kb / 1024.0:.1f} MB | "
                   f"{'yes' if per_worker_ok and fixed < 8 else 'no'} |")
        for label, same in identical.items():
            out.append(f"| identical output trees: {label} | identical | "
                       f"{'identical' if same else 'DIFFERENT'} | {'yes' if same else 'no'} |")
        print("\n".join(out))
        if not all(identical.values()):
            sys.exit("batch.py: the output trees differ")
    finally:
        if args.keep:
            print(f"(batch kept in {work})")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
