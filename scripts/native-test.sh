#!/usr/bin/env bash
# Build the GoogleTest runner of the CMake preset $NATIVE_PRESET (default
# native: Debug at -Og in build/native, -Werror; clang and portable are the
# others) and run it with ctest. In the Debug build the cores check their
# invariants as they run (VELKORIN_CHECK_INVARIANTS) and the tests call
# verify() after every operation. Passing tests are not listed; failures keep
# their output, and ctest's summary closes the run.
# $NATIVE_BUILD, when set, is the build directory instead of the preset's, and
# $CXX the compiler (CMake's choice, or the preset's, otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${NATIVE_PRESET:-native}
jobs=${JOBS:-2}
configure=(--preset "$preset")
build=(--preset "$preset")
test=(--preset "$preset")
if [ -n "${NATIVE_BUILD:-}" ]; then
    configure+=(-B "$NATIVE_BUILD")
    build=("$NATIVE_BUILD")
    test+=(--test-dir "$NATIVE_BUILD")
fi
if [ -n "${CXX:-}" ]; then configure+=(-DCMAKE_CXX_COMPILER="$CXX"); fi

scripts/ensure-gtest.sh
cmake "${configure[@]}" >/dev/null
cmake --build "${build[@]}" -j "$jobs"
set +e
ctest "${test[@]}" -j "$jobs" |
    grep --line-buffered -vE '^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$|^Internal ctest changing'
exit "${PIPESTATUS[0]}"
