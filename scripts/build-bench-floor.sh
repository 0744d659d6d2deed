#!/usr/bin/env bash
# Build the benchmarks' floor module (bench/floor) into build/bench-floor for
# the interpreter of $VENV; print the directory to put on PYTHONPATH.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench-floor
venv=${VENV:-.venv}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKORIN_MODULE=OFF -DVELKORIN_BENCH_FLOOR=ON \
    -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" >/dev/null
echo "$PWD/$build"
