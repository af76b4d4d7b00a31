#!/usr/bin/env bash
# Build velora-native with AddressSanitizer and UndefinedBehaviorSanitizer and run
# the whole test suite with it.
#
# The instrumented build has its own venv (.venv/py<ver>-sanitize) and its own
# CMake build directory (build/sanitize/), so it never mixes with the normal one;
# a rerun only rebuilds what changed.  The interpreter itself is not instrumented:
# the sanitizer runtime is preloaded into it, with CPython's small-object allocator
# off (PYTHONMALLOC=malloc) so that every Python object is a heap block the
# sanitizer watches.  Leak detection is off (CPython does not free everything at
# exit); any other report fails the run: reports are written to
# build/sanitize/reports/ and printed, and the script exits non-zero if there is
# one, even when every test passed.
#
# PYVER chooses the interpreter (default 3.9); extra arguments go to pytest.
set -euo pipefail
PYVER=${PYVER:-3.9}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/pythons.sh"
if needs_root "${PYVER:-3.9}"; then
    exec bash "$root/scripts/newer_pythons.sh" run bash "$0" "$@"
fi
venv="$root/.venv/py$PYVER-sanitize"
say() { printf '== %s\n' "$*" >&2; }

start=$(date +%s)
say "building the instrumented package into $venv"
VELORA_VENV="$venv" \
VELORA_BUILD_ARGS="-C cmake.define.VELORA_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build/sanitize/{wheel_tag}" \
    bash "$root/scripts/setup.sh" >/dev/null
built=$(date +%s)

# The runtime of the compiler that built the modules (CMake's default C++ compiler).
cxx=${CXX:-$(command -v c++ || command -v g++)}
asan=$("$cxx" -print-file-name=libasan.so)
if [ ! -e "$asan" ]; then
    echo "sanitize: no AddressSanitizer runtime for $cxx (libasan.so)" >&2
    exit 1
fi
# The C++ runtime is preloaded as well: the interpreter does not link it, and the
# sanitizer's exception interceptor must find it when it starts.
cxxrt=$("$cxx" -print-file-name=libstdc++.so)

reports="$root/build/sanitize/reports"
rm -rf "$reports"
mkdir -p "$reports"

say "running the test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cd "$root"
status=0
# allocator_may_return_null: a huge allocation is a MemoryError, as without the sanitizer.
VELORA_SANITIZE=1 \
PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=0:log_path=$reports/asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
LD_PRELOAD="$asan $cxxrt" \
    "$venv/bin/python" -m pytest -p no:cacheprovider -n "${VELORA_WORKERS:-$(nproc)}" --dist loadfile "$@" || status=$?
finished=$(date +%s)

found=$(find "$reports" -type f | sort)
if [ -n "$found" ]; then
    for f in $found; do
        echo "---- $f" >&2
        cat "$f" >&2
    done
    echo "sanitize: $(echo "$found" | wc -l) sanitizer report(s)" >&2
    [ "$status" -ne 0 ] || status=1
else
    say "sanitizer reports: none"
fi
say "sanitizer build $((built - start)) s, instrumented test run $((finished - built)) s"
exit "$status"
