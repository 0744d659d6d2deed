#!/usr/bin/env bash
# Run pytest with the venv's interpreter; "no tests ran" (exit 5) is a failure.
set -uo pipefail
cd "$(dirname "$0")/.."
"${VENV:-.venv}/bin/python" -m pytest "$@"
status=$?
if [ "$status" -eq 5 ]; then
    echo "error: pytest collected no tests (exit 5); treating this as a failure" >&2
    exit 1
fi
exit "$status"
