#!/usr/bin/env bash
# Make sure CMake finds GoogleTest: ask CMake itself (a probe project that calls
# find_package(GTest), honouring GTest_ROOT and CMAKE_PREFIX_PATH), and install
# Debian's libgtest-dev when it does not find one.
set -euo pipefail
cd "$(dirname "$0")/.."

probe() {
    local dir status=0
    dir=$(mktemp -d)
    cat >"$dir/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.21)
project(gtest_probe LANGUAGES CXX)
find_package(GTest)
if(NOT GTest_FOUND)
  message(FATAL_ERROR "no GTest")
endif()
CMAKE
    cmake -S "$dir" -B "$dir/build" >"$dir/log" 2>&1 || status=1
    rm -rf "$dir"
    return "$status"
}

hint() {
    cat >&2 <<'TEXT'
GoogleTest is needed for the native tests only. Either
  - install it: Debian/Ubuntu 'apt-get install libgtest-dev' (as root), Fedora 'dnf install gtest-devel',
  - or point CMake at an existing install: GTest_ROOT=/path/to/prefix make test,
  - or run only the Python tests, which need no GoogleTest: make python-test
TEXT
}

probe && exit 0
echo "CMake does not find GoogleTest (find_package(GTest))" >&2
if ! scripts/apt-install.sh libgtest-dev; then
    hint
    exit 1
fi
if ! probe; then
    echo "error: libgtest-dev is installed, but CMake still does not find GoogleTest" >&2
    hint
    exit 1
fi
