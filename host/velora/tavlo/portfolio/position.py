class Position:
    """A position in one instrument and direction."""

    STATE_KEYS = ("quantity", "available_qty", "avg_price", "last_price", "market_value", "daily_pnl")

    def __init__(self, order_book_id, direction, init_quantity=0):
        if not isinstance(order_book_id, str):
            raise TypeError("order_book_id must be a str, got %r" % (order_book_id,))
        self.order_book_id = order_book_id
        self.direction = direction
        self.init_quantity = init_quantity
        self.quantity = init_quantity
        self.available_qty = init_quantity
        self.avg_price = 0.0
        self.last_price = 0.0
        self.market_value = 0.0
        self.daily_pnl = 0.0

    def set_state(self, state):
        unknown = [k for k in state if k not in self.STATE_KEYS]
        if unknown:
            raise KeyError("unknown position state: %s" % ", ".join(unknown))
        for key, value in state.items():
            setattr(self, key, value)

    def get_state(self):
        return {key: getattr(self, key) for key in self.STATE_KEYS}

    def __repr__(self):
        return "Position(%r, %s, quantity=%r)" % (self.order_book_id, self.direction, self.quantity)
