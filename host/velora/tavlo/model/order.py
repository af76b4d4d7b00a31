import itertools

from velora.tavlo.const import ORDER_STATUS, POSITION_EFFECT

_FINAL = (ORDER_STATUS.FILLED, ORDER_STATUS.CANCELLED, ORDER_STATUS.REJECTED)


class Order:
    """A framework order, as the order-sending side creates it and the broker's reports update it."""

    _ids = itertools.count(1)

    @classmethod
    def __from_create__(cls, market_code, quantity, side, price, position_effect=POSITION_EFFECT.OPEN):
        order = cls.__new__(cls)
        order.order_id = next(cls._ids)
        order.secondary_order_id = None
        order.market_code = market_code
        order.quantity = quantity
        order.side = side
        order.price = price
        order.position_effect = position_effect
        order.status = ORDER_STATUS.PENDING_NEW
        order.avg_price = 0.0
        order.filled_quantity = 0
        order.unfilled_quantity = quantity
        order.frozen_cash = 0.0
        order.message = ""
        return order

    def is_final(self):
        return self.status in _FINAL

    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reject_reason):
        """Reject the order with ``reject_reason``; a finished order stays as it is."""
        if not isinstance(reject_reason, str):
            raise TypeError("reject_reason must be a str, got %r" % (reject_reason,))
        if self.is_final():
            return
        self.message = reject_reason
        self.status = ORDER_STATUS.REJECTED
        self.frozen_cash = 0.0

    def __repr__(self):
        return "Order(%r, %s, %s, filled=%r/%r)" % (
            self.order_id, self.market_code, self.status, self.filled_quantity, self.quantity)
