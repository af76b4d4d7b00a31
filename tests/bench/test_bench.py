"""The benchmark command: its plain-Python equivalents stand for the native modules,
and a smoke run (small inputs, few repetitions) measures every path and writes
its table as JSON."""
import importlib
import inspect
import json
import os
import statistics
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BENCH = os.path.join(ROOT, "bench")
if BENCH not in sys.path:
    sys.path.insert(0, BENCH)

from common import MODULES  # noqa: E402

# The installed redis client warns at every command about the command name that
# the quote store hands to the connection pool.
pytestmark = pytest.mark.filterwarnings("ignore:Call to 'get_connection':DeprecationWarning")

BRIDGE = ["on_snapshot", "on_tick_order", "on_tick_trade", "on_bar", "on_order (fill)", "on_order (cancellation)",
          "on_query_position"]


def doc(obj):
    """A documentation string as written; from 3.13 on the compiler dedents those of
    Python source (the plain modules), so both are compared dedented there."""
    text = obj.__doc__ if not hasattr(obj, "callback") else obj.help
    return inspect.cleandoc(text) if text and sys.version_info >= (3, 13) else text


def public(module):
    return {k: v for k, v in vars(module).items() if not k.startswith("__")}


@pytest.mark.parametrize("short", sorted(MODULES))
def test_plain_modules_have_the_native_surface(short):
    native = importlib.import_module(MODULES[short][0])
    plain = importlib.import_module(MODULES[short][1])
    ours, theirs = public(native), public(plain)
    assert set(ours) <= set(theirs)
    for name, value in ours.items():
        other = theirs[name]
        if not (inspect.isclass(value) or inspect.isroutine(value) or inspect.ismodule(value)):
            # module-level data, click commands; the native event queue is an atomic
            # subclass of the plain module's ring buffer
            assert type(other) is type(value) or isinstance(value, type(other)), name
            if hasattr(value, "callback"):
                assert doc(other) == doc(value), name
                assert [p.opts for p in other.params] == [p.opts for p in value.params], name
            continue
        if getattr(value, "__module__", None) != native.__name__:
            assert other is value, name  # imported
            continue
        if isinstance(value, type):
            assert isinstance(other, type) and doc(other) == doc(value), name
            for attr in vars(value):
                member = getattr(value, attr)
                if not attr.startswith("_") and inspect.isroutine(member):
                    assert inspect.signature(getattr(other, attr)) == inspect.signature(member), (name, attr)
        else:
            assert doc(other) == doc(value), name
            assert inspect.signature(other) == inspect.signature(value), name
    for name, value in ours.items():
        if isinstance(value, (list, dict, str, int)):
            assert theirs[name] == value, name


@pytest.fixture(scope="module")
def smoke(tmp_path_factory):
    import run

    out = tmp_path_factory.mktemp("bench") / "results.json"
    rows, memory = run.main(["--quick", "--no-memory", "--no-instructions", "--json", str(out)])
    return rows, json.loads(out.read_text())


def test_smoke_run_measures_every_path(smoke):
    import run

    rows, saved = smoke
    names = [r["name"] for r in rows]
    expected = BRIDGE + ["get_current_tick", "history_ticks(code, 60)", "history_bars(code, 240)",
                         "RedisStore.get_snapshot", "RedisStore.history(code, 240)", "get_license_info",
                         "StockEvents('20')", "event queue (append + popleft)",
                         "get_dominant('IF') (a declared service)"] + ["import %s" % m for m in MODULES]
    for name in expected:
        assert name in names
    assert sum(n.startswith("_slice_dominant_data") for n in names) == 2
    assert sum(n.startswith("cumulative factors") for n in names) == 2
    for row in rows:
        for side in ("native", "plain"):
            assert row[side]["median_ns"] > 0 and row[side]["repetitions"] == 3
        # The median of the repetitions' ratios native / plain; a plain sample no longer
        # than the loop's own cost (0 ns, on a loaded machine) gives no ratio.
        ratios = [n / p for n, p in zip(row["native"]["samples_ns"], row["plain"]["samples_ns"]) if p]
        assert row["ratio"] == (pytest.approx(statistics.median(ratios)) if ratios else None)
        assert row["target"] == run.target(row["name"]) and row["met"] == (row["ratio"] is not None and
                                                                           row["ratio"] <= row["target"])
    bridge = {r["name"]: r for r in rows if r["name"] in BRIDGE}
    assert all(r["floor"] is not None for r in bridge.values())
    assert [r["name"] for r in saved["paths"]] == names
    assert saved["info"]["quick"] is True and saved["info"]["python"]
    # Every event through each queue exactly once, in order (checked as it runs).
    assert saved["throughput"]["native_per_s"] > 0 and saved["throughput"]["plain_per_s"] > 0


def test_table_lists_each_path_once(smoke):
    import run

    rows, _ = smoke
    lines = run.table(rows).splitlines()
    assert len(lines) == 2 + len(rows)
    assert lines[0].startswith("| path | native | plain |")


def test_report_puts_runs_side_by_side(smoke):
    import report

    _, saved = smoke
    lines = report.report([saved, saved]).splitlines()
    rows = [line for line in lines if line.startswith("| ") and not line.startswith("| path")]
    assert [row.split(" | ")[0][2:] for row in rows] == [r["name"] for r in saved["paths"]]
    assert all(row.count("(≤ ") == 2 for row in rows)


@pytest.mark.parametrize("kind", ["ticks", "bars"])
def test_memory_of_a_small_cache(kind):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "host"), BENCH]))
    sizes = {"ticks": ("20", "60"), "bars": ("20", "30")}[kind]
    for side in ("native", "plain"):
        out = subprocess.run([sys.executable, os.path.join(BENCH, "memory.py"), side, kind, *sizes],
                             capture_output=True, text=True, check=True, env=env)
        result = json.loads(out.stdout.strip().splitlines()[-1])
        assert result["entries"] == int(sizes[0]) * int(sizes[1])
        assert result["side"] == side and result["rss_bytes"] >= 0
