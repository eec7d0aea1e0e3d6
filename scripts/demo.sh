#!/usr/bin/env bash
# The main job: a measurement against the simulated recorders.
set -euo pipefail
exe=${1:-build/harmonic-station}
"$exe" --help
