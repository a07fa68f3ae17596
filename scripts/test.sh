#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Ends with one line
# per stage saying whether it ran, so a run that did less than everything
# (a package the archive refused, no Chromium) says so at its end.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${REFWARDEN_BUILD_DIR:-build}
mkdir -p "$BUILD_DIR"
LOGS=$BUILD_DIR/test-logs
rm -rf "$LOGS" && mkdir -p "$LOGS"
# scripts/install-deps.sh writes here what it had to leave out, and why.
export REFWARDEN_DEPS_NOTES=$LOGS/install-deps.notes
: >"$REFWARDEN_DEPS_NOTES"

STAGES=("built and tested" "fuzzers" "benchmarks" "Windows 64-bit" "Windows 32-bit" "browser" "hardening")
declare -A RESULT=()
current=""
summary() {
  local status=$? stage result
  echo
  echo "test.sh: what this run did"
  for stage in "${STAGES[@]}"; do
    result=${RESULT[$stage]:-}
    if [[ -z $result && $stage == "Windows 32-bit" && $current == "Windows 64-bit" ]]; then
      # The Windows stage failed; its 32-bit line still says whether Wine ran it.
      result=$(sed -n 's/^Windows 32-bit: \(not run.*\)/\1/p' "$LOGS/win32.log" 2>/dev/null || true)
    fi
    if [[ -z $result ]]; then
      if [[ $stage == "$current" && $status -ne 0 ]]; then result="FAILED"
      elif ((status != 0)); then result="not run: an earlier stage failed"
      else result="not run"; fi
    fi
    printf '  %-17s %s\n' "$stage:" "$result"
  done
  return "$status"
}
trap summary EXIT

# Everything the stages below need; 32-bit Wine in a transaction of its own.
scripts/install-deps.sh build browser fuzz bench win32

current="built and tested"
# Every build below treats warnings as errors when CI is set (REFWARDEN_WERROR's default).
cmake -S . -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j2
# The long runs (label 'long') come with the hardening stage at the end.
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 -LE long | tee "$LOGS/ctest.log"
RESULT[$current]=ran
# The browser test runs in the suite above and skips itself without Chromium.
if grep -q 'demo_in_browser .*Passed' "$LOGS/ctest.log"; then
  RESULT[browser]=ran
elif command -v chromium >/dev/null; then
  RESULT[browser]="not run: the demo_in_browser test was skipped (see $LOGS/ctest.log)"
else
  RESULT[browser]="not run: chromium is not installed"
fi

current="fuzzers"
# The differential fuzzers of the string units and the decision, about 20 s each.
REFWARDEN_FUZZ_BUILD_DIR="$BUILD_DIR-fuzzers" scripts/fuzz.sh 20
RESULT[$current]=ran

current="benchmarks"
# The benchmarks must build (Release) and run; one very short pass as a smoke check.
cmake -S . -B "$BUILD_DIR-bench-smoke" -DCMAKE_BUILD_TYPE=Release -DREFWARDEN_BUILD_TESTS=OFF \
  -DREFWARDEN_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR-bench-smoke" -j2
for bench in "$BUILD_DIR-bench-smoke"/bench/refwarden_bench_*; do
  "$bench" --benchmark_min_time=0.01 >/dev/null
done
RESULT[$current]="ran (a smoke pass; the figures are in BENCHMARKS.md)"

current="Windows 64-bit"
# The Windows package, both bitnesses, its files run under the Wine of each;
# its last lines say what ran of each bitness.
scripts/test-win32.sh | tee "$LOGS/win32.log"
for stage in "Windows 64-bit" "Windows 32-bit"; do
  RESULT[$stage]=$(sed -n "s/^$stage: //p" "$LOGS/win32.log" | tail -n 1)
done

current="hardening"
# Hardening: the suite under ASan+UBSan, the concurrency tests under TSan, and
# the long load and crash-safety runs in the build above.
REFWARDEN_HARDENING_PREFIX="$BUILD_DIR" REFWARDEN_HARDENING_NORMAL_BUILD="$BUILD_DIR" \
  scripts/test-hardening.sh
RESULT[$current]=ran
current=""
