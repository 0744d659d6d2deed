#!/usr/bin/env bash
# Print the path of a CPython interpreter of the given minor version (default
# 3.12), or fail with a message.
# Order: $PYTHON, pyenv's versions, python3.X on PATH, python3 if it is 3.X.
set -euo pipefail
want=${1:-3.12}

is_wanted() {
    [ -n "$1" ] && [ -x "$1" ] &&
        "$1" -c "import sys; sys.exit(not (sys.implementation.name == 'cpython' and '%d.%d' % sys.version_info[:2] == '$want'))" 2>/dev/null
}

candidates=()
# What is wrong with $PYTHON, if it is set and unusable: "not found" or "is not CPython X.Y".
python_problem=""
if [ -n "${PYTHON:-}" ]; then
    if ! path=$(command -v "$PYTHON" 2>/dev/null) || [ ! -x "$path" ]; then
        python_problem="not found"
    elif ! is_wanted "$path"; then
        python_problem="is not CPython $want"
    else
        candidates+=("$path")
    fi
fi
roots=()
if command -v pyenv >/dev/null 2>&1; then roots+=("$(pyenv root)"); fi
roots+=("${PYENV_ROOT:-}" "$HOME/.pyenv")
for root in "${roots[@]}"; do
    [ -n "$root" ] || continue
    # Newest patch release first.
    for dir in $(ls -d "$root"/versions/$want* 2>/dev/null | sort -rV); do
        candidates+=("$dir/bin/python3")
    done
done
for name in "python$want" python3; do
    path=$(command -v "$name" 2>/dev/null) && candidates+=("$path")
done

if [ -n "$python_problem" ]; then
    echo "warning: \$PYTHON=$PYTHON $python_problem; looking elsewhere" >&2
fi
# (An empty array is "unbound" to bash 3.2 under set -u: expand it guarded.)
for py in ${candidates[@]+"${candidates[@]}"}; do
    if is_wanted "$py"; then
        echo "$py"
        exit 0
    fi
done

if [ -n "$python_problem" ]; then
    echo "error: \$PYTHON=$PYTHON $python_problem, and no other CPython $want was found" >&2
else
    echo "error: no CPython $want found (tried \$PYTHON, pyenv versions/$want*, python$want, python3)." >&2
fi
echo "       Install one (e.g. 'pyenv install $want') or set PYTHON=/path/to/python$want." >&2
exit 1
