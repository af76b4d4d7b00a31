#!/usr/bin/env bash
# Run every benchmark: set everything up (scripts/setup.sh: venv, build, install),
# then bench/run.py with the project's venv and the stand-ins on the path.
# PYVER chooses the interpreter (default 3.9); arguments go to bench/run.py
# (--quick, --only TEXT, --repetitions N, --no-memory, --json FILE).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$(bash "$root/scripts/setup.sh" | tail -n 1)
cd "$root"
export OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 MKL_NUM_THREADS=1
PYTHONPATH="$root/host:$root/bench${PYTHONPATH:+:$PYTHONPATH}" exec "$venv/bin/python" "$root/bench/run.py" "$@"
