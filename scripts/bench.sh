#!/usr/bin/env bash
# Builds and runs every benchmark: the engine (Google Benchmark), the
# Python module against a pure-Python framer, the typed-message codec against
# hand-written struct code, and the MQTT gateway against the broker it
# publishes to. Prints one table each.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/python.sh
python=$KORVA_PYTHON

bash scripts/install_deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORVA_BUILD_BENCH=ON -DKORVA_BUILD_TESTS=OFF \
    -DKORVA_BUILD_EXAMPLES=OFF -DPython_EXECUTABLE="$python"
cmake --build build-bench -j2 --target bench_engine KorvaPy _korva_link

echo "== engine (native), $(nproc) cores: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
./build-bench/bench/bench_engine --benchmark_format=json --benchmark_out=build-bench/engine.json \
    --benchmark_out_format=json > /dev/null
"$python" bench/engine_report.py build-bench/engine.json

echo
echo "== Python loop-back ($("$python" --version))"
PYTHONPATH=build-bench/python "$python" bench/bench_python.py

echo
echo "== typed messages: korva.schema beside hand-written struct code ($("$python" --version))"
PYTHONPATH=build-bench/python "$python" bench/bench_schema.py

echo
echo "== korva gateway: frames through one process to an MQTT subscriber, beside mosquitto's own rate"
PYTHONPATH=build-bench/python "$python" bench/bench_gateway.py
