from velora.tavlo.model._algo import AlgoModel


class AlgoChildTrade(AlgoModel):
    """The fills of one child order; each report adds one fill."""

    FIELDS = ("sys_quote_id", "trade_price", "trade_qty")

    def __init__(self):
        super().__init__()
        self.fills = []
        self.total_qty = 0

    def merge(self, report):
        self.fills.append((report.trade_price, report.trade_qty))
        self.total_qty += report.trade_qty
