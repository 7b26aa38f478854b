#!/usr/bin/env bash
# Builds the nodes for the three boards into build-firmware/<board>/ (the echo
# node korva_node.elf, the sensor node korva_sensor.elf and its revision-1
# twin korva_sensor_rev1.elf, the schema code probes), then tests each image
# in its emulator against the host's korva package (a host build in
# build-firmware/host), checks the footprint limits and prints the report.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/python.sh

declare -A toolchain=([lm3s6965evb]=arm-none-eabi [microbit]=arm-none-eabi [atmega328p]=avr)
for board in lm3s6965evb microbit atmega328p; do
    cmake -S firmware -B "build-firmware/$board" -DKORVA_BOARD="$board" \
        --toolchain "$PWD/cmake/toolchains/${toolchain[$board]}.cmake" -DPython_EXECUTABLE="$KORVA_PYTHON"
    cmake --build "build-firmware/$board" -j2
done

cmake -S . -B build-firmware/host -DKORVA_WERROR=ON -DKORVA_BUILD_FIRMWARE_TESTS=ON -DKORVA_BUILD_EXAMPLES=OFF \
    -DPython_EXECUTABLE="$KORVA_PYTHON" -DKORVA_FIRMWARE_DIR="$PWD/build-firmware"
cmake --build build-firmware/host -j2 --target KorvaPy _korva_link simavr_pty
ctest --test-dir build-firmware/host --output-on-failure -j2 -L '^firmware$'

bash scripts/footprint.sh
