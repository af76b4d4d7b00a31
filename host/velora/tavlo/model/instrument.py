class Instrument:
    def __init__(self, market_code, account_type="STOCK", symbol=None):
        self.market_code = market_code
        self.account_type = account_type
        self.symbol = symbol or market_code

    def __repr__(self):
        return "Instrument(%r)" % (self.market_code,)
