#!/usr/bin/env bash
# Build the libFuzzer targets of fuzz/ with clang, ASan and UBSan (the preset
# fuzz of fuzz/CMakePresets.json, in build/fuzz, with $FUZZ_CXX as compiler)
# and run each for $FUZZ_SECONDS seconds, one after another, on its seeds
# (fuzz/corpus/<target>, never written to) and a working corpus in
# build/fuzz/corpus/<target> that persists between runs. One line per target;
# the first crash stops the run with the path of the input that caused it.
#   scripts/fuzz.sh [TARGET...]      (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
compiler=${FUZZ_CXX:-clang++-19}
build=build/fuzz
all=(ring_buffer binary_heap linked_list hash_set hash_map btree_set sorting searching hash_set_portable hash_map_portable)
targets=("${@:-${all[@]}}")

scripts/ensure-libfuzzer.sh "$compiler"
cmake -S fuzz --preset fuzz -DCMAKE_CXX_COMPILER="$compiler" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" >/dev/null

mkdir -p "$build/logs" "$build/crashes"
for name in "${targets[@]}"; do
    work=$build/corpus/$name
    log=$build/logs/$name.log
    mkdir -p "$work"
    status=0
    "$build/fuzz_$name" -max_total_time="$seconds" -max_len=4096 -timeout=60 -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$name-" "$work" "fuzz/corpus/${name%_portable}" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "fuzz $name: FAILED (exit $status); the last lines of $log:" >&2
        tail -n 30 "$log" >&2
        crash=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
        echo "fuzz $name: crashing input: ${crash:-none written; see $log}" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $name: $runs runs, no crash"
done
