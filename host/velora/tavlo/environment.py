"""The running environment: instruments, the subscribed universe and the accounts."""
from velora.tavlo.const import DEFAULT_ACCOUNT_TYPE


class DataProxy:
    def __init__(self, instruments=()):
        self._instruments = {ins.market_code: ins for ins in instruments}

    def instruments(self, market_code):
        """The instrument of ``market_code``, or None when it is not known."""
        return self._instruments.get(market_code)


class Environment:
    _env = None

    def __init__(self, data_proxy=None, universe=(), accounts=None):
        self.data_proxy = data_proxy if data_proxy is not None else DataProxy()
        self._universe = set(universe)
        self._accounts = dict(accounts or {})
        Environment._env = self

    @classmethod
    def get_instance(cls):
        return cls._env

    def get_universe(self):
        return self._universe

    def update_universe(self, market_codes):
        self._universe = set(market_codes)

    def get_account(self, market_code):
        """The account that trades ``market_code``; unknown markets raise KeyError."""
        instrument = self.data_proxy.instruments(market_code)
        if instrument is None:
            raise KeyError("unknown instrument: %s" % (market_code,))
        return self._accounts[DEFAULT_ACCOUNT_TYPE(instrument.account_type)]
