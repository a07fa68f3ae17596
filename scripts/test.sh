#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build

BUILD_DIR=${REFWARDEN_BUILD_DIR:-build}
WERROR=OFF
[[ -n "${CI:-}" ]] && WERROR=ON

cmake -S . -B "$BUILD_DIR" -DREFWARDEN_WERROR="$WERROR" >/dev/null
cmake --build "$BUILD_DIR" -j2
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2
