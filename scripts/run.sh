#!/usr/bin/env bash
# Set everything up from nothing (see setup.sh) and run the demonstration.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$(bash "$root/scripts/setup.sh" | tail -n 1)
cd "$root"
PYTHONPATH="$root/host${PYTHONPATH:+:$PYTHONPATH}" exec "$venv/bin/python" "$root/scripts/demo.py" "$@"
