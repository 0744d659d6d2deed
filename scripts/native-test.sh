#!/usr/bin/env bash
# Build the GoogleTest runner in $NATIVE_BUILD (default build/native) and run
# it with ctest. It is a Debug build: the cores check their invariants as they
# run (VELKORIN_CHECK_INVARIANTS) and the tests call verify() after every
# operation. Passing tests are not listed; failures keep their output, and
# ctest's summary closes the run.
# The compiler is CMake's choice, or $CXX at the first configure of that directory.
# PORTABLE=ON builds the cores without SIMD intrinsics.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${NATIVE_BUILD:-build/native}
jobs=${JOBS:-2}

scripts/ensure-gtest.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DVELKORIN_NATIVE_TESTS=ON -DVELKORIN_MODULE=OFF -DVELKORIN_WERROR="${WERROR:-ON}" \
    -DVELKORIN_PORTABLE="${PORTABLE:-OFF}" >/dev/null
cmake --build "$build" -j "$jobs"
set +e
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" |
    grep --line-buffered -vE '^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$|^Internal ctest changing'
exit "${PIPESTATUS[0]}"
