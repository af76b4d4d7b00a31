"""The bridge's module body, quote caches, query functions and market-data callbacks."""
import datetime
from collections import deque

import numpy as np
import pytest
from live_feed_support import bar, record, snapshot
from numpy_ringbuffer import RingBuffer

from pymach.enums import MarketType
from velora.tavlo.const import L2_ORDER_TYPE, ORDER_TYPE, SIDE, TRADE_TYPE
from velora.tavlo.core.events import EVENT
from velora.tavlo.utils import live_feed as live_feed_module

METHODS = [
    "__init__", "initialize", "on_initialize", "on_switch_day", "on_snapshot", "on_tick_order", "on_tick_trade",
    "on_bar", "on_login", "on_query_asset", "on_query_position", "on_order", "on_trade", "on_order_action_error",
    "on_algo_login", "on_create_algo_parent_order_res", "on_cancel_algo_parent_order_res",
    "on_control_algo_parent_order_res", "on_algo_parent_order_update", "on_algo_child_order_update",
    "on_algo_child_order_trade", "create_time_listener", "send_day_event", "send_before_trading_event",
    "send_after_trading_event", "send_open_auction_event", "set_timer",
]


def test_module_body():
    m = live_feed_module
    names = list(vars(m))
    order = ["Environment", "EVENT", "TickObject", "RB", "np", "deque", "copy", "datetime", "strategy",
             "MDType", "OrderStatusType", "mach_params", "event_queue", "history_bar", "history_tick",
             "orders_dict", "algo_parent_orders", "algo_child_orders", "algo_child_trades",
             "get_current_bar", "get_current_tick", "history_ticks", "history_bars", "MachStrategy"]
    assert [names.index(n) for n in order] == sorted(names.index(n) for n in order)
    assert m.datetime is datetime.datetime and m.time is datetime.time and m.np is np and m.deque is deque
    assert m.user_system_log.name == "velora.user_system_log"
    assert isinstance(m.event_queue, RingBuffer) and m.event_queue.maxlen == 1000000
    assert m.event_queue.dtype == object
    assert m.MachStrategy.__bases__ == (m.strategy.MachStrategy,)
    assert [k for k in vars(m.MachStrategy) if not k.startswith("__") or k == "__init__"] == METHODS
    assert m.MachStrategy.on_bar.__qualname__ == "MachStrategy.on_bar"


@pytest.mark.parametrize("call", [
    lambda m: m.get_current_bar(),
    lambda m: m.get_current_tick("a", "b"),
    lambda m: m.history_ticks("a"),
    lambda m: m.history_bars("a", 1, 2),
    lambda m: m.history_bars(market_code="a", cnt=1),
    lambda m: m.MachStrategy(None).on_bar(),
    lambda m: m.MachStrategy(None).on_snapshot(1, 2),
])
def test_calls_check_their_arguments(lf, call):
    with pytest.raises(TypeError):
        call(lf)


def test_unknown_code_gives_none_everywhere(lf):
    assert [lf.get_current_bar("x"), lf.get_current_tick("x"), lf.history_ticks("x", 1),
            lf.history_bars("x", 1)] == [None] * 4


def test_empty_deque_gives_none(lf):
    lf.history_tick["x"] = deque(maxlen=60)
    lf.history_bar["x"] = deque()
    assert lf.get_current_tick("x") is None and lf.get_current_bar("x") is None
    assert lf.history_ticks("x", 5) == [] and lf.history_bars("x", 0) == []


@pytest.mark.parametrize("count, expected", [
    (2, ["b", "c"]), (0, ["a", "b", "c"]), (10, ["a", "b", "c"]), (-1, ["b", "c"]),
    (np.int64(1), ["c"]), (True, ["c"]), (3, ["a", "b", "c"]),
])
def test_history_slices(lf, count, expected):
    lf.history_bar["x"] = deque({"k": k} for k in "abc")
    got = lf.history_bars("x", count)
    assert type(got) is list and [d["k"] for d in got] == expected
    assert all(any(d is e for e in lf.history_bar["x"]) for d in got)


@pytest.mark.parametrize("count", [1.5, None, "2"])
@pytest.mark.parametrize("query", ["history_bars", "history_ticks"])
def test_history_count_must_be_an_integer(lf, query, count):
    lf.history_bar["x"] = deque([{}])
    lf.history_tick["x"] = deque([{}])
    with pytest.raises(TypeError):
        getattr(lf, query)("x", count)


def test_membership_goes_through_contains(lf, monkeypatch):
    asked = []

    class Cache(dict):
        def __contains__(self, key):
            asked.append(key)
            return False

    monkeypatch.setattr(lf, "history_tick", Cache(x=deque([{}])))
    assert lf.get_current_tick("x") is None and lf.history_ticks("x", 1) is None
    assert asked == ["x", "x"]


def test_snapshot_builds_and_caches_the_tick(lf, env, events):
    strategy = lf.MachStrategy(None)
    snap = snapshot()
    assert strategy.on_snapshot(snap) is None
    tick = lf.get_current_tick("000001.XSHE")
    assert list(tick) == [
        "market_code", "datetime", "open_price", "close_price", "high_price", "low_price", "total_turnover",
        "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids", "high_limited", "last_price",
        "low_limited", "open_interest", "prev_settlement", "iopv", "trading_phase_code"]
    dt = datetime.datetime(2024, 1, 5, 9, 30, 0, 125000)
    assert tick["market_code"] == "000001.XSHE" and tick["datetime"] == dt
    assert tick["total_turnover"] is snap.total_value_trade and tick["asks"] is snap.ask_price
    assert tick["prev_close"] is snap.pre_close_price and tick["trading_phase_code"] == "T0"
    (ev,) = events()
    assert ev.event_type is EVENT.TICK and list(ev.payload) == ["calendar_dt", "trading_dt", "tick"]
    assert ev.calendar_dt == ev.trading_dt == dt
    assert ev.tick._tick_dict is tick and ev.tick.instrument is env.data_proxy.instruments("000001.XSHE")


def test_tick_history_keeps_the_newest_sixty(lf, env, events):
    strategy = lf.MachStrategy(None)
    for i in range(61):
        strategy.on_snapshot(snapshot(last_price=i))
    kept = lf.history_tick["000001.XSHE"]
    assert kept.maxlen == 60 and [t["last_price"] for t in kept] == list(range(1, 61))
    assert [t["last_price"] for t in lf.history_ticks("000001.XSHE", 100)] == list(range(1, 61))
    assert len(events()) == 61


def test_time_stamps_divide_as_python_divides(lf, env, monkeypatch):
    seen = []
    monkeypatch.setattr(lf, "convert_int_to_datetime", lambda x: seen.append(x) or datetime.datetime(2024, 1, 5))
    strategy = lf.MachStrategy(None)
    for stamp in (2 ** 53 + 1, np.int64(20240105093000120), 20240105093000120.0):
        strategy.on_snapshot(snapshot(orig_time=stamp))
    assert [(type(x), x) for x in seen] == [
        (float, (2 ** 53 + 1) / 1000), (np.float64, np.int64(20240105093000120) / 1000),
        (float, 20240105093000.12)]


def test_non_string_security_id_fails_before_caching(lf, env, events):
    with pytest.raises(TypeError):
        lf.MachStrategy(None).on_snapshot(snapshot(security_id=1))
    assert lf.history_tick == {} and events() == []


def test_tick_order(lf, env, events):
    order = record(security_id="600000", market_type=MarketType.SSE, order_time=20240105093001500,
                   biz_index=7, side=ord("S"), order_price=10.5, order_volume=300, order_type=ord("D"),
                   orig_order_no=88)
    lf.MachStrategy(None).on_tick_order(order)
    (ev,) = events()
    assert ev.event_type is EVENT.L2_ORDER and list(ev.payload) == ["calendar_dt", "trading_dt", "l2_order"]
    o = ev.l2_order
    assert ev.calendar_dt == ev.trading_dt == o.datetime == datetime.datetime(2024, 1, 5, 9, 30, 1, 500000)
    assert (o.biz_index, o.market_code, o.side, o.price, o.quantity, o.order_type, o.orig_order_no,
            o.l2_order_type) == (7, "600000.XSHG", SIDE.SELL, 10.5, 300, ORDER_TYPE.LIMIT, 88, L2_ORDER_TYPE.CANCEL)
    assert lf.history_tick == {}


@pytest.mark.parametrize("bid, offer, side", [(5, 4, SIDE.BUY), (4, 4, SIDE.SELL), (3, 4, SIDE.SELL)])
def test_tick_trade(lf, env, events, bid, offer, side):
    trade = record(security_id="000002", market_type=MarketType.SZSE, trade_time=20240105093002000,
                   biz_index=9, trade_price=8.8, trade_volume=100, value_trade=880.0, trade_type=ord("F"),
                   bid_appl_seq_num=bid, offer_appl_seq_num=offer)
    lf.MachStrategy(None).on_tick_trade(trade)
    (ev,) = events()
    assert ev.event_type is EVENT.L2_TRANSACTION
    assert list(ev.payload) == ["calendar_dt", "trading_dt", "l2_transaction"]
    t = ev.l2_transaction
    assert (t.biz_index, t.market_code, t.datetime, t.side, t.price, t.quantity, t.value, t.trade_type,
            t.bid_appl_seq_num, t.offer_appl_seq_num) == (
        9, "000002.XSHE", datetime.datetime(2024, 1, 5, 9, 30, 2), side, 8.8, 100, 880.0, TRADE_TYPE.FILL,
        bid, offer)


def test_bar_dict_and_history(lf, env):
    b = bar()
    lf.MachStrategy(None).on_bar(b)
    (cached,) = lf.history_bar["000001.XSHE"]
    assert list(cached.items()) == [
        ("market_code", "000001.XSHE"), ("orig_time", datetime.datetime(2024, 1, 5, 9, 31)),
        ("open_price", 10.0), ("close_price", 10.1), ("high_price", 10.2), ("low_price", 9.9),
        ("total_turnover", 1.2e6), ("volume", 120000), ("prev_close", 10.0)]
    assert lf.history_bar["000001.XSHE"].maxlen is None and lf.get_current_bar("000001.XSHE") is cached


def bar_events(events):
    return [(e.calendar_dt, e.trading_dt) for e in events() if e.event_type is EVENT.BAR]


def test_one_bar_event_once_the_universe_has_reported(lf, env, events):
    s = lf.MachStrategy(None)
    day = datetime.datetime(2024, 1, 5)
    s.on_bar(bar("000001"))
    s.on_bar(bar("000002"))
    assert bar_events(events) == [] and s.bar_cnt == 2
    s.on_bar(bar("600000", market_type=MarketType.SSE))
    assert bar_events(events) == [(day, day)] and s.bar_cnt == 0
    assert s.current_trade_dt == 20240105093100.0
    # Same bar time again after the event: counting starts over from one.
    s.on_bar(bar("000001"))
    assert s.bar_cnt == 1 and len(bar_events(events)) == 1


def test_bar_count_restarts_at_a_new_bar_time(lf, env, events):
    s = lf.MachStrategy(None)
    s.on_bar(bar("000001"))
    s.on_bar(bar("000002"))
    s.on_bar(bar("000001", end_time=20240105093200000))
    assert bar_events(events) == [] and s.bar_cnt == 1
    s.on_bar(bar("000002", end_time=20240105093200000))
    s.on_bar(bar("600000", end_time=20240105093200000, market_type=MarketType.SSE))
    assert len(bar_events(events)) == 1 and len(lf.history_bar["000001.XSHE"]) == 2


class Tally:
    """A count whose `+=` and `+` answer differently."""

    def __init__(self):
        self.calls = []

    def __iadd__(self, n):
        self.calls.append(("+=", n))
        return self

    def __add__(self, n):
        self.calls.append(("+", n))
        return "added"


@pytest.mark.parametrize("make", [Tally, deque])
def test_bar_count_is_added_to_in_place(lf, env, make):
    # `self.bar_cnt += 1` against Python's own `+=` on a count of the same kind.
    def outcome(step):
        try:
            count = step()
            return ("value", type(count), getattr(count, "calls", None))
        except TypeError as e:
            return ("raised", str(e))

    def python():
        count = make()
        count += 1
        return count

    def native():
        s = lf.MachStrategy(None)
        s.bar_cnt = make()
        s.on_bar(bar())
        return s.bar_cnt

    assert outcome(native) == outcome(python)


def test_universe_of_one_reports_every_bar(lf, env, events):
    env.update_universe(["000001.XSHE"])
    s = lf.MachStrategy(None)
    for minute in (31, 32, 32):
        s.on_bar(bar(end_time=20240105090000000 + minute * 100000))
    assert len(bar_events(events)) == 3
