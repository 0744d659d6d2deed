#!/usr/bin/env bash
# Create .venv with CPython 3.12 (if missing or wrong) and install the named
# optional-dependency groups of pyproject.toml, e.g. `setup-venv.sh test`.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv

if ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
    python=$(scripts/find-python.sh)
    echo "creating $venv with $python ($("$python" --version))" >&2
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi

[ "$#" -gt 0 ] || exit 0
mapfile -t requirements < <("$venv/bin/python" - "$@" <<'PY'
import sys, tomllib
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
for group in sys.argv[1:]:
    print(*extras[group], sep="\n")
PY
)
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${requirements[@]}"
