"""The live bridge under generated input: every query function and SDK callback,
with records whose attributes are missing or of any type.  Only ordinary Python
exceptions may come out, and the caches, registries and the event queue stay
consistent with what the successful steps wrote."""
import copy
import datetime
from collections import deque
from types import SimpleNamespace

import pytest
from hypothesis import given
from hypothesis import strategies as st

from hardening_support import reset_bridge
from live_feed_support import Clock, make_config
from hardening_support import FUZZ, Boom, outcome, record_of, values
from pymach.enums import AlgoControlType, MarketType, OrderStatusType
from velora.tavlo.core.events import Event
from velora.tavlo.model.algo_child_order import AlgoChildOrder
from velora.tavlo.model.algo_child_trade import AlgoChildTrade
from velora.tavlo.model.algo_parent_order import AlgoParentOrder
from velora.tavlo.model.order import Order
from velora.tavlo.const import SIDE

TICK_KEYS = ["market_code", "datetime", "open_price", "close_price", "high_price", "low_price", "total_turnover",
             "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids", "high_limited", "last_price",
             "low_limited", "open_interest", "prev_settlement", "iopv", "trading_phase_code"]
BAR_KEYS = ["market_code", "orig_time", "open_price", "close_price", "high_price", "low_price", "total_turnover",
            "volume", "prev_close"]

SNAPSHOT = dict(security_id="000001", market_type=MarketType.SZSE, orig_time=20240105093000125, open_price=10.0,
                close_price=10.2, high_price=10.5, low_price=9.9, total_value_trade=1.5e6, total_volume_trade=150000,
                pre_close_price=10.1, ask_volume=[100], ask_price=[10.21], bid_volume=[300], bid_price=[10.19],
                high_limited=11.11, last_price=10.2, low_limited=9.09, open_interest=0, prev_settlement=0.0,
                iopv=0.0, trading_phase_code="T0")
BAR = dict(security_id="000001", market_type=MarketType.SZSE, end_time=20240105093100000, open=10.0, close=10.1,
           high=10.2, low=9.9, amount=1.2e6, volume=120000, prev_close=10.0)
TICK_ORDER = dict(security_id="000001", market_type=MarketType.SZSE, order_time=20240105093000125, biz_index=7,
                  side=ord("1"), order_price=10.0, order_volume=100, order_type=ord("2"), orig_order_no=11)
TICK_TRADE = dict(security_id="000001", market_type=MarketType.SZSE, trade_time=20240105093000125, biz_index=8,
                  trade_price=10.0, trade_volume=100, value_trade=1000.0, trade_type=ord("F"), bid_appl_seq_num=5,
                  offer_appl_seq_num=3)
LOGIN = dict(fund_account_id="F001", error_code=0, error_msg="", client_seq_id=1)
ASSET = dict(fund_account_id="F001", available_t1=1.0, frozen_all=0.0, market_value=2.0, total_asset=3.0,
             leaves_value=4.0, init_leaves_value=5.0)
POSITION = dict(security_id="000001", market_id=MarketType.SZSE, init_qty=100, leaves_qty=100, available_qty=100,
                cost_price=10.0, last_price=10.2, market_value=1020.0, profit_loss=20.0)
ORDER = dict(client_order_id=1, security_id="000001", order_price=10.0, order_status=OrderStatusType.PartiallyFilled,
             order_qty=100, trade_qty=50, total_trade_value=500.0, error_msg="", error_code=0, last_match_qty=50,
             last_match_price=10.0, counter_order_id=99, frozen_trade_value=1000.0)
ALGO = dict(sys_quote_id="Q1", security_id="000001", order_qty=100, trade_qty=10, status=1, client_seq_id=1,
            trader_id="T", error_code=0, error_msg="", control_type=AlgoControlType.Pause,
            algo_control_type=AlgoControlType.Resume, order_id="O1", price=10.0, quantity=10, trade_id="T1")


def check_consistent(lf):
    """The caches hold complete dicts under their own code, the registries hold models
    under their own key, and the queue holds events only."""
    for code, entries in lf.history_tick.items():
        assert type(entries) is deque and entries.maxlen == 60
        for tick in entries:
            assert list(tick) == TICK_KEYS and tick["market_code"] is not None
            assert tick["market_code"] == code
    for code, entries in lf.history_bar.items():
        assert type(entries) is deque and entries.maxlen is None
        for bar in entries:
            assert list(bar) == BAR_KEYS and bar["market_code"] == code
    for registry, model in ((lf.algo_parent_orders, AlgoParentOrder), (lf.algo_child_orders, AlgoChildOrder),
                            (lf.algo_child_trades, AlgoChildTrade)):
        for key, obj in registry.items():
            assert type(obj) is model
    assert all(type(e) is Event for e in lf.event_queue)


@FUZZ
@given(code=values, count=values, bar_code=values)
def test_query_functions(lf, code, count, bar_code):
    reset_bridge(lf, capacity=10)
    lf.history_tick["000001.XSHE"] = deque([{"k": i} for i in range(3)], maxlen=60)
    lf.history_bar["000001.XSHE"] = deque([{"k": i} for i in range(3)])
    for key in (code, bar_code):
        for query in (lf.get_current_bar, lf.get_current_tick):
            kind, result = outcome(query, key)
            if kind == "ok":
                assert result is None or isinstance(result, dict)
        for query in (lf.history_bars, lf.history_ticks):
            kind, result = outcome(query, key, count)
            if kind == "ok":
                assert result is None or (type(result) is list and len(result) <= 3)
    for query in (lf.get_current_bar, lf.get_current_tick):
        assert query("000001.XSHE") == {"k": 2}


MARKET = [
    ("on_snapshot", SNAPSHOT),
    ("on_bar", BAR),
    ("on_tick_order", TICK_ORDER),
    ("on_tick_trade", TICK_TRADE),
]


@pytest.mark.parametrize("method, plausible", MARKET, ids=[m for m, _ in MARKET])
def test_market_data_callbacks(lf, env, method, plausible):
    @FUZZ
    @given(records=st.lists(record_of(plausible), min_size=1, max_size=4))
    def run(records):
        reset_bridge(lf, capacity=50)
        strategy = lf.MachStrategy(None)
        for rec in records:
            ticks = {k: list(v) for k, v in lf.history_tick.items()}
            bars = {k: list(v) for k, v in lf.history_bar.items()}
            queued = len(lf.event_queue)
            kind, result = outcome(getattr(strategy, method), rec)
            check_consistent(lf)
            grown = {k for k, v in lf.history_tick.items() if list(v) != ticks.get(k, [])}
            grown |= {k for k, v in lf.history_bar.items() if list(v) != bars.get(k, [])}
            assert len(grown) <= 1  # at most the record's own code gained one entry
            if kind == "ok":
                assert result is None
            if method in ("on_tick_order", "on_tick_trade"):
                assert not grown
                assert len(lf.event_queue) == queued + (kind == "ok")
    run()


def test_snapshot_that_fails_after_caching_leaves_one_complete_tick(lf, env):
    strategy = lf.MachStrategy(None)
    env.data_proxy.instruments = lambda code: (_ for _ in ()).throw(Boom("instruments"))
    with pytest.raises(Boom):
        strategy.on_snapshot(_record(SNAPSHOT))
    assert list(lf.history_tick["000001.XSHE"][0]) == TICK_KEYS and len(lf.event_queue) == 0


def _record(fields, **changes):
    d = dict(fields)
    d.update(changes)
    return SimpleNamespace(**d)


ACCOUNT_CALLS = [
    ("on_login", lambda s, r, extra: s.on_login(r), LOGIN),
    ("on_query_asset", lambda s, r, extra: s.on_query_asset(r, extra[0], extra[1], extra[2]), ASSET),
    ("on_query_position", lambda s, r, extra: s.on_query_position([r, r] if extra[3] else r, extra[0], 0, extra[2]),
     POSITION),
    ("on_order_action_error", lambda s, r, extra: s.on_order_action_error(r), ORDER),
    ("on_algo_login", lambda s, r, extra: s.on_algo_login(r), ALGO),
    ("on_create_algo_parent_order_res", lambda s, r, extra: s.on_create_algo_parent_order_res(r), ALGO),
    ("on_cancel_algo_parent_order_res", lambda s, r, extra: s.on_cancel_algo_parent_order_res(r), ALGO),
    ("on_control_algo_parent_order_res", lambda s, r, extra: s.on_control_algo_parent_order_res(r), ALGO),
    ("on_trade", lambda s, r, extra: s.on_trade(r), ORDER),
]


@pytest.mark.parametrize("name, call, plausible", ACCOUNT_CALLS, ids=[n for n, _, _ in ACCOUNT_CALLS])
def test_report_callbacks(lf, env, name, call, plausible):
    @FUZZ
    @given(rec=record_of(plausible), extra=st.tuples(values, st.one_of(st.just(0), values), values, st.booleans()))
    def run(rec, extra):
        reset_bridge(lf, capacity=50)
        lf.orders_dict[1] = Order.__from_create__("000001.XSHE", 100, SIDE.BUY, 10.0)
        strategy = lf.MachStrategy(None)
        kind, result = outcome(call, strategy, rec, extra)
        check_consistent(lf)
        if kind == "ok":
            assert result is None
        assert len(lf.event_queue) <= 1
        assert list(lf.orders_dict) == [1]
    run()


def test_order_reports(lf, env):
    @FUZZ
    @given(recs=st.lists(record_of(ORDER), min_size=1, max_size=4),
           status=st.sampled_from(list(OrderStatusType)))
    def run(recs, status):
        reset_bridge(lf, capacity=50)
        order = Order.__from_create__("000001.XSHE", 100, SIDE.BUY, 10.0)
        lf.orders_dict[1] = order
        strategy = lf.MachStrategy(None)
        for rec in recs:
            if getattr(rec, "order_status", None) is ORDER["order_status"]:
                rec.order_status = status
            queued = len(lf.event_queue)
            outcome(strategy.on_order, rec)
            check_consistent(lf)
            assert len(lf.event_queue) - queued <= 2
            assert lf.orders_dict == {1: order}
    run()


UPDATES = [
    ("on_algo_parent_order_update", "algo_parent_orders"),
    ("on_algo_child_order_update", "algo_child_orders"),
    ("on_algo_child_order_trade", "algo_child_trades"),
]


@pytest.mark.parametrize("method, registry", UPDATES, ids=[m for m, _ in UPDATES])
def test_algo_updates_keep_the_registry_whole(lf, monkeypatch, method, registry):
    deepcopies = []

    class RecordingCopy:
        @staticmethod
        def deepcopy(obj):
            deepcopies.append(obj)
            return copy.deepcopy(obj)

    monkeypatch.setattr(lf, "copy", RecordingCopy)

    @FUZZ
    @given(recs=st.lists(record_of(ALGO), min_size=1, max_size=4))
    def run(recs):
        reset_bridge(lf, capacity=50)
        strategy = lf.MachStrategy(None)
        for rec in recs:
            before = dict(getattr(lf, registry))
            deepcopies.clear()
            queued = len(lf.event_queue)
            kind, _ = outcome(getattr(strategy, method), rec)
            after = getattr(lf, registry)
            check_consistent(lf)
            if kind == "ok":
                assert len(lf.event_queue) == queued + 1
                assert after[rec.sys_quote_id] is deepcopies[-1]
            elif after != before or any(after[k] is not before[k] for k in before):
                # Stored, then the copy for the event failed: only the report's own key changed.
                assert deepcopies and len(lf.event_queue) == queued
                changed = [k for k in after if k not in before or after[k] is not before[k]]
                assert changed == [rec.sys_quote_id] and after[rec.sys_quote_id] is deepcopies[-1]
            else:
                assert len(lf.event_queue) == queued
    run()


@pytest.mark.parametrize("method", ["on_switch_day", "on_initialize", "send_before_trading_event",
                                    "send_after_trading_event", "send_open_auction_event"])
def test_callbacks_without_records(lf, method):
    strategy = lf.MachStrategy(None)
    lf.orders_dict[1] = object()
    lf.history_tick["x"] = deque(maxlen=60)
    assert getattr(strategy, method)() is None
    check_consistent(lf)


@FUZZ
@given(event_type=values, dt=values)
def test_send_day_event(lf, event_type, dt):
    reset_bridge(lf, capacity=5)
    strategy = lf.MachStrategy(None)
    kind, _ = outcome(strategy.send_day_event, event_type, dt)
    assert kind == "ok" and list(lf.event_queue)[-1].event_type is event_type


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@FUZZ
@given(hour=st.integers(0, 23), minute=st.integers(0, 59), calendar=st.one_of(values, st.just(None)))
def test_timers_at_any_time(lf, monkeypatch, hour, minute, calendar):
    reset_bridge(lf, capacity=5)
    clock = Clock(datetime.datetime(2024, 1, 5, hour, minute, 30))
    with monkeypatch.context() as patch:
        clock.install(patch, lf)
        config = make_config(trading_calendar=calendar) if calendar is not None else make_config()
        strategy = lf.MachStrategy(config)
        clock.context = strategy.context
        kind, _ = outcome(strategy.set_timer)
        delays = [c[1] for c in strategy.context.calls if c[0] == "add_timer_interval"]
        assert all(type(d) is int and d >= 0 for d in delays)
        if kind == "ok":
            # A generated calendar may fail the next day's `in` test as it would in
            # Python (an array compared with the date): an ordinary exception.
            outcome(strategy.context.advance, 30 * 3600 * 10 ** 9)
            check_consistent(lf)


@FUZZ
@given(md_type=st.one_of(st.just("MaMD"), st.just("mamd"), values), order_way=values,
       accounts=st.one_of(st.dictionaries(st.text(max_size=3), st.one_of(
           st.sampled_from(["F001_ma", "F002_sim", "F003_MA", "F0_0_ma", "F004", "_ma", "F005_"]), values),
           max_size=3), values),
       algo_account=st.one_of(st.sampled_from(["A_atx", "A_ATX", "A_x", "A", None]), values),
       present=st.sets(st.sampled_from(["md_type", "order_way", "algo_account"])))
def test_initialize_with_generated_configuration(lf, monkeypatch, md_type, order_way, accounts, algo_account,
                                                 present):
    reset_bridge(lf, capacity=5)
    base = {"accounts": accounts, "trading_calendar": []}
    for name, value in (("md_type", md_type), ("order_way", order_way), ("algo_account", algo_account)):
        if name in present:
            base[name] = value
    strategy = lf.MachStrategy(SimpleNamespace(base=SimpleNamespace(**base)))
    kind, result = outcome(strategy.initialize, None)
    calls = [c[0] for c in strategy.context.calls]
    # The brokers are registered in order, each step only after the one before it succeeded.
    order = ["add_md_broker", "set_order_way", "add_td_broker", "add_algo_broker", "subscribe", "add_timer_interval"]
    assert [order.index(c) for c in calls] == sorted(order.index(c) for c in calls)
    assert calls[:1] == ["add_md_broker"]
    if kind == "ok":
        assert result is None and lf.mach_params["mach_context"] is strategy.context
        assert calls[-2:] == ["subscribe", "add_timer_interval"]  # not a trading day: only the re-arming
    else:
        assert "mach_context" not in lf.mach_params
