"""The results of several bench/run.py runs (one per interpreter) side by side.

    python bench/report.py bench/results/A-py3.9.json bench/results/B-py3.13.json

For each path and interpreter: native ÷ plain time (median of the per-repetition
ratios), its target, and where counted the native ÷ plain instruction ratio.
"""
import json
import sys


def load(path):
    with open(path) as f:
        return json.load(f)


def cell(row):
    if row is None:
        return "-"
    mark = "✓" if row["met"] else "✗"
    ratio = "-" if row["ratio"] is None else "%.2f" % row["ratio"]
    text = "%s (≤ %.2f %s)" % (ratio, row["target"], mark)
    counted = row.get("instructions")
    if counted:
        text += ", instr. %.2f" % (counted["native"] / counted["plain"])
    return text


def report(runs):
    versions = [run["info"]["python"] for run in runs]
    names = []
    for run in runs:
        for row in run["paths"]:
            if row["name"] not in names:
                names.append(row["name"])
    by_name = [{row["name"]: row for row in run["paths"]} for run in runs]
    lines = ["| path | " + " | ".join("%s native ÷ plain" % v for v in versions) + " |",
             "|---|" + "---|" * len(runs)]
    for name in names:
        lines.append("| %s | %s |" % (name, " | ".join(cell(rows.get(name)) for rows in by_name)))
    throughputs = [(v, run["throughput"]) for v, run in zip(versions, runs) if run.get("throughput")]
    if throughputs:
        lines.append("")
        for v, t in throughputs:
            lines.append("- %s: event queue, one thread appending %d events and another taking them out: "
                         "native %.2f M/s, numpy_ringbuffer %.2f M/s, %.1f×" % (
                             v, t["events"], t["native_per_s"] / 1e6, t["plain_per_s"] / 1e6, t["ratio"]))
    missed = sum(not row["met"] for run in runs for row in run["paths"])
    lines.append("")
    lines.append("%d of %d path timings within target" % (
        sum(len(run["paths"]) for run in runs) - missed, sum(len(run["paths"]) for run in runs)))
    return "\n".join(lines)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    print(report([load(p) for p in sys.argv[1:]]))
