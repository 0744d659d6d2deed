#!/usr/bin/env bash
# Create $VENV (default .venv) with CPython $PY_VERSION (default 3.12) if it is
# missing or of another version, and install the named groups:
#   build   the build backend of pyproject.toml's [build-system] plus cmake and
#           ninja, so that pip can build without isolation (incremental builds)
#   NAME    any optional-dependency group of pyproject.toml, e.g. test
# e.g. `setup-venv.sh build test`. A group whose requirements are already
# recorded in $VENV/.velkorin-requirements is not handed to pip again.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VENV:-.venv}
want=${PY_VERSION:-3.12}
stamp=$venv/.velkorin-requirements

if ! "$venv/bin/python" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$want')" 2>/dev/null; then
    python=$(scripts/find-python.sh "$want")
    echo "creating $venv with $python ($("$python" --version))" >&2
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi

[ "$#" -gt 0 ] || exit 0
# One requirement a line; read in a loop, as bash 3.2 (macOS) has no mapfile.
requirements=$("$venv/bin/python" - "$@" <<'PY'
import sys, tomllib
config = tomllib.load(open("pyproject.toml", "rb"))
extras = config["project"]["optional-dependencies"]
for group in sys.argv[1:]:
    if group == "build":
        cmake = config["tool"]["scikit-build"]["cmake"]["version"]
        print(*config["build-system"]["requires"], f"cmake{cmake}", "ninja", sep="\n")
    else:
        print(*extras[group], sep="\n")
PY
)
missing=()
while IFS= read -r requirement; do
    [ -n "$requirement" ] || continue
    grep -qxF -- "$requirement" "$stamp" 2>/dev/null || missing+=("$requirement")
done <<<"$requirements"
[ "${#missing[@]}" -gt 0 ] || exit 0
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${missing[@]}"
printf '%s\n' "${missing[@]}" >>"$stamp"
