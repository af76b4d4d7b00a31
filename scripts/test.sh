#!/usr/bin/env bash
# Set everything up from nothing (see setup.sh) and run the whole test suite, then
# the same suite again on a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (scripts/sanitize.sh).  VELORA_QUICK=1 runs the normal suite only (the edit loop).
# PYVER chooses the interpreter (default 3.9); extra arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/pythons.sh"
if needs_root "${PYVER:-3.9}"; then
    exec bash "$root/scripts/newer_pythons.sh" run bash "$0" "$@"
fi
venv=$(bash "$root/scripts/setup.sh" | tail -n 1)
cd "$root"
"$venv/bin/python" -m pytest "$@"
if [ "${VELORA_QUICK:-0}" != 1 ]; then
    bash "$root/scripts/sanitize.sh" "$@"
fi
