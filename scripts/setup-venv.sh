#!/usr/bin/env bash
# Create $VENV (default .venv) with CPython $PY_VERSION (default 3.12) if it is
# missing or of another version, and install the named optional-dependency
# groups of pyproject.toml, e.g. `setup-venv.sh test`.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VENV:-.venv}
want=${PY_VERSION:-3.12}

if ! "$venv/bin/python" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$want')" 2>/dev/null; then
    python=$(scripts/find-python.sh "$want")
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
