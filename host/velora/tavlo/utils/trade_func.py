"""SDK codes to framework values."""
from pymach.enums import MarketType, TDType
from velora.tavlo.const import L2_ORDER_TYPE, ORDER_TYPE, SIDE, TRADE_TYPE

_EXCHANGES = {MarketType.SZSE: "XSHE", MarketType.SSE: "XSHG"}
_TD_TYPES = {"MA": TDType.MaTD, "SIM": TDType.SimTD}

# Level-2 codes differ by exchange: Shenzhen numbers its sides and order types,
# Shanghai letters them (and reports cancellations as order records).
_SIDES = {
    MarketType.SZSE: {"1": SIDE.BUY, "2": SIDE.SELL},
    MarketType.SSE: {"B": SIDE.BUY, "S": SIDE.SELL},
}
_ORDER_TYPES = {
    MarketType.SZSE: {"1": ORDER_TYPE.MARKET, "2": ORDER_TYPE.LIMIT, "U": ORDER_TYPE.MARKET},
    MarketType.SSE: {"A": ORDER_TYPE.LIMIT, "D": ORDER_TYPE.LIMIT},
}
_L2_ORDER_TYPES = {
    MarketType.SZSE: {"1": L2_ORDER_TYPE.NEW, "2": L2_ORDER_TYPE.NEW, "U": L2_ORDER_TYPE.NEW},
    MarketType.SSE: {"A": L2_ORDER_TYPE.NEW, "D": L2_ORDER_TYPE.CANCEL},
}
_TRADE_TYPES = {"F": TRADE_TYPE.FILL, "4": TRADE_TYPE.CANCEL}


def _lookup(table, code, what):
    try:
        return table[code]
    except KeyError:
        raise ValueError("unknown %s: %r" % (what, code)) from None


def get_exchane_from_mach_mdtype(market_type):
    """The exchange suffix of an SDK market type (a MarketType or its value)."""
    return _lookup(_EXCHANGES, MarketType(market_type), "market type")


def get_mach_tdtype(destination):
    """The SDK trading-broker type of an upper-case broker destination."""
    return _lookup(_TD_TYPES, destination, "trading destination")


def get_side_from_mach_l2_order(side, market_type):
    return _lookup(_SIDES[MarketType(market_type)], side, "level-2 side")


def get_order_type_from_mach_l2_order(order_type, market_type):
    return _lookup(_ORDER_TYPES[MarketType(market_type)], order_type, "level-2 order type")


def get_l2order_type_from_mach(order_type, market_type):
    return _lookup(_L2_ORDER_TYPES[MarketType(market_type)], order_type, "level-2 order type")


def get_trade_type_from_mach(trade_type):
    return _lookup(_TRADE_TYPES, trade_type, "trade type")
