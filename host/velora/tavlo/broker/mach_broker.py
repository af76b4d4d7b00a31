"""The framework's order-sending side in live trading through the broker SDK.

An order is registered with the bridge (``orders_dict``, keyed by its client
order id) before it is handed to the SDK context that the bridge keeps in
``mach_params["mach_context"]``, so the broker's first report always finds it.
The bridge then keeps the framework order up to date from the broker's reports.
"""
import itertools
import threading

from pymach.enums import AlgoControlType, MarketType
from velora.tavlo.const import SIDE
from velora.tavlo.model.order import Order
from velora.tavlo.utils.trade_func import get_exchane_from_mach_mdtype

BUY, SELL = 1, 2   # the SDK's side codes


def split_market_code(market_code):
    """(security id, SDK market type) of a market code such as "000001.XSHE"."""
    security_id, dot, suffix = market_code.rpartition(".")
    for market_type in MarketType:
        try:
            if get_exchane_from_mach_mdtype(market_type) == suffix and dot:
                return security_id, market_type
        except ValueError:
            continue
    raise ValueError("no SDK market for %r" % (market_code,))


class MachBroker:
    """Sends orders of the framework through the bridge `bridge` (the live_feed module)."""

    def __init__(self, bridge):
        self.bridge = bridge
        self.orders = {}          # client order id -> framework order, every order sent today
        self._order_ids = itertools.count(1)
        self._request_ids = itertools.count(1)
        self._lock = threading.Lock()

    def _context(self):
        return self.bridge.mach_params["mach_context"]

    def _next(self, ids):
        with self._lock:
            return next(ids)

    def submit_order(self, market_code, amount, price):
        """Send a limit order: a positive `amount` buys, a negative one sells.
        Returns the framework order and its client order id."""
        if not amount:
            raise ValueError("amount must not be 0")
        security_id, market_type = split_market_code(market_code)
        side = SIDE.BUY if amount > 0 else SIDE.SELL
        order = Order.__from_create__(market_code, abs(amount), side, price)
        client_order_id = self._next(self._order_ids)
        self.orders[client_order_id] = order
        self.bridge.orders_dict[client_order_id] = order
        self._context().insert_order(client_order_id, security_id, market_type, BUY if amount > 0 else SELL, price,
                                     abs(amount))
        return order, client_order_id

    def cancel_order(self, client_order_id):
        self._context().cancel_order(client_order_id)

    def create_parent_order(self, market_code, amount):
        """Hand a parent order to the broker's algorithmic server; returns the request id."""
        security_id, market_type = split_market_code(market_code)
        request_id = self._next(self._request_ids)
        self._context().create_algo_parent_order(request_id, security_id, market_type, BUY if amount > 0 else SELL,
                                                 abs(amount))
        return request_id

    def pause_parent_order(self, sys_quote_id):
        self._context().control_algo_parent_order(sys_quote_id, AlgoControlType.Pause)

    def resume_parent_order(self, sys_quote_id):
        self._context().control_algo_parent_order(sys_quote_id, AlgoControlType.Resume)
