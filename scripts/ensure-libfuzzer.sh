#!/usr/bin/env bash
# Make sure the clang++ named by the argument (default clang++-19) can link a
# libFuzzer target with ASan and UBSan, installing Debian's clang-N,
# libfuzzer-N-dev and libclang-rt-N-dev (the sanitizer runtimes) with apt-get
# when it cannot.
set -euo pipefail
cd "$(dirname "$0")/.."
compiler=${1:-clang++-19}
scripts/ensure-clang.sh "$compiler"

probe() {
    local dir status=0
    dir=$(mktemp -d)
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$dir/probe.cpp"
    "$compiler" -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" >"$dir/log" 2>&1 || status=1
    rm -rf "$dir"
    return "$status"
}

probe && exit 0
case $compiler in
    clang++-[0-9]*) packages=(libfuzzer-${compiler#clang++-}-dev libclang-rt-${compiler#clang++-}-dev) ;;
    *) echo "error: $compiler cannot link a libFuzzer target (-fsanitize=fuzzer)" >&2; exit 1 ;;
esac
echo "$compiler cannot link a libFuzzer target" >&2
scripts/apt-install.sh "${packages[@]}"
probe || { echo "error: ${packages[*]} are installed, but $compiler still cannot link -fsanitize=fuzzer" >&2; exit 1; }
