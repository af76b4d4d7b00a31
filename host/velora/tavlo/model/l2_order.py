class L2Order:
    """A level-2 order record."""

    __slots__ = ("biz_index", "market_code", "datetime", "side", "price", "quantity",
                 "order_type", "orig_order_no", "l2_order_type")

    @classmethod
    def __from_create__(cls, biz_index, market_code, datetime, side, price, quantity,
                        order_type, orig_order_no, l2_order_type):
        obj = cls.__new__(cls)
        obj.biz_index = biz_index
        obj.market_code = market_code
        obj.datetime = datetime
        obj.side = side
        obj.price = price
        obj.quantity = quantity
        obj.order_type = order_type
        obj.orig_order_no = orig_order_no
        obj.l2_order_type = l2_order_type
        return obj

    def __repr__(self):
        return "L2Order(%s)" % ", ".join("%s=%r" % (k, getattr(self, k)) for k in self.__slots__)
