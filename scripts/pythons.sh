# Sourced by the scripts: where each CPython comes from.
#
# pyenv's newest build of a version, else python3.X on the PATH; for 3.14 and 3.15,
# when neither has it, the Debian unstable root that scripts/newer_pythons.sh makes
# once and enters for each command.
velora_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The interpreter for version $1 on this system (not in the root), or nothing.
find_python() {
    local found=
    if command -v pyenv >/dev/null; then
        found=$(ls -d "$(pyenv root)"/versions/"$1".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true)
    fi
    [ -n "$found" ] || found=$(command -v "python$1" || true)
    echo "$found"
}

# Whether version $1 runs inside the root: we are not in it already, this system
# has no such interpreter, and the root has it.
needs_root() {
    [ -z "${VELORA_IN_ROOT:-}" ] || return 1
    case $1 in 3.14|3.15) ;; *) return 1 ;; esac
    [ -z "$(find_python "$1")" ]
}

# run_for VERSION CMD ARGS...: the command, inside the root when VERSION needs it.
run_for() {
    local v=$1
    shift
    if needs_root "$v"; then
        bash "$velora_scripts/newer_pythons.sh" run "$@"
    else
        "$@"
    fi
}
