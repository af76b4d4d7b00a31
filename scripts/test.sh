#!/usr/bin/env bash
# Set everything up from nothing (see setup.sh) and run the whole test suite on
# one interpreter: PYVER, default 3.9, the reference (3.14 and 3.15 run inside the
# root of scripts/newer_pythons.sh).  Extra arguments go to pytest.
#
#   VELORA_QUICK=1     leaves out the wheel test (it builds the wheel: a minute or two)
#   VELORA_PORTABLE=1  tests the portable build (no interpreter-specific fast paths)
#   VELORA_DEEP=1      runs the generative tests' deep profile (ten times the cases)
#   VELORA_WORKERS=N   test processes (default: one per core)
#
# The same suite under the sanitizers is scripts/sanitize.sh; .ci/run runs every
# configuration.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/pythons.sh"
if needs_root "${PYVER:-3.9}"; then
    exec bash "$root/scripts/newer_pythons.sh" run bash "$0" "$@"
fi
venv=$(bash "$root/scripts/setup.sh" | tail -n 1)
cd "$root"
# One worker per core (VELORA_WORKERS=1: one process); a test file's tests stay
# together on one worker, since some share a build or a venv made for the file.
workers=${VELORA_WORKERS:-$(nproc)}
echo "== running the test suite with $venv/bin/python, $workers worker(s)" >&2
if [ "$workers" -gt 1 ]; then
    exec "$venv/bin/python" -m pytest -n "$workers" --dist loadfile "$@"
fi
exec "$venv/bin/python" -m pytest "$@"
