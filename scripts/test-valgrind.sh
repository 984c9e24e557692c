#!/usr/bin/env bash
# Runs the integration tests of the Release build (the real shared library
# driven through its exports, and the C example host they start) under
# valgrind's memcheck: any invalid access, use of uninitialised memory or
# leak fails the run.
#
# Every integration test runs, the 16 MiB file scan included: under memcheck
# the whole set takes seconds, so nothing needs skipping. Should one ever
# grow too slow, exclude it here with VALGRIND_GTEST_FILTER (a negative
# --gtest_filter pattern, e.g. '-Suite.Case') and say why.
# The build-date test runs once, under UTC.
set -euo pipefail
cd "$(dirname "$0")/.."

tests=build/release/tests/engine/api
filter=${VALGRIND_GTEST_FILTER:-*}

memcheck() {
  echo "== valgrind $*" >&2
  valgrind --tool=memcheck --error-exitcode=1 --trace-children=yes \
    --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
    --show-leak-kinds=definite,indirect,possible --quiet "$@"
}

memcheck "$tests/api_tests" --gtest_filter="$filter"
memcheck "$tests/api_concurrency_tests"
TZ=UTC VELTOR_EXPECTED_UTC_OFFSET_MINUTES=0 memcheck "$tests/api_lib_date_tests"
echo "valgrind: integration tests clean" >&2
