"""Framework events: a type and keyword attributes."""
from enum import Enum


class EVENT(Enum):
    TICK = "tick"
    L2_ORDER = "l2_order"
    L2_TRANSACTION = "l2_transaction"
    BAR = "bar"
    LOGIN = "login"
    BEFORE_TRADING = "before_trading"
    OPEN_AUCTION = "open_auction"
    AFTER_TRADING = "after_trading"
    QUERY_ACCOUNT = "query_account"
    QUERY_POSITION = "query_position"
    ORDER_CREATION_PASS = "order_creation_pass"
    TRADE = "trade"
    ORDER_CANCELLATION_PASS = "order_cancellation_pass"
    ORDER_PENDING_CANCEL = "order_pending_cancel"
    ORDER_UNSOLICITED_UPDATE = "order_unsolicited_update"
    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"
    ALGO_LOGIN = "algo_login"
    PARENT_ORDER_CREATE = "parent_order_create"
    PARENT_ORDER_CANCEL = "parent_order_cancel"
    PARENT_ORDER_PAUSE = "parent_order_pause"
    PARENT_ORDER_RESUME = "parent_order_resume"
    PARENT_ORDER_UPDATE = "parent_order_update"
    CHILD_ORDER_UPDATE = "child_order_update"
    CHILD_ORDER_TRADE = "child_order_trade"


class Event:
    """``Event(EVENT.X, **payload)``: the payload becomes attributes, in keyword order."""

    def __init__(self, event_type, **kwargs):
        self.event_type = event_type
        self.__dict__.update(kwargs)

    @property
    def payload(self):
        return {k: v for k, v in self.__dict__.items() if k != "event_type"}

    def __repr__(self):
        return "Event(%s, %s)" % (self.event_type, ", ".join("%s=%r" % kv for kv in self.payload.items()))
