"""The bridge driven from several threads at once, as the SDK does (market data,
trading reports and timers on threads of their own), while other threads read
the quote caches and drain the event queue: nothing crashes, no reader sees an
error, and every event is delivered exactly once, in each thread's order."""
import os
import threading
from types import SimpleNamespace

import numpy as np
import pytest
from numpy_ringbuffer import RingBuffer

from hardening_support import QUEUE_TYPE, reset_bridge
from pymach.enums import MarketType, OrderStatusType
from velora.tavlo.const import ORDER_STATUS, SIDE
from velora.tavlo.core.events import EVENT
from velora.tavlo.model.order import Order

ROUNDS = 3000 if os.environ.get("VELORA_DEEP") == "1" else 600  # VELORA_DEEP=1: CI's longer run


def snapshot(tid, seq):
    return SimpleNamespace(security_id="00000%d" % tid, market_type=MarketType.SZSE, orig_time=20240105093000125,
                           open_price=seq, close_price=1.0, high_price=1.0, low_price=1.0, total_value_trade=1.0,
                           total_volume_trade=1, pre_close_price=1.0, ask_volume=[], ask_price=[], bid_volume=[],
                           bid_price=[], high_limited=1.0, last_price=1.0, low_limited=1.0, open_interest=0,
                           prev_settlement=0.0, iopv=0.0, trading_phase_code="T0")


def tick_trade(tid, seq):
    return SimpleNamespace(security_id="00000%d" % tid, market_type=MarketType.SZSE, trade_time=20240105093000125,
                           biz_index=(tid, seq), trade_price=1.0, trade_volume=1, value_trade=1.0, trade_type=ord("F"),
                           bid_appl_seq_num=2, offer_appl_seq_num=1)


def algo_report(tid, seq):
    return SimpleNamespace(sys_quote_id="Q%d-%d" % (tid, seq % 7), security_id="00000%d" % tid, order_qty=seq,
                           trade_qty=0, status=1)


def tag(event):
    """(producing thread, sequence number) carried by an event of the market-data threads."""
    if event.event_type is EVENT.TICK:
        return int(event.tick.market_code[5]), event.tick._tick_dict["open_price"]
    if event.event_type is EVENT.L2_TRANSACTION:
        return event.l2_transaction.biz_index
    if event.event_type is EVENT.PARENT_ORDER_UPDATE:
        return int(event.algo_parent_order.sys_quote_id[1]), event.algo_parent_order.order_qty
    return None


def test_callbacks_readers_and_a_drainer_on_many_threads(lf, env, fast_switching):
    reset_bridge(lf, capacity=1000000)
    assert type(lf.event_queue) is QUEUE_TYPE and isinstance(lf.event_queue, RingBuffer)
    strategy = lf.MachStrategy(SimpleNamespace(base=SimpleNamespace(
        accounts={"m": "F001_ma"}, trading_calendar=[np.datetime64("2024-01-05", "D")])))
    orders = {i: Order.__from_create__("000001.XSHE", 100, SIDE.BUY, 10.0) for i in range(ROUNDS)}
    lf.orders_dict.update(orders)
    errors, expected = [], {}
    producers_done = threading.Event()
    drained = []

    def guarded(name, body):
        def run():
            try:
                body()
            except BaseException as e:  # noqa: BLE001 - reported by the test
                errors.append((name, repr(e)))
        return threading.Thread(target=run, name=name)

    def market_data(tid):
        def body():
            for seq in range(ROUNDS):
                strategy.on_snapshot(snapshot(tid, seq))
                strategy.on_tick_trade(tick_trade(tid, seq))
                strategy.on_algo_parent_order_update(algo_report(tid, seq))
            expected[tid] = 3 * ROUNDS
        return body

    def trading():
        for i in range(ROUNDS):
            lf.orders_dict[i] = orders[i]  # as the order-sending side registers each order
            strategy.on_order(SimpleNamespace(client_order_id=i, security_id="000001", order_price=10.0,
                                              order_status=OrderStatusType.Sended, order_qty=100, trade_qty=0,
                                              total_trade_value=0.0, error_msg="", error_code=0, last_match_qty=0,
                                              last_match_price=0.0, counter_order_id=1000 + i,
                                              frozen_trade_value=1000.0))
        # One ORDER_CREATION_PASS for each order that became active; the day switch on
        # the timer thread empties orders_dict, after which reports are dropped.
        expected["trading"] = sum(o.status is ORDER_STATUS.ACTIVE for o in orders.values())

    def timers():
        for i in range(ROUNDS // 10):
            strategy.send_before_trading_event()
            strategy.send_open_auction_event()
            strategy.on_switch_day()
        expected["timers"] = 2 * (ROUNDS // 10)

    def reader():
        while not producers_done.is_set():
            for tid in range(4):
                code = "00000%d.XSHE" % tid
                tick = lf.get_current_tick(code)
                assert tick is None or tick["market_code"] == code
                ticks = lf.history_ticks(code, 5)
                assert ticks is None or (len(ticks) <= 5 and all(t["market_code"] == code for t in ticks))
                assert lf.get_current_bar(code) is None and lf.history_bars(code, 3) is None

    def drainer():
        queue = lf.event_queue
        while not producers_done.is_set() or len(queue):
            try:
                drained.append(queue.popleft())
            except IndexError:
                pass

    producers = [guarded("md%d" % t, market_data(t)) for t in range(4)]
    producers += [guarded("trading", trading), guarded("timers", timers)]
    others = [guarded("reader%d" % i, reader) for i in range(2)] + [guarded("drainer", drainer)]
    for t in others + producers:
        t.start()
    for t in producers:
        t.join(120)
    producers_done.set()
    for t in others:
        t.join(120)

    assert errors == []
    events = drained + list(lf.event_queue)
    assert len(events) == sum(expected.values()) and len({id(e) for e in events}) == len(events)
    for tid in range(4):
        by_kind = {}
        for e in events:
            t = tag(e)
            if t is not None and t[0] == tid:
                by_kind.setdefault(e.event_type, []).append(t[1])
        assert len(by_kind) == 3
        assert all(seqs == list(range(ROUNDS)) for seqs in by_kind.values())
    creation = [e for e in events if e.event_type is EVENT.ORDER_CREATION_PASS]
    assert len(creation) == expected["trading"] > 0


def test_the_module_queue_is_a_locked_ring_buffer():
    from velora.tavlo.utils import live_feed
    queue = live_feed.event_queue
    assert isinstance(queue, RingBuffer) and queue.maxlen == 1000000 and queue.dtype == object
    assert "RingBuffer" not in vars(live_feed)  # the subclass is not a module name
    fresh = type(queue)(capacity=3, dtype=object)
    for i in range(5):
        fresh.append(i)
    assert list(fresh) == [2, 3, 4] and len(fresh) == 3 and fresh[0] == 2
    assert fresh.popleft() == 2 and fresh.pop() == 4 and list(fresh) == [3]
    with pytest.raises(IndexError):
        type(queue)(capacity=1, dtype=object).popleft()
