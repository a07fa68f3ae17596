#!/usr/bin/env bash
# refwarden.exe probe under Wine, against servers of the Linux build on
# loopback: serve --demo (protected), python3 -m http.server of the same
# folder (not protected), serve of a copy without refwarden.jpg (placeholder
# missing), and openssl s_server with a certificate made here, without and
# with --insecure. Each is held to its exit status and its findings.
#
# Usage: tests/win32/probe_under_wine.sh WINE REFWARDEN_EXE
#   WINE           the Wine of the tool's bitness (/usr/lib/wine/wine64, /usr/lib/wine/wine)
#   REFWARDEN_EXE  the Windows tool
# The Linux tool is $REFWARDEN_LINUX_TOOL, else build/bin/refwarden of this
# checkout; without it the script says so and exits 77 (skipped). WINEPREFIX
# and the rest of Wine's settings come from the caller; without a WINEPREFIX
# it refuses (77) rather than make one in the home folder.
set -uo pipefail
wine=$1 exe=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
linux_tool=${REFWARDEN_LINUX_TOOL:-$root/build/bin/refwarden}
if [[ ! -x $linux_tool ]]; then
  echo "probe_under_wine: no Linux tool at $linux_tool (build it, or set REFWARDEN_LINUX_TOOL): skipped"
  exit 77
fi

if [[ ! -x $wine ]]; then
  echo "probe_under_wine: no Wine at $wine: skipped"
  exit 77
fi
if [[ -z ${WINEPREFIX:-} ]]; then
  echo "probe_under_wine: WINEPREFIX is not set: skipped"
  exit 77
fi
export WINEDEBUG=${WINEDEBUG:--all}

work=$(mktemp -d /tmp/refwarden-probe-wine.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# start NAME READY DIR COMMAND...: COMMAND in DIR, its output in $work/NAME.log,
# until that log holds READY (20 s at most).
start() {
  local name=$1 ready=$2 dir=$3 try
  shift 3
  (cd "$dir" && exec "$@") >"$work/$name.log" 2>&1 &
  pids+=($!)
  for try in $(seq 200); do
    grep -qs -- "$ready" "$work/$name.log" && return 0
    sleep 0.1
  done
  fail "$name did not start: $(cat "$work/$name.log")"
  return 1
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

export REFWARDEN_REGISTRY=$work/registry.sqlite
export NO_PROXY=127.0.0.1,localhost  # loopback only, whatever proxy the environment names
cp -r "$root/examples/site" "$work/site" && rm "$work/site/refwarden.jpg"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >"$work/openssl.log" 2>&1 ||
  fail "openssl req: $(cat "$work/openssl.log")"
# s_server -HTTP sends a file as it stands: the whole answer, headers too.
mkdir -p "$work/tls/images"
image=$root/examples/site/images/harbour.jpg
{ printf 'HTTP/1.0 200 ok\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n' "$(stat -c %s "$image")"
  cat "$image"; } >"$work/tls/images/harbour.jpg"

start demo "foreign site:" "$work" "$linux_tool" serve --demo --listen 127.0.0.1:0
start missing "own site:" "$work" "$linux_tool" serve --root "$work/site" --listen 127.0.0.1:0
start plain "Serving HTTP" "$work" python3 -u -m http.server --bind 127.0.0.1 --directory "$root/examples/site" 0
start silent "silent port" "$work" python3 -u -c "import socket, time
s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen()
print('silent port %d' % s.getsockname()[1]); time.sleep(600)"
tls_port=$(free_port)
start tls ACCEPT "$work/tls" openssl s_server -HTTP -accept "$tls_port" -cert "$work/cert.pem" -key "$work/key.pem"
serve_port() { sed -n 's|.*own site: *http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/$1.log" | head -n 1; }
demo=http://127.0.0.1:$(serve_port demo)
missing=http://127.0.0.1:$(serve_port missing)
plain=http://127.0.0.1:$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/plain.log" | head -n 1)
tls=https://127.0.0.1:$tls_port
silent=http://127.0.0.1:$(sed -n 's/^silent port \([0-9]*\)$/\1/p' "$work/silent.log")

# probe NAME STATUS CHECKS SAID ARGUMENT...: refwarden.exe probe --json
# ARGUMENT... exits STATUS, its findings hold each "check=severity" of CHECKS,
# and its output the text SAID. With verb=doctor, refwarden.exe doctor --json.
probe() {
  local name=$1 want=$2 checks=$3 said=$4 status=0 out
  shift 4
  # Wine's own complaints go to stderr; the findings alone to stdout.
  "$wine" "$exe" "${verb:-probe}" --json "$@" >"$work/probe.out" 2>"$work/probe.err" || status=$?
  out=$(tr -d '\r' <"$work/probe.out")
  if [[ $status != "$want" ]]; then
    fail "$name: exit $status, want $want: $out $(cat "$work/probe.err")"
    return
  fi
  local missing_checks
  missing_checks=$(python3 -c '
import json, sys
found = {(f["check"], f["severity"]) for f in json.loads(sys.argv[1])["findings"]}
print(" ".join(c for c in sys.argv[2].split() if tuple(c.split("=")) not in found))' "$out" "$checks" 2>&1)
  if [[ -n $missing_checks ]]; then fail "$name: no $missing_checks in $out"; return; fi
  if [[ $out != *"$said"* ]]; then fail "$name: no '$said' in $out"; return; fi
  echo "ok:   $name: exit $status, $checks"
}

probe "serve --demo" 0 "foreign-referer=ok no-referer=ok cache-headers=ok" "protected" "$demo/images/harbour.jpg"
probe "plain static server" 6 "foreign-referer=error cache-headers=warning" "NOT protected" "$plain/images/harbour.jpg"
probe "placeholder removed" 5 "placeholder-missing=warning" "refwarden.jpg" "$missing/images/harbour.jpg"
probe "a server that never answers" 7 "unreachable=error" "timed out" --timeout 2 "$silent/a.jpg"
probe "https, certificate nobody vouches for" 7 "unreachable=error" "certificate" "$tls/images/harbour.jpg"
verb=doctor probe "doctor --url: the live site's findings after the server's" 6 \
  "config-unreadable=error foreign-referer=ok no-referer=ok" "protected" \
  --config 'Z:\nonexistent\applicationHost.config' --url "$demo/images/harbour.jpg"
probe "https --insecure" 6 "tls-unverified=warning foreign-referer=error" "NOT protected" --insecure "$tls/images/harbour.jpg"

((failures == 0)) || { echo "probe_under_wine: $failures check(s) failed" >&2; exit 1; }
