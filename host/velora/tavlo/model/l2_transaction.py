class L2Transaction:
    """A level-2 transaction record."""

    __slots__ = ("biz_index", "market_code", "datetime", "side", "price", "quantity", "value",
                 "trade_type", "bid_appl_seq_num", "offer_appl_seq_num")

    @classmethod
    def __from_create__(cls, biz_index, market_code, datetime, side, price, quantity, value,
                        trade_type, bid_appl_seq_num, offer_appl_seq_num):
        obj = cls.__new__(cls)
        obj.biz_index = biz_index
        obj.market_code = market_code
        obj.datetime = datetime
        obj.side = side
        obj.price = price
        obj.quantity = quantity
        obj.value = value
        obj.trade_type = trade_type
        obj.bid_appl_seq_num = bid_appl_seq_num
        obj.offer_appl_seq_num = offer_appl_seq_num
        return obj

    def __repr__(self):
        return "L2Transaction(%s)" % ", ".join("%s=%r" % (k, getattr(self, k)) for k in self.__slots__)
