"""The SDK's strategy base class and the context it carries.

The context performs what a strategy asks of the SDK and keeps a record of it:
``calls`` lists every operation with its arguments, in call order.  Timers run
on a simulated clock: ``add_timer_interval(delay_ns, callback)`` schedules one
call of ``callback``; ``advance(ns)`` moves the clock on and fires, in due
order, every timer that has come due (a callback may schedule further timers,
which fire within the same ``advance`` when they too come due).
"""
import heapq
import itertools

from pymach.enums import AlgoType, MarketType, MDType, SubscribeDataType, TDType


def _check(value, kind):
    if not isinstance(value, kind):
        raise TypeError("expected %s, got %r" % (kind.__name__, value))


class Context:
    def __init__(self):
        self.calls = []
        self.md_brokers = []
        self.td_brokers = []
        self.algo_brokers = []
        self.order_way = None
        self.subscriptions = []
        self.clock_ns = 0
        self._timers = []
        self._seq = itertools.count()
        self._request_ids = itertools.count(1)

    def _record(self, name, *args):
        self.calls.append((name,) + args)

    def add_md_broker(self, md_type):
        _check(md_type, MDType)
        self._record("add_md_broker", md_type)
        self.md_brokers.append(md_type)

    def add_td_broker(self, td_type):
        _check(td_type, TDType)
        self._record("add_td_broker", td_type)
        self.td_brokers.append(td_type)

    def add_algo_broker(self, algo_type):
        _check(algo_type, AlgoType)
        self._record("add_algo_broker", algo_type)
        self.algo_brokers.append(algo_type)

    def set_order_way(self, order_way):
        self._record("set_order_way", order_way)
        self.order_way = order_way

    def subscribe(self, md_type, market_type, data_type, codes, period):
        _check(md_type, MDType)
        _check(market_type, MarketType)
        _check(data_type, SubscribeDataType)
        _check(codes, list)
        self._record("subscribe", md_type, market_type, data_type, codes, period)
        self.subscriptions.append((md_type, market_type, data_type, list(codes), period))

    def query_asset(self, fund_account_id):
        self._record("query_asset", fund_account_id)
        return next(self._request_ids)

    def query_position(self, fund_account_id):
        self._record("query_position", fund_account_id)
        return next(self._request_ids)

    def add_timer_interval(self, delay_ns, callback):
        if type(delay_ns) is not int:
            raise TypeError("timer delay must be an int of nanoseconds, got %r" % (delay_ns,))
        if delay_ns < 0:
            raise ValueError("timer delay must not be negative, got %d" % delay_ns)
        if not callable(callback):
            raise TypeError("timer callback must be callable")
        self._record("add_timer_interval", delay_ns, callback)
        heapq.heappush(self._timers, (self.clock_ns + delay_ns, next(self._seq), callback))

    @property
    def pending_timers(self):
        """(due time in ns, callback) of the timers not yet fired, in due order."""
        return [(due, cb) for due, _, cb in sorted(self._timers)]

    def advance(self, ns):
        """Move the clock on by ``ns`` and fire the timers that came due."""
        end = self.clock_ns + ns
        while self._timers and self._timers[0][0] <= end:
            due, _, callback = heapq.heappop(self._timers)
            self.clock_ns = due
            callback()
        self.clock_ns = end


class MachStrategy:
    """Base class of strategies the SDK drives; callbacks default to doing nothing."""

    def __init__(self):
        self.context = Context()

    def initialize(self, config):
        pass

    def on_initialize(self):
        pass

    def on_switch_day(self):
        pass
