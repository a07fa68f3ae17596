#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the named groups is missing.
# Usage: scripts/install-deps.sh GROUP...
#   build    the Linux build, the tool and the tests
#   win32    the Windows cross builds (32- and 64-bit) and Wine; 32-bit Wine
#            (wine32:i386) only where the kernel runs i386 programs
#   browser  Chromium for the end-to-end tests of the demo site
#   bench    the benchmarks and the peers they measure against
#   fuzz     clang and its fuzzing and sanitizer run-times
#
# The archive is sometimes partly out of step with itself. An index that
# cannot be fetched is a warning: apt's lines about it are printed once and
# the rest goes on. 32-bit Wine is installed in a transaction of its own after
# everything else, since its i386 dependencies must match the amd64 security
# updates exactly; when apt refuses it, one line says why and the 32-bit
# Windows stage checks its files statically. Only a package a group needs
# that cannot be installed ends the script, naming it and apt's reason.
#
# REFWARDEN_DEPS_NOTES, when set, names a file to which each package left out
# is appended as "PACKAGE: REASON", for the test scripts to report.
set -euo pipefail

declare -A GROUPS_PACKAGES=(
  [build]="cmake g++ make pkg-config libgtest-dev libsqlite3-dev sqlite3 libcli11-dev libcpp-httplib-dev libmicrohttpd-dev nlohmann-json3-dev zlib1g-dev"
  [win32]="g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 googletest icoutils"
  [browser]="chromium"
  [bench]="libbenchmark-dev libpcre2-dev"
  [fuzz]="clang libclang-rt-14-dev"
)
WINE32=wine32:i386
UPDATE_TRIES=3
UPDATE_PAUSE=${REFWARDEN_APT_RETRY_PAUSE:-5}  # seconds between tries of apt-get update

say() { echo "install-deps: $*" >&2; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# apt_reason OUTPUT: apt's own words for a refused install, on one line: its
# first unmet dependency and its errors.
apt_reason() {
  local unmet errors
  unmet=$(grep -E ' : (Depends|PreDepends|Conflicts|Breaks): ' <<<"$1" | head -n 1 | sed 's/^ *//' || true)
  errors=$(grep -E '^E: ' <<<"$1" | sed 's/^E: //' | paste -sd ';' - | sed 's/;/; /g' || true)
  if [[ -n $unmet && -n $errors ]]; then echo "$unmet; $errors"
  elif [[ -n $unmet$errors ]]; then echo "$unmet$errors"
  else tail -n 1 <<<"$1"; fi | sed 's/\.$//'
}

left_out() {  # left_out PACKAGE REASON
  if [[ -n ${REFWARDEN_DEPS_NOTES:-} ]]; then echo "$1: $2" >>"$REFWARDEN_DEPS_NOTES"; fi
}

want=()
want_wine32=false
for group in "$@"; do
  [[ -n "${GROUPS_PACKAGES[$group]+x}" ]] || { say "unknown group '$group'"; exit 2; }
  if [[ $group == win32 ]] && ! installed "$WINE32"; then
    if reason=$("$(dirname "$0")/i386-probe.sh"); then
      want_wine32=true
    else
      reason=${reason:-the i386 probe failed}
      say "$reason; 32-bit Wine left out"
      left_out "$WINE32" "this kernel does not run i386 programs ($reason)"
    fi
  fi
  for package in ${GROUPS_PACKAGES[$group]}; do
    installed "$package" || want+=("$package")
  done
done
[[ ${#want[@]} -eq 0 && $want_wine32 == false ]] && exit 0

SUDO=()
[[ $(id -u) -eq 0 ]] || SUDO=(sudo)
APT_INSTALL=("${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends)

if $want_wine32 && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${SUDO[@]}" dpkg --add-architecture i386
fi

# apt-get update, tried again after a pause while some index fails; what still
# fails after the last try is said once, and the install goes on with the
# indexes that were fetched (or the old ones apt kept).
update_output=""
for ((try = 1; try <= UPDATE_TRIES; try++)); do
  if update_output=$("${SUDO[@]}" apt-get update -qq -o Acquire::Retries=3 2>&1); then
    update_output=""
    break
  fi
  ((try < UPDATE_TRIES)) && sleep "$UPDATE_PAUSE"
done
if [[ -n $update_output ]]; then
  say "warning: some package indexes could not be fetched ($UPDATE_TRIES tries); going on with the rest:"
  grep -E '^(E|W|Err):' <<<"$update_output" | sed 's/^/  /' >&2 || echo "$update_output" | sed 's/^/  /' >&2
fi

if [[ ${#want[@]} -gt 0 ]]; then
  say "installing ${want[*]}"
  if ! output=$("${APT_INSTALL[@]}" "${want[@]}" 2>&1); then
    # One transaction refused: find which packages apt cannot install, each
    # tried alone (simulated), and name them with apt's reason.
    refused=0
    for package in "${want[@]}"; do
      if ! alone=$("${SUDO[@]}" apt-get install -s --no-install-recommends "$package" 2>&1); then
        say "cannot install $package: $(apt_reason "$alone")"
        refused=$((refused + 1))
      fi
    done
    ((refused > 0)) || say "cannot install ${want[*]} together: $(apt_reason "$output")"
    exit 1
  fi
fi

if $want_wine32; then
  say "installing $WINE32 on its own"
  if ! output=$("${APT_INSTALL[@]}" "$WINE32" 2>&1); then
    reason=$(apt_reason "$output")
    say "32-bit Wine ($WINE32) cannot be installed: $reason; the 32-bit Windows files will be checked statically only"
    left_out "$WINE32" "$reason"
  fi
fi
exit 0
