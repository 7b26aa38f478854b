#!/usr/bin/env bash
# Prints the footprint of the echo node on each board: flash, static RAM,
# stack high-water after a workload in the emulator, and the engine's own
# code. Needs the images and the host build that scripts/firmware.sh makes.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/python.sh

PYTHONPATH="build-firmware/host/python:tests/firmware" PYTHONDONTWRITEBYTECODE=1 \
    "$KORVA_PYTHON" tests/firmware/footprint.py build-firmware build-firmware/host/tests/firmware/simavr_pty
