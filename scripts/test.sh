#!/usr/bin/env bash
# Builds everything and runs every test suite through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DKORVA_WERROR=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
