#!/usr/bin/env bash
# Builds the fuzzers (clang, address and undefined-behaviour sanitizers) and
# runs each for SECONDS, starting from its committed seed corpus. Fails on any
# finding: a mismatch with the reference, a crash, a leak or a sanitizer report.
# Usage: scripts/fuzz.sh [SECONDS]   (default 20 per fuzzer)
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-20}
BUILD_DIR=${REFWARDEN_FUZZ_BUILD_DIR:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DREFWARDEN_BUILD_TESTS=OFF -DREFWARDEN_BUILD_FUZZERS=ON \
  -DREFWARDEN_SANITIZE="address;undefined;fuzzer-no-link" >/dev/null
mapfile -t fuzzers < "$BUILD_DIR/fuzzers.txt"
cmake --build "$BUILD_DIR" -j2 --target "${fuzzers[@]/#/refwarden_fuzz_}"

for name in "${fuzzers[@]}"; do
  work="$BUILD_DIR/fuzz-work/$name"
  mkdir -p "$work/corpus" "$work/artifacts"
  echo "fuzz: $name for ${SECONDS_EACH}s" >&2
  "$BUILD_DIR/fuzz/refwarden_fuzz_$name" -max_total_time="$SECONDS_EACH" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "fuzz/corpus/$name" 2>"$work/log" || {
    tail -n 40 "$work/log" >&2
    echo "fuzz: $name found a problem; the input is in $work/artifacts/" >&2
    exit 1
  }
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec)" "$work/log" | sed "s/^/  $name /" >&2
done
