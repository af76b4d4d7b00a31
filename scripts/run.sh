#!/usr/bin/env bash
# Set everything up from nothing (see setup.sh) and run the demonstration.
# --help and wrong options are answered first, without setting anything up
# (by the project's venv if there is one, else by python$PYVER or python3).
set -euo pipefail
PYVER=${PYVER:-3.9}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/pythons.sh"
if needs_root "${PYVER:-3.9}"; then
    exec bash "$root/scripts/newer_pythons.sh" run bash "$0" "$@"
fi
demo="$root/scripts/demo.py"

python=
for candidate in "${VELORA_VENV:-$root/.venv/py$PYVER}/bin/python" "python$PYVER" python3; do
    if "$candidate" -c "" >/dev/null 2>&1; then
        python=$candidate
        break
    fi
done
if [ -n "$python" ]; then
    # Prints the help, or a usage error naming this script, or nothing when the options are good.
    status=0
    answer=$(VELORA_DEMO_PROG="$0" VELORA_DEMO_CHECK_ONLY=1 "$python" "$demo" "$@") || status=$?
    if [ "$status" != 0 ]; then
        exit "$status"
    fi
    if [ -n "$answer" ]; then
        printf '%s\n' "$answer"
        exit 0
    fi
fi

venv=$(bash "$root/scripts/setup.sh" | tail -n 1)
cd "$root"
PYTHONPATH="$root/host${PYTHONPATH:+:$PYTHONPATH}" VELORA_DEMO_PROG="$0" exec "$venv/bin/python" "$demo" "$@"
