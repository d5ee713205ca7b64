# Thin wrapper over CMake: `make test` and `make demo` are the two commands
# a fresh machine needs.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build test asan tsan demo bench clean

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

bench:
	cmake --preset bench >/dev/null
	cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf build build-dev build-asan build-tsan build-bench
