#!/usr/bin/env bash
# Install dist/'s manylinux wheel for CPython $1 (default 3.12) into a fresh
# virtual environment and run the pytest suite against it from a copy of the
# tests outside the source tree, so that nothing of the checkout can be
# imported instead; conftest.py refuses a velkorin from anywhere but the
# environment's site-packages (VELKORIN_EXPECT_DIR).
#   scripts/test-wheel.sh 3.13        the cp313 wheel on CPython 3.13
#   scripts/test-wheel.sh 3.13 abi3   the stable-ABI wheel (cp312-abi3) on CPython 3.13
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:-3.12}
kind=${2:-}
tag=cp${version/./}
shopt -s nullglob
if [ "$kind" = abi3 ]; then
    wheels=(dist/velkorin-*-cp312-abi3-manylinux*.whl)
    what="cp312-abi3"
else
    wheels=(dist/velkorin-*-"$tag"-"$tag"-manylinux*.whl)
    what=$tag
fi
if [ "${#wheels[@]}" -ne 1 ]; then
    echo "error: expected one $what manylinux wheel in dist/, found ${#wheels[@]}; run 'make wheel' first" >&2
    exit 1
fi
wheel=$PWD/${wheels[0]}
python=$(scripts/find-python.sh "$version")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

echo "installing $wheel into a fresh venv" >&2
"$python" -m venv "$tmp/venv"
"$tmp/venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"

# The tests with their pytest configuration, README.md and examples/ (for the
# tour test), laid out as in the checkout.
mkdir -p "$tmp/tree/tests"
cp -r tests/python "$tmp/tree/tests/python"
cp -r examples README.md pyproject.toml "$tmp/tree/"
rm -rf "$tmp/tree/tests/python/__pycache__"

site=$("$tmp/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
if [ "$kind" = abi3 ]; then
    "$tmp/venv/bin/python" -c 'import sys, velkorin; assert velkorin.__file__.endswith(".abi3.so"), velkorin.__file__; print(f"velkorin.abi3.so on CPython {sys.version.split()[0]}")'
fi
cd "$tmp/tree"
set +e
env -u PYTHONPATH VELKORIN_EXPECT_DIR="$site" "$tmp/venv/bin/python" -m pytest -p no:cacheprovider
status=$?
if [ "$status" -eq 5 ]; then
    echo "error: pytest collected no tests (exit 5); treating this as a failure" >&2
    exit 1
fi
exit "$status"
