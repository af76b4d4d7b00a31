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
repeat.  An interpreter stripped of its own symbols (Debian's 3.14 and 3.15) runs
them under the functions of a small extension module compiled for it instead
(``--exported``), one function a side.  The skeleton is subtracted, as in the timed run.
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
# An interpreter without its symbols (a distribution's, stripped) names none of
# those: each side then runs under a function of a small extension module of our
# own, compiled for it once.
EXPORTED = {side: "velora_bench_" + side for side in TRAMPOLINES}
_MODULE_SOURCE = (
    "#include <Python.h>\n"
    + "".join("static PyObject *%s(PyObject *m, PyObject *fn) { PyObject *r = PyObject_CallNoArgs(fn);"
              " return r; }\n" % f for f in EXPORTED.values())
    + "static PyMethodDef methods[] = {\n"
    + "".join('    {"%s", %s, METH_O, NULL},\n' % (side, f) for side, f in EXPORTED.items())
    + "    {NULL, NULL, 0, NULL}};\n"
    "static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, \"trampolines\", NULL, -1, methods};\n"
    "PyMODINIT_FUNC PyInit_trampolines(void) { return PyModule_Create(&def); }\n")


def has_own_symbols():
    """Whether the interpreter's static functions are named in its symbols."""
    import sysconfig

    nm = shutil.which("nm")
    if not nm:
        return False
    binaries = [sys.executable]
    libdir, library = sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("LDLIBRARY")
    if libdir and library and library.endswith(".so"):
        binaries.append(os.path.join(libdir, library))
    return any(" sys_call_tracing" in subprocess.run([nm, b], capture_output=True, text=True).stdout
               for b in binaries if os.path.exists(b))


def module_path():
    """The trampolines' module for this interpreter, compiled if it is not there yet."""
    import sysconfig

    build = os.path.join(ROOT, "build", "bench-trampolines-%d.%d" % sys.version_info[:2])
    path = os.path.join(build, "trampolines" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.exists(path):
        os.makedirs(build, exist_ok=True)
        source = os.path.join(build, "trampolines.c")
        with open(source, "w") as f:
            f.write(_MODULE_SOURCE)
        compiler = shutil.which("cc") or shutil.which("gcc") or "c++"
        subprocess.run([compiler, "-O1", "-fno-optimize-sibling-calls", "-fno-inline", "-shared", "-fPIC",
                        "-I", sysconfig.get_paths()["include"], source, "-o", path], check=True)
    return path


def exported_callers():
    """{side: call(fn)} through the module's functions."""
    import importlib.util

    spec = importlib.util.spec_from_file_location("trampolines", module_path())
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return {side: getattr(module, side) for side in EXPORTED}


def child(group, name, batches, full, exported=False):
    sys.path[:0] = [HERE, os.path.join(ROOT, "host")]
    import functools
    import gc
    import importlib

    if exported:
        by = exported_callers()
    else:
        by = {"native": lambda fn: sys.call_tracing(fn, ()),
              "plain": lambda fn: functools.reduce(lambda _, run: run(), [None, fn]),
              "skeleton": lambda fn: list(filter(lambda _: fn(), [None])),
              "floor": lambda fn: list(map(lambda _: fn(), [None])),
              "floor_skeleton": lambda fn: sorted([None], key=lambda _: fn())}

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
        by["native"](native.run)
    for _ in range(batches):
        if plain.setup:
            plain.setup()
        by["plain"](plain.run)
    for _ in range(batches):
        by["skeleton"](skeleton)
    floor = path.sides.get("floor")
    if floor is not None:
        floor_skeleton = floor.skeleton or (lambda: None)
        for _ in range(3):
            floor.run()
        for _ in range(batches):
            by["floor"](floor.run)
            by["floor_skeleton"](floor_skeleton)
        print("floor", floor.calls * batches, flush=True)
    print("calls", native.calls * batches, flush=True)
    os._exit(0)  # no teardown: its cost would not be the path's


def inclusive(report, function):
    """The inclusive count of `function` in a callgrind_annotate report."""
    for line in report.splitlines():
        if re.search(r":%s( |$)" % re.escape(function), line):
            return int(line.split()[0].replace(",", ""))
    return 0


def count(group, name, batches=10, full=False, exported=None):
    """Instructions per call of each side: {"native": n, "plain": p}."""
    valgrind = shutil.which("valgrind")
    if not valgrind:
        raise SystemExit("valgrind is not installed")
    if exported is None:
        exported = not has_own_symbols()
    functions = EXPORTED if exported else TRAMPOLINES
    if exported:
        module_path()  # compiled before valgrind runs
    with tempfile.TemporaryDirectory() as tmp:
        out_file = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
        toggles = ["--toggle-collect=%s" % f for f in functions.values()]
        out = subprocess.run(
            [valgrind, "--tool=callgrind", *toggles, "--callgrind-out-file=" + out_file, sys.executable,
             os.path.abspath(__file__), "--child", group, name, str(batches)] + (["--full"] if full else [])
            + (["--exported"] if exported else []),
            capture_output=True, text=True, env=env)
        calls = re.search(r"^calls (\d+)", out.stdout, re.M)
        if not calls or not os.path.exists(out_file):
            raise RuntimeError("%s failed:\n%s" % (name, out.stdout + out.stderr[-2000:]))
        report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out_file],
                                capture_output=True, text=True, check=True).stdout
    totals = {side: inclusive(report, function) for side, function in functions.items()}
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
    parser.add_argument("--exported", action="store_true", default=None,
                        help="run each side under a function of a module of our own (the default "
                             "when the interpreter's own symbols are stripped)")
    parser.add_argument("--child", nargs=3, metavar=("GROUP", "PATH", "BATCHES"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        group, name, batches = args.child
        return child(group, name, int(batches), args.full, bool(args.exported))
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
            counts = count(group, path.name, args.batches, args.full, args.exported)
            print("| %s | %.0f | %.0f | %.2f | %s |" % (path.name, counts["native"], counts["plain"],
                                                      counts["native"] / counts["plain"],
                                                      "%.0f" % counts["floor"] if "floor" in counts else "-"),
                  flush=True)


if __name__ == "__main__":
    main()
