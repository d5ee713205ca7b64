# Thin wrapper over CMake: `make test` and `make demo` are the two commands
# a fresh machine needs.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build test asan tsan demo bench clean fuzz fuzz-smoke

all: build

build:
	cmake --preset release >/dev/null
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

asan:
	cmake --preset asan >/dev/null
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

tsan:
	cmake --preset tsan >/dev/null
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

demo: build
	rm -rf examples/output && mkdir -p examples/output
	cd examples && ../build/phasefit tables/ output/ 0 16
	cd examples && ../build/phasefit tables/ output/ 1 16
	@echo "Coefficient files are in examples/output/:"
	@ls examples/output | sed 's/^/  /'
	@echo "(inputs: examples/INPUT/ run lists, examples/tables/ phase-function tables)"
	@if /usr/bin/python3 -c 'import numpy, matplotlib' 2>/dev/null; then \
	  python/phasefit-plot examples/output/WVN_0p55_DE_010.dat examples/tables/WVN_0p55_DE_010.dat \
	    -o examples/output/WVN_0p55_DE_010.png && \
	  echo "Plot of one fit: examples/output/WVN_0p55_DE_010.png"; \
	else \
	  echo "(no plot: install python3-numpy and python3-matplotlib for python/phasefit-plot)"; \
	fi

bench:
	cmake --preset bench >/dev/null
	cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench/bench_*; do echo "== $$b"; $$b; done
	@echo "== bench/compare_numpy.py (the same 1000 x 298 system in numpy, double, one BLAS thread)"
	@/usr/bin/python3 bench/compare_numpy.py || echo "numpy comparison skipped: it needs /usr/bin/python3 with numpy (Debian python3-numpy)"

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
	rm -rf build build-dev build-asan build-tsan build-bench
