#!/usr/bin/env bash
# Runs the benchmarks of the Release build (make bench builds it first):
# scan_bench prints the scan path's table (pattern sets and hostile cases,
# beside SearchBuffer and, when built in, Hyperscan). With BENCH_ALL=1 every
# other *_bench executable runs too. Arguments go to scan_bench (--quick).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/release/bench
# A build configured before libhyperscan-dev was installed looks again.
if [ -f /usr/include/hs/hs.h ] && ! grep -q '^HYPERSCAN_LIBRARY:.*libhs' build/release/CMakeCache.txt 2>/dev/null; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target scan_bench >/dev/null
fi
if [ ! -x "$dir/scan_bench" ]; then
  echo "no scan_bench in $dir: run 'make build' first" >&2
  exit 1
fi
echo "== $dir/scan_bench"
"$dir/scan_bench" "$@"
if [ "${BENCH_ALL:-0}" = 1 ]; then
  for exe in "$dir"/*_bench; do
    [ -x "$exe" ] && [ "$(basename "$exe")" != scan_bench ] || continue
    echo "== $exe"
    "$exe"
  done
fi
