#!/usr/bin/env bash
# The demo in a real browser: `refwarden serve --demo` on free ports, headless
# Chromium loads the own page and the foreign page, and each <img> must have
# received the right bytes, told apart by natural size (pictures 320x200,
# placeholders 240x150; the pages write it into data-natural-size on load).
# Screenshots of both pages are kept in ARTEFACT_DIR.
# Usage: demo_in_browser.sh REFWARDEN_TOOL ARTEFACT_DIR
# Exits 77 (skipped) when no chromium is installed.
set -euo pipefail

tool=$1
artefacts=$2
browser=$(command -v chromium || command -v chromium-browser || true)
[[ -n $browser ]] || { echo "chromium is not installed: skipped"; exit 77; }
mkdir -p "$artefacts"

work=$(mktemp -d)
server=
cleanup() {
  [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

export REFWARDEN_REGISTRY=$work/registry.db
"$tool" serve --demo --listen 127.0.0.1:0 >"$work/serve.log" 2>&1 &
server=$!
for _ in $(seq 100); do
  grep -q '^Open both' "$work/serve.log" && break
  kill -0 "$server" 2>/dev/null || { cat "$work/serve.log"; exit 1; }
  sleep 0.1
done
own=$(sed -n 's|^ *own site: *\(http://[^ ]*\).*|\1|p' "$work/serve.log")
foreign=$(sed -n 's|^ *foreign site: *\(http://[^ ]*\).*|\1|p' "$work/serve.log")
[[ -n $own && -n $foreign ]] || { echo "no addresses printed:"; cat "$work/serve.log"; exit 1; }

# Each run gets a fresh profile, so nothing is cached between the two pages.
chrome() {
  local profile
  profile=$(mktemp -d -p "$work")
  timeout 90 "$browser" --headless --no-sandbox --disable-gpu --disable-background-networking \
    --disable-component-update --disable-sync --no-first-run --user-data-dir="$profile" \
    --virtual-time-budget=5000 "$@" 2>>"$work/chromium.log"
}

failed=0
check_page() {  # name url expected-size
  local name=$1 url=$2 want=$3 sizes
  chrome --dump-dom "$url" >"$work/$name.html"
  chrome --window-size=1400,760 --screenshot="$artefacts/$name.png" "$url" >/dev/null
  sizes=$(grep -o 'data-natural-size="[0-9]*x[0-9]*"' "$work/$name.html" | sed 's/.*="\(.*\)"/\1/' | tr '\n' ' ')
  if [[ $sizes != "$want $want $want $want " ]]; then
    echo "FAIL $name page $url: image sizes '$sizes', expected four times $want"
    failed=1
  else
    echo "ok   $name page: every image $want (screenshot $artefacts/$name.png)"
  fi
}

check_page own "$own" 320x200
check_page foreign "$foreign" 240x150

if [[ $failed -ne 0 ]]; then
  echo "--- server log"; cat "$work/serve.log"
  echo "--- chromium log (tail)"; tail -20 "$work/chromium.log"
fi
exit "$failed"
