#!/usr/bin/env bash
# Builds the modules, then runs a fleet of gateways, edge brokers and a
# central broker on this machine and prints its report (tools/fleet).
# Options go to tools/fleet/run_fleet.py: --gateways K --links M --rate R
# --duration S --edges E --cut-uplink T --kill-edge T --json.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/python.sh

cmake -S . -B build -DPython_EXECUTABLE="$KORVA_PYTHON" > /dev/null
cmake --build build -j2 --target KorvaPy _korva_link > /dev/null
PYTHONPATH=build/python "$KORVA_PYTHON" tools/fleet/run_fleet.py "$@"
