#!/usr/bin/env bash
# scripts/install-deps.sh against an archive partly out of step, with
# stand-ins for apt-get, dpkg and dpkg-query on PATH: nothing is installed,
# and each row says what the stand-in archive refuses.
#   index    apt-get update fails on one index, every time
#   wine32   the install of wine32:i386 is refused
#   package  the install of a package a group needs is refused
# The first two go on with one warning each; the third fails, naming the
# package and apt's reason.
# Usage: install_deps_test.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The script under test, beside an i386 probe that always says yes.
mkdir -p "$work/scripts" "$work/bin"
cp "$source_dir/scripts/install-deps.sh" "$work/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$work/scripts/i386-probe.sh"

cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
exit 1
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/bin/sh
echo "dpkg $*" >>"$FAKE_APT_LOG"
EOF
# apt-get: logs each call; refuses the packages in FAKE_APT_REFUSE the way
# apt does (an unmet dependency, then its error).
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $*" >>"$FAKE_APT_LOG"
if [[ $1 == update ]]; then
  if [[ -n ${FAKE_APT_BAD_INDEX:-} ]]; then
    echo "Err:4 http://archive.example/debian-security bookworm-security/main i386 Packages"
    echo "E: Failed to fetch http://archive.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100
  fi
  exit 0
fi
for arg in "$@"; do
  for refused in ${FAKE_APT_REFUSE:-}; do
    if [[ $arg == "$refused" ]]; then
      echo "The following packages have unmet dependencies:"
      echo " $refused : Depends: libfake-$refused (= 1.2) but 1.1 is to be installed"
      echo "E: Unable to correct problems, you have held broken packages." >&2
      exit 100
    fi
  done
done
exit 0
EOF
chmod +x "$work/bin/"* "$work/scripts/i386-probe.sh"

failures=0
check() {  # check DESCRIPTION CONDITION...
  local description=$1
  shift
  if "$@"; then echo "ok:   $row: $description"; else echo "FAIL: $row: $description"; failures=$((failures + 1)); fi
}

# run ROW [VAR=VALUE...]: install-deps for build and win32, with the stand-ins.
run() {
  row=$1
  shift
  : >"$work/apt.log"
  : >"$work/notes"
  env PATH="$work/bin:$PATH" FAKE_APT_LOG="$work/apt.log" REFWARDEN_DEPS_NOTES="$work/notes" \
    REFWARDEN_APT_RETRY_PAUSE=0 "$@" "$work/scripts/install-deps.sh" build win32 \
    >"$work/out" 2>"$work/err"
  status=$?
  echo "--- $row: exit $status; stderr:"
  sed 's/^/    /' "$work/err"
}
said() { grep -q -F -- "$1" "$work/err"; }
said_once() { [[ $(grep -c -F -- "$1" "$work/err") -eq 1 ]]; }
last_install() { grep '^apt-get install -y' "$work/apt.log" | tail -n 1; }

run index FAKE_APT_BAD_INDEX=1
check "exits 0" test "$status" -eq 0
check "tries the update three times" test "$(grep -c '^apt-get update' "$work/apt.log")" -eq 3
check "says apt's line about the failed index once" said_once "binary-i386/Packages.xz  File has unexpected size"
check "installs the packages anyway" grep -q '^apt-get install -y .* libcli11-dev' "$work/apt.log"

run wine32 FAKE_APT_REFUSE=wine32:i386
check "exits 0" test "$status" -eq 0
check "adds the i386 architecture" grep -q '^dpkg --add-architecture i386' "$work/apt.log"
check "installs wine32:i386 last, in a transaction of its own" \
  test "$(last_install)" = "apt-get install -y --no-install-recommends wine32:i386"
check "installs every other package before it" grep -q '^apt-get install -y .* wine64 ' "$work/apt.log"
check "says so in one line, with apt's reason" \
  said_once "32-bit Wine (wine32:i386) cannot be installed: wine32:i386 : Depends: libfake-wine32:i386"
check "notes it for the test scripts" grep -q '^wine32:i386: wine32:i386 : Depends:' "$work/notes"

run package FAKE_APT_REFUSE=libcli11-dev
check "fails" test "$status" -ne 0
check "names the package and apt's reason" \
  said "cannot install libcli11-dev: libcli11-dev : Depends: libfake-libcli11-dev (= 1.2)"
check "names no package that can be installed" bash -c "! grep -q 'cannot install cmake' '$work/err'"
check "does not go on to 32-bit Wine" bash -c "! grep -q 'install -y --no-install-recommends wine32:i386\$' '$work/apt.log'"

echo
if ((failures > 0)); then echo "install_deps_test: $failures check(s) failed"; exit 1; fi
echo "install_deps_test: all checks passed"
