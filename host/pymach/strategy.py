"""The SDK's strategy base class and the context it carries.

The context performs what a strategy asks of the SDK and keeps a record of it:
``calls`` lists every operation with its arguments, in call order.  Timers run
on a simulated clock: ``add_timer_interval(delay_ns, callback)`` schedules one
call of ``callback``; ``advance(ns)`` moves the clock on and fires, in due
order, every timer that has come due (a callback may schedule further timers,
which fire within the same ``advance`` when they too come due).

What goes to the broker (queries, orders, cancellations, algorithmic orders) is
also put on ``requests``, oldest first, for whatever plays the broker (see
`pymach.simulator`) to answer through the strategy's callbacks; nothing answers
them otherwise.
"""
import collections
import heapq
import itertools

from pymach.enums import AlgoControlType, AlgoType, MarketType, MDType, SubscribeDataType, TDType


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
        self.fired = []          # (due time in ns, callback) of every timer fired, in firing order
        self._seq = itertools.count()
        self._request_ids = itertools.count(1)
        self.requests = collections.deque()

    def _record(self, name, *args):
        self.calls.append((name,) + args)

    def _request(self, name, *args):
        self._record(name, *args)
        self.requests.append((name,) + args)

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
        """Ask for the account's assets; answered through ``on_query_asset`` with the returned id."""
        request_id = next(self._request_ids)
        self._record("query_asset", fund_account_id)
        self.requests.append(("query_asset", request_id, fund_account_id))
        return request_id

    def query_position(self, fund_account_id):
        """Ask for the account's positions; answered through ``on_query_position`` with the returned id."""
        request_id = next(self._request_ids)
        self._record("query_position", fund_account_id)
        self.requests.append(("query_position", request_id, fund_account_id))
        return request_id

    def insert_order(self, client_order_id, security_id, market_type, side, price, order_qty):
        """Send a limit order; ``side`` is 1 (buy) or 2 (sell).  The client chooses
        ``client_order_id``, which the broker's reports (``on_order``) carry."""
        _check(market_type, MarketType)
        if side not in (1, 2):
            raise ValueError("side must be 1 (buy) or 2 (sell), got %r" % (side,))
        if type(order_qty) is not int or order_qty <= 0:
            raise ValueError("order_qty must be a positive int, got %r" % (order_qty,))
        self._request("insert_order", client_order_id, security_id, market_type, side, price, order_qty)

    def cancel_order(self, client_order_id):
        """Ask to cancel an order; a refusal comes back through ``on_order_action_error``."""
        self._request("cancel_order", client_order_id)

    def create_algo_parent_order(self, client_seq_id, security_id, market_type, side, order_qty):
        """Hand a parent order to the algorithmic server; answered through
        ``on_create_algo_parent_order_res`` with the server's ``sys_quote_id``."""
        _check(market_type, MarketType)
        self._request("create_algo_parent_order", client_seq_id, security_id, market_type, side, order_qty)

    def control_algo_parent_order(self, sys_quote_id, control_type):
        """Pause or resume a parent order (``AlgoControlType``)."""
        _check(control_type, AlgoControlType)
        self._request("control_algo_parent_order", sys_quote_id, control_type)

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
            self.fired.append((due, callback))
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
