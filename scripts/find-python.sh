#!/usr/bin/env bash
# Print the path of a CPython 3.12 interpreter, or fail with a message.
# Order: $PYTHON, pyenv's versions, python3.12 on PATH, python3 if it is 3.12.
set -euo pipefail

is_312() {
    [ -n "$1" ] && [ -x "$1" ] &&
        "$1" -c 'import sys; sys.exit(not (sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 12)))' 2>/dev/null
}

candidates=()
[ -n "${PYTHON:-}" ] && candidates+=("$(command -v "$PYTHON" || echo "$PYTHON")")
roots=()
if command -v pyenv >/dev/null 2>&1; then roots+=("$(pyenv root)"); fi
roots+=("${PYENV_ROOT:-}" "$HOME/.pyenv")
for root in "${roots[@]}"; do
    [ -n "$root" ] || continue
    # Newest 3.12.x first.
    for dir in $(ls -d "$root"/versions/3.12* 2>/dev/null | sort -rV); do
        candidates+=("$dir/bin/python3")
    done
done
for name in python3.12 python3; do
    path=$(command -v "$name" 2>/dev/null) && candidates+=("$path")
done

if [ -n "${PYTHON:-}" ] && ! is_312 "${candidates[0]}"; then
    echo "warning: \$PYTHON=$PYTHON is not CPython 3.12; looking elsewhere" >&2
fi
for py in "${candidates[@]}"; do
    if is_312 "$py"; then
        echo "$py"
        exit 0
    fi
done

if [ -n "${PYTHON:-}" ]; then
    echo "error: \$PYTHON=$PYTHON is not CPython 3.12, and no other CPython 3.12 was found" >&2
else
    echo "error: no CPython 3.12 found (tried \$PYTHON, pyenv versions/3.12*, python3.12, python3)." >&2
fi
echo "       Install one (e.g. 'pyenv install 3.12.1') or set PYTHON=/path/to/python3.12." >&2
exit 1
