#!/usr/bin/env bash
# Fresh machine to running demo: installs what is missing, builds, then runs
# two KorvaPy nodes as two processes joined by a pseudo-terminal pair.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh
cmake -S . -B build
cmake --build build -j2 --target KorvaPy _korva_link
python=$(sed -n 's/^Python_EXECUTABLE:FILEPATH=//p' build/CMakeCache.txt)
PYTHONPATH=build/python "$python" examples/serial_demo.py "$@"
