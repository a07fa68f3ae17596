#!/usr/bin/env bash
# Installs what is missing, builds, and serves the demo: the own site with its
# real images and a foreign site that hot-links them and gets placeholders.
# Extra arguments go to `refwarden serve`, e.g. --listen 127.0.0.1:9000.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build

BUILD_DIR=${REFWARDEN_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j2 --target refwarden_tool
exec "$BUILD_DIR/bin/refwarden" serve --demo "$@"
