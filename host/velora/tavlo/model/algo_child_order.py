from velora.tavlo.model._algo import AlgoModel


class AlgoChildOrder(AlgoModel):
    FIELDS = ("sys_quote_id", "client_order_id", "order_qty", "trade_qty", "status")
