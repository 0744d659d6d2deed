#!/usr/bin/env bash
# Build the module with ASan+UBSan (plain CMake, the preset sanitize, in
# build/sanitize, for .venv's interpreter) and run the pytest suite (or the
# tests named as arguments) against that build. Any sanitizer report aborts the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/sanitize

cmake --preset sanitize
cmake --build --preset sanitize -j "${JOBS:-2}"

# The sanitizer runtimes must come first in the interpreter's library list.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# allocator_may_return_null: a failed allocation must reach the module's own handler.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
# Put the sanitized build first; conftest.py refuses any other velkorin.
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"
export VELKORIN_EXPECT_DIR="$PWD/$build"
export VELKORIN_SANITIZED=1
.venv/bin/python -c 'import velkorin; print("velkorin under test:", velkorin.__file__)'
# capture=sys: native reports written to fd 2 must not vanish with an aborted run.
exec scripts/run-pytest.sh --capture=sys "$@"
