#!/usr/bin/env bash
# Builds the Windows package with MinGW-w64 (both filters, their tools, the
# Windows tests), checks what it ships, and runs the shipped files under Wine
# as IIS runs them: the 64-bit filter in a 64-bit process, the 32-bit filter
# in a 32-bit process of the same 64-bit Wine prefix (WoW64, as a 32-bit
# application pool on 64-bit Windows).
#
# Stages, one function each, run in the order at the bottom:
#   build     the package project (packaging/): both builds and the zip
#   static    per bitness, the built DLL and tool: PE32/PE32+, exports and
#             ordinals, system imports only, the version resource
#   package   the zip holds exactly its files; the same checks on them
#   wine_x64  under 64-bit Wine: the unit tests; beside the unpacked DLL, the
#             DLL tests, GetFileVersionInfo, refwarden.exe check and reg query
#             (also on a trace key nobody may write), and wine reg query
#   wine_x86  the same under 32-bit Wine, which needs a kernel that runs i386
#             programs (scripts/i386-probe.sh) and the wine32:i386 package.
#             Only where either is missing, one line says why and the 32-bit
#             files are checked statically only.
#   replay    per bitness whose Wine runs: the log tests, and the log shapes
#             of tests/logs through the packed refwarden.exe replay
# Any failed check fails the run.
#
# Usage: scripts/test-win32.sh
# Build folders (a relative one is taken from the checkout):
#   REFWARDEN_WIN_BUILD_DIR    the package project and the zip, default build-win
#   REFWARDEN_WIN32_BUILD_DIR  the 32-bit build, default $REFWARDEN_WIN_BUILD_DIR/x86
#   REFWARDEN_WIN64_BUILD_DIR  the 64-bit build, default $REFWARDEN_WIN_BUILD_DIR/x64
set -euo pipefail
cd "$(dirname "$0")/.."

BW=$(realpath -m -- "${REFWARDEN_WIN_BUILD_DIR:-build-win}")
declare -A BUILD=([x86]=$(realpath -m -- "${REFWARDEN_WIN32_BUILD_DIR:-$BW/x86}")
                  [x64]=$(realpath -m -- "${REFWARDEN_WIN64_BUILD_DIR:-$BW/x64}"))
declare -A OBJDUMP=([x86]=i686-w64-mingw32-objdump [x64]=x86_64-w64-mingw32-objdump)
declare -A FORMAT=([x86]=pei-i386 [x64]=pei-x86-64)
declare -A PE=([x86]=PE32 [x64]=PE32+)
declare -A PE_MAGIC=([x86]=010b [x64]=020b)  # the optional header's first field
declare -A BITS=([x86]=32 [x64]=64)
declare -A WINE=([x86]=/usr/lib/wine/wine [x64]=/usr/lib/wine/wine64)
declare -A OTHER=([x86]=x64 [x64]=x86)
VERSION=$(sed -n 's/^project(refwarden VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
ZIP=$BW/refwarden-$VERSION-win.zip
UNPACKED=$BW/package-check

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok:   $*"; }
winpath() { echo "Z:${1//\//\\}"; }

# ---- checks of one file ------------------------------------------------------

# check_pe FILE ARCH: the PE format of ARCH, and imports of system DLLs only.
check_pe() {
  local file=$1 arch=$2 objdump=${OBJDUMP[$2]} headers imports bad
  headers=$("$objdump" -p "$file")
  if "$objdump" -f "$file" | grep -q "file format ${FORMAT[$arch]}$" &&
     grep -q -x -F "$(printf 'Magic\t\t\t%s\t(%s)' "${PE_MAGIC[$arch]}" "${PE[$arch]}")" <<<"$headers"; then
    ok "$file is ${PE[$arch]} (${FORMAT[$arch]})"
  else
    fail "$file is not ${PE[$arch]} (${FORMAT[$arch]}): $("$objdump" -f "$file" | grep 'file format')"
  fi
  imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | sort -u | tr '\n' ' ')
  bad=$(echo "$imports" | tr ' ' '\n' | grep -v -i -x -E 'kernel32\.dll|advapi32\.dll|msvcrt\.dll|user32\.dll|ntdll\.dll|version\.dll|winhttp\.dll|api-ms-win-[a-z0-9-]+\.dll|' || true)
  if [[ -z $bad ]]; then ok "$file imports only system DLLs: $imports"; else fail "$file imports $bad"; fi
}

# check_exports FILE ARCH: exactly the three entry points, undecorated, by
# ordinal 1 TerminateFilter, 2 HttpFilterProc, 3 GetFilterVersion.
check_exports() {
  local file=$1 table base expected actual
  table=$("${OBJDUMP[$2]}" -p "$file")
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

# check_filter_files DIR ARCH: refwarden.dll and refwarden.exe in DIR.
check_filter_files() {
  local dir=$1 arch=$2
  check_pe "$dir/refwarden.dll" "$arch"
  check_exports "$dir/refwarden.dll" "$arch"
  check_version_bytes "$dir/refwarden.dll"
  check_pe "$dir/refwarden.exe" "$arch"
}

# ---- Wine ----------------------------------------------------------------------

export WINEPREFIX=$BW/wine-prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
wine_prefix_made=false
stop_wine() { /usr/lib/wine/wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT

# One 64-bit prefix for both bitnesses, made on first use. A prefix without
# kernel32.dll in system32 was not made: wineboot once left one so, returning
# at once (seen in one CI run of many, not reproduced in 7 tries), so it is
# made again once, with wineboot's own words kept to tell why if that fails too.
wine_prefix() {
  $wine_prefix_made && return
  local try log=$BW/wineboot.log
  for try in 1 2; do
    stop_wine
    rm -rf "$WINEPREFIX"
    # Without 32-bit Wine its 32-bit helpers cannot start; the checks below tell.
    WINEDEBUG=err+all "${WINE[x64]}" wineboot -i >"$log" 2>&1 || true
    /usr/lib/wine/wineserver -w 2>/dev/null || true
    [[ -f $WINEPREFIX/drive_c/windows/system32/kernel32.dll ]] && break
    echo "wineboot made no prefix (try $try of 2); it said:" >&2
    tail -n 20 "$log" >&2
  done
  wine_prefix_made=true
}

run_wine() {  # run_wine LABEL COMMAND...: a Windows program must exit 0
  local label=$1; shift
  if "$@"; then ok "$label"; else fail "$label (exit $?)"; fi
}

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

# check_version_info ARCH DLL: the version resource as Windows reads it, by
# the reader of ARCH's bitness.
check_version_info() {
  local arch=$1 dll=$2 actual
  actual=$("${WINE[$arch]}" "${BUILD[$arch]}/bin/refwarden_versioninfo.exe" "$(winpath "$dll")" | tr -d '\r' || true)
  if [[ $actual == "$expected_version" ]]; then ok "$arch GetFileVersionInfo on $dll"
  else fail "version resource of $dll as the $arch reader sees it:"$'\n'"$actual"; fi
}

# wine_suite ARCH: ARCH's programs under the Wine of its bitness. The DLL
# tests and the tool run beside the DLL from the zip, and the version reader
# reads that DLL.
wine_suite() {
  local arch=$1 wine=${WINE[$1]} bin=${BUILD[$1]}/bin dir=$BW/wine-check/$1 answer query
  wine_prefix
  rm -rf "$dir" && mkdir -p "$dir"
  cp "$UNPACKED/$arch/refwarden.dll" "$UNPACKED/$arch/refwarden.exe" "$bin/refwarden_dll_tests.exe" "$dir/"

  run_wine "$arch unit tests" "$wine" "$bin/refwarden_unit_tests.exe" --gtest_brief=1
  run_wine "$arch DLL tests on the packed DLL" "$wine" "$dir/refwarden_dll_tests.exe" --gtest_brief=1
  check_version_info "$arch" "$dir/refwarden.dll"
  REFWARDEN_OTHER_DLL=$(winpath "${BUILD[${OTHER[$arch]}]}/bin/refwarden.dll") \
    run_wine "$arch doctor (applicationHost.config shapes, pool hives) and reg query" "$wine" "$bin/refwarden_doctor_tests.exe" --gtest_brief=1

  # The tool loads the DLL beside it; the trace it leaves is read back.
  "$wine" reg delete 'HKCU\software\tarnwel' /f >/dev/null 2>&1 || true
  answer=$("$wine" "$dir/refwarden.exe" check --host www.example.org --referer http://elsewhere.net/ "/gallery/$arch/cat.jpg?w=1" | tr -d '\r' || true)
  [[ $answer == "rewrite /refwarden.jpg" ]] && ok "$arch refwarden check: hot-linked image rewritten" || fail "$arch refwarden check said '$answer'"
  answer=$("$wine" "$dir/refwarden.exe" check --host www.example.org --referer http://www.example.org/ "/gallery/$arch/dog.png" | tr -d '\r' || true)
  [[ $answer == "pass" ]] && ok "$arch refwarden check: own page's image passes" || fail "$arch refwarden check said '$answer'"
  query=$("$wine" reg query 'HKCU\software\tarnwel\debug' /v "/gallery/$arch/cat.jpg" | tr -d '\r' || true)
  if grep -q -E "^\s+/gallery/$arch/cat\.jpg\s+REG_SZ\s+ok$" <<<"$query"; then ok "$arch wine reg query finds /gallery/$arch/cat.jpg = ok"
  else fail "$arch wine reg query:"$'\n'"$query"; fi
  query=$("$wine" "$dir/refwarden.exe" reg query 'HKCU\software\tarnwel\debug' | tr -d '\r' || true)
  if grep -q -E "^\s+/gallery/$arch/dog\.png\s+REG_SZ\s+ok$" <<<"$query"; then ok "$arch refwarden reg query finds /gallery/$arch/dog.png = ok"
  else fail "$arch refwarden reg query:"$'\n'"$query"; fi
  if [[ $arch == x86 ]]; then  # what an administrator's 64-bit reg.exe shows of a 32-bit pool's trace
    query=$("${WINE[x64]}" reg query 'HKCU\software\tarnwel\debug' /v "/gallery/$arch/cat.jpg" | tr -d '\r' || true)
    if grep -q -E "^\s+/gallery/$arch/cat\.jpg\s+REG_SZ\s+ok$" <<<"$query"; then ok "64-bit reg query reads the 32-bit filter's trace"
    else fail "64-bit reg query of the 32-bit filter's trace:"$'\n'"$query"; fi
  fi

  # A trace key nobody may write, as for a pool identity without rights on
  # it: the request passes, check warns with the key and the reason and exits
  # 3, and reg query says access is denied (2). Wine words the reason its own
  # way ("Access denied."), so only its presence is checked.
  if "$wine" "$bin/refwarden_trace_key_access.exe" deny; then
    local status=0 said
    answer=$("$wine" "$dir/refwarden.exe" check --host www.example.org --referer http://elsewhere.net/ \
      "/gallery/$arch/denied.jpg" 2>"$dir/check.err" | tr -d '\r') || status=$?
    said=$(tr -d '\r' <"$dir/check.err")
    if [[ $answer == pass && $status == 3 && $said == *"was not written"* &&
          $said == *'trace store: HKEY_CURRENT_USER\software\tarnwel\debug'* && $said == *"cannot be written: "?* ]]; then
      ok "$arch refwarden check on a denied trace key: pass, exit 3, the key and the reason"
    else fail "$arch refwarden check on a denied trace key said '$answer' (exit $status):"$'\n'"$said"; fi
    status=0
    said=$("$wine" "$dir/refwarden.exe" reg query 'HKCU\software\tarnwel\debug' 2>&1 | tr -d '\r') || status=$?
    if [[ $said == "ERROR: Access is denied." && $status == 2 ]]; then ok "$arch refwarden reg query on a denied trace key: access denied, exit 2"
    else fail "$arch refwarden reg query on a denied trace key said '$said' (exit $status)"; fi
    "$wine" "$bin/refwarden_trace_key_access.exe" restore || fail "$arch could not give the trace key its rights back"
  else fail "$arch could not take the rights on the trace key away"; fi

  # The DLL of the other bitness: refused, with the reason.
  answer=$("$wine" "$dir/refwarden.exe" --filter "$(winpath "$UNPACKED/${OTHER[$arch]}/refwarden.dll")" check --host h /a.jpg 2>&1 | tr -d '\r' || true)
  if [[ $answer == "refwarden: cannot load filter library "*"(not a ${BITS[$arch]}-bit DLL;"* ]]; then ok "$arch refwarden check refuses the ${OTHER[$arch]} DLL and says why"
  else fail "$arch refwarden check with the ${OTHER[$arch]} DLL said '$answer'"; fi

  # refwarden.exe probe against the Linux serve, a plain server and TLS (77: no Linux build).
  local probe_status=0
  tests/win32/probe_under_wine.sh "$wine" "$dir/refwarden.exe" || probe_status=$?
  case $probe_status in
    0) ok "$arch refwarden probe tells protected, not protected and placeholder-missing apart" ;;
    77) echo "$arch refwarden probe not run: no Linux build of the tool" ;;
    *) fail "$arch refwarden probe (exit $probe_status)" ;;
  esac
}

# ---- stages ----------------------------------------------------------------------

stage_build() {
  cmake -S packaging -B "$BW" -DREFWARDEN_BUILD_TESTS=ON \
    -DREFWARDEN_WIN32_BUILD_DIR="${BUILD[x86]}" -DREFWARDEN_WIN64_BUILD_DIR="${BUILD[x64]}" >/dev/null
  cmake --build "$BW" -j2
}

stage_static() {
  local arch
  for arch in x86 x64; do check_filter_files "${BUILD[$arch]}/bin" "$arch"; done
}

stage_package() {
  local listing expected arch ext magic install
  listing=$(cmake -E tar tf "$ZIP" | sort | tr '\n' ' ')
  expected="INSTALL.txt refwarden.bmp refwarden.gif refwarden.jpg refwarden.png x64/refwarden.dll x64/refwarden.exe x86/refwarden.dll x86/refwarden.exe "
  if [[ $listing == "$expected" ]]; then ok "$ZIP holds $listing"; else fail "$ZIP holds '$listing', want '$expected'"; fi
  rm -rf "$UNPACKED" && mkdir -p "$UNPACKED"
  (cd "$UNPACKED" && cmake -E tar xf "$ZIP")
  for arch in x86 x64; do check_filter_files "$UNPACKED/$arch" "$arch"; done
  for ext in jpg gif png bmp; do
    case $ext in
      jpg) magic=ffd8ff ;; gif) magic=47494638 ;; png) magic=89504e470d0a1a0a ;; bmp) magic=424d ;;
    esac
    if [[ $(head -c 8 "$UNPACKED/refwarden.$ext" | od -An -tx1 -v | tr -d ' \n') == "$magic"* ]]; then
      ok "refwarden.$ext is a $ext file"
    else fail "refwarden.$ext is not a $ext file"; fi
  done
  install=$UNPACKED/INSTALL.txt
  if [[ $(grep -c $'\r$' "$install") == $(wc -l <"$install") ]]; then ok "INSTALL.txt has Windows line ends"
  else fail "INSTALL.txt has lines without CR"; fi
  # One filter entry per bitness, each with its precondition, and both removed.
  for arch in x86 x64; do
    local bits=${BITS[$arch]}
    if grep -q -F "/+\"[name='Refwarden-$arch',path='C:\\inetpub\\refwarden\\$arch\\refwarden.dll',enabled='true',preCondition='bitness$bits']\"" "$install"; then
      ok "INSTALL.txt adds Refwarden-$arch with preCondition bitness$bits"
    else fail "INSTALL.txt lacks the appcmd line that adds Refwarden-$arch (bitness$bits)"; fi
    if grep -q -F "/-\"[name='Refwarden-$arch']\"" "$install"; then ok "INSTALL.txt removes Refwarden-$arch"
    else fail "INSTALL.txt does not remove Refwarden-$arch"; fi
  done
}

stage_wine_x64() {
  wine_suite x64
  check_version_info x64 "$UNPACKED/x86/refwarden.dll"  # as 64-bit Windows Explorer reads it
}

# wine32_unavailable: prints why the 32-bit stage cannot run under Wine here,
# or nothing when it can. A kernel that refuses i386 programs, or a 32-bit
# Wine that the package archive would not install (scripts/install-deps.sh
# says why in REFWARDEN_DEPS_NOTES), leaves the 32-bit files to the static
# checks; a 32-bit Wine that is installed but does not start is a failure.
wine32_unavailable() {
  local reason
  if ! reason=$(scripts/i386-probe.sh); then
    echo "this kernel does not run i386 programs ($reason)"
  elif ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    reason=$(sed -n 's/^wine32:i386: //p' "${REFWARDEN_DEPS_NOTES:-/dev/null}" 2>/dev/null | tail -n 1)
    echo "32-bit Wine (wine32:i386) is not installed${reason:+: $reason}"
  fi
}
WINE32_UNAVAILABLE=$(wine32_unavailable)

stage_wine_x86() {
  if [[ -n $WINE32_UNAVAILABLE ]]; then
    echo "32-bit Wine not run: $WINE32_UNAVAILABLE; the 32-bit DLL and tool were checked statically only."
    return
  fi
  if ! "${WINE[x86]}" --version >/dev/null 2>&1; then
    fail "wine32:i386 is installed but 32-bit Wine does not start"
    return
  fi
  wine_suite x86
}

# ---- replay under Wine -------------------------------------------------------------
# stage_replay: refwarden.exe replay as an administrator runs it on the
# server, for each bitness whose Wine runs here. The log tests (reading,
# parsing, summing up, the tool's own wildcard expansion); then the log
# shapes of tests/logs, each read by the parser and by the packed
# refwarden.exe (a wildcard the tool expands, backslashes and a drive letter)
# and held to the same counts as the Linux tool; a replay without --trace
# must leave HKCU\software\tarnwel\debug as it was and no private key
# behind, and one with --trace must write it.
stage_replay() {
  local arch wine bin dir
  for arch in x64 x86; do
    wine=${WINE[$arch]} bin=${BUILD[$arch]}/bin dir=$BW/wine-check/replay-$arch
    if [[ $arch == x86 && -n $WINE32_UNAVAILABLE ]]; then
      echo "32-bit Wine not run: the 32-bit replay was built and checked statically only."
      continue
    fi
    wine_prefix
    rm -rf "$dir" && mkdir -p "$dir"
    cp "$UNPACKED/$arch/refwarden.dll" "$UNPACKED/$arch/refwarden.exe" "$bin/refwarden_replay_tests.exe" "$dir/"
    run_wine "$arch replay: log tests" "$wine" "$bin/refwarden_log_tests.exe" --gtest_brief=1
    run_wine "$arch replay: log shapes through the packed refwarden.exe" \
      "$wine" "$dir/refwarden_replay_tests.exe" --gtest_brief=1
  done
}
# ---- end of replay under Wine ------------------------------------------------------

run_stage() {
  local start=$SECONDS
  echo; echo "== $1"
  "stage_$1"
  echo "   ($1: $((SECONDS - start)) s)"
}

run_stage build
run_stage static
run_stage package
run_stage wine_x64
run_stage wine_x86
run_stage replay

echo
# One line per bitness, which scripts/test.sh repeats in its closing summary.
echo "Windows 64-bit: ran"
if [[ -n $WINE32_UNAVAILABLE ]]; then
  echo "Windows 32-bit: not run under Wine: $WINE32_UNAVAILABLE; checked statically only"
else
  echo "Windows 32-bit: ran"
fi
if ((failures > 0)); then
  echo "test-win32: $failures check(s) FAILED (Wine prefix kept in $WINEPREFIX)" >&2
  exit 1
fi
# The prefix holds a copy of Wine's DLLs (over 1 GB); kept only on failure.
stop_wine
rm -rf "$WINEPREFIX" "$BW/wine-check"
echo "test-win32: all checks passed"
