#!/usr/bin/env bash
# Install dist/'s manylinux wheel for CPython $1 (default 3.12) into a fresh
# virtual environment and run the pytest suite against it from a copy of the
# tests outside the source tree, so that nothing of the checkout can be
# imported instead; conftest.py refuses a velkorin from anywhere but the
# environment's site-packages (VELKORIN_EXPECT_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:-3.12}
tag=cp${version/./}
shopt -s nullglob
wheels=(dist/velkorin-*-"$tag"-"$tag"-manylinux*.whl)
if [ "${#wheels[@]}" -ne 1 ]; then
    echo "error: expected one $tag manylinux wheel in dist/, found ${#wheels[@]}; run 'make wheel' first" >&2
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
cd "$tmp/tree"
set +e
env -u PYTHONPATH VELKORIN_EXPECT_DIR="$site" "$tmp/venv/bin/python" -m pytest -p no:cacheprovider
status=$?
if [ "$status" -eq 5 ]; then
    echo "error: pytest collected no tests (exit 5); treating this as a failure" >&2
    exit 1
fi
exit "$status"
