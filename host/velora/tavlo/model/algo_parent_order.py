from velora.tavlo.model._algo import AlgoModel


class AlgoParentOrder(AlgoModel):
    FIELDS = ("sys_quote_id", "security_id", "order_qty", "trade_qty", "status")
