#!/usr/bin/env bash
# Run every benchmark on each chosen interpreter, one process per interpreter, then
# print their results side by side (bench/report.py).  For each interpreter this
# sets everything up (scripts/setup.sh: venv, build, install; a rerun only rebuilds
# what changed) and runs bench/run.py with its venv and the stand-ins on the path.
#
#   bash bench/run.sh [--pythons 3.9,3.13] [bench/run.py options: --quick, --only TEXT, ...]
#
# The interpreters default to 3.9 and 3.13 (PYVERS="3.9 3.13" does the same); 3.14
# and 3.15 run inside the Debian unstable root of scripts/newer_pythons.sh when this
# system has no such interpreter.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/pythons.sh"
pythons=${PYVERS:-3.9 3.13}
args=()
while (($#)); do
    case $1 in
    --pythons) pythons=${2//,/ }; shift 2 ;;
    --pythons=*) pythons=${1#--pythons=}; pythons=${pythons//,/ }; shift ;;
    *) args+=("$1"); shift ;;
    esac
done
export OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 MKL_NUM_THREADS=1
mkdir -p "$root/bench/results"
stamp=$(date +%Y%m%d-%H%M%S)
results=()
# Set every interpreter up first, so that no build runs while another is timed.
declare -A venvs
for v in $pythons; do
    venvs[$v]=$(PYVER=$v bash "$root/scripts/setup.sh" | tail -n 1)
done
cd "$root"
for v in $pythons; do
    out="$root/bench/results/$stamp-py$v.json"
    echo "== Python $v"
    run_for "$v" env PYTHONPATH="$root/host:$root/bench${PYTHONPATH:+:$PYTHONPATH}" \
        OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 MKL_NUM_THREADS=1 \
        "${venvs[$v]}/bin/python" "$root/bench/run.py" --json "$out" ${args[@]+"${args[@]}"}
    results+=("$out")
done
if ((${#results[@]} > 1)); then
    echo
    echo "== side by side"
    first=${pythons%% *}
    run_for "$first" "${venvs[$first]}/bin/python" "$root/bench/report.py" "${results[@]}"
fi
