#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

# Everything the stages below need, in one apt transaction on a fresh machine:
# browser is Chromium for the end-to-end test of the demo site (label 'browser').
scripts/install-deps.sh build browser fuzz bench win32

BUILD_DIR=${REFWARDEN_BUILD_DIR:-build}
# Every build below treats warnings as errors when CI is set (REFWARDEN_WERROR's default).
cmake -S . -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j2
# The long runs (label 'long') come with the hardening stage at the end.
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 -LE long

# The differential fuzzers of the string units and the decision, about 20 s each.
REFWARDEN_FUZZ_BUILD_DIR="$BUILD_DIR-fuzzers" scripts/fuzz.sh 20

# The benchmarks must build (Release) and run; one very short pass as a smoke check.
cmake -S . -B "$BUILD_DIR-bench-smoke" -DCMAKE_BUILD_TYPE=Release -DREFWARDEN_BUILD_TESTS=OFF \
  -DREFWARDEN_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR-bench-smoke" -j2
for bench in "$BUILD_DIR-bench-smoke"/bench/refwarden_bench_*; do
  "$bench" --benchmark_min_time=0.01 >/dev/null
done

# The Windows package, both bitnesses, its files run under the Wine of each.
scripts/test-win32.sh

# Hardening: the suite under ASan+UBSan, the concurrency tests under TSan, and
# the long load and crash-safety runs in the build above.
REFWARDEN_HARDENING_PREFIX="$BUILD_DIR" REFWARDEN_HARDENING_NORMAL_BUILD="$BUILD_DIR" \
  scripts/test-hardening.sh
