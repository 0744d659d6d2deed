#!/usr/bin/env bash
# Install Debian packages with apt-get: directly as root, through sudo for a
# user who may use it without a password prompt, or not at all, with a message
# that says what to run instead.
#   scripts/apt-install.sh PACKAGE...
set -euo pipefail
[ "$#" -gt 0 ] || { echo "usage: $0 PACKAGE..." >&2; exit 2; }

if ! command -v apt-get >/dev/null 2>&1; then
    echo "error: apt-get not found; install the equivalent of Debian's $* with your system's package manager" >&2
    exit 1
fi
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
        as_root=(sudo -n)
    else
        if command -v sudo >/dev/null 2>&1; then why="sudo asks for a password"; else why="sudo is not installed"; fi
        echo "error: installing $* needs root, and you are not root ($why)." >&2
        echo "       Run as root: apt-get install $*" >&2
        exit 1
    fi
fi
echo "installing $* with apt-get" >&2
export DEBIAN_FRONTEND=noninteractive
# Another install on the same machine holds the lock for a while: wait for it.
${as_root[@]+"${as_root[@]}"} apt-get -o DPkg::Lock::Timeout=900 update -q </dev/null
${as_root[@]+"${as_root[@]}"} apt-get -o DPkg::Lock::Timeout=900 install -y -q --no-install-recommends "$@" </dev/null
