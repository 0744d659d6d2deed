#!/usr/bin/env bash
# The tests of `make test`, after the module is installed in $VENV: the native
# tests (scripts/native-test.sh), then pytest, then one line with both results,
# e.g. "native: 90 passed, python: 1135 passed". Both run even if
# the first fails; the exit status is non-zero if either failed.
set -uo pipefail
cd "$(dirname "$0")/.."
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

scripts/native-test.sh 2>&1 | tee "$logs/native"
native_status=${PIPESTATUS[0]}
scripts/run-pytest.sh tests/python 2>&1 | tee "$logs/python"
python_status=${PIPESTATUS[0]}

native=$(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/p' "$logs/native" | tail -n 1)
if [ -n "$native" ]; then
    read -r failed total <<<"$native"
    native="$((total - failed)) passed"
    [ "$failed" -eq 0 ] || native+=", $failed failed"
else
    native="did not run to the end (exit $native_status)"
fi
python=$(sed -E 's/\x1b\[[0-9;]*m//g' "$logs/python" |
    sed -nE 's/^=+ (.*) in [0-9.]+s( \([0-9:.]+\))? =+$/\1/p' | tail -n 1)
[ -n "$python" ] || python="did not run to the end (exit $python_status)"

echo "native: $native, python: $python"
[ "$native_status" -eq 0 ] && [ "$python_status" -eq 0 ]
