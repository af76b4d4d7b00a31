class TickObject:
    """A tick of an instrument, reading the tick dict it was given (not a copy)."""

    def __init__(self, instrument, tick_dict):
        self._instrument = instrument
        self._tick_dict = tick_dict

    @property
    def instrument(self):
        return self._instrument

    @property
    def market_code(self):
        return self._tick_dict["market_code"]

    @property
    def datetime(self):
        return self._tick_dict["datetime"]

    @property
    def last(self):
        return self._tick_dict["last_price"]

    def __repr__(self):
        return "TickObject(%s, %s, last=%r)" % (self.market_code, self.datetime, self.last)
