#!/usr/bin/env bash
# Set up everything from nothing: system packages, a virtual environment for the
# chosen Python (PYVER, default 3.9), the build and test requirements, then build
# and install the package into it.  Safe to run again: the venv and the CMake
# build directory are kept, so a rerun only rebuilds what changed.
# VELORA_VENV names another venv and VELORA_BUILD_ARGS adds pip options to the
# package's build (scripts/sanitize.sh uses both for its instrumented build).
# VELORA_PORTABLE=1 builds without interpreter-specific fast paths, into a venv
# and build directory of its own (.venv/py<ver>-portable, build/portable/).
# PYVER=3.14 and 3.15 run inside the root of scripts/newer_pythons.sh when this
# system has no such interpreter.
set -euo pipefail
PYVER=${PYVER:-3.9}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/pythons.sh"
if needs_root "$PYVER"; then
    exec bash "$root/scripts/newer_pythons.sh" run bash "$0" "$@"
fi
venv_name=py$PYVER
build_args=${VELORA_BUILD_ARGS:-}
if [ "${VELORA_PORTABLE:-0}" = 1 ]; then
    venv_name=py$PYVER-portable
    build_args="$build_args -C cmake.define.VELORA_PORTABLE=ON -C build-dir=build/portable/{wheel_tag}"
fi
venv="${VELORA_VENV:-$root/.venv/$venv_name}"

say() { printf '== %s\n' "$*" >&2; }

# System packages the build and the tests need.  redis-server (for the quote
# store's tests and the demonstration) is wanted but not required: if it cannot
# be installed, say so and go on; whatever needs it says so again.
missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v git >/dev/null || missing+=(git)
if [ "$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi
if ((${#missing[@]})) || ! command -v redis-server >/dev/null; then
    $sudo apt-get update -qq || say "apt-get update failed"
fi
if ((${#missing[@]})); then
    say "installing system packages: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if ! command -v redis-server >/dev/null; then
    say "installing redis-server"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq redis-server >/dev/null ||
        say "redis-server could not be installed: the quote store's tests and demonstration part will be skipped"
fi

python=$(find_python "$PYVER")
if [ -z "$python" ]; then
    echo "setup: no Python $PYVER found (pyenv or python$PYVER on PATH)" >&2
    exit 1
fi

if [ ! -x "$venv/bin/python" ]; then
    say "creating $venv with $python"
    "$python" -m venv "$venv"
fi
log="$venv/setup.log"
: > "$log"
# pip's own output goes to the log, shown only if a step fails.
pip_install() {
    "$venv/bin/python" -m pip install --disable-pip-version-check "$@" >> "$log" 2>&1 || {
        tail -n 60 "$log" >&2
        echo "setup: pip install $* failed (whole log: $log)" >&2
        exit 1
    }
}
# The requirements again only when they changed since the last run.
stamp="$venv/.requirements"
wanted=$(cat "$root/requirements-dev.txt")
if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
    say "installing build and test requirements (about a minute the first time)"
    pip_install -q --upgrade pip
    pip_install -q -r "$root/requirements-dev.txt"
    printf '%s' "$wanted" > "$stamp"
fi
say "building and installing velora-native (about 1-2 minutes the first time on 2 cores; a rerun builds only what changed)"
# The build's progress, one line per unit compiled, as ninja reports it.
set +e
# shellcheck disable=SC2086  # build_args is a list of options
"$venv/bin/python" -m pip install -v --disable-pip-version-check --no-build-isolation $build_args "$root[test]" \
    2>&1 | tee -a "$log" | grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] (Building|Linking)' \
    | sed -u -E 's/^ *(\[[0-9]+\/[0-9]+\]) (Building CXX object|Linking CXX [a-z ]+) (CMakeFiles\/[^/]+\.dir\/)?/   \1 /' >&2
status=${PIPESTATUS[0]}
set -e
if [ "$status" != 0 ]; then
    tail -n 80 "$log" >&2
    echo "setup: the build failed (whole log: $log)" >&2
    exit 1
fi
echo "$venv"
