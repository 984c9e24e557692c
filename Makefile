# Thin front end over CMake presets. Every target installs the Debian
# packages it needs first (scripts/ensure-packages.sh checks before it installs).

JOBS ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

.PHONY: all build demo test test-release test-asan test-tsan test-windows bench clean

all: build

build:
	@scripts/ensure-packages.sh build
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

# Scans the samples with the default database built beside the library.
# Exit status 1 only says that something was reported, as it should be here.
demo: build
	build/release/tools/veltor/veltor scan -r samples/ || [ $$? -eq 1 ]

test: test-release test-asan test-tsan

test-release:
	@scripts/ensure-packages.sh build
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --test-dir build/release $(CTEST_FLAGS)

test-asan:
	@scripts/ensure-packages.sh build
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --test-dir build/asan $(CTEST_FLAGS)

# ThreadSanitizer over the concurrency tests only: they are what it can judge
# (the library's handles on many threads; veltor scan's workers).
test-tsan:
	@scripts/ensure-packages.sh build
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target api_concurrency_tests veltor_scan_tests
	build/tsan/tests/api/api_concurrency_tests
	build/tsan/tests/tools/veltor_scan_tests --gtest_filter='*Workers*'

test-windows:
	@scripts/ensure-packages.sh windows
	scripts/test-windows.sh

bench: build
	scripts/run-benchmarks.sh

clean:
	rm -rf build
