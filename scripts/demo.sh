#!/usr/bin/env bash
# Fresh machine to running demo: installs what is missing, builds, runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh
cmake -S . -B build
cmake --build build -j2
./build/examples/native_frames
