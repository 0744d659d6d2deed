#!/usr/bin/env bash
# `pip install` from a read-only checkout: copy the files git knows of, make
# the copy read-only, install it into a fresh venv with plain `pip install DIR`
# (build isolation and scikit-build-core's default build directory, as a user
# would), and import the result. Root ignores permission bits, so as root the
# copy is mounted read-only in a private user and mount namespace instead.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(scripts/find-python.sh "${PY_VERSION:-3.12}")
tmp=$(mktemp -d)
trap 'chmod -R u+w "$tmp"; rm -rf "$tmp"' EXIT

src=$tmp/velkorin
mkdir "$src"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
    [ -e "$f" ] && printf '%s\0' "$f"
done | xargs -0 cp --parents -t "$src"
"$python" -m venv "$tmp/venv"
install=("$tmp/venv/bin/python" -m pip install -q --disable-pip-version-check "$src")

if [ "$(id -u)" -ne 0 ]; then
    chmod -R a-w "$src"
    "${install[@]}"
elif unshare --user --map-root-user --mount true 2>/dev/null; then
    # shellcheck disable=SC2016
    unshare --user --map-root-user --mount bash -euc '
        mount --bind "$1" "$1"
        mount -o remount,bind,ro "$1"
        if touch "$1/probe" 2>/dev/null; then echo "error: $1 is still writable" >&2; exit 1; fi
        shift
        "$@"' _ "$src" "${install[@]}"
else
    echo "skipped: running as root without user namespaces, so no read-only copy can be made here" >&2
    exit 0
fi
cd "$tmp"
"$tmp/venv/bin/python" -c 'import velkorin; assert velkorin.merge_sort([3, 1, 2]) == [1, 2, 3]; print("installed from a read-only checkout:", velkorin.__file__)'
