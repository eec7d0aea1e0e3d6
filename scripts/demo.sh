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
echo "== harmonic-station measure --settings examples/demo-settings.json --simulate --time-scale $scale"
echo "   (working folder $work; the full output goes to demo-out/measure.log)"

# The terminal shows the set-up, the saves, every 20th summary line and the end; the per-shot
# status lines are in the log.
set +e
"$exe" measure --settings "$settings" --simulate --time-scale "$scale" 2>&1 |
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

# Record length from the extension: .hmL, .ha4, .ha5, .hvL, .hnL (L feeders); the phase files
# of the three-meter type carry R, T or S after the dot (.Rhv3).
record_length() {
  local ext=${1##*.}
  ext=${ext#[RTS]}
  local kind=${ext:0:2} feeders=${ext:2}
  case "$kind" in
    hm) echo $((6 + 100 + 150 * feeders)) ;;
    ha) if [ "$feeders" = 4 ]; then echo 356; else echo 280; fi ;;
    hv) echo $((6 + 100 + 150 * feeders + 50 + 12 + 12 * feeders)) ;;
    hn) echo $((6 + 1024 + 1536 * feeders + 512)) ;;
    *) echo 0 ;;
  esac
}

echo
echo "== files written in $work/demo-out"
for f in demo-out/*; do
  [ "$f" = demo-out/measure.log ] && continue
  size=$(stat -c %s "$f")
  length=$(record_length "$f")
  if [ "$length" -gt 0 ]; then
    printf '  %-28s %8d bytes  %4d records of %d bytes\n' "$(basename "$f")" "$size" $((size / length)) "$length"
  else
    printf '  %-28s %8d bytes\n' "$(basename "$f")" "$size"
  fi
done
