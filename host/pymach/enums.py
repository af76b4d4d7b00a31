"""Enumerations of the broker SDK."""
from enum import Enum

__all__ = [
    "MDType",
    "TDType",
    "AlgoType",
    "AlgoControlType",
    "MarketType",
    "SubscribeDataType",
    "OrderStatusType",
]


class MDType(Enum):
    """Market-data brokers."""
    MaMD = 1
    AMD = 2


class TDType(Enum):
    """Trading brokers."""
    MaTD = 1
    SimTD = 2


class AlgoType(Enum):
    """Algorithmic-order servers."""
    ATX = 1


class AlgoControlType(Enum):
    Pause = 1
    Resume = 2


class MarketType(Enum):
    SZSE = 101
    SSE = 102


class SubscribeDataType(Enum):
    Snapshot = 1
    TickOrder = 2
    TickTrade = 3
    Bar = 4


class OrderStatusType(Enum):
    UnSend = 0
    Sended = 1
    PartiallyFilled = 2
    Filled = 3
    PartiallyFilledPartiallyCancelled = 4
    WaitCancelled = 5
    PartiallyFilledWaitCancelled = 6
    Cancelled = 7
    Reject = 8
