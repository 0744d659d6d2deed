#!/usr/bin/env bash
# Cross-build the cores' native tests for another platform and run them there
# through an emulator:
#   scripts/cross-test.sh aarch64   64-bit ARM Linux (the NEON group), under qemu-user
#   scripts/cross-test.sh windows   x86-64 Windows with mingw-w64 (32-bit long, no
#                                   POSIX, BCryptGenRandom), under wine
# The cross compiler, the emulator and GoogleTest's sources (Debian's
# googletest) are installed with apt-get when missing; GoogleTest is built
# from those sources for the target once, in build/cross-TARGET/gtest, where
# the preset cross-TARGET looks for it. Both builds take the target's
# toolchain file from cmake/toolchains. The runner checks the cores'
# invariants as `make native-test` does, but is optimised (RelWithDebInfo): a
# Debug build runs for many minutes under an emulator. -Werror.
# A second argument --install-only stops after the apt-get installs.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-}
jobs=${JOBS:-2}
gtest_src=/usr/src/googletest
build=build/cross-$target

case $target in
    aarch64)
        toolchain=cmake/toolchains/aarch64-linux-gnu.cmake
        cxx=aarch64-linux-gnu-g++
        packages=(g++-aarch64-linux-gnu qemu-user googletest)
        emulator=qemu-aarch64
        run=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
        exe=velkorin_native_tests
        name="aarch64 Linux (qemu-user)"
        ;;
    windows)
        toolchain=cmake/toolchains/x86_64-w64-mingw32.cmake
        cxx=x86_64-w64-mingw32-g++-posix
        packages=(g++-mingw-w64-x86-64 wine wine64 googletest)
        emulator=wine
        # Outside the tree: the prefix links its drive z: to /, which a walk of
        # the tree (the sdist's) would follow.
        export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/velkorin-wine}
        export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
        run=(wine)
        exe=velkorin_native_tests.exe
        name="x86-64 Windows (mingw-w64, wine)"
        ;;
    *)
        echo "usage: $0 aarch64|windows [--install-only]" >&2
        exit 2
        ;;
esac

# ($cxx: the toolchain file's compiler)
if ! command -v "$cxx" >/dev/null || ! command -v "$emulator" >/dev/null || [ ! -f "$gtest_src/CMakeLists.txt" ]; then
    scripts/apt-install.sh "${packages[@]}"
fi
[ "${2:-}" = --install-only ] && exit 0

gtest=$PWD/$build/gtest
if [ ! -f "$gtest/.built" ]; then
    echo "== GoogleTest for $name, from $gtest_src" >&2
    rm -rf "$build/gtest-build" "$gtest"
    mkdir -p "$build"
    cmake -S "$gtest_src" -B "$build/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$gtest" >"$build-gtest.log" 2>&1 ||
        { cat "$build-gtest.log" >&2; exit 1; }
    cmake --build "$build/gtest-build" -j "$jobs" >>"$build-gtest.log" 2>&1 || { cat "$build-gtest.log" >&2; exit 1; }
    cmake --install "$build/gtest-build" >>"$build-gtest.log" 2>&1 || { cat "$build-gtest.log" >&2; exit 1; }
    touch "$gtest/.built"
fi

echo "== native tests for $name" >&2
cmake --preset "cross-$target" >/dev/null
cmake --build --preset "cross-$target" -j "$jobs"

set +e
# (wine's console ends lines with CR LF)
"${run[@]}" "$build/tests/$exe" 2>&1 | tr -d '\r' | tee "$build/tests.log" |
    grep --line-buffered -vE '^\[ +(RUN|OK) +\] |^\[-+\] |^$'
status=${PIPESTATUS[0]}
set -e
passed=$(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\.$/\1/p' "$build/tests.log")
failed=$(grep -cE '^\[  FAILED  \] [A-Za-z_0-9]+\.' "$build/tests.log" || true)
echo "== native tests for $name: exit $status"
echo "$target: ${passed:-0} passed, $failed failed"
[ "$status" -eq 0 ] && [ -n "$passed" ] && [ "$failed" -eq 0 ]
