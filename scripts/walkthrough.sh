#!/usr/bin/env bash
# The operator's path through the desktop program, driven by clicks and keys under a private X
# server, with a picture of each screen on the way:
#   scripts/walkthrough.sh [path/to/harmonic-station] [output folder]
# Starts Xvfb (and openbox, when installed, for the window frames and captions), runs
# `harmonic-station --demo --time-scale 0.05` in a scratch folder, then: two recorders,
# ｲﾆｼｬﾗｲｽﾞ; three feeders, a save every minute, an output file; the R-C complement screen
# (double-click on 高次(256次)調波+重畳位相) and 設定終了, back to 重畳角・不平衡保存; 測定開始,
# the wiring check and ＯＫ; the measurement in the graph view and in the 数値Σ table; 測定終了.
# Needs xvfb, xdotool and imagemagick (Debian packages). The click positions are the controls'
# places on the screens as laid out with the Noto CJK fonts, inside each window.
set -euo pipefail

exe=$(realpath "${1:-build/harmonic-station}")
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${2:-$root/docs}")
scale=0.05
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "walkthrough: $tool is missing" >&2; exit 1; }
done
mkdir -p "$out"
work=$(mktemp -d)
display=":$((150 + RANDOM % 100))"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1280x1024x24 >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display
sleep 1
if command -v openbox >/dev/null; then
  openbox >/dev/null 2>&1 & pids+=($!)
  sleep 1
fi
cd "$work"
QT_QPA_PLATFORM=xcb "$exe" --demo --time-scale "$scale" >"$work/app.log" 2>&1 &
app=$!
pids+=("$app")

XDO_WHO=walkthrough
# shellcheck source=scripts/xdo-lib.sh
. "$root/scripts/xdo-lib.sh"
# A picture of window $1 with its frame.
shoot() {
  sleep 0.3
  import -frame -window "$1" "$out/$2"
  echo "saved $out/$2"
}

# 1. Connection screen: the demo recorders' addresses are filled in, ２台 chosen.
tcp=$(window "TCP/IP")
shoot "$tcp" walkthrough-1-connection.png
click "$tcp" 296 192 # ｲﾆｼｬﾗｲｽﾞ

# 2. Settings screen, its frame at the top left corner of the screen.
form01=$(window "設定画面")
sleep 0.5
click "$form01" 314 18 # 測定ﾌｨｰﾀﾞ数
click "$form01" 296 63 # "3"
click "$form01" 616 142 3 # データ保存間隔: select and type 1
xdotool key ctrl+a type 1
xdotool key Tab
click "$form01" 734 555 # ファイル名設定
dialog=$(window "出力ファイル名")
xdotool type --window "$dialog" walkthrough
xdotool key Return
sleep 1 # the settings screen's lock-out after the dialog
shoot "$form01" walkthrough-2-settings.png

# 3. R-C complement screen, opened by a double-click on the 256-order option.
click "$form01" 498 307 2
form04=$(window "R-C")
shoot "$form04" walkthrough-3-rc-complement.png
click "$form04" 377 317 # 設定終了
sleep 1
click "$form01" 498 281 # 重畳角・不平衡保存

# 4. Preparation: configuration, check shot, the fundamental vectors; ＯＫ.
click "$form01" 595 617 # 測定開始
form02=$(window "測定器の設定")
sleep 4
shoot "$form02" walkthrough-4-preparation.png
click "$form02" 440 345 # ＯＫ

# 5. Measurement: the graph view, then the 数値Σ table.
form03=$(window "高調波測定中")
sleep 5
shoot "$form03" walkthrough-5-measurement-graph.png
click "$form03" 87 441 # 数値Σ
sleep 3
shoot "$form03" walkthrough-6-measurement-table.png

# 6. 測定終了 ends the program.
pressed=$(date +%s%N)
click "$form03" 592 441
for _ in $(seq 100); do
  kill -0 "$app" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$app" 2>/dev/null; then
  echo "walkthrough: the program did not end after 測定終了" >&2
  exit 1
fi
wait "$app" && status=0 || status=$?
echo "the program ended with status $status, $(( ($(date +%s%N) - pressed) / 1000000 )) ms after" \
  "the click on 測定終了; result file:"
ls -l "$work"/walkthrough.*
