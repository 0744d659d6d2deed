#!/usr/bin/env bash
# Make sure the clang++ named by the argument (default clang++-19) is on PATH,
# installing Debian's clang-N with apt-get when it is not.
set -euo pipefail
cd "$(dirname "$0")/.."
compiler=${1:-clang++-19}
command -v "$compiler" >/dev/null 2>&1 && exit 0
case $compiler in
    clang++-[0-9]*) package=clang-${compiler#clang++-} ;;
    *) echo "error: $compiler not found (and not a clang++-N this script can install)" >&2; exit 1 ;;
esac
echo "$compiler not found" >&2
scripts/apt-install.sh "$package"
command -v "$compiler" >/dev/null 2>&1 || { echo "error: $package is installed, but $compiler is still not on PATH" >&2; exit 1; }
