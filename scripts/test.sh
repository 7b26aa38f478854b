#!/usr/bin/env bash
# Builds everything and runs every test suite through CTest: the main build
# (engine tests, soak test, Python tests under the default interpreter 3.9,
# installation checks), the Python tests against a module built for Debian's
# python3, all tests under the sanitizers, the firmware images in their
# emulators, then a short run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/python.sh

bash scripts/install_deps.sh
cmake -S . -B build -DKORVA_WERROR=ON -DPython_EXECUTABLE="$KORVA_PYTHON"
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

# The module built for a second interpreter passes the same Python tests.
cmake -S . -B build-system-python -DKORVA_WERROR=ON -DPython_EXECUTABLE=/usr/bin/python3 \
    -DKORVA_BUILD_EXAMPLES=OFF
cmake --build build-system-python -j2 --target KorvaPy _korva_link
ctest --test-dir build-system-python --output-on-failure -j2 -L '^python$'

# Every native and Python test again, under AddressSanitizer and UBSan.
cmake -S . -B build-sanitize -DKORVA_WERROR=ON -DKORVA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
    -DKORVA_BUILD_EXAMPLES=OFF -DPython_EXECUTABLE="$KORVA_PYTHON"
cmake --build build-sanitize -j2
ctest --test-dir build-sanitize --output-on-failure -j2

# The echo node on three emulated boards against the korva package, and its footprint.
bash scripts/firmware.sh

# The libFuzzer targets, a minute each from their seed corpora with a fixed seed.
CXX=clang++ cmake -S . -B build-fuzz -DKORVA_WERROR=ON -DKORVA_BUILD_FUZZ=ON -DKORVA_BUILD_TESTS=OFF \
    -DKORVA_BUILD_PYTHON=OFF -DKORVA_BUILD_EXAMPLES=OFF -DKORVA_FUZZ_SECONDS="${KORVA_FUZZ_SECONDS:-60}"
cmake --build build-fuzz -j2
ctest --test-dir build-fuzz --output-on-failure -j2
