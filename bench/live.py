"""The live bridge's hot paths: market-data callbacks, order reports, position
answers and the quote-cache queries, native against plain Python.

Both modules run against the same framework stand-ins (host/), with their own
`MachStrategy`, caches and event queue.  The event queues are rebound to ring
buffers of 10,000 slots (appending costs the same at any capacity; a million
queued events would only fill memory).  The framework's loggers stay at their
default level, so `system_log.info` is called but emits nothing.
"""
import copy
from types import SimpleNamespace

from numpy_ringbuffer import RingBuffer

from common import calls, calls2, describe, loop, loop2, modules, rebound, same
from harness import Path, Side
from pymach.enums import MarketType, OrderStatusType
from velora.tavlo.const import DEFAULT_ACCOUNT_TYPE, POSITION_DIRECTION, SIDE
from velora.tavlo.core.events import EVENT, Event
from velora.tavlo.environment import DataProxy, Environment
from velora.tavlo.model.instrument import Instrument
from velora.tavlo.model.l2_order import L2Order
from velora.tavlo.model.l2_transaction import L2Transaction
from velora.tavlo.model.order import Order
from velora.tavlo.model.tick import TickObject
from velora.tavlo.model.trade import Trade
from velora.tavlo.portfolio.account import Account
from velora.tavlo.portfolio.position import Position
from velora.tavlo.utils.datetime_func import convert_int_to_datetime, convert_int_to_whole_date
from velora.tavlo.utils.logger import system_log
from velora.tavlo.utils.trade_func import (get_exchane_from_mach_mdtype, get_l2order_type_from_mach,
                                           get_order_type_from_mach_l2_order, get_side_from_mach_l2_order,
                                           get_trade_type_from_mach)

QUEUE_SLOTS = 10000
STAMP = 20240105093000125   # SDK time stamps: YYYYMMDDHHMMSSmmm
BAR_END = 20240105093100000


def queue(kind=RingBuffer):
    """A small event queue of each module's own kind: the native bridge's atomic ring
    buffer, numpy_ringbuffer's own for the plain bridge and the floor."""
    return kind(capacity=QUEUE_SLOTS, dtype=object)


def last_event(module):
    # Not `event_queue[-1]`: numpy_ringbuffer counts a negative index back from the
    # oldest element's slot, which holds the newest element only while the queue is
    # full; before that, `[-1]` reads an empty slot (the bridge's queue keeps the same
    # rule).  How full each queue is when a check runs depends on how many batches
    # were timed before it.
    queue = module.event_queue
    return queue[len(queue) - 1]


def security_ids(n):
    return ["%06d" % (i + 1) for i in range(n)]


def environment(codes):
    account = Account(DEFAULT_ACCOUNT_TYPE.STOCK, "F001")
    return Environment(DataProxy([Instrument(c) for c in codes]), universe=codes,
                       accounts={DEFAULT_ACCOUNT_TYPE.STOCK: account})


def snapshot(security_id, i):
    return SimpleNamespace(
        security_id=security_id, market_type=MarketType.SZSE, orig_time=STAMP + i,
        open_price=10.0 + i * 0.01, close_price=10.2, high_price=10.5, low_price=9.9, total_value_trade=1.5e6,
        total_volume_trade=150000, pre_close_price=10.1, ask_volume=[100, 200, 300, 400, 500],
        ask_price=[10.21, 10.22, 10.23, 10.24, 10.25], bid_volume=[300, 400, 500, 600, 700],
        bid_price=[10.19, 10.18, 10.17, 10.16, 10.15], high_limited=11.11, last_price=10.2, low_limited=9.09,
        open_interest=0, prev_settlement=0.0, iopv=0.0, trading_phase_code="T0")


def tick_order(security_id, i):
    return SimpleNamespace(security_id=security_id, market_type=MarketType.SZSE, order_time=STAMP + i,
                           biz_index=i, side=ord("1") if i % 2 else ord("2"), order_price=10.0 + i * 0.01,
                           order_volume=100 * (i % 7 + 1), order_type=ord("2"), orig_order_no=1000 + i)


def tick_trade(security_id, i):
    return SimpleNamespace(security_id=security_id, market_type=MarketType.SZSE, trade_time=STAMP + i,
                           biz_index=i, trade_price=10.0 + i * 0.01, trade_volume=100, value_trade=1000.0,
                           trade_type=ord("F"), bid_appl_seq_num=2 * i + (i % 2), offer_appl_seq_num=2 * i)


def bar(security_id, end_time):
    return SimpleNamespace(security_id=security_id, market_type=MarketType.SZSE, end_time=end_time, open=10.0,
                           close=10.1, high=10.2, low=9.9, amount=1.2e6, volume=120000, prev_close=10.0)


def position_record(security_id, i):
    return SimpleNamespace(security_id=security_id, market_id=MarketType.SZSE, init_qty=100 * i,
                           leaves_qty=100 * i + 50, available_qty=100 * i, cost_price=9.5, last_price=10.0,
                           market_value=1000.0 * i, profit_loss=15.0 * i)


def order_report(client_order_id, security_id, status, last_match_qty):
    return SimpleNamespace(client_order_id=client_order_id, security_id=security_id, order_price=10.0,
                           order_status=status, order_qty=1000, trade_qty=500, total_trade_value=5005.0,
                           error_msg="", error_code=0, last_match_qty=last_match_qty, last_match_price=10.01,
                           counter_order_id=880000 + client_order_id, frozen_trade_value=5000.0)


class Bridge:
    """The two modules, each with a strategy, empty caches and a small event queue."""

    def __init__(self, codes):
        self.native, self.plain = modules("live_feed")
        self.env = environment(codes)
        self.strategies = {}
        for side, module in (("native", self.native), ("plain", self.plain)):
            module.event_queue = queue(type(module.event_queue))
            for name in ("history_bar", "history_tick", "orders_dict"):
                setattr(module, name, {})
            self.strategies[side] = module.MachStrategy(None)

    def method(self, side, name):
        return getattr(self.strategies[side], name)


def market_data_paths(n_codes):
    ids = security_ids(n_codes)
    codes = [s + ".XSHE" for s in ids]
    bridge = Bridge(codes)
    tick_type, l2_order_type, l2_trans_type, bar_type = EVENT.TICK, EVENT.L2_ORDER, EVENT.L2_TRANSACTION, EVENT.BAR

    # --- on_snapshot ------------------------------------------------------------------
    snaps = [snapshot(s, i) for i, s in enumerate(ids)]
    # The floor's arguments, prepared: the stamp in seconds, the market type, the code
    # and a tick dict (building it is the module's own work).
    snap_args = [(r.orig_time / 1000, r.market_type, code, dict(market_code=code)) for r, code in zip(snaps, codes)]
    floor_queue = queue()

    def snapshot_floor(items=snap_args, convert=convert_int_to_datetime, exchange=get_exchane_from_mach_mdtype,
                       get_instance=Environment.get_instance, Event=Event, TICK=tick_type, TickObject=TickObject,
                       append=floor_queue.append):
        for stamp, market_type, code, tick in items:
            dt = convert(stamp)
            exchange(market_type)
            instrument = get_instance().data_proxy.instruments(code)
            append(Event(TICK, calendar_dt=dt, trading_dt=dt, tick=TickObject(instrument, tick)))

    def snapshot_skeleton(items=snap_args):
        for stamp, market_type, code, tick in items:
            pass

    def check_snapshot():
        for side in ("native", "plain"):
            bridge.method(side, "on_snapshot")(snaps[0])
        same(last_event(bridge.native), last_event(bridge.plain), "on_snapshot event")
        same(bridge.native.history_tick[codes[0]][-1], bridge.plain.history_tick[codes[0]][-1], "on_snapshot cache")

    yield Path("on_snapshot", "%d instruments, one snapshot each per batch" % n_codes,
               Side(calls(bridge.method("native", "on_snapshot"), snaps), len(snaps), loop(snaps)),
               Side(calls(bridge.method("plain", "on_snapshot"), snaps), len(snaps), loop(snaps)),
               Side(snapshot_floor, len(snaps), snapshot_skeleton),
               check=check_snapshot,
               note="floor: convert_int_to_datetime, get_exchane_from_mach_mdtype, "
                    "Environment.get_instance().data_proxy.instruments, TickObject, Event, event_queue.append")

    # --- on_tick_order ---------------------------------------------------------------
    orders = [tick_order(s, i) for i, s in enumerate(ids)]
    order_args = [(r.order_time / 1000, r.market_type, code, chr(r.side), chr(r.order_type), r.biz_index,
                   r.order_price, r.order_volume, r.orig_order_no) for r, code in zip(orders, codes)]

    def tick_order_floor(items=order_args, convert=convert_int_to_datetime, exchange=get_exchane_from_mach_mdtype,
                         to_side=get_side_from_mach_l2_order, to_type=get_order_type_from_mach_l2_order,
                         to_l2_type=get_l2order_type_from_mach, create=L2Order.__from_create__, Event=Event,
                         L2_ORDER=l2_order_type, append=floor_queue.append):
        for stamp, market_type, code, side, order_type, biz_index, price, volume, orig_no in items:
            dt = convert(stamp)
            exchange(market_type)
            l2_order = create(biz_index, code, dt, to_side(side, market_type), price, volume,
                              to_type(order_type, market_type), orig_no, to_l2_type(order_type, market_type))
            append(Event(L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=l2_order))

    def tick_order_skeleton(items=order_args):
        for stamp, market_type, code, side, order_type, biz_index, price, volume, orig_no in items:
            pass

    def check_tick_order():
        for side in ("native", "plain"):
            bridge.method(side, "on_tick_order")(orders[1])
        same(last_event(bridge.native), last_event(bridge.plain), "on_tick_order event")

    yield Path("on_tick_order", "%d instruments, one level-2 order each per batch" % n_codes,
               Side(calls(bridge.method("native", "on_tick_order"), orders), len(orders), loop(orders)),
               Side(calls(bridge.method("plain", "on_tick_order"), orders), len(orders), loop(orders)),
               Side(tick_order_floor, len(orders), tick_order_skeleton),
               check=check_tick_order,
               note="floor: the time, exchange, side and two order-type converters, L2Order.__from_create__, "
                    "Event, event_queue.append")

    # --- on_tick_trade ---------------------------------------------------------------
    trades = [tick_trade(s, i) for i, s in enumerate(ids)]
    trade_args = [(r.trade_time / 1000, r.market_type, code, chr(r.trade_type),
                   SIDE.BUY if r.bid_appl_seq_num > r.offer_appl_seq_num else SIDE.SELL, r.biz_index,
                   r.trade_price, r.trade_volume, r.value_trade, r.bid_appl_seq_num, r.offer_appl_seq_num)
                  for r, code in zip(trades, codes)]

    def tick_trade_floor(items=trade_args, convert=convert_int_to_datetime, exchange=get_exchane_from_mach_mdtype,
                         to_trade_type=get_trade_type_from_mach, create=L2Transaction.__from_create__, Event=Event,
                         L2_TRANSACTION=l2_trans_type, append=floor_queue.append):
        for stamp, market_type, code, trade_type, side, biz_index, price, volume, value, bid, offer in items:
            dt = convert(stamp)
            exchange(market_type)
            transaction = create(biz_index, code, dt, side, price, volume, value, to_trade_type(trade_type),
                                 bid, offer)
            append(Event(L2_TRANSACTION, calendar_dt=dt, trading_dt=dt, l2_transaction=transaction))

    def tick_trade_skeleton(items=trade_args):
        for stamp, market_type, code, trade_type, side, biz_index, price, volume, value, bid, offer in items:
            pass

    def check_tick_trade():
        for i in (0, 1):
            for side in ("native", "plain"):
                bridge.method(side, "on_tick_trade")(trades[i])
            same(last_event(bridge.native), last_event(bridge.plain), "on_tick_trade event")

    yield Path("on_tick_trade", "%d instruments, one level-2 transaction each per batch" % n_codes,
               Side(calls(bridge.method("native", "on_tick_trade"), trades), len(trades), loop(trades)),
               Side(calls(bridge.method("plain", "on_tick_trade"), trades), len(trades), loop(trades)),
               Side(tick_trade_floor, len(trades), tick_trade_skeleton),
               check=check_tick_trade,
               note="floor: the time, exchange and trade-type converters, L2Transaction.__from_create__, "
                    "Event, event_queue.append")

    # --- on_bar: two bar times for the whole universe per batch -------------------------
    first = [bar(s, BAR_END) for s in ids]
    second = [bar(s, BAR_END + 100000) for s in ids]
    bars = first + second

    def clear_bars(module):
        def setup():
            for entries in module.history_bar.values():
                entries.clear()
        return setup

    rounds = [(end_time, end_time / 1000, [r.market_type for r in records])
              for end_time, records in ((BAR_END, first), (BAR_END + 100000, second))]

    def bar_floor(rounds=rounds, convert=convert_int_to_datetime,
                  exchange=get_exchane_from_mach_mdtype, get_instance=Environment.get_instance,
                  whole_date=convert_int_to_whole_date, Event=Event, BAR=bar_type, append=floor_queue.append):
        for end_time, stamp, market_types in rounds:
            for market_type in market_types:
                exchange(market_type)
                convert(stamp)
                len(get_instance().get_universe())
            calendar_dt = whole_date(end_time // 1000)
            append(Event(BAR, calendar_dt=calendar_dt, trading_dt=calendar_dt))

    def bar_skeleton(rounds=rounds):
        for end_time, stamp, market_types in rounds:
            for market_type in market_types:
                pass

    def check_bar():
        for side, module in (("native", bridge.native), ("plain", bridge.plain)):
            module.event_queue = queue(type(module.event_queue))
            for r in bars:
                bridge.method(side, "on_bar")(r)
            assert len(module.event_queue) == 2, "%s: one BAR event per bar time" % side
        same(last_event(bridge.native), last_event(bridge.plain), "on_bar event")
        same(bridge.native.history_bar[codes[-1]][-1], bridge.plain.history_bar[codes[-1]][-1], "on_bar cache")

    yield Path("on_bar", "universe of %d instruments, two bar times per batch (one BAR event each)" % n_codes,
               Side(calls(bridge.method("native", "on_bar"), bars), len(bars), loop(bars), clear_bars(bridge.native)),
               Side(calls(bridge.method("plain", "on_bar"), bars), len(bars), loop(bars), clear_bars(bridge.plain)),
               Side(bar_floor, len(bars), bar_skeleton),
               check=check_bar,
               note="floor: exchange and time converters, Environment.get_instance().get_universe() and its "
                    "len per bar; the whole-date converter, Event and event_queue.append once per bar time")


def order_paths(n_orders):
    ids = security_ids(n_orders)
    codes = [s + ".XSHE" for s in ids]
    bridge = Bridge(codes)
    for module in (bridge.native, bridge.plain):
        for i, code in enumerate(codes):
            module.orders_dict[i] = Order.__from_create__(code, 1000, SIDE.BUY, 10.0)
    floor_queue = queue()
    floor_orders = [Order.__from_create__(code, 1000, SIDE.BUY, 10.0) for code in codes]

    def message(r):
        return (f"on_order:{r.client_order_id}, symbol: {r.security_id}, price:{r.order_price}"
                f", status:{r.order_status}, order_qty:{r.order_qty}, trade_qty:{r.trade_qty}"
                f", total_trade_value: {r.total_trade_value}, error_msg:{r.error_msg}"
                f", last_match_qty: {r.last_match_qty}")

    # A fill: PartiallyFilled with a positive last_match_qty (a TRADE event).
    fills = [order_report(i, s, OrderStatusType.PartiallyFilled, 100) for i, s in enumerate(ids)]
    fill_args = [(message(r), vl, vl.market_code, vl.order_id, r.last_match_price, r.last_match_qty, vl.side,
                  vl.position_effect, vl.price) for r, vl in zip(fills, floor_orders)]

    def fill_floor(items=fill_args, info=system_log.info, get_instance=Environment.get_instance,
                   create=Trade.__from_create__, deepcopy=copy.deepcopy, Event=Event, TRADE=EVENT.TRADE,
                   append=floor_queue.append):
        for text, vl_order, code, order_id, price, qty, side, effect, frozen_price in items:
            info(text)
            account = get_instance().get_account(code)
            trade = create(order_id=order_id, price=price, amount=qty, side=side, position_effect=effect,
                           market_code=code, frozen_price=frozen_price)
            append(Event(TRADE, account=account, trade=trade, order=deepcopy(vl_order)))

    def fill_skeleton(items=fill_args):
        for text, vl_order, code, order_id, price, qty, side, effect, frozen_price in items:
            pass

    def check(reports, what):
        def run():
            for side in ("native", "plain"):
                bridge.method(side, "on_order")(reports[0])
            same(last_event(bridge.native), last_event(bridge.plain), what)
        return run

    yield Path("on_order (fill)", "%d orders, one PartiallyFilled report each per batch" % n_orders,
               Side(calls(bridge.method("native", "on_order"), fills), len(fills), loop(fills)),
               Side(calls(bridge.method("plain", "on_order"), fills), len(fills), loop(fills)),
               Side(fill_floor, len(fills), fill_skeleton),
               check=check(fills, "on_order fill event"),
               note="floor: system_log.info, Environment.get_instance().get_account, Trade.__from_create__, "
                    "copy.deepcopy of the order, Event, event_queue.append")

    # A cancellation: Cancelled, no fill (an ORDER_CANCELLATION_PASS event).
    cancels = [order_report(i, s, OrderStatusType.Cancelled, 0) for i, s in enumerate(ids)]
    cancel_args = [(message(r), vl, vl.market_code) for r, vl in zip(cancels, floor_orders)]

    def cancel_floor(items=cancel_args, info=system_log.info, get_instance=Environment.get_instance,
                     deepcopy=copy.deepcopy, Event=Event, PASS=EVENT.ORDER_CANCELLATION_PASS,
                     append=floor_queue.append):
        for text, vl_order, code in items:
            info(text)
            account = get_instance().get_account(code)
            append(Event(PASS, account=account, order=deepcopy(vl_order)))

    def cancel_skeleton(items=cancel_args):
        for text, vl_order, code in items:
            pass

    yield Path("on_order (cancellation)", "%d orders, one Cancelled report each per batch" % n_orders,
               Side(calls(bridge.method("native", "on_order"), cancels), len(cancels), loop(cancels)),
               Side(calls(bridge.method("plain", "on_order"), cancels), len(cancels), loop(cancels)),
               Side(cancel_floor, len(cancels), cancel_skeleton),
               check=check(cancels, "on_order cancellation event"),
               note="floor: system_log.info, Environment.get_instance().get_account, copy.deepcopy of the "
                    "order, Event, event_queue.append")


def position_paths(n_records, n_calls):
    ids = security_ids(n_records)
    bridge = Bridge([s + ".XSHE" for s in ids])
    answer = [position_record(s, i) for i, s in enumerate(ids)]
    args = [(answer, 20 + k) for k in range(n_calls)]
    states = [({"quantity": p.leaves_qty, "available_qty": p.available_qty, "avg_price": p.cost_price,
                "last_price": p.last_price, "market_value": p.market_value, "daily_pnl": p.profit_loss},
               p.market_id, p.security_id + ".XSHE", p.init_qty) for p in answer]
    floor_queue = queue()

    def position_floor(items=args, states=states, info=system_log.info, exchange=get_exchane_from_mach_mdtype,
                       Position=Position, LONG=POSITION_DIRECTION.LONG, Event=Event, QUERY=EVENT.QUERY_POSITION,
                       append=floor_queue.append):
        for records, request_id in items:
            info("on_query_position: code:0, msg:")
            positions = []
            for state, market_id, order_book_id, init_qty in states:
                exchange(market_id)
                position = Position(order_book_id, LONG, init_qty)
                position.set_state(state)
                positions.append(position)
            append(Event(QUERY, rid=request_id, positions=positions))

    def position_skeleton(items=args, states=states):
        for records, request_id in items:
            for state, market_id, order_book_id, init_qty in states:
                pass

    def method(side):
        fn = bridge.method(side, "on_query_position")

        def run(items=args, fn=fn):
            for records, request_id in items:
                fn(records, request_id, 0, "")
        return run

    def check():
        for side in ("native", "plain"):
            bridge.method(side, "on_query_position")(answer, 7, 0, "")
        same(last_event(bridge.native), last_event(bridge.plain), "on_query_position event")

    yield Path("on_query_position", "an answer of %d position records" % n_records,
               Side(method("native"), n_calls, loop2(args)),
               Side(method("plain"), n_calls, loop2(args)),
               Side(position_floor, n_calls, position_skeleton),
               check=check,
               note="floor: system_log.info, then per record get_exchane_from_mach_mdtype, Position, "
                    "set_state (order book ids and state dicts prepared), then Event, event_queue.append")


def query_paths(n_codes, ticks, bars_per_code):
    """The four query functions over one cache that both modules read."""
    native, plain = modules("live_feed")
    ids = security_ids(n_codes)
    codes = [s + ".XSHE" for s in ids]
    from collections import deque
    history_tick, history_bar = {}, {}
    for code in codes:
        history_tick[code] = deque(({"market_code": code, "datetime": None, "n": k} for k in range(ticks)),
                                   maxlen=60)
        history_bar[code] = deque({"market_code": code, "orig_time": None, "n": k} for k in range(bars_per_code))
    for module in (native, plain):
        module.history_tick = history_tick
        module.history_bar = history_bar
    tick_args = [(code, 60) for code in codes]
    bar_args = [(code, 240) for code in codes]

    def check():
        for name, args in (("get_current_tick", (codes[0],)), ("history_ticks", (codes[1], 60)),
                           ("history_bars", (codes[2], 240))):
            a, b = getattr(native, name)(*args), getattr(plain, name)(*args)
            if not (a == b and describe(a) == describe(b)):
                raise AssertionError("%s: native and plain results differ" % name)
        assert native.history_bars(codes[0], 240) == list(history_bar[codes[0]])[-240:]

    yield Path("get_current_tick", "%d codes with 60 ticks each" % n_codes,
               Side(calls(native.get_current_tick, codes), len(codes), loop(codes)),
               Side(calls(plain.get_current_tick, codes), len(codes), loop(codes)),
               check=check)
    yield Path("history_ticks(code, 60)", "%d codes with 60 ticks each" % n_codes,
               Side(calls2(native.history_ticks, tick_args), len(tick_args), loop2(tick_args)),
               Side(calls2(plain.history_ticks, tick_args), len(tick_args), loop2(tick_args)),
               check=check)
    yield Path("history_bars(code, 240)", "%d codes with %d bars each" % (n_codes, bars_per_code),
               Side(calls2(native.history_bars, bar_args), len(bar_args), loop2(bar_args)),
               Side(calls2(plain.history_bars, bar_args), len(bar_args), loop2(bar_args)),
               check=check)


def queue_paths(n_events):
    """The event queue alone: an event appended, then taken out, as the bridge and the
    framework's consumer do (numpy_ringbuffer's own ring buffer on the plain side)."""
    native, plain = modules("live_feed")
    events = [object() for _ in range(n_events)]
    sides = {}
    for side, module in (("native", native), ("plain", plain)):
        q = queue(type(module.event_queue))

        def batch(append=q.append, popleft=q.popleft, items=events):
            for x in items:
                append(x)
            for _ in items:
                popleft()
        sides[side] = batch

    def skeleton(items=events):
        for x in items:
            pass
        for _ in items:
            pass

    def check():
        for kind in (type(native.event_queue), RingBuffer):
            q = kind(capacity=4, dtype=object)
            for x in range(6):
                q.append(x)
            assert [q.popleft() for _ in range(len(q))] == [2, 3, 4, 5], kind

    yield Path("event queue (append + popleft)", "%d events appended, then taken out" % n_events,
               Side(sides["native"], n_events, skeleton), Side(sides["plain"], n_events, skeleton),
               check=check, note="per event: one append and one popleft")


STATE = ("event_queue", "history_bar", "history_tick", "orders_dict")


def paths(quick=False):
    native, plain = modules("live_feed")
    with rebound(native, STATE), rebound(plain, STATE), rebound(Environment, ["_env"]):
        if quick:
            yield from queue_paths(100)
            yield from market_data_paths(50)
            yield from order_paths(10)
            yield from position_paths(20, 2)
            yield from query_paths(20, 60, 240)
        else:
            yield from queue_paths(5000)
            yield from market_data_paths(5000)
            yield from order_paths(100)
            yield from position_paths(500, 4)
            yield from query_paths(1000, 60, 240)
