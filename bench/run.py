"""Run every benchmark on this interpreter: native module against plain Python, with the framework floor.

    python bench/run.py [--quick] [--only TEXT] [--repetitions N] [--no-memory] [--no-instructions]
                        [--no-throughput] [--json FILE]

(bench/run.sh sets up each interpreter's environment first and runs this with it, then
puts the interpreters side by side.)  Prints the table and writes it as JSON under
bench/results/.  See bench/README.md.
"""
import os

# One BLAS thread: numpy's idle BLAS workers would otherwise compete for the CPUs.
for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import argparse
import datetime
import gc
import json
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for _p in (os.path.join(ROOT, "host"), HERE):
    if _p not in sys.path:
        sys.path.insert(0, _p)

import harness  # noqa: E402

GROUPS = ("live", "futures", "quotes", "misc")
BRIDGE_CALLBACKS = ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar", "on_order", "on_query_position")
# Paths whose time is that of pandas, of a Redis round trip or of the enumeration
# machinery, whatever the module does around it.
BOUND_ELSEWHERE = ("cumulative factors", "RedisStore.", "StockEvents", "import event_codes")
# Paths whose instructions are counted (callgrind) beside their times.
COUNTED = BRIDGE_CALLBACKS + ("event queue",)
THROUGHPUT_TARGET = 3.0


def target(name, version=sys.version_info[:2]):
    """The highest acceptable native ÷ plain time of a path.  The specialising
    interpreter (3.11 on) makes plain Python faster, so its targets are looser."""
    specialising = version >= (3, 11)
    if name.startswith("on_order"):
        return 0.97 if specialising else 0.95
    if name.split(" ")[0] in BRIDGE_CALLBACKS:
        return 0.95 if specialising else 0.85
    if name.startswith("_slice_dominant_data"):
        return 0.25 if specialising else 0.2
    if name.startswith(BOUND_ELSEWHERE):
        return 1.03
    return 1.0


def git_commit():
    try:
        out = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
        return out.stdout.strip() + ("+changes" if dirty else "")
    except OSError:
        return "unknown"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def fmt_time(ns):
    if ns is None:
        return "-"
    if abs(ns) >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if abs(ns) >= 1e3:
        return "%.2f µs" % (ns / 1e3)
    return "%.0f ns" % ns


def make_row(path, result):
    """One line of the table.  Ratios are medians of the ratios within each repetition
    (batches that ran side by side), which a changing machine load disturbs least."""
    native, plain = result["native"], result["plain"]
    floor = result.get("floor")
    row = {
        "name": path.name, "group": path.group, "inputs": path.inputs, "note": path.note,
        "native": native, "plain": plain, "floor": floor,
        "ratio": harness.paired(lambda n, p: n / p if p else None, native, plain),
        "target": target(path.name),
    }
    if floor is not None:
        row["native_overhead_ns"] = native["median_ns"] - floor["median_ns"]
        row["plain_overhead_ns"] = plain["median_ns"] - floor["median_ns"]
    row["met"] = row["ratio"] is not None and row["ratio"] <= row["target"]
    return row


def spread(summary):
    return 100.0 * summary["iqr_ns"] / summary["median_ns"] if summary["median_ns"] else 0.0


def table(rows):
    head = ("path", "native", "plain", "native ÷ plain", "target", "instructions n / p", "floor", "spread n/p")
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in rows:
        counted = r.get("instructions")
        lines.append("| " + " | ".join([
            r["name"], fmt_time(r["native"]["median_ns"]), fmt_time(r["plain"]["median_ns"]),
            "%.2f" % r["ratio"], "≤ %.2f %s" % (r["target"], "✓" if r["met"] else "✗"),
            "%.0f / %.0f (%.2f)" % (counted["native"], counted["plain"], counted["native"] / counted["plain"])
            if counted else "-",
            fmt_time(r["floor"]["median_ns"]) if r["floor"] else "-",
            "%.0f%% / %.0f%%" % (spread(r["native"]), spread(r["plain"])),
        ]) + " |")
    return "\n".join(lines)


def throughput_line(t):
    return ("event queue, one thread appending %d events, another taking them out: native %.2f M/s, "
            "numpy_ringbuffer %.2f M/s, %.2f× (target ≥ %.0f× %s)" % (
                t["events"], t["native_per_s"] / 1e6, t["plain_per_s"] / 1e6, t["ratio"], THROUGHPUT_TARGET,
                "✓" if t["ratio"] >= THROUGHPUT_TARGET else "✗"))


def memory_table(rows):
    lines = ["| cache | side | entries | resident memory | per entry |", "|---|---|---|---|---|"]
    for r in rows:
        lines.append("| %s | %s | %d | %.1f MB | %.0f bytes |" % (
            r["kind"], r["side"], r["entries"], r["rss_bytes"] / 2 ** 20, r["bytes_per_entry"]))
    return "\n".join(lines)


def group_paths(group, quick):
    module = __import__(group)
    for path in module.paths(quick=quick):
        path.group = group
        yield path


def measure_memory(quick):
    sizes = {"ticks": (50, 60) if quick else (5000, 60), "bars": (50, 240) if quick else (5000, 240)}
    rows = []
    for kind, (codes, per_code) in sizes.items():
        for side in ("native", "plain"):
            out = subprocess.run([sys.executable, os.path.join(HERE, "memory.py"), side, kind, str(codes),
                                  str(per_code)], capture_output=True, text=True, check=True)
            rows.append(json.loads(out.stdout.strip().splitlines()[-1]))
            print("  memory %-5s %-6s %s" % (kind, side, "%.0f bytes per entry" % rows[-1]["bytes_per_entry"]),
                  flush=True)
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small inputs and few repetitions (a smoke run)")
    parser.add_argument("--only", action="append", default=[], metavar="TEXT",
                        help="only the paths whose name contains TEXT (may be repeated)")
    parser.add_argument("--repetitions", type=int, default=None, help="repetitions per path (default 15)")
    parser.add_argument("--batch-ms", type=float, default=None, help="length of one timed sample (default 20)")
    parser.add_argument("--no-memory", action="store_true", help="skip the resident-memory measurement")
    parser.add_argument("--no-instructions", action="store_true", help="skip the callgrind instruction counts")
    parser.add_argument("--no-throughput", action="store_true", help="skip the two-thread queue throughput")
    parser.add_argument("--json", default=None, help="where to write the results (default bench/results/...)")
    args = parser.parse_args(argv)

    repetitions = args.repetitions or (3 if args.quick else 15)
    target_ns = (args.batch_ms or (2 if args.quick else 20)) * 1e6
    started = time.time()
    info = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "python": platform.python_version(), "implementation": platform.python_implementation(),
        "platform": platform.platform(), "cpu": cpu_model(), "cpus": os.cpu_count(),
        "commit": git_commit(), "quick": args.quick, "repetitions": repetitions, "batch_ms": target_ns / 1e6,
        "load_average_before": os.getloadavg(),
    }
    print("velora-native benchmarks: Python %s, %s, %d CPUs, commit %s, load %.2f" % (
        info["python"], info["cpu"], info["cpus"], info["commit"], info["load_average_before"][0]), flush=True)

    rows = []
    for group in GROUPS:
        for path in group_paths(group, args.quick):
            if args.only and not any(t in path.name for t in args.only):
                continue
            began = time.time()
            if path.check is not None:
                path.check()
            result = harness.measure(path, repetitions, target_ns)
            row = make_row(path, result)
            row["seconds"] = round(time.time() - began, 1)
            rows.append(row)
            print("  %-40s native %10s  plain %10s  native ÷ plain %.2f" % (
                row["name"], fmt_time(row["native"]["median_ns"]), fmt_time(row["plain"]["median_ns"]),
                row["ratio"]), flush=True)
            del path
            gc.collect()

    throughput = None
    if not args.no_throughput and (not args.only or any(t in "event queue throughput" for t in args.only)):
        import throughput as queue_throughput
        throughput = queue_throughput.measure(20000 if args.quick else 1000000, 3 if args.quick else 5)
        print("  " + throughput_line(throughput), flush=True)

    if not args.no_instructions:
        import instructions
        for row in rows:
            if row["name"].startswith(COUNTED):
                row["instructions"] = instructions.count(row["group"], row["name"], full=False)
                print("  %-40s instructions native %.0f, plain %.0f" % (
                    row["name"], row["instructions"]["native"], row["instructions"]["plain"]), flush=True)

    began = time.time()
    memory = [] if args.no_memory or args.only else measure_memory(args.quick)
    info["memory_seconds"] = round(time.time() - began, 1)
    info["load_average_after"] = os.getloadavg()
    info["seconds"] = round(time.time() - started, 1)

    print()
    print(table(rows))
    if throughput:
        print()
        print(throughput_line(throughput))
    if memory:
        print()
        print(memory_table(memory))
    print()
    print("%.0f s; load average %.2f before, %.2f after" % (info["seconds"], info["load_average_before"][0],
                                                            info["load_average_after"][0]))

    out = args.json
    if out is None:
        results = os.path.join(HERE, "results")
        os.makedirs(results, exist_ok=True)
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        out = os.path.join(results, "%s-py%s%s.json" % (stamp, info["python"], "-quick" if args.quick else ""))
    with open(out, "w") as f:
        json.dump({"info": info, "paths": rows, "throughput": throughput, "memory": memory}, f, indent=1,
                  ensure_ascii=False)
    print("results written to %s" % os.path.relpath(out))
    return rows, memory


if __name__ == "__main__":
    main()
