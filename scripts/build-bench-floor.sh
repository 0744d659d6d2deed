#!/usr/bin/env bash
# Build the benchmarks' floor module (bench/floor) with the preset bench-floor,
# for the interpreter of $VENV; print its directory to put on PYTHONPATH.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench-floor  # the preset's
venv=${VENV:-.venv}
cmake --preset bench-floor -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
cmake --build --preset bench-floor -j "${JOBS:-2}" >/dev/null
echo "$PWD/$build"
