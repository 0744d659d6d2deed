#!/usr/bin/env bash
# Install Debian's GoogleTest (libgtest-dev) when its CMake package is missing.
set -euo pipefail

if dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q 'install ok installed'; then
    exit 0
fi
echo "libgtest-dev is missing; installing it with apt-get" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q </dev/null
$sudo apt-get install -y -q --no-install-recommends libgtest-dev </dev/null
