#!/usr/bin/env bash
# Builds the Windows filter DLL, its tool, tests and package with MinGW-w64,
# checks the shipped files statically and runs the Windows tests under Wine.
#
# Why two builds: the product is the 32-bit refwarden.dll (build-win32), but
# 32-bit Wine needs i386 Linux processes, and the kernels this runs on (here
# and in CI) refuse to execute 32-bit ELF binaries ("Exec format error"). So
# the same sources are built a second time as a 64-bit DLL (build-win64) and
# every Wine test runs under wine64 against that one: LoadLibrary, exports by
# name and ordinal, the real registry, the unit tests. The shipped i686 DLL
# is verified statically: PE32/i386, its exports and ordinals, that it imports
# only system DLLs, and its version resource (read by objdump/wrestool and by
# GetFileVersionInfo under wine64, which reads 32-bit files too). Where
# 32-bit Wine does work, the i686 tests are run under it as well.
#
# Usage: scripts/test-win32.sh   (REFWARDEN_WIN32_BUILD_DIR, REFWARDEN_WIN64_BUILD_DIR
#                                  choose the build folders)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

B32=${REFWARDEN_WIN32_BUILD_DIR:-build-win32}
B64=${REFWARDEN_WIN64_BUILD_DIR:-build-win64}

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok:   $*"; }
stage() { echo; echo "== $*"; }

# ---- build -----------------------------------------------------------------
stage "build"
cmake -S . -B "$B32" --toolchain cmake/toolchain-mingw-i686.cmake >/dev/null
cmake --build "$B32" -j2
cmake --build "$B32" --target package
cmake -S . -B "$B64" --toolchain cmake/toolchain-mingw-x86_64.cmake >/dev/null
cmake --build "$B64" -j2

DLL32=$B32/bin/refwarden.dll
DLL64=$B64/bin/refwarden.dll
ZIP=$B32/refwarden-1.0.0-win32.zip

# ---- static checks ---------------------------------------------------------
stage "static checks"

# check_pe FILE OBJDUMP FORMAT: file format and imports of system DLLs only.
check_pe() {
  local file=$1 objdump=$2 format=$3 imports bad
  if "$objdump" -f "$file" | grep -q "file format $format"; then
    ok "$file is $format"
  else
    fail "$file is not $format: $("$objdump" -f "$file" | grep 'file format')"
  fi
  imports=$("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
  bad=$(echo "$imports" | tr ' ' '\n' | grep -v -i -x -E 'kernel32\.dll|advapi32\.dll|msvcrt\.dll|user32\.dll|ntdll\.dll|version\.dll|api-ms-win-[a-z0-9-]+\.dll|' || true)
  if [[ -z $bad ]]; then ok "$file imports only system DLLs: $imports"; else fail "$file imports $bad"; fi
}

# check_exports FILE OBJDUMP: exactly the three entry points, undecorated,
# by ordinal 1 TerminateFilter, 2 HttpFilterProc, 3 GetFilterVersion.
check_exports() {
  local file=$1 objdump=$2 table base expected actual
  table=$("$objdump" -p "$file")
  base=$(sed -n 's/^Export Address Table -- Ordinal Base \([0-9]*\).*/\1/p' <<<"$table")
  # "[   2] GetFilterVersion": the index into the address table, plus the base.
  actual=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" |
           sed -n 's/^\s*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' |
           while read -r index name; do echo "$((index + base)) $name"; done | sort -n | tr '\n' ';')
  expected="1 TerminateFilter;2 HttpFilterProc;3 GetFilterVersion;"
  if [[ $actual == "$expected" ]]; then ok "$file exports $actual"; else fail "$file exports '$actual', want '$expected'"; fi
  if grep -q 'Export Address Table.*00000003' <<<"$table"; then ok "$file has 3 exported functions"
  else fail "$file does not have exactly 3 exported functions"; fi
}

# check_version_bytes FILE: the raw version resource holds 1.0.0.0 (file and
# product), the string table 080403A8 and the translation 0x0804, 0x03A8.
check_version_bytes() {
  local file=$1 listing hex
  listing=$(wrestool -l "$file")
  if grep -q -- '--type=16 --name=1 --language=2052' <<<"$listing"; then ok "$file has a version resource for language 2052 (0x0804)"
  else fail "$file version resource listing: $listing"; fi
  hex=$(wrestool -x --raw -t16 "$file" | od -An -tx1 -v | tr -d ' \n')
  # VS_FIXEDFILEINFO: signature, struct version, FileVersion MS/LS, ProductVersion MS/LS.
  if grep -q 'bd04effe0000010000000100000000000000010000000000' <<<"$hex"; then ok "$file FileVersion and ProductVersion 1.0.0.0"
  else fail "$file fixed file info is not 1.0.0.0/1.0.0.0"; fi
  if grep -q '30003800300034003000330041003800' <<<"$hex"; then ok "$file string table 080403A8"
  else fail "$file lacks the string table 080403A8"; fi
  # "Translation" in UTF-16, its NUL and padding to 32 bits, then the value.
  if grep -q -E "$(printf 'Translation' | od -An -tx1 -v | tr -d ' \n' | sed 's/\(..\)/\100/g')(0000){1,2}0408a803" <<<"$hex"; then
    ok "$file Translation 0x0804, 0x03A8"
  else fail "$file Translation is not 0x0804, 0x03A8"; fi
}

check_pe "$DLL32" i686-w64-mingw32-objdump pei-i386
check_pe "$B32/bin/refwarden.exe" i686-w64-mingw32-objdump pei-i386
check_exports "$DLL32" i686-w64-mingw32-objdump
check_version_bytes "$DLL32"
check_pe "$DLL64" x86_64-w64-mingw32-objdump pei-x86-64
check_exports "$DLL64" x86_64-w64-mingw32-objdump

# The package: exactly its six files, the DLL the 32-bit one.
stage "package"
listing=$(cmake -E tar tf "$ZIP" | sort | tr '\n' ' ')
expected="INSTALL.txt refwarden.bmp refwarden.dll refwarden.gif refwarden.jpg refwarden.png "
if [[ $listing == "$expected" ]]; then ok "$ZIP holds $listing"; else fail "$ZIP holds '$listing', want '$expected'"; fi
unpacked=$B32/package-check
rm -rf "$unpacked" && mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$ROOT/$ZIP")
check_pe "$unpacked/refwarden.dll" i686-w64-mingw32-objdump pei-i386
check_exports "$unpacked/refwarden.dll" i686-w64-mingw32-objdump
for ext in jpg gif png bmp; do
  case $ext in
    jpg) magic=ffd8ff ;; gif) magic=47494638 ;; png) magic=89504e470d0a1a0a ;; bmp) magic=424d ;;
  esac
  if [[ $(head -c 8 "$unpacked/refwarden.$ext" | od -An -tx1 -v | tr -d ' \n') == "$magic"* ]]; then
    ok "refwarden.$ext is a $ext file"
  else fail "refwarden.$ext is not a $ext file"; fi
done
if grep -q $'\r$' "$unpacked/INSTALL.txt" && grep -q "preCondition='bitness32'" "$unpacked/INSTALL.txt"; then
  ok "INSTALL.txt (CRLF) names the bitness32 precondition"
else fail "INSTALL.txt is not the administrator's guide with Windows line ends"; fi

# ---- Wine --------------------------------------------------------------------
stage "Wine (64-bit build)"
WINE64=/usr/lib/wine/wine64
export WINEPREFIX=$ROOT/$B64/wine-prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
cleanup() { WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null || true; }
trap cleanup EXIT
"$WINE64" wineboot -i >/dev/null 2>&1 || true   # its 32-bit helpers cannot start here

run_wine() {  # run_wine LABEL COMMAND...: a Windows program must exit 0
  local label=$1; shift
  if "$@"; then ok "$label"; else fail "$label (exit $?)"; fi
}

# ---- replay under Wine ---------------------------------------------------------
# replay_under_wine WINE BUILD_DIR: refwarden.exe replay as an administrator
# runs it on the server. The log tests (reading, parsing, summing up), then
# the log shapes of tests/logs, each read by the parser and by refwarden.exe
# (a wildcard expanded by the tool, paths with backslashes and a drive
# letter) and held to the same counts as the Linux tool; and a replay without
# --trace must leave HKCU\software\tarnwel\debug as it was and no private
# key behind.
replay_under_wine() {
  local wine=$1 build=$2
  run_wine "replay: log tests ($build)" "$wine" "$build/bin/refwarden_log_tests.exe" --gtest_brief=1
  run_wine "replay: log shapes through refwarden.exe ($build)" \
    "$wine" "$build/bin/refwarden_replay_tests.exe" --gtest_brief=1
}
# ---- end of replay under Wine ----------------------------------------------------
run_wine "unit tests" "$WINE64" "$B64/bin/refwarden_unit_tests.exe" --gtest_brief=1
run_wine "DLL tests" "$WINE64" "$B64/bin/refwarden_dll_tests.exe" --gtest_brief=1
replay_under_wine "$WINE64" "$B64"

expected_version="FileVersion=1.0.0.0
ProductVersion=1.0.0.0
FileType=2
Translation=080403A8
080403A8\\CompanyName=Refwarden
080403A8\\FileDescription=Refwarden hot-link protection filter
080403A8\\FileVersion=1.0.0.0
080403A8\\InternalName=refwarden
080403A8\\OriginalFilename=refwarden.dll
080403A8\\ProductName=Refwarden
080403A8\\ProductVersion=1.0.0.0"
for dll in "$DLL64" "$DLL32"; do
  actual=$("$WINE64" "$B64/bin/refwarden_versioninfo.exe" "Z:$(realpath "$dll" | tr / '\\')" | tr -d '\r' || true)
  if [[ $actual == "$expected_version" ]]; then ok "GetFileVersionInfo on $dll"
  else fail "version resource of $dll as Windows reads it:"$'\n'"$actual"; fi
done

# The tool, loading the DLL beside it, and the trace it leaves in the registry.
answer=$("$WINE64" "$B64/bin/refwarden.exe" check --host www.example.org --referer http://elsewhere.net/ '/gallery/cat.jpg?w=1' | tr -d '\r' || true)
[[ $answer == "rewrite /refwarden.jpg" ]] && ok "refwarden check: hot-linked image rewritten" || fail "refwarden check said '$answer'"
answer=$("$WINE64" "$B64/bin/refwarden.exe" check --host www.example.org --referer http://www.example.org/ '/gallery/dog.png' | tr -d '\r' || true)
[[ $answer == "pass" ]] && ok "refwarden check: own page's image passes" || fail "refwarden check said '$answer'"
query=$("$WINE64" reg query 'HKCU\software\tarnwel\debug' /v /gallery/cat.jpg | tr -d '\r' || true)
if grep -q -E '^\s+/gallery/cat\.jpg\s+REG_SZ\s+ok$' <<<"$query"; then ok "wine reg query finds /gallery/cat.jpg = ok"
else fail "wine reg query:"$'\n'"$query"; fi
query=$("$WINE64" "$B64/bin/refwarden.exe" reg query 'HKCU\software\tarnwel\debug' | tr -d '\r' || true)
if grep -q -E '^\s+/gallery/dog\.png\s+REG_SZ\s+ok$' <<<"$query"; then ok "refwarden reg query finds /gallery/dog.png = ok"
else fail "refwarden reg query:"$'\n'"$query"; fi

# 32-bit Wine, where the kernel can run it.
if [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  stage "Wine (32-bit build)"
  run_wine "i686 unit tests" /usr/lib/wine/wine "$B32/bin/refwarden_unit_tests.exe" --gtest_brief=1
  run_wine "i686 DLL tests" /usr/lib/wine/wine "$B32/bin/refwarden_dll_tests.exe" --gtest_brief=1
  replay_under_wine /usr/lib/wine/wine "$B32"
else
  echo "32-bit Wine cannot run on this machine; the i686 DLL was checked statically."
fi

echo
if ((failures > 0)); then
  echo "test-win32: $failures check(s) FAILED" >&2
  exit 1
fi
# The prefix holds a copy of Wine's DLLs (some 700 MB); kept only on failure.
cleanup
rm -rf "$WINEPREFIX"
echo "test-win32: all checks passed"
