#!/usr/bin/env bash
# Fresh machine to running demo: installs what is missing, builds, then runs
# two KorvaPy nodes as two processes joined by a pseudo-terminal pair.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/python.sh

bash scripts/install_deps.sh
cmake -S . -B build -DPython_EXECUTABLE="$KORVA_PYTHON"
cmake --build build -j2 --target KorvaPy _korva_link
PYTHONPATH=build/python "$KORVA_PYTHON" examples/serial_demo.py "$@"
