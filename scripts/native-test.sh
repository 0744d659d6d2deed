#!/usr/bin/env bash
# Build the GoogleTest runner (Debug: the cores' NDEBUG-guarded checks run) in
# $NATIVE_BUILD (default build/native) and run it with ctest. Passing tests are
# not listed; failures keep their output, and ctest's summary closes the run.
# The compiler is CMake's choice, or $CXX at the first configure of that directory.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${NATIVE_BUILD:-build/native}
jobs=${JOBS:-2}

scripts/ensure-gtest.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DVELKORIN_NATIVE_TESTS=ON -DVELKORIN_MODULE=OFF -DVELKORIN_WERROR="${WERROR:-ON}" >/dev/null
cmake --build "$build" -j "$jobs"
set +e
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" |
    grep --line-buffered -vE '^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$|^Internal ctest changing'
exit "${PIPESTATUS[0]}"
