#!/usr/bin/env bash
# `make demo`: a 30-minute measurement (six saves) against the simulated recorders, run at a time
# scale that makes it take about a minute, then the files it wrote with their record counts.
#   scripts/demo.sh [path/to/harmonic-station]
# DEMO_TIME_SCALE overrides the time scale (default 0.033: 30 minutes in about 60 s).
set -euo pipefail

exe=$(realpath "${1:-build/harmonic-station}")
root=$(cd "$(dirname "$0")/.." && pwd)
settings="$root/examples/demo-settings.json"
scale=${DEMO_TIME_SCALE:-0.033}
work="$(dirname "$exe")/demo"

mkdir -p "$work"
cd "$work"
rm -rf demo-out
mkdir -p demo-out
echo "== harmonic-station measure --settings examples/demo-settings.json --simulate --time-scale $scale --overwrite"
echo "   (working folder $work; the full output goes to demo-out/measure.log)"

# The terminal shows the set-up, the saves, every 20th summary line and the end; the per-shot
# status lines are in the log.
set +e
"$exe" measure --settings "$settings" --simulate --time-scale "$scale" --overwrite 2>&1 |
  tee demo-out/measure.log |
  awk '
    /測定中$|周波数確認中$|基本周波数 |ＦＦＴ演算中$|各種演算中$|データ表示中$|測定レンジ調整中$/ { next }
    /基本波＝/ { if (shots++ % 20 == 0) print; next }
    { print; fflush() }'
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
  echo "measure ended with status $status" >&2
  exit "$status"
fi

# The result files as engineers open them: one CSV per file (a row per record) and a PNG of
# the record trend. The exporter knows every layout and reports the records it read.
echo
echo "== harmonic-station export: CSV and trend plot"
for f in $(find demo-out -maxdepth 1 -regextype posix-extended -regex '.*\.[RTS]?h[mavn][0-9]$' | sort); do
  "$exe" export "$f" --out demo-out
  "$exe" export --plot "$f" --out demo-out
done

echo
echo "== files written in $work/demo-out"
for f in demo-out/*; do
  [ "$f" = demo-out/measure.log ] && continue
  printf '  %-28s %8d bytes\n' "$(basename "$f")" "$(stat -c %s "$f")"
done
