#!/usr/bin/env bash
# Set everything up from nothing (see setup.sh) and run the whole test suite.
# PYVER chooses the interpreter (default 3.9); extra arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$(bash "$root/scripts/setup.sh" | tail -n 1)
cd "$root"
exec "$venv/bin/python" -m pytest "$@"
