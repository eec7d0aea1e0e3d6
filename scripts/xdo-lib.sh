# Shell functions shared by the scripts that drive the desktop program under a private X server
# (walkthrough.sh, screenshots.sh, outage-shot.sh). Source it after setting XDO_WHO (the name
# that error messages start with); define xdo_failed to leave a trace when a window never comes.

# The window whose caption contains $1, once it is shown (20 s at most).
window() {
  local id
  for _ in $(seq 200); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true)
    [ -n "$id" ] && { echo "$id"; return; }
    sleep 0.1
  done
  echo "${XDO_WHO:-xdo}: no window '$1'" >&2
  if declare -F xdo_failed >/dev/null; then xdo_failed; fi
  exit 1
}

# Click at x y inside window $1 (its own coordinates); $4 clicks (default 1).
click() {
  xdotool mousemove --window "$1" "$2" "$3" click --repeat "${4:-1}" --delay 80 1
  sleep 0.3
}
