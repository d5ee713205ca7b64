# Thin wrapper over CMake: `make test` and `make demo` are the two commands
# a fresh machine needs.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The makes that cmake --build starts inherit this: no "Entering directory"
# lines between the build's own.
MAKEFLAGS += --no-print-directory

.PHONY: all build test slurm-test format-check asan tsan tsan-driver unoptimised demo bench clean fuzz fuzz-smoke

all: build

# Each of the two set-up goals first installs the Debian packages it needs
# and the machine lacks (tools/install-deps). The tests build in build/, the
# demo in build-demo/ without them; each preset sets BUILD_TESTING itself,
# so neither inherits the other's choice from a cache.
build:
	cmake --preset release >/dev/null
	cmake --build build -j $(JOBS)

# CTEST_FLAGS passes options to ctest (CI runs the Slurm test as a stage
# of its own: -E '^slurm_array$$'). A run that finds no test fails, and
# every skipped test is listed with its reason after the summary.
CTEST_FLAGS ?=
CTEST = ctest --test-dir build --output-on-failure --no-tests=error \
  --output-junit $(CURDIR)/build/Testing/results.xml
test:
	tools/install-deps test
	$(MAKE) build
	$(CTEST) -j $(JOBS) $(CTEST_FLAGS)
	@/usr/bin/python3 tests/skipped.py build/Testing/results.xml

# Every C++ source laid out as .clang-format says (CI checks it).
format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

# The example job array on a local single-node Slurm cluster (as root, with
# Debian's slurm-wlm and munge).
slurm-test: build
	$(CTEST) -R '^slurm_array$$'
	@/usr/bin/python3 tests/skipped.py build/Testing/results.xml

# The sanitizer runs stop at the first report: a test that only prints one
# would otherwise pass. Jobs run about ten times slower there, so the
# fault-injection runs use a lower order and fewer kills.
FAULT_ENV = PHASEFIT_FAULT_ORDER=64 PHASEFIT_FAULT_KILLS=12
ASAN_ENV = $(FAULT_ENV) \
           ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:strict_init_order=1 \
           UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
TSAN_ENV = $(FAULT_ENV) TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

asan:
	cmake --preset asan >/dev/null
	cmake --build build-asan -j $(JOBS)
	$(ASAN_ENV) ctest --test-dir build-asan --output-on-failure --no-tests=error -j $(JOBS)

# TSAN_TESTS (a ctest -R pattern) restricts the run, and the build, to some
# tests; TSAN_TARGETS names the executables they need.
TSAN_TESTS ?=
TSAN_TARGETS ?= all
tsan:
	cmake --preset tsan >/dev/null
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_TARGETS)
	$(TSAN_ENV) ctest --test-dir build-tsan --output-on-failure --no-tests=error -j $(JOBS) $(if $(TSAN_TESTS),-R '$(TSAN_TESTS)')

# The code that runs on several threads: the in-order pool and the driver's
# parallel runs, against one-worker runs and under injected faults.
tsan-driver:
	$(MAKE) tsan TSAN_TARGETS="phasefit in_order_pool_test parallel_test fault_injection_test" \
	  TSAN_TESTS='^(InOrderPool|Parallel|Workers/FaultInjection)\.'

# The vector kernels built without optimisation (the dev preset), where
# nothing is inlined unless it must be: each instruction-set form against
# the reference loops.
unoptimised:
	cmake --preset dev >/dev/null
	cmake --build build-dev -j $(JOBS) --target svd_fast_test
	ctest --test-dir build-dev --output-on-failure --no-tests=error -j $(JOBS) -R '^((Svdcmp|Svbksb|Svdfit)Fast|Forms/)'

# The demo builds the tool and the Python companion in build-demo/, without
# the tests: nothing it needs comes from a test-only package.
demo:
	tools/install-deps demo
	cmake --preset demo >/dev/null
	cmake --build build-demo -j $(JOBS)
	rm -rf examples/output && mkdir -p examples/output
	cd examples && ../build-demo/phasefit tables/ output/ 0 16
	cd examples && ../build-demo/phasefit tables/ output/ 1 16
	@echo "Coefficient files are in examples/output/:"
	@ls examples/output | sed 's/^/  /'
	@echo "(inputs: examples/INPUT/ run lists, examples/tables/ phase-function tables)"
	build-demo/python/phasefit-plot examples/output/WVN_0p55_DE_010.dat examples/tables/WVN_0p55_DE_010.dat \
	  -o examples/output/WVN_0p55_DE_010.png
	@echo "Plot of one fit: examples/output/WVN_0p55_DE_010.png"

# The microbenchmarks' results are also kept in build-bench/bench-results/,
# where the batch benchmark reads them for its summary. The real tables
# (REAL_TABLES, beside the repository in shared/) are measured first when
# they are there; the examples' tables come second.
BENCH_RESULTS = build-bench/bench-results
REAL_TABLES ?= ../shared/data/real/tables
BENCH_TABLES = $(if $(wildcard $(REAL_TABLES)/*.dat),$(REAL_TABLES),examples/tables)
bench:
	tools/install-deps bench
	cmake --preset bench >/dev/null
	cmake --build build-bench -j $(JOBS)
	@mkdir -p $(BENCH_RESULTS) && rm -f $(BENCH_RESULTS)/*
	@[ -n "$(wildcard $(REAL_TABLES)/*.dat)" ] || \
	  echo "(no real tables at $(REAL_TABLES): the real-table lines are skipped, the examples' tables stand in)"
	@echo "== build-bench/bench/svd_phases $(BENCH_TABLES) (svdcmp phase by phase, per job)"
	@build-bench/bench/svd_phases $(BENCH_TABLES) | tee $(BENCH_RESULTS)/svd_phases.txt
	@echo "== bench/compare_numpy.py $(BENCH_TABLES) (the same jobs as a scipy pipeline, double, one OpenBLAS thread)"
	@/usr/bin/python3 bench/compare_numpy.py $(BENCH_TABLES) > $(BENCH_RESULTS)/numpy.txt && cat $(BENCH_RESULTS)/numpy.txt || \
	  echo "scipy comparison skipped: it needs /usr/bin/python3 with numpy and scipy (tools/install-deps bench)"
	@echo "== bench/fit_inprocess.py (phasefit.fit and the scipy pipeline in-process, 1 worker and all)" && /usr/bin/python3 bench/fit_inprocess.py --python build-bench/python $(BENCH_TABLES) > $(BENCH_RESULTS)/fit_inprocess.txt && cat $(BENCH_RESULTS)/fit_inprocess.txt || echo "in-process comparison skipped: it needs phasefit._fit (pybind11-dev, python3-dev) and scipy"
	@for b in build-bench/bench/bench_*; do echo "== $$b"; \
	  $$b --benchmark_out=$(BENCH_RESULTS)/$${b##*/}.json --benchmark_out_format=json || exit 1; done
	@echo "== bench/batch.py (the tables of $(BENCH_TABLES), then a batch of 8 sizes x 6 wavelengths at N = 300: -j 1, -j all, reference kernels)"
	@/usr/bin/python3 bench/batch.py --build build-bench --results $(BENCH_RESULTS) --tables $(BENCH_TABLES)

# libFuzzer targets (fuzz/), built by clang with AddressSanitizer and
# UndefinedBehaviorSanitizer over every source they use. Each target runs
# FUZZ_SECONDS; findings are left in $(FUZZ_BUILD)/findings/<target>/ and
# the goal fails if any target found something.
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer

fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DPHASEFIT_FUZZ=ON -DBUILD_TESTING=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
	  -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" >/dev/null
	cmake --build $(FUZZ_BUILD) --target fuzz_all -j $(JOBS)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=5

clean:
	rm -rf build build-demo build-dev build-asan build-tsan build-bench
