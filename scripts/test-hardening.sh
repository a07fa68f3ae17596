#!/usr/bin/env bash
# Hardening runs, each building only what it needs (-j2):
#   long  normal build: the store-fault tests, the load test at full size
#         (8 threads x 1,000,000 requests) and 30 rounds of SIGKILL crash safety
#   asan  the whole test suite under AddressSanitizer + UndefinedBehaviorSanitizer
#         (the browser test left out; the long tests at reduced size)
#   tsan  the concurrency tests under ThreadSanitizer (the load test at reduced size)
# Usage: scripts/test-hardening.sh [long|asan|tsan]...   (default: all three)
# Build folders: PREFIX-hard, PREFIX-asan, PREFIX-tsan, PREFIX from
# REFWARDEN_HARDENING_PREFIX (default "build"); REFWARDEN_HARDENING_NORMAL_BUILD
# names an existing normal build to use for 'long' instead of PREFIX-hard.
set -euo pipefail
cd "$(dirname "$0")/.."

PREFIX=${REFWARDEN_HARDENING_PREFIX:-build}
stages=("$@")
[[ ${#stages[@]} -gt 0 ]] || stages=(long asan tsan)

# Sanitized builds: line tables are enough for the reports, and build faster.
SANITIZED=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1")
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

durations=()
timed() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  durations+=("$name: $((SECONDS - start)) s")
  echo "hardening: $name took $((SECONDS - start)) s" >&2
}

long_build() {
  cmake -S . -B "$1" >/dev/null
  cmake --build "$1" -j2 --target refwarden_store_fault_tests refwarden_load_test refwarden_crash_test
}
long_run() {
  ctest --test-dir "$1" -L hardening --output-on-failure
  grep -h '^load:' "$1/Testing/Temporary/LastTest.log" >&2 || true
}

asan_build() {
  cmake -S . -B "$1" -DREFWARDEN_SANITIZE="address;undefined" "${SANITIZED[@]}" >/dev/null
  cmake --build "$1" -j2
}
asan_run() {
  REFWARDEN_LOAD_REQUESTS=20000 REFWARDEN_CRASH_ROUNDS=10 \
    ctest --test-dir "$1" -LE browser --output-on-failure -j2
}

# The tests that run threads (or processes) against one store.
TSAN_TESTS='^(Stores/StoreContractTest\.(ManyThreadsWriteTheExactSet|OneHandleSharedAndClosedUnderUse)/.*|RegistryLayerTest\.SeveralProcessesWriteTheExactSet|FilterConcurrencyTest\..*|FilterContractTest\.ConcurrentRequestsAreEachHandled|RequestPipelineTest\..*|StoreFaultTest\..*|LoadTest\..*)$'
tsan_build() {
  cmake -S . -B "$1" -DREFWARDEN_SANITIZE=thread "${SANITIZED[@]}" >/dev/null
  cmake --build "$1" -j2 --target refwarden_registry_tests refwarden_filter_tests \
    refwarden_store_fault_tests refwarden_load_test refwarden_replay_tests
}
tsan_run() {
  REFWARDEN_LOAD_REQUESTS=3000 ctest --test-dir "$1" -R "$TSAN_TESTS" --output-on-failure -j2
}

for stage in "${stages[@]}"; do
  case $stage in
    long)
      dir=${REFWARDEN_HARDENING_NORMAL_BUILD:-$PREFIX-hard}
      timed "long: build" long_build "$dir"
      timed "long: store faults, load 8 x 1,000,000, 30 crash rounds" long_run "$dir" ;;
    asan)
      timed "asan+ubsan: build" asan_build "$PREFIX-asan"
      timed "asan+ubsan: whole suite" asan_run "$PREFIX-asan" ;;
    tsan)
      timed "tsan: build" tsan_build "$PREFIX-tsan"
      timed "tsan: concurrency tests" tsan_run "$PREFIX-tsan" ;;
    *) echo "test-hardening: unknown stage '$stage' (long, asan, tsan)" >&2; exit 2 ;;
  esac
done
printf 'hardening: %s\n' "${durations[@]}" >&2
