"""Framework constants used by the live bridge."""
from enum import Enum


class ORDER_STATUS(Enum):
    PENDING_NEW = "PENDING_NEW"
    ACTIVE = "ACTIVE"
    PARTIALLY_FILLED = "PARTIALLY_FILLED"
    FILLED = "FILLED"
    REJECTED = "REJECTED"
    CANCELLED = "CANCELLED"


class POSITION_DIRECTION(Enum):
    LONG = "LONG"
    SHORT = "SHORT"


class POSITION_EFFECT(Enum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"


class SIDE(Enum):
    BUY = "BUY"
    SELL = "SELL"


class ORDER_TYPE(Enum):
    MARKET = "MARKET"
    LIMIT = "LIMIT"


class L2_ORDER_TYPE(Enum):
    """What a level-2 order record does to the book."""
    NEW = "NEW"
    CANCEL = "CANCEL"


class TRADE_TYPE(Enum):
    """What a level-2 transaction record reports."""
    FILL = "FILL"
    CANCEL = "CANCEL"


class DEFAULT_ACCOUNT_TYPE(Enum):
    STOCK = "STOCK"
