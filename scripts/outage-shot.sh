#!/usr/bin/env bash
# A picture of the measurement screen during an outage, taken under a private X server with a
# window manager (openbox) for the window frames:
#   scripts/outage-shot.sh [path/to/harmonic-station] [output.png]
# Starts a simulated recorder as a process of its own (`harmonic-station simulate`, on
# 127.0.1.1:8802), runs the desktop program at time scale 0.05 against it (the address comes
# from an IPDT.DAT in a scratch folder) and walks it to the measurement as
# scripts/walkthrough.sh does: three feeders, a save every minute, 測定開始, ＯＫ. Then the
# simulated recorder is killed, started again, and killed once more, and the screen is taken
# while the recorder is away: the views greyed with their stale mark, the notice list with the
# recorder lost, back, the save times without a record.
# Needs xvfb, openbox, xdotool and imagemagick (Debian packages).
set -euo pipefail

exe=$(realpath "${1:-build/harmonic-station}")
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${2:-$root/docs/measurement-outage.png}")
scale=0.05
address=127.0.1.1
for tool in Xvfb openbox xdotool import python3; do
  command -v "$tool" >/dev/null || { echo "outage-shot: $tool is missing" >&2; exit 1; }
done
work=$(mktemp -d)
display=":$((150 + RANDOM % 100))"
pids=()
sim=
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

start_recorder() {
  "$exe" simulate --address1 "$address" --port1 8802 --time-scale "$scale" \
    >>"$work/sim.log" 2>&1 &
  sim=$!
  sleep 1
}
stop_recorder() {
  kill -9 "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  sim=
}

Xvfb "$display" -screen 0 1280x1024x24 >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display
sleep 1
openbox >/dev/null 2>&1 & pids+=($!)
sleep 1
cd "$work"
# IPDT.DAT: address 1, address 2, port 1, port 2, each a little-endian 16-bit length and text.
python3 - "$address" <<'EOF'
import struct, sys
texts = [sys.argv[1], "", "8802", "8802"]
with open("IPDT.DAT", "wb") as f:
    for t in texts:
        f.write(struct.pack("<h", len(t)) + t.encode())
EOF
start_recorder
QT_QPA_PLATFORM=xcb "$exe" --time-scale "$scale" >"$work/app.log" 2>&1 &
app=$!
pids+=("$app")

XDO_WHO=outage-shot
xdo_failed() {
  echo "outage-shot: the screen as it was: $out.failed.png" >&2
  import -window root "$out.failed.png" || true
  cat "$work/app.log" >&2 || true
}
# shellcheck source=scripts/xdo-lib.sh
. "$root/scripts/xdo-lib.sh"

tcp=$(window "TCP/IP")
sleep 0.5
click "$tcp" 296 192 # ｲﾆｼｬﾗｲｽﾞ
form01=$(window "設定画面")
xdotool windowmove "$form01" 1 24
sleep 0.5
click "$form01" 314 18 # 測定ﾌｨｰﾀﾞ数
click "$form01" 296 63 # "3"
click "$form01" 616 142 3 # データ保存間隔: 1 minute
xdotool key ctrl+a type 1
xdotool key Tab
click "$form01" 734 555 # ファイル名設定
dialog=$(window "出力ファイル名")
xdotool type --window "$dialog" outage
xdotool key Return
sleep 10 # the settings screen's lock-out after the dialog (9 station seconds)
click "$form01" 595 617 # 測定開始
form02=$(window "測定器の設定")
sleep 4
click "$form02" 440 345 # ＯＫ

form03=$(window "高調波測定中")
xdotool windowmove "$form03" 1 24
sleep 0.5
click "$form03" 87 441 # 数値Σ
sleep 8
stop_recorder # lost: the recorder process is gone
sleep 10
start_recorder # back after a few save times without a record
sleep 12
stop_recorder # lost again; the picture is taken during this outage
sleep 6
import -frame -window "$form03" "$out"
echo "saved $out"
ls -l "$work"/outage.* >&2 || true
cat "$work"/outage.*.log >&2 || true
