"""Instructions per call of the native and plain sides of a path, counted by callgrind.

    python bench/instructions.py --only on_snapshot [--only ...] [--batches N] [--full]

Wall-clock times on a shared machine move with its load; instruction counts do
not, so they judge a change to the frame or a module more finely (they do not
see cache misses, which the timed run does).  One process under ``valgrind
--tool=callgrind`` runs a path's batches on the smoke-run inputs (``--full``:
the benchmark's own): the native side's through ``sys.call_tracing``, the plain
side's through ``functools.reduce`` and the loop's skeleton through ``filter``,
(and the floor's, where the path has one, through ``map``, its skeleton through
``sorted``), so that they are told apart by the C function each ran under; only
those are counted, and ``PYTHONHASHSEED`` is fixed so that dictionary layouts
repeat.  The skeleton is subtracted, as in the timed run.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The C function each side runs under, for callgrind to tell them apart.
TRAMPOLINES = {"native": "sys_call_tracing", "plain": "functools_reduce", "skeleton": "filter_next",
               "floor": "map_next", "floor_skeleton": "builtin_sorted"}


def child(group, name, batches, full):
    sys.path[:0] = [HERE, os.path.join(ROOT, "host")]
    import functools
    import gc
    import importlib

    gc.disable()
    paths = importlib.import_module(group).paths(quick=not full)  # kept: closing it undoes the set-up
    for path in paths:
        if path.name == name:
            break
    else:
        raise SystemExit("no path %r in %s" % (name, group))
    native, plain = path.sides["native"], path.sides["plain"]
    skeleton = native.skeleton or (lambda: None)
    for side in (native, plain):
        for _ in range(3):
            if side.setup:
                side.setup()
            side.run()
    for _ in range(batches):
        if native.setup:
            native.setup()
        sys.call_tracing(native.run, ())
    for _ in range(batches):
        if plain.setup:
            plain.setup()
        functools.reduce(lambda _, run: run(), [None, plain.run])
    for _ in range(batches):
        list(filter(lambda _: skeleton(), [None]))
    floor = path.sides.get("floor")
    if floor is not None:
        floor_skeleton = floor.skeleton or (lambda: None)
        for _ in range(3):
            floor.run()
        for _ in range(batches):
            list(map(lambda _: floor.run(), [None]))
            sorted([None], key=lambda _: floor_skeleton())
        print("floor", floor.calls * batches, flush=True)
    print("calls", native.calls * batches, flush=True)
    os._exit(0)  # no teardown: its cost would not be the path's


def inclusive(report, function):
    """The inclusive count of `function` in a callgrind_annotate report."""
    for line in report.splitlines():
        if re.search(r":%s( |$)" % re.escape(function), line):
            return int(line.split()[0].replace(",", ""))
    return 0


def count(group, name, batches=10, full=False):
    """Instructions per call of each side: {"native": n, "plain": p}."""
    valgrind = shutil.which("valgrind")
    if not valgrind:
        raise SystemExit("valgrind is not installed")
    with tempfile.TemporaryDirectory() as tmp:
        out_file = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
        toggles = ["--toggle-collect=%s" % f for f in TRAMPOLINES.values()]
        out = subprocess.run(
            [valgrind, "--tool=callgrind", *toggles, "--callgrind-out-file=" + out_file, sys.executable,
             os.path.abspath(__file__), "--child", group, name, str(batches)] + (["--full"] if full else []),
            capture_output=True, text=True, env=env)
        calls = re.search(r"^calls (\d+)", out.stdout, re.M)
        if not calls or not os.path.exists(out_file):
            raise RuntimeError("%s failed:\n%s" % (name, out.stdout + out.stderr[-2000:]))
        report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out_file],
                                capture_output=True, text=True, check=True).stdout
    totals = {side: inclusive(report, function) for side, function in TRAMPOLINES.items()}
    n = int(calls.group(1))
    counts = {side: (totals[side] - totals["skeleton"]) / n for side in ("native", "plain")}
    if totals["floor"]:
        counts["floor"] = (totals["floor"] - totals["floor_skeleton"]) / n
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", action="append", default=[], metavar="TEXT", required=False)
    parser.add_argument("--batches", type=int, default=10)
    parser.add_argument("--full", action="store_true", help="the benchmark's inputs rather than the smoke run's")
    parser.add_argument("--child", nargs=3, metavar=("GROUP", "PATH", "BATCHES"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        group, name, batches = args.child
        return child(group, name, int(batches), args.full)
    if not args.only:
        parser.error("name the paths to count with --only (each path takes tens of seconds under callgrind)")

    sys.path[:0] = [HERE, os.path.join(ROOT, "host")]
    import run

    print("| path | native | plain | native ÷ plain | floor |")
    print("|---|---|---|---|---|")
    for group in run.GROUPS:
        for path in run.group_paths(group, quick=True):
            if not any(t in path.name for t in args.only):
                continue
            counts = count(group, path.name, args.batches, args.full)
            print("| %s | %.0f | %.0f | %.2f | %s |" % (path.name, counts["native"], counts["plain"],
                                                      counts["native"] / counts["plain"],
                                                      "%.0f" % counts["floor"] if "floor" in counts else "-"),
                  flush=True)


if __name__ == "__main__":
    main()
