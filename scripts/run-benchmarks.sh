#!/usr/bin/env bash
# Runs every benchmark executable of the Release build (make bench builds it
# first). Arguments go to each executable, e.g. --benchmark_filter=Search.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/release/bench
found=0
for exe in "$dir"/*_bench; do
  [ -x "$exe" ] || continue
  found=1
  echo "== $exe"
  "$exe" "$@"
done
if [ "$found" -eq 0 ]; then
  echo "no benchmark executables in $dir: run 'make build' first" >&2
  exit 1
fi
