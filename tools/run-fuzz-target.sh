#!/bin/sh
# Runs one libFuzzer target for a bounded number of inputs:
#   run-fuzz-target.sh EXECUTABLE RUNS MAX_LEN
# in a fresh TRUMIK_HOME, from a corpus folder into which the target may write
# its own seeds at start-up (TRUMIK_FUZZ_SEED_DIR). TRUMIK_FUZZ_RUNS overrides
# RUNS. A finding (crash, leak, failed check) fails the run; the input that
# caused it is kept in fuzz-findings/ beside the build's bin/.
set -eu
exe="$1"
runs="${TRUMIK_FUZZ_RUNS:-$2}"
max_len="$3"
name="$(basename "$exe")"
findings="$(dirname "$exe")/../fuzz-findings"
work="$(mktemp -d "${TMPDIR:-/tmp}/trumik-fuzz-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/corpus" "$findings"
if ! TRUMIK_HOME="$work/home" TRUMIK_FUZZ_SEED_DIR="$work/corpus" \
     ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}" \
     "$exe" -runs="$runs" -max_len="$max_len" -seed=1 -print_final_stats=1 \
       -artifact_prefix="$findings/$name-" "$work/corpus" > "$work/log" 2>&1; then
  tail -60 "$work/log"
  echo "$name: a finding under the fuzzer; the input is in $findings/$name-*" >&2
  exit 1
fi
grep -E 'stat::number_of_executed_units|cov: ' "$work/log" | tail -2
