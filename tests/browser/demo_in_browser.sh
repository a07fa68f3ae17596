#!/usr/bin/env bash
# The demo in a real browser: `refwarden serve --demo` on free ports, headless
# Chromium loads the own page and the foreign page, and each <img> must have
# received the right bytes, told apart by natural size (pictures 320x200,
# placeholders 240x150; the pages write it into data-natural-size on load).
# Screenshots of both pages are kept in ARTEFACT_DIR.
# Then replay's HTML report of a generated month: it must stay small, load
# nothing from elsewhere, and draw its chart (the screenshot must hold the
# bars' colours; python3-pil reads it).
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

# A month of one site's W3C logs, one file a day, with hot-links, the site's
# own pages under other names and requests without a referer.
month=$work/month
mkdir -p "$month"
for day in $(seq -w 1 30); do
  {
    echo "#Software: Microsoft Internet Information Services 10.0"
    echo "#Fields: date time cs-method cs-uri-stem cs-uri-query cs(Referer) cs-host sc-status"
    for n in $(seq 1 $((20 + 10#$day))); do
      case $((n % 6)) in
        0) echo "2024-06-$day 10:00:00 GET /index.html - - www.shop.example 200" ;;
        1) echo "2024-06-$day 10:00:01 GET /images/a.jpg - https://www.shop.example/ www.shop.example 200" ;;
        2) echo "2024-06-$day 10:00:02 GET /images/b.png - https://forum.example.net/t/$n www.shop.example 200" ;;
        3) echo "2024-06-$day 10:00:03 GET /images/<b>c</b>.gif - https://shop.example/ www.shop.example 200" ;;
        4) echo "2024-06-$day 10:00:04 GET /images/a.jpg - - www.shop.example 200" ;;
        5) echo "2024-06-$day 10:00:05 GET /css/site.css - https://www.shop.example/ www.shop.example 200" ;;
      esac
    done
  } >"$month/u_ex2406$day.log"
done
report=$artefacts/replay-report.html
# The Debian python3 with python3-pil, not one of a version manager's.
python=
for candidate in /usr/bin/python3 python3; do
  if "$candidate" -c 'import PIL' 2>/dev/null; then python=$candidate; break; fi
done
check_report() {
  local size
  if ! "$tool" replay --html "$report" "$month"/u_ex*.log >"$work/replay.txt" 2>&1; then
    echo "FAIL replay --html:"; cat "$work/replay.txt"; return 1
  fi
  size=$(stat -c %s "$report")
  if (( size > 1000000 )); then echo "FAIL the report is $size bytes"; return 1; fi
  if grep -Eiq '(src|href)=|@import|url\(|<script|<link' "$report"; then
    echo "FAIL the report reaches outside itself:"
    grep -Eio '.{0,20}((src|href)=|@import|url\(|<script|<link).{0,20}' "$report"
    return 1
  fi
  # The page's counts are the month's, as its lines were made: day d has
  # 20 + d requests, line n of kind n % 6 (1-4 images; 2-4 rewritten).
  local want got
  want=$(for day in $(seq 1 30); do seq 1 $((20 + day)); done |
    awk '{r++; k = $1 % 6; if (k >= 1 && k <= 4) i++; if (k >= 2 && k <= 4) w++}
         END {print r, i, w}')
  got=$(for id in requests images rewritten; do
    grep -o "<data id=\"$id\" value=\"[0-9]*\"" "$report" | grep -o '[0-9]*"$' | tr -d '"'
  done | tr '\n' ' ')
  if [[ "$got" != "$want " ]]; then
    echo "FAIL the report counts '$got', the month has '$want'"; return 1
  fi
  chrome --window-size=1000,2200 --screenshot="$artefacts/replay-report.png" "file://$report" >/dev/null
  if [[ -z $python ]]; then
    echo "FAIL python3-pil is not installed: the screenshot cannot be checked"; return 1
  fi
  # The chart's series are drawn in colours nothing else on the page uses in
  # bulk: the rewrites' red and the requests' pale blue.
  if ! "$python" - "$artefacts/replay-report.png" <<'PY'
import sys
from PIL import Image
image = Image.open(sys.argv[1]).convert("RGB")
counts = {colour: n for n, colour in image.getcolors(1 << 24)}
red, pale = counts.get((0xb0, 0x00, 0x20), 0), counts.get((0xc9, 0xd3, 0xe3), 0)
print(f"chart pixels: rewritten {red}, requests {pale}")
sys.exit(0 if red > 2000 and pale > 4000 else 1)
PY
  then
    echo "FAIL replay report: no chart in the screenshot $artefacts/replay-report.png"; return 1
  fi
  echo "ok   replay report: $size bytes, chart drawn (screenshot $artefacts/replay-report.png)"
}
check_report || failed=1

if [[ $failed -ne 0 ]]; then
  echo "--- server log"; cat "$work/serve.log"
  echo "--- chromium log (tail)"; tail -20 "$work/chromium.log"
fi
exit "$failed"
