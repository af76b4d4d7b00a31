#!/usr/bin/env bash
# CPython 3.14 and 3.15 for this project's scripts, on a host whose own packages
# stop at an older release.
#
# Debian's unstable distribution ships python3.14 and python3.15 as binary
# packages; they need a newer C library than the host's, so they run in a Debian
# unstable root made once with debootstrap (about 5 minutes and 1 GB), kept
# outside the checkout in $VELORA_CACHE (default ~/.cache/velora-native) and
# reused by every later run.
#
#   bash scripts/newer_pythons.sh                  make the root (or say where it is)
#   bash scripts/newer_pythons.sh run CMD ARGS...  run CMD inside the root, in this
#                                                  checkout, with the same path
#
# `run` enters a private mount namespace, so the mounts it makes (/proc, /dev and
# the checkout) vanish when the command ends: nothing stays mounted inside the
# cache, and removing the cache never reaches into the checkout.  Needs root (or
# sudo) and Debian's package mirror.  scripts/setup.sh calls this for PYVER=3.14
# and 3.15; remove the root with `rm -rf ~/.cache/velora-native/debian-sid`.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${VELORA_CACHE:-$HOME/.cache/velora-native}
sid="$cache/debian-sid"
# What the project's scripts use there (valgrind: the benchmark's instruction counts).
packages=python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv,g++,make,git,redis-server,ca-certificates,valgrind
say() { printf '== %s\n' "$*" >&2; }
if [ "$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi

make_root() {
    [ -e "$sid/.velora-ready" ] && return 0
    if ! command -v debootstrap >/dev/null; then
        say "installing debootstrap"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq debootstrap >/dev/null
    fi
    say "making a Debian unstable root with CPython 3.14 and 3.15 in $sid (about 5 minutes, once)"
    $sudo rm -rf "$sid.partial"
    mkdir -p "$cache"
    $sudo debootstrap --variant=minbase --include="$packages" sid "$sid.partial" >"$cache/debootstrap.log" 2>&1 || {
        tail -n 20 "$cache/debootstrap.log" >&2
        echo "newer_pythons: debootstrap failed (whole log: $cache/debootstrap.log)" >&2
        exit 1
    }
    $sudo touch "$sid.partial/.velora-ready"
    $sudo mv "$sid.partial" "$sid"
}

# Runs "$@" inside the root with the checkout at the same path, as the same user.
run_inside() {
    local inner
    # The namespace's mounts are private: they disappear with the command.
    inner='set -e
        sid=$1 root=$2; shift 2
        mount -t proc proc "$sid/proc"
        mount --rbind /dev "$sid/dev"
        mkdir -p "$sid$root"
        mount --bind "$root" "$sid$root"
        if [ -d "$HOME/.cache" ]; then mkdir -p "$sid$HOME/.cache"; mount --bind "$HOME/.cache" "$sid$HOME/.cache"; fi
        cp -L /etc/resolv.conf "$sid/etc/resolv.conf" 2>/dev/null || true
        if [ -e /etc/ssl/certs/ca-certificates.crt ]; then
            cp -L /etc/ssl/certs/ca-certificates.crt "$sid/etc/ssl/certs/ca-certificates.crt"
        fi
        cd "$root"
        exec chroot "$sid" /usr/bin/env -i HOME="$HOME" TERM="${TERM:-dumb}" \
            PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8 \
            VELORA_IN_ROOT=1 "$@"'
    # The variables the project's scripts read pass through to the inside.
    local pass=()
    for name in $(compgen -e); do
        case $name in
            PYVER|VELORA_*|PYTEST_*|HYPOTHESIS_*|CMAKE_BUILD_PARALLEL_LEVEL) pass+=("$name=${!name}") ;;
        esac
    done
    $sudo unshare --mount --propagation private bash -c "$inner" inner "$sid" "$root" \
        /usr/bin/env "${pass[@]}" bash -c 'cd "$1" && shift && exec "$@"' cd "$PWD" "$@"
}

# A root made before a package joined the list gets it now.  (The mirror's
# unstable index may be older than its validity period; that is accepted.)
top_up() {
    local missing=()
    for p in ${packages//,/ }; do
        [ -e "$sid/var/lib/dpkg/info/$p.list" ] || [ -e "$sid/var/lib/dpkg/info/$p:amd64.list" ] || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    say "adding ${missing[*]} to the root"
    run_inside sh -c 'apt-get -o Acquire::Check-Valid-Until=false update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null' sh "${missing[@]}"
}

make_root
top_up
case "${1:-}" in
    "") echo "$sid" ;;
    run) shift; run_inside "$@" ;;
    *) echo "usage: $0 [run CMD ARGS...]" >&2; exit 2 ;;
esac
