#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the named groups is missing.
# Usage: scripts/install-deps.sh GROUP...
#   build    the Linux build, the tool and the tests
#   win32    the Windows cross builds (32- and 64-bit) and Wine; 32-bit Wine
#            (wine32:i386) only where the kernel runs i386 programs
#   browser  Chromium for the end-to-end tests of the demo site
#   bench    the benchmarks and the peers they measure against
#   fuzz     clang and its fuzzing and sanitizer run-times
set -euo pipefail

declare -A GROUPS_PACKAGES=(
  [build]="cmake g++ make pkg-config libgtest-dev libsqlite3-dev sqlite3 libcli11-dev libcpp-httplib-dev libmicrohttpd-dev nlohmann-json3-dev zlib1g-dev libcurl4-openssl-dev"
  [win32]="g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 googletest icoutils"
  [browser]="chromium"
  [bench]="libbenchmark-dev libpcre2-dev"
  [fuzz]="clang libclang-rt-14-dev"
)

want=()
for group in "$@"; do
  [[ -n "${GROUPS_PACKAGES[$group]+x}" ]] || { echo "install-deps: unknown group '$group'" >&2; exit 2; }
  if [[ $group == win32 ]]; then
    if reason=$("$(dirname "$0")/i386-probe.sh"); then
      GROUPS_PACKAGES[win32]+=" wine32:i386"
    else
      echo "install-deps: $reason; 32-bit Wine left out" >&2
    fi
  fi
  for package in ${GROUPS_PACKAGES[$group]}; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      want+=("$package")
    fi
  done
done
[[ ${#want[@]} -eq 0 ]] && exit 0

SUDO=()
[[ $(id -u) -eq 0 ]] || SUDO=(sudo)
for package in "${want[@]}"; do
  if [[ $package == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${SUDO[@]}" dpkg --add-architecture i386
    break
  fi
done
echo "install-deps: installing ${want[*]}" >&2
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${want[@]}" >/dev/null
