class Asset:
    """An account's funds as the broker reports them."""

    def __init__(self, account_id, available_cash, frozen_cash, market_value, total_value,
                 cash, init_cash):
        self.account_id = account_id
        self.available_cash = available_cash
        self.frozen_cash = frozen_cash
        self.market_value = market_value
        self.total_value = total_value
        self.cash = cash
        self.init_cash = init_cash

    def __repr__(self):
        return "Asset(%r, total_value=%r)" % (self.account_id, self.total_value)


class Account:
    """A trading account of one account type."""

    def __init__(self, account_type, account_id=None):
        self.type = account_type
        self.account_id = account_id

    def __repr__(self):
        return "Account(%s, %r)" % (self.type, self.account_id)
