import itertools


class Trade:
    """One fill of a framework order."""

    _ids = itertools.count(1)

    @classmethod
    def __from_create__(cls, *, order_id, price, amount, side, position_effect, market_code,
                        frozen_price, commission=0.0, tax=0.0, trade_id=None):
        trade = cls.__new__(cls)
        trade.trade_id = next(cls._ids) if trade_id is None else trade_id
        trade.order_id = order_id
        trade.last_price = price
        trade.last_quantity = amount
        trade.side = side
        trade.position_effect = position_effect
        trade.market_code = market_code
        trade.frozen_price = frozen_price
        trade.commission = commission
        trade.tax = tax
        return trade

    def __repr__(self):
        return "Trade(id=%r, order_id=%r, %s %r@%r)" % (
            self.trade_id, self.order_id, self.market_code, self.last_quantity, self.last_price)
