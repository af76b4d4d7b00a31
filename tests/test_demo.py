"""The main job, run small: a simulated day through the live bridge and the
quote store round trip, in this process and as the command users run."""
import datetime as dt
import importlib.util
import json
import math
import os
import re
import shutil
import subprocess
import sys

import numpy
import pytest
from numpy_ringbuffer import RingBuffer

from pymach.simulator import L2_ORDERS_PER_MINUTE, L2_TRADES_PER_MINUTE, SNAPSHOTS_PER_MINUTE
from velora.tavlo.environment import Environment
from velora.tavlo.mod.mod_quant_data.quote_cache import RedisStore
from velora.tavlo.utils import live_feed

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEMO = os.path.join(ROOT, "scripts", "demo.py")
HOST = os.path.join(ROOT, "host")

pytestmark = pytest.mark.filterwarnings("ignore:Call to 'get_connection':DeprecationWarning")


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("velora_demo", DEMO)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def bridge(monkeypatch):
    """The bridge with a fresh queue, caches and registries; the framework's
    environment is put back afterwards."""
    monkeypatch.setattr(live_feed, "event_queue", RingBuffer(capacity=100000, dtype=object))
    for name in ("mach_params", "history_bar", "history_tick", "orders_dict",
                 "algo_parent_orders", "algo_child_orders", "algo_child_trades"):
        monkeypatch.setattr(live_feed, name, {})
    monkeypatch.setattr(Environment, "_env", None)
    return live_feed


def expected_counts(instruments, minutes):
    """What the scripted day must produce, worked out from the script by hand."""
    n, m = instruments, minutes
    return {
        "LOGIN": 1, "QUERY_ACCOUNT": 1, "QUERY_POSITION": 1, "ALGO_LOGIN": 1,
        "BEFORE_TRADING": 1, "OPEN_AUCTION": 1, "AFTER_TRADING": 1,
        "TICK": n * m * SNAPSHOTS_PER_MINUTE, "L2_ORDER": n * m * L2_ORDERS_PER_MINUTE,
        "L2_TRANSACTION": n * m * L2_TRADES_PER_MINUTE, "BAR": m,
        # five orders: filled in two parts; partly filled then cancelled; rejected;
        # cancelled unfilled; filled before its cancel arrived (the cancel is refused)
        "ORDER_CREATION_PASS": 4, "TRADE": 4, "ORDER_PENDING_CANCEL": 2, "ORDER_CANCELLATION_PASS": 2,
        "ORDER_UNSOLICITED_UPDATE": 1, "ORDER_CANCELLATION_REJECT": 1,
        # the parent order: created, paused, resumed, three children with 1, 2 and 1 trades
        "PARENT_ORDER_CREATE": 1, "PARENT_ORDER_PAUSE": 1, "PARENT_ORDER_RESUME": 1,
        "PARENT_ORDER_UPDATE": 6, "CHILD_ORDER_UPDATE": 6, "CHILD_ORDER_TRADE": 4,
    }


@pytest.fixture
def day(demo, bridge):
    return demo.replay_day(instruments=4, minutes=6, seed=7)


def test_event_counts_by_type(day):
    assert day.errors == []
    assert dict(day.counts) == expected_counts(4, 6)
    assert dict(day.expected) == expected_counts(4, 6)
    assert day.ok


def test_the_day_in_order(day):
    r = day.recorder
    assert [(kind.name, t) for kind, t, _ in r.day_events] == [
        ("BEFORE_TRADING", dt.datetime(2024, 1, 5, 9, 0)), ("OPEN_AUCTION", dt.datetime(2024, 1, 5, 9, 24)),
        ("AFTER_TRADING", dt.datetime(2024, 1, 5, 15, 30))]
    positions = {kind.name: position for kind, _, position in r.day_events}
    first_data = min(r.first[k][0] for k in r.first if k.name in ("TICK", "L2_ORDER", "L2_TRANSACTION", "BAR"))
    assert positions["BEFORE_TRADING"] < positions["OPEN_AUCTION"] < first_data
    assert positions["AFTER_TRADING"] > r.last[next(k for k in r.last if k.name == "BAR")][0]
    # The login came first, and the SDK timers fired at their times on the simulated clock.
    assert r.first[next(k for k in r.first if k.name == "LOGIN")][0] == 1
    assert day.simulator.timers_fired() == [
        (dt.datetime(2024, 1, 5, 9, 0), "send_before_trading_event"),
        (dt.datetime(2024, 1, 5, 9, 24), "send_open_auction_event"),
        (dt.datetime(2024, 1, 5, 15, 30), "send_after_trading_event"),
        (dt.datetime(2024, 1, 6, 8, 0), "set_timer")]
    # Saturday is no trading day: only the next re-arming is left.
    assert day.simulator.timers_pending() == [(dt.datetime(2024, 1, 7, 8, 0), "set_timer")]


def test_order_outcomes(day):
    outcomes = [(plan.name, final.status.name, final.filled_quantity, tuple(events))
                for plan, _, final, events in day.order_outcomes]
    assert outcomes == [
        ("filled in two parts", "FILLED", 1000, ("ORDER_CREATION_PASS", "TRADE", "TRADE")),
        ("partly filled, then cancelled", "CANCELLED", 600,
         ("ORDER_CREATION_PASS", "TRADE", "ORDER_PENDING_CANCEL", "ORDER_CANCELLATION_PASS")),
        ("rejected", "REJECTED", 0, ("ORDER_UNSOLICITED_UPDATE",)),
        ("cancelled before any fill", "CANCELLED", 0,
         ("ORDER_CREATION_PASS", "ORDER_PENDING_CANCEL", "ORDER_CANCELLATION_PASS")),
        ("filled before the cancel arrived", "FILLED", 200,
         ("ORDER_CREATION_PASS", "TRADE", "ORDER_CANCELLATION_REJECT")),
    ]
    rejected = day.order_outcomes[2][2]
    assert rejected.message == "20013_insufficient funds"
    # The average price of a two-part fill is the fills' value over their quantity.
    first = day.order_outcomes[0]
    fills = day.recorder.trades[day.simulator.orders[0][1].order_id]
    assert [q for q, _ in fills] == [400, 600]
    assert math.isclose(first[2].avg_price, sum(q * p for q, p in fills) / 1000, abs_tol=1e-4)
    # The day's orders are forgotten after the close, the caches at the day switch.
    assert day.orders_left_after_close == 0
    assert day.after_switch == {"get_current_tick": None, "history_bars": None, "algo_parent_orders": 0}
    parent = day.recorder.parent
    assert (parent.status, parent.trade_qty, parent.order_qty) == ("Finished", 1200, 1200)


def test_quotes_read_at_the_close(day):
    assert list(day.latest) == day.market_codes[:3]
    for code, q in day.latest.items():
        bars, ticks = day.closing[code]["bars"], day.closing[code]["ticks"]
        assert len(bars) == 6 and len(ticks) == 6 * SNAPSHOTS_PER_MINUTE
        assert q["get_current_bar"] is bars[-1] and q["history_bars"] == bars[-3:]
        assert q["get_current_tick"] is ticks[-1] and q["history_ticks"] == ticks[-3:]
        assert [b["orig_time"] for b in bars] == [dt.datetime(2024, 1, 5, 9, 31 + i) for i in range(6)]
        assert q["get_current_tick"]["datetime"] == dt.datetime(2024, 1, 5, 9, 35, 57)
        assert all(b["market_code"] == code for b in bars)


def test_clock_is_given_back(day):
    assert live_feed.datetime is dt.datetime and live_feed.np is numpy


def test_same_seed_same_day(demo, bridge, day):
    again = demo.replay_day(instruments=4, minutes=6, seed=7)
    other = demo.replay_day(instruments=4, minutes=6, seed=8)
    code = day.market_codes[1]
    assert again.closing[code]["bars"] == day.closing[code]["bars"]
    assert other.closing[code]["bars"] != day.closing[code]["bars"]


def test_quote_store_reads_back_what_was_written(demo, day, redis_server):
    check = demo.quote_store_round_trip(day, redis_server.url)
    assert check.mismatches == [] and check.keys == 3 * 4 + 1
    store = RedisStore(redis_server.url)
    try:
        for code, quotes in day.closing.items():
            written_bars = json.loads(demo.to_json(quotes["bars"]))
            assert store.history(code, 0) == written_bars and store.get_current_bar(code) == written_bars[-1]
            assert store.history_ticks(code, 0) == json.loads(demo.to_json(quotes["ticks"]))
            assert store.get_snapshot(code) == json.loads(demo.to_json(quotes["snapshot"]))
            assert store.get_settle_price(code) == round(quotes["bars"][-1]["close_price"], 2)
    finally:
        store._redis.close()
    assert check.missing["get_current_bar"] is None and math.isnan(check.missing["get_settle_price"])


def run_demo(*args, **env):
    return subprocess.run([sys.executable, DEMO, *args], capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, PYTHONPATH=HOST, PYTHONIOENCODING="utf-8", **env))


@pytest.mark.skipif(shutil.which("redis-server") is None, reason="redis-server is not installed")
def test_the_command():
    result = run_demo("--instruments", "2", "--minutes", "3", "--seed", "5")
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    for section in ("Replayed 2024-01-05: 2 instruments, 3 minutes of the session (market data 09:30 to 09:33)",
                    "Events by type", "The day", "Orders",
                    "Quotes at 09:33, where the replayed market data ends", "Quote store: redis-server pid",
                    "Result"):
        assert section in out
    assert re.search(r"TICK\s+12\s+12\n", out)
    assert "history(0): 3 bars;  history_ticks(0): 6 ticks" in out
    assert "read back through RedisStore: equal to what was written" in out
    assert out.endswith("Result\n  the framework received exactly what the scripted day must produce; "
                        "the quote store gave back what was written\n")
    pid = int(re.search(r"redis-server pid (\d+) stopped", out).group(1))
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


def test_the_command_without_redis_server(tmp_path):
    """The part that could not run is named as skipped in the result, which
    claims nothing about it; the exit status is still 0. A one-minute day says
    where its data ends, in the singular."""
    result = run_demo("--instruments", "1", "--minutes", "1", PATH=str(tmp_path))
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert "Quote store: skipped" in out and "redis-server is not installed" in out
    assert out.endswith("Result\n  the framework received exactly what the scripted day must produce; the quote store "
                        "part was skipped and NOT checked: redis-server is not installed (scripts/setup.sh installs "
                        "it)\n")
    assert "gave back" not in out and "the close" not in out and "the market closes" not in out
    assert "Replayed 2024-01-05: 1 instrument, 1 minute of the session (market data 09:30 to 09:31)" in out
    assert "09:31:00       SDK: last one-minute bars of the replay (1 of the session's 240 minutes)" in out
    assert "Quotes at 09:31, where the replayed market data ends" in out
    assert not re.search(r"\b1 (instruments|minutes|bars|ticks|entries|events)\b", out)


@pytest.mark.parametrize("args, status, message", [
    (["--help"], 0, "usage: scripts/run.sh [-h] [--instruments N] [--minutes M] [--seed S]\n"),
    (["--minutes", "0"], 2, "scripts/run.sh: error: argument --minutes: invalid value 0: not in the range 1 to 240"),
    (["--minutes", "241"], 2, "scripts/run.sh: error: argument --minutes: invalid value 241: not in the range"),
    (["--instruments", "0"], 2, "scripts/run.sh: error: argument --instruments: invalid value 0: not in the range"),
    (["--seed", "x"], 2, "scripts/run.sh: error: argument --seed: invalid int value: 'x'"),
    (["--minute", "5"], 2, "scripts/run.sh: error: unrecognized arguments: --minute 5"),
])
@pytest.mark.parametrize("venv", ["project's", "none yet"])
def test_sizes_out_of_range(args, status, message, venv):
    """scripts/run.sh answers --help and usage errors under its own name, and
    before it sets anything up (with python3 when there is no venv yet)."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}   # only the standard library runs here
    env["PYTHONIOENCODING"] = "utf-8"
    env["VELORA_VENV"] = os.path.dirname(os.path.dirname(sys.executable)) if venv == "project's" else "/nonexistent"
    env["PYVER"] = "%d.%d" % sys.version_info[:2]
    result = subprocess.run(["bash", "scripts/run.sh", *args], cwd=ROOT, capture_output=True, text=True,
                            timeout=60, env=env)
    assert result.returncode == status, result.stdout + result.stderr
    assert message in (result.stdout if status == 0 else result.stderr)
    assert "==" not in result.stderr   # scripts/setup.sh says what it does on lines starting with ==
