#!/usr/bin/env bash
# Runs libFuzzer targets built by the `fuzz` preset.
#
#   scripts/fuzz.sh smoke [SECONDS]        every target for SECONDS (60) each,
#                                          on a fresh copy of its corpus
#   scripts/fuzz.sh run TARGET SECONDS     one target, on a working corpus
#                                          kept in build/fuzz-work/TARGET that
#                                          grows from run to run
#   scripts/fuzz.sh seeds                  rewrites the seeds in fuzz/corpus/
#
# The checked-in corpus (fuzz/corpus/TARGET: seeds written by our own tools
# and regression inputs) is only read. Any crash, leak, sanitizer report,
# timeout or out-of-memory fails the run; the input that caused it is left
# in build/fuzz-artifacts/TARGET/.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(database_body evaluator matcher scan_path engine rule_compiler dump_compile archive clamd_protocol http_request icap_protocol)
bin=build/fuzz/fuzz

# The longest input each target is given: enough for a database of a few
# records, a thousand-level expression, or a pattern set with its haystack.
max_len() {
  case "$1" in
    database_body) echo 4096 ;;
    evaluator) echo 8192 ;;
    matcher|scan_path) echo 1024 ;;
    engine) echo 4096 ;;
    archive) echo 65536 ;;
    *) echo 4096 ;;
  esac
}

# Options a target needs beyond the common ones. libarchive allocates what
# a header declares before it reads the data behind it (gigabytes for a few
# bytes of input, never touched when the data is not there): the archive
# target lets such an allocation through or fail (ASan returns null past
# its own maximum, as malloc would), and keeps the RSS limit.
extra_flags() {
  case "$1" in
    archive) echo "-malloc_limit_mb=1048576" ;;
  esac
}

build() {
  scripts/ensure-packages.sh build fuzz
  cmake --preset fuzz >/dev/null
  local names=(veltor_fuzz_seeds) name
  for name in "${targets[@]}"; do names+=("fuzz_$name"); done
  cmake --build --preset fuzz -j "${JOBS:-$(nproc)}" --target "${names[@]}"
}

# run_target TARGET SECONDS CORPUS_FOLDER
run_target() {
  local target=$1 seconds=$2 corpus=$3
  local artifacts=build/fuzz-artifacts/$target/
  mkdir -p "$corpus" "$artifacts"
  echo "== fuzz_$target: $seconds s, corpus $corpus" >&2
  # -timeout: a single input running this long is a hang. The log goes to
  # stderr; libFuzzer's final statistics close it.
  local asan=${ASAN_OPTIONS:-}
  [ "$target" = archive ] && asan="${asan:+$asan:}allocator_may_return_null=1"
  # shellcheck disable=SC2046
  ASAN_OPTIONS="$asan" "$bin/fuzz_$target" "$corpus" "fuzz/corpus/$target" $(extra_flags "$target") \
    -max_total_time="$seconds" -max_len="$(max_len "$target")" \
    -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts" 2>&1 | { grep -v -E '^#[0-9]+\s+(NEW|REDUCE|pulse)' || true; } >&2
}

case "${1:-}" in
  smoke)
    seconds=${2:-60}
    build
    work=$(mktemp -d "${TMPDIR:-/tmp}/veltor-fuzz-smoke.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    for target in "${targets[@]}"; do
      run_target "$target" "$seconds" "$work/$target"
    done
    echo "fuzz-smoke: ${#targets[@]} targets, $seconds s each, no crash" >&2
    ;;
  run)
    target=${2:?target name}
    seconds=${3:-600}
    build
    run_target "$target" "$seconds" "build/fuzz-work/$target"
    ;;
  seeds)
    build
    "$bin/veltor_fuzz_seeds" fuzz/corpus
    ;;
  *)
    echo "usage: $0 smoke [SECONDS] | run TARGET SECONDS | seeds" >&2
    exit 2
    ;;
esac
