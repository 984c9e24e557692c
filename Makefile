# Thin front end over CMake presets. Every target installs the Debian
# packages it needs first (scripts/ensure-packages.sh checks before it installs).

JOBS ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

.PHONY: all build demo test test-long test-release test-asan test-tsan test-python test-windows test-valgrind package test-package package-reproducible fuzz fuzz-smoke fuzz-seeds bench clean

all: build

build:
	@scripts/ensure-packages.sh build
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

# Scans the samples with the default database built beside the library. It
# builds only what it runs: the library, the veltor program and the database.
# Exit status 1 only says that something was reported, as it should be here.
demo:
	@scripts/ensure-packages.sh build
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target QZVeltor veltor veltor_default_database
	build/release/veltor/veltor scan -r samples/ || [ $$? -eq 1 ]

test: test-release test-asan test-tsan test-python

test-release:
	@scripts/ensure-packages.sh build service
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --test-dir build/release $(CTEST_FLAGS)

test-asan:
	@scripts/ensure-packages.sh build service
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --test-dir build/asan $(CTEST_FLAGS)

# ThreadSanitizer over the concurrency tests only: they are what it can judge
# (the library's handles on many threads; veltor scan's workers; veltord's
# workers, networking and reloads, served to its real clients).
test-tsan:
	@scripts/ensure-packages.sh build service
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target api_concurrency_tests veltor_scan_tests veltord veltor veltor_default_database
	build/tsan/tests/engine/api/api_concurrency_tests
	build/tsan/tests/veltor/veltor_scan_tests --gtest_filter='*Workers*'
	$(PYTHON) tests/veltord/veltord_clients_test.py build/tsan/veltord/veltord build/tsan/veltor/veltor \
	  build/tsan/engine/api/qzdata.vlb samples

# The Python package (python/, docs/python.md): its native module built in
# place with the Release build, then its pytest suite on Debian's interpreter,
# where the Debian packages pybind11, pytest and Dask are installed.
PYTHON ?= /usr/bin/python3
test-python:
	@scripts/ensure-packages.sh build python
	cmake --preset release -DVELTOR_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(PYTHON)
	cmake --build --preset release -j $(JOBS) --target veltor veltor_default_database veltor_python
	$(PYTHON) -m pytest -q python/tests

# The long sweeps: a C host under every address-space limit from 16 to 400
# MiB, 1 MiB apart, over a database of 150,000 signatures (make test takes
# every fifth MiB up to 128).
test-long:
	@scripts/ensure-packages.sh build
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target api_address_limit_tests
	VELTOR_FULL_ADDRESS_SWEEP=1 build/release/tests/engine/api/api_address_limit_tests

test-windows:
	@scripts/ensure-packages.sh windows
	scripts/test-windows.sh

# The Debian packages (debian/): dpkg-buildpackage in a copy of the tree
# under build/package, then lintian; the .deb files land in build/packages/.
package:
	@scripts/ensure-packages.sh build python package
	scripts/build-packages.sh

# The packages built, installed with apt-get on this machine, used and
# purged (scripts/test-packages.sh; needs root or sudo). Bounded: a build
# that hangs fails the run instead of holding CI.
PACKAGE_TIMEOUT ?= 1500
test-package:
	@scripts/ensure-packages.sh build python package service
	timeout $(PACKAGE_TIMEOUT) scripts/test-packages.sh

# The packages built twice and compared byte for byte
# (scripts/check-reproducible-packages.sh).
package-reproducible:
	@scripts/ensure-packages.sh build python package
	scripts/check-reproducible-packages.sh

# memcheck over the Release build's integration tests (scripts/test-valgrind.sh).
test-valgrind:
	@scripts/ensure-packages.sh build valgrind
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	scripts/test-valgrind.sh

# Every libFuzzer target for FUZZ_SECONDS each, on a fresh copy of its corpus.
FUZZ_SECONDS ?= 60
fuzz-smoke:
	scripts/fuzz.sh smoke $(FUZZ_SECONDS)

# One target for longer: make fuzz TARGET=matcher SECONDS=1800. Its working
# corpus in build/fuzz-work/TARGET grows from run to run.
TARGET ?=
SECONDS ?= 600
fuzz:
	@test -n "$(TARGET)" || { echo "usage: make fuzz TARGET=<target> [SECONDS=n]" >&2; exit 2; }
	scripts/fuzz.sh run $(TARGET) $(SECONDS)

# Rewrites the seed corpora in fuzz/corpus/ with our own tools.
fuzz-seeds:
	scripts/fuzz.sh seeds

# The scan path's table (beside Hyperscan when libhyperscan-dev is there);
# BENCH_ALL=1 also runs the Google Benchmark executables.
bench: build
	@scripts/ensure-packages.sh bench
	scripts/run-benchmarks.sh

clean:
	rm -rf build
