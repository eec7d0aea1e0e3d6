#!/usr/bin/env bash
# Pictures of the measurement screen's views as an operator sees them, window frames included:
#   scripts/xvfb-wm-shot /tmp/desktop.png 120 scripts/screenshots.sh [harmonic-station] [folder]
# (needs the X server and window manager xvfb-wm-shot starts). Runs `harmonic-station --demo`
# at time scale 0.05 in a scratch folder and drives it with xdotool: two recorders, two feeders
# (200 A and 150 A in the demo scenario), a save every minute; the wiring check; then in the
# measurement screen the ﾍﾞｸﾄﾙ view, the 波形 and 波＋歪 views of F-1 and of F-2, and the グラフ
# view maximised; 測定終了. With REVERSED_CT=1 feeder 2's CT ratio is -1 (a CT wired the wrong
# way round) and the pictures are the wiring check and the ﾍﾞｸﾄﾙ view of F-2 (*-reversed.png).
# Prints where each screen's frame opened. Needs xdotool, wmctrl, xwininfo and imagemagick
# (Debian packages xdotool, wmctrl, x11-utils, imagemagick).
set -euo pipefail

exe=$(realpath "${1:-build/harmonic-station}")
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${2:-$root/docs}")
[ -n "${DISPLAY:-}" ] || { echo "screenshots: no DISPLAY (run it through xvfb-wm-shot)" >&2; exit 1; }
for tool in xdotool wmctrl xwininfo xprop import; do
  command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing" >&2; exit 1; }
done
mkdir -p "$out"
work=$(mktemp -d)
app=
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
QT_QPA_PLATFORM=xcb "$exe" --demo --time-scale 0.05 >"$work/app.log" 2>&1 &
app=$!

XDO_WHO=screenshots
# shellcheck source=scripts/xdo-lib.sh
. "$root/scripts/xdo-lib.sh"
# Where window $1's frame is on the screen: its client area less the frame extents the window
# manager reports.
frame_at() {
  local x y left top
  x=$(xwininfo -id "$1" | awk '/Absolute upper-left X/ {print $4}')
  y=$(xwininfo -id "$1" | awk '/Absolute upper-left Y/ {print $4}')
  read -r left _ top _ < <(xprop -id "$1" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  echo "$2: frame at $((x - left)),$((y - top))"
}
# A picture of window $1 with its frame, into $2 under the output folder.
shoot() {
  sleep 0.3
  import -frame -window "$1" "$out/$2"
  echo "saved $out/$2"
}
# The measurement screen's view button $2 (0..8) and the channel switch's halves, at the
# designed places of the button row (twips / 15).
view() {
  click "$1" $(( (60 + 800 * $2) / 15 + 25 )) 441
  sleep 2
}
next_feeder() {
  click "$1" 540 441
  sleep 3
}

reversed=${REVERSED_CT:-}
tcp=$(window "TCP/IP")
sleep 0.5
frame_at "$tcp" "connection screen"
click "$tcp" 296 192 # ｲﾆｼｬﾗｲｽﾞ

form01=$(window "設定画面")
sleep 0.5
frame_at "$form01" "settings screen"
click "$form01" 314 18 # 測定ﾌｨｰﾀﾞ数: the list, then "2"
xdotool key 2 Return
sleep 0.3
click "$form01" 616 142 3 # データ保存間隔 1
xdotool key ctrl+a type 1
xdotool key Tab
click "$form01" 734 555 # ファイル名設定
dialog=$(window "出力ファイル名")
xdotool type --window "$dialog" screens
xdotool key Return
sleep 1
if [ -n "$reversed" ]; then
  click "$form01" 295 332 3 # CT比 of feeder 2
  # The box checks every change: "-" alone is not a number, so the sign goes in front last.
  xdotool key ctrl+a type 1
  xdotool key Home minus Tab
  sleep 0.3
fi
shoot "$form01" screens-settings${reversed:+-reversed}.png
click "$form01" 595 617 # 測定開始

form02=$(window "測定器の設定")
sleep 4
frame_at "$form02" "preparation screen"
shoot "$form02" screens-preparation${reversed:+-reversed}.png
click "$form02" 440 345 # ＯＫ

form03=$(window "高調波測定中")
sleep 6
frame_at "$form03" "measurement screen"
if [ -n "$reversed" ]; then
  next_feeder "$form03"
  view "$form03" 8
  shoot "$form03" screens-vectors-reversed.png
else
view "$form03" 8
shoot "$form03" screens-vectors.png
view "$form03" 5
shoot "$form03" screens-waveforms-f1.png
view "$form03" 7
shoot "$form03" screens-both-f1.png
next_feeder "$form03"
view "$form03" 5
shoot "$form03" screens-waveforms-f2.png
view "$form03" 7
shoot "$form03" screens-both-f2.png
view "$form03" 0
wmctrl -i -r "$form03" -b add,maximized_vert,maximized_horz
sleep 3
shoot "$form03" screens-graph-maximised.png
wmctrl -i -r "$form03" -b remove,maximized_vert,maximized_horz
sleep 1
fi
click "$form03" 592 441 # 測定終了
for _ in $(seq 100); do
  kill -0 "$app" 2>/dev/null || break
  sleep 0.1
done
wait "$app" && status=0 || status=$?
app=
echo "the program ended with status $status"
