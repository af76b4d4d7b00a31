"""The bridge's set-up, login, day switch and trading-day timers."""
import datetime as dt
from collections import deque

import numpy as np
import pytest
from live_feed_support import make_config, record

from pymach.enums import AlgoType, MarketType, MDType, SubscribeDataType, TDType
from velora.tavlo.core.events import EVENT

FRIDAY = dt.datetime(2024, 1, 5)
CALENDAR = [np.datetime64("2024-01-05", "D"), np.datetime64("2024-01-08", "D")]
NS = 1000000000


def test_construction(lf, clock):
    clock(FRIDAY.replace(hour=7))
    config = make_config()
    s = lf.MachStrategy(config)
    assert list(vars(s)) == ["context", "logged_in", "order_num", "bar_cnt", "current_trade_dt", "first_dt", "config"]
    assert (s.logged_in, s.order_num, s.bar_cnt, s.current_trade_dt) == (False, 0, 0, 0)
    assert s.first_dt == dt.date(2024, 1, 5) and s.config is config
    with pytest.raises(TypeError):
        lf.MachStrategy()


def brokers(s):
    return [c for c in s.context.calls if c[0] != "add_timer_interval"]


@pytest.mark.parametrize("base, md_type", [
    ({"md_type": "MaMD"}, MDType.MaMD), ({"md_type": "mamd"}, MDType.AMD), ({}, MDType.AMD),
    ({"md_type": "AMD"}, MDType.AMD),
])
def test_market_data_broker(lf, clock, base, md_type):
    clock(FRIDAY.replace(hour=7))
    s = lf.MachStrategy(make_config(**base))
    assert s.initialize(None) is None
    assert s.context.md_brokers == [md_type] and lf.mach_params["mach_md"] is md_type
    assert s.context.subscriptions == [(md_type, MarketType.SZSE, SubscribeDataType.Bar, [], "1m")]


def test_initialize_registers_in_order(lf, clock, logs):
    clock(FRIDAY.replace(hour=7))
    s = lf.MachStrategy(make_config(md_type="MaMD", order_way="fast", accounts={"a": "F1_ma", "b": "F2_Sim"},
                                    algo_account="A9_atx"))
    s.initialize("ignored")
    assert brokers(s) == [
        ("add_md_broker", MDType.MaMD), ("set_order_way", "fast"), ("add_td_broker", TDType.MaTD),
        ("add_td_broker", TDType.SimTD), ("add_algo_broker", AlgoType.ATX),
        ("subscribe", MDType.MaMD, MarketType.SZSE, SubscribeDataType.Bar, [], "1m")]
    assert list(lf.mach_params.items()) == [
        ("mach_md", MDType.MaMD), ("mach_td", TDType.SimTD), ("mach_context", s.context)]
    # The day's timers were armed last (07:00 on a trading day: three events and the re-arming).
    assert [c[0] for c in s.context.calls[-4:]] == ["add_timer_interval"] * 4
    assert logs()[0] == ("velora.system_log", "INFO", "MachStrategy initialize...")


@pytest.mark.parametrize("algo_account", [None, "A9_other", "absent"])
def test_no_algorithmic_broker(lf, clock, algo_account):
    clock(FRIDAY.replace(hour=7))
    base = {} if algo_account == "absent" else {"algo_account": algo_account}
    s = lf.MachStrategy(make_config(**base))
    s.initialize(None)
    assert s.context.algo_brokers == [] and s.context.order_way is None


def unpacking_error(parts):
    """What `a, b = parts` raises on this interpreter (3.14 also counts a list)."""
    with pytest.raises(ValueError) as e:
        a, b = parts
    return str(e.value)


@pytest.mark.parametrize("field, value, parts", [
    ("accounts", {"a": "F1"}, ["F1"]),
    ("accounts", {"a": "F1_ma_x"}, ["F1", "ma", "x"]),
    ("algo_account", "A9", ["A9"]),
])
def test_malformed_accounts(lf, clock, field, value, parts):
    clock(FRIDAY.replace(hour=7))
    s = lf.MachStrategy(make_config(**{field: value}))
    with pytest.raises(ValueError) as e:
        s.initialize(None)
    assert str(e.value) == unpacking_error(parts)


@pytest.mark.parametrize("code, queried", [(0, True), (5, False), ("0", False), (0.0, True), (np.int64(0), True)])
def test_login(lf, events, logs, code, queried):
    s = lf.MachStrategy(make_config())
    res = record(fund_account_id="F001", error_code=code, error_msg="ok", client_seq_id=17)
    assert s.on_login(res) is None
    (ev,) = events()
    assert ev.event_type is EVENT.LOGIN and ev.payload == {"rid": 17, "account_id": "F001", "code": code, "msg": "ok"}
    assert list(ev.payload) == ["rid", "account_id", "code", "msg"]
    assert s.logged_in is queried
    assert s.context.calls == ([("query_asset", "F001"), ("query_position", "F001")] if queried else [])
    assert logs() == [("velora.system_log", "INFO", "on_login fund_account_id:F001, error_code:" + str(code))]


def test_on_switch_day_empties_the_caches(lf):
    names = ["orders_dict", "history_bar", "history_tick", "algo_parent_orders", "algo_child_orders",
             "algo_child_trades"]
    cleared = []
    for name in names:
        class Recorder(dict):
            def clear(self, _name=name):
                cleared.append(_name)
                super().clear()
        setattr(lf, name, Recorder(x=deque([{}])))
    assert lf.MachStrategy(None).on_switch_day() is None
    assert cleared == names and all(getattr(lf, n) == {} for n in names)
    assert lf.get_current_tick("x") is None and lf.history_bars("x", 1) is None


def armed(s):
    """(delay in ns, method name) of each timer registered, in order."""
    return [(c[1], c[2].__name__) for c in s.context.calls if c[0] == "add_timer_interval"]


def start_at(lf, clock, when, calendar=CALENDAR):
    c = clock(when)
    s = lf.MachStrategy(make_config(trading_calendar=calendar))
    c.context = s.context
    s.set_timer()
    return s, c


def until(start, hour, minute, days=0):
    target = dt.datetime.combine(start.date() + dt.timedelta(days=days), dt.time(hour, minute))
    return int((target - start).total_seconds() * 1000000000)


@pytest.mark.parametrize("start, expected", [
    (FRIDAY.replace(hour=8, minute=30), [
        (1800 * NS, "send_before_trading_event"), (3240 * NS, "send_open_auction_event"),
        (25200 * NS, "send_after_trading_event"), (84600 * NS, "set_timer")]),
    (FRIDAY.replace(hour=10), [
        (3 * NS, "send_before_trading_event"), (19800 * NS, "send_after_trading_event"),
        (79200 * NS, "set_timer")]),
    (FRIDAY.replace(hour=16), [
        (3 * NS, "send_before_trading_event"), (20 * NS, "send_after_trading_event"), (57600 * NS, "set_timer")]),
    (FRIDAY.replace(hour=9), [
        (3 * NS, "send_before_trading_event"), (1440 * NS, "send_open_auction_event"),
        (23400 * NS, "send_after_trading_event"), (82800 * NS, "set_timer")]),
    (FRIDAY.replace(hour=9, minute=27), [
        (3 * NS, "send_before_trading_event"), (21780 * NS, "send_after_trading_event"),
        (81180 * NS, "set_timer")]),
    # Between 09:24 and 09:27 the open auction is due already: it is sent at once.
    (FRIDAY.replace(hour=9, minute=25), [
        (3 * NS, "send_before_trading_event"), (0, "send_open_auction_event"),
        (21900 * NS, "send_after_trading_event"), (81300 * NS, "set_timer")]),
    (FRIDAY.replace(hour=15, minute=30), [
        (3 * NS, "send_before_trading_event"), (20 * NS, "send_after_trading_event"), (59400 * NS, "set_timer")]),
])
def test_timer_schedule(lf, clock, start, expected):
    s, _ = start_at(lf, clock, start)
    assert armed(s) == expected
    assert all(type(delay) is int for delay, _ in armed(s))


def test_delays_are_truncated_nanoseconds(lf, clock):
    start = FRIDAY.replace(hour=8, minute=59, second=59, microsecond=123457)
    c = clock(start)
    s = lf.MachStrategy(make_config(trading_calendar=CALENDAR))
    # create_time_listener reads the clock once, then set_timer twice; its second reading is 250 us later.
    c.drift = [0, 0, 250]
    s.set_timer()
    delays = [d for d, _ in armed(s)]
    assert delays[0] == until(start, 9, 0) == 876543000
    assert delays[1] == until(start, 9, 24) and delays[2] == until(start, 15, 30)
    second = start + dt.timedelta(microseconds=250)
    assert delays[3] == until(second, 8, 0, days=1) == int(((dt.datetime(2024, 1, 6, 8) - second).total_seconds()) * NS)


def test_non_trading_day(lf, clock, logs):
    saturday = dt.datetime(2024, 1, 6, 8, 30)
    s, _ = start_at(lf, clock, saturday)
    assert armed(s) == [(84600 * NS, "set_timer")]
    assert logs() == [("velora.system_log", "INFO", "2024-01-06 not trade day... " + str(CALENDAR))]


def test_days_run_on_the_timers(lf, clock, events, logs):
    start = FRIDAY.replace(hour=8, minute=30)
    s, c = start_at(lf, clock, start)
    lf.orders_dict["c1"] = object()
    c.context.advance(until(start, 7, 0, days=4))
    got = [(e.event_type, e.calendar_dt) for e in events()]
    friday, monday = start.date(), dt.date(2024, 1, 8)
    assert got == [
        (EVENT.BEFORE_TRADING, dt.datetime.combine(friday, dt.time(9))),
        (EVENT.OPEN_AUCTION, dt.datetime.combine(friday, dt.time(9, 24))),
        (EVENT.AFTER_TRADING, dt.datetime.combine(friday, dt.time(15, 30))),
        (EVENT.BEFORE_TRADING, dt.datetime.combine(monday, dt.time(9))),
        (EVENT.OPEN_AUCTION, dt.datetime.combine(monday, dt.time(9, 24))),
        (EVENT.AFTER_TRADING, dt.datetime.combine(monday, dt.time(15, 30))),
    ]
    assert all(e.trading_dt is e.calendar_dt for e in events())
    assert [m for _, _, m in logs()] == [
        "2024-01-06 not trade day... " + str(CALENDAR), "2024-01-07 not trade day... " + str(CALENDAR)]
    # Re-armed at 08:00 each day: the next one is due at 08:00 on Tuesday.
    ((due, callback),) = c.context.pending_timers
    assert callback.__name__ == "set_timer" and due == until(start, 8, 0, days=4)
    assert lf.orders_dict == {}


def test_after_trading_event_is_queued_before_orders_are_forgotten(lf, clock, monkeypatch):
    clock(FRIDAY.replace(hour=15, minute=30, second=1))
    s = lf.MachStrategy(make_config())
    seen = []

    class Queue(list):
        def append(self, event):
            seen.append((event.event_type, dict(lf.orders_dict)))

    monkeypatch.setattr(lf, "event_queue", Queue())
    lf.orders_dict["c1"] = "order"
    assert s.send_after_trading_event() is None
    assert seen == [(EVENT.AFTER_TRADING, {"c1": "order"})] and lf.orders_dict == {}


@pytest.mark.parametrize("method, event_type", [
    ("send_before_trading_event", EVENT.BEFORE_TRADING), ("send_open_auction_event", EVENT.OPEN_AUCTION),
    ("send_after_trading_event", EVENT.AFTER_TRADING)])
def test_timer_targets_stamp_the_firing_time(lf, clock, events, method, event_type):
    moment = FRIDAY.replace(hour=9, minute=0, second=2, microsecond=5)
    clock(moment)
    assert getattr(lf.MachStrategy(None), method)() is None
    (ev,) = events()
    assert ev.event_type is event_type and list(ev.payload) == ["calendar_dt", "trading_dt"]
    assert ev.calendar_dt == ev.trading_dt == moment


def test_listener_failure_skips_the_rearming(lf, clock):
    clock(FRIDAY.replace(hour=8))
    config = make_config()
    del config.base.trading_calendar
    s = lf.MachStrategy(config)
    with pytest.raises(AttributeError):
        s.set_timer()
    assert armed(s) == []
