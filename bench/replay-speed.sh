#!/usr/bin/env bash
# Times `refwarden replay` on one log, side by side with GoAccess parsing the
# same file, in alternating rounds; prints one line per run and the median
# wall and CPU time of each command. See BENCHMARKS.md, "Replay".
#
# Usage: bench/replay-speed.sh LOG [ROUNDS] [TOOL_DIR...]
#   LOG       e.g. from scripts/gen-w3c-log.py 1000000 > /tmp/u_ex.log
#   TOOL_DIR  folders holding a built `refwarden` and `librefwarden.so`
#             (default build-rel/bin); each is timed as:
#               dry      replay LOG                    (the private store)
#               trace    replay --trace LOG            (a fresh store per run)
#               standin  --filter STANDIN replay LOG   (no store: see below)
#   STANDIN   $STANDIN_FILTER, default build-rel/bench/librefwarden_standin_filter.so
#   Set KINDS to choose among "dry trace standin goaccess" (default: all).
set -euo pipefail
log=${1:?usage: bench/replay-speed.sh LOG [ROUNDS] [TOOL_DIR...]}
rounds=${2:-3}
shift $(( $# >= 2 ? 2 : 1 ))
dirs=("$@")
[ ${#dirs[@]} -gt 0 ] || dirs=(build-rel/bin)
standin=${STANDIN_FILTER:-build-rel/bench/librefwarden_standin_filter.so}
kinds=${KINDS:-dry trace standin goaccess}
lines=$(wc -l < "$log")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The GoAccess log format of scripts/gen-w3c-log.py's #Fields line.
goaccess_format='%d %t %^ %m %U %q %^ %^ %h %u %R %v %s %^ %^ %L'

run() {  # name command...: one timed run, appended to $work/times
  local name=$1; shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/one" "$@" > /dev/null 2> "$work/err" ||
    { echo "$name failed:"; cat "$work/err"; exit 1; }
  read -r wall user sys rss < "$work/one"
  echo "$name $wall $user $sys $rss" >> "$work/times"
  printf '%-28s wall %6.2f s  user %5.2f  sys %5.2f  max RSS %7d KB  %9.0f lines/s\n' \
    "$name" "$wall" "$user" "$sys" "$rss" "$(awk -v l="$lines" -v w="$wall" 'BEGIN { print l / w }')"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((r = 1; r <= rounds; r++)); do
  for d in "${dirs[@]}"; do
    for kind in $kinds; do
      case $kind in
        dry) run "$d dry" "$d/refwarden" --filter "$d/librefwarden.so" replay "$log" ;;
        trace)
          rm -rf "$work/store"; mkdir "$work/store"
          REFWARDEN_REGISTRY=$work/store/r.sqlite run "$d trace" \
            "$d/refwarden" --filter "$d/librefwarden.so" replay --trace "$log" ;;
        standin) run "$d standin" "$d/refwarden" --filter "$standin" replay "$log" ;;
      esac
    done
  done
  if [[ " $kinds " == *" goaccess "* ]]; then
    run "goaccess" goaccess "$log" --log-format="$goaccess_format" --date-format=%Y-%m-%d \
      --time-format=%T --no-progress -o "$work/report.json"
  fi
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "medians (wall, user + sys):"
python3 - "$work/times" "$lines" <<'PY'
import statistics, sys
runs = {}
for row in open(sys.argv[1]):
    *name, wall, user, sys_, rss = row.split()
    runs.setdefault(" ".join(name), []).append((float(wall), float(user) + float(sys_)))
lines = int(sys.argv[2])
for name, times in runs.items():
    wall = statistics.median(t[0] for t in times)
    cpu = statistics.median(t[1] for t in times)
    print(f"  {name:28} {wall:6.2f} s  {lines / wall:11,.0f} lines/s  CPU {cpu:5.2f} s"
          f"  ({lines / cpu:,.0f} lines per CPU second)")
PY
