#!/usr/bin/env bash
# Compares two builds of the program on one measurement against a steady simulated feeder:
# the command lines the recorder received (in order, without their times) and the records
# written. For refactoring: the command streams must agree line for line over their common
# length (the runs end after a different number of shots), the records within the run-to-run
# spread of averaging a different number of shots.
#   scripts/same-behaviour.sh OLD-EXE NEW-EXE
# Needs faketime (Debian package faketime): both runs start at the same calendar time.
set -euo pipefail
old=$(realpath "$1"); new=$(realpath "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'pkill -f "simulate --port1 18802" || true; rm -rf "$work"' EXIT
cd "$work"
export ROOT="$root"

"$old" simulate --save-scenario default.json >/dev/null
python3 - <<'PY'
import json
s = json.load(open('default.json'))
s['frequency'] = 50.0
s['drift']['amplitude'] = 0.0
for q in s['quantities']:
    q['noise'] = 0.0
json.dump(s, open('steady.json', 'w'))
import os
settings = json.load(open(os.environ['ROOT'] + '/examples/demo-settings.json'))
settings['recorders'] = [{'address': '127.0.0.1', 'port': 18802}]
settings['StartDateTime'] = '2026/12/08 10:05'
settings['EndDateTime'] = '2026/12/08 10:20'
settings['OutputFile'] = 'out/feeder.hv3'
json.dump(settings, open('settings.json', 'w'))
PY

run() { # run EXE TAG
    rm -rf out && mkdir out
    faketime -f '@2026-12-08 10:00:00' "$1" simulate --port1 18802 --scenario steady.json \
        --time-scale 0.02 --log "sim-$2.log" >/dev/null 2>&1 &
    sleep 1
    faketime -f '@2026-12-08 10:00:00' "$1" measure --settings settings.json --time-scale 0.02 \
        --overwrite -q >"measure-$2.log" 2>&1 || echo "$2: measure ended with status $?"
    pkill -f "simulate --port1 18802" || true
    sleep 1
    "$old" export out/feeder.hv3 --out "export-$2" >/dev/null
}
run "$old" old
run "$new" new

python3 - <<'PY'
import csv, re
def commands(path):
    return [m.group(1) for m in (re.match(r'\S+ \S+ (\[\d\] .*)', l.rstrip('\n')) for l in open(path)) if m]
a, b = commands('sim-old.log'), commands('sim-new.log')
n = min(len(a), len(b))
first = next((i for i in range(n) if a[i] != b[i]), None)
print(f'command lines: {len(a)} and {len(b)}; ' +
      ('the same over the common length' if first is None else f'first difference at line {first + 1}: {a[first]!r} / {b[first]!r}'))
def rows(path):
    r = list(csv.reader(open(path))); return r[0], r[1:]
head, ra = rows('export-old/feeder.hv3.csv'); _, rb = rows('export-new/feeder.hv3.csv')
worst = (0.0, '')
for x, y in zip(ra, rb):
    fundamental = max(abs(float(v)) for v in x[1:]) or 1.0
    for i, (u, v) in enumerate(zip(x[1:], y[1:]), 1):
        if '.' in u or '.' in v:  # angles are whole degrees of components near zero: skipped
            d = abs(float(u) - float(v)) / fundamental
            if d > worst[0]: worst = (d, head[i])
print(f'records: {len(ra)} and {len(rb)}; largest difference {worst[0]:.1e} of the largest value ({worst[1]})')
PY
