"""Instructions per call of each side of a path, counted by callgrind.

    python bench/instructions.py --only on_snapshot [--only ...] [--batches N] [--full]

Wall-clock times on a shared machine move with its load; instruction counts do
not, so they judge a change to the frame or a module more finely (they do not
see cache misses, which the timed run does).  Each side runs in its own process
under ``valgrind --tool=callgrind``, on the smoke-run inputs (``--full``: the
benchmark's own); only the timed batches are counted (collection is switched on
inside ``sys.call_tracing``, through which the batches alone are run), and
``PYTHONHASHSEED`` is fixed so that dictionary layouts repeat.  The skeleton of
each side's loop is counted too and subtracted, as in the timed run.
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


def child(group, name, side, batches, full):
    sys.path[:0] = [HERE, os.path.join(ROOT, "host")]
    import gc
    import importlib

    from harness import Side

    gc.disable()
    paths = importlib.import_module(group).paths(quick=not full)  # kept: closing it undoes the set-up
    for path in paths:
        if path.name == name:
            break
    else:
        raise SystemExit("no path %r in %s" % (name, group))
    skeleton = side.startswith("skeleton:")
    s = path.sides[side.split(":")[-1]]
    if skeleton:
        s = Side(s.skeleton or (lambda: None), s.calls, setup=s.setup)
    for _ in range(3):
        if s.setup:
            s.setup()
        s.run()
    for _ in range(batches):
        if s.setup:
            s.setup()
        sys.call_tracing(s.run, ())
    print("calls", s.calls * batches, flush=True)
    os._exit(0)  # no teardown: its cost would not be the path's


def count(group, name, side, batches, full):
    valgrind = shutil.which("valgrind")
    if not valgrind:
        raise SystemExit("valgrind is not installed")
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
        out = subprocess.run(
            [valgrind, "--tool=callgrind", "--toggle-collect=sys_call_tracing",
             "--callgrind-out-file=" + os.path.join(tmp, "callgrind.out"),
             sys.executable, os.path.abspath(__file__), "--child", group, name, side, str(batches)]
            + (["--full"] if full else []),
            capture_output=True, text=True, env=env)
    calls = re.search(r"^calls (\d+)", out.stdout, re.M)
    collected = re.search(r"Collected : (\d+)", out.stderr)
    if not (calls and collected):
        raise RuntimeError("%s/%s failed:\n%s" % (name, side, out.stdout + out.stderr[-2000:]))
    return int(collected.group(1)) / int(calls.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", action="append", default=[], metavar="TEXT", required=False)
    parser.add_argument("--batches", type=int, default=10)
    parser.add_argument("--full", action="store_true", help="the benchmark's inputs rather than the smoke run's")
    parser.add_argument("--child", nargs=4, metavar=("GROUP", "PATH", "SIDE", "BATCHES"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        group, name, side, batches = args.child
        return child(group, name, side, int(batches), args.full)
    if not args.only:
        parser.error("name the paths to count with --only (each side takes tens of seconds under callgrind)")

    sys.path[:0] = [HERE, os.path.join(ROOT, "host")]
    import run

    print("| path | native | plain | floor | native−floor | plain−floor | ovh n/p |")
    print("|---|---|---|---|---|---|---|")
    for group in run.GROUPS:
        for path in run.group_paths(group, quick=True):
            if not any(t in path.name for t in args.only):
                continue
            counts = {}
            for side, s in path.sides.items():
                total = count(group, path.name, side, args.batches, args.full)
                base = count(group, path.name, "skeleton:" + side, args.batches, args.full) if s.skeleton else 0
                counts[side] = total - base
            n, p, f = counts["native"], counts["plain"], counts.get("floor")
            cells = [path.name, "%.0f" % n, "%.0f" % p]
            if f is not None:
                cells += ["%.0f" % f, "%.0f" % (n - f), "%.0f" % (p - f), "%.2f" % ((n - f) / (p - f))]
            else:
                cells += ["-"] * 4
            print("| " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
