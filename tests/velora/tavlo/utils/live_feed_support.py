"""Records, configurations and a pinned clock for the live bridge's tests."""
import datetime as _dt
from types import SimpleNamespace

import numpy

from pymach.enums import MarketType


def make_config(**base):
    base.setdefault("accounts", {"main": "F001_ma"})
    base.setdefault("trading_calendar", [numpy.datetime64("2024-01-05", "D")])
    return SimpleNamespace(base=SimpleNamespace(**base))


def record(**fields):
    return SimpleNamespace(**fields)


def snapshot(security_id="000001", market_type=MarketType.SZSE, orig_time=20240105093000125, **fields):
    values = dict(open_price=10.0, close_price=10.2, high_price=10.5, low_price=9.9, total_value_trade=1.5e6,
                  total_volume_trade=150000, pre_close_price=10.1, ask_volume=[100, 200], ask_price=[10.21, 10.22],
                  bid_volume=[300, 400], bid_price=[10.19, 10.18], high_limited=11.11, last_price=10.2,
                  low_limited=9.09, open_interest=0, prev_settlement=0.0, iopv=0.0, trading_phase_code="T0")
    values.update(fields)
    return record(security_id=security_id, market_type=market_type, orig_time=orig_time, **values)


def bar(security_id="000001", end_time=20240105093100000, market_type=MarketType.SZSE, **fields):
    values = dict(open=10.0, close=10.1, high=10.2, low=9.9, amount=1.2e6, volume=120000, prev_close=10.0)
    values.update(fields)
    return record(security_id=security_id, market_type=market_type, end_time=end_time, **values)


class Clock:
    """A wall clock pinned to ``start`` plus the SDK context's simulated time.

    Installed as the bridge's ``datetime`` and ``np``: ``datetime.now()`` and
    ``np.datetime64("today", "D")`` read it; everything else is the real thing.
    """

    def __init__(self, start):
        self.start = start
        self.context = None
        self.drift = []      # microseconds added to the next readings of datetime.now(), one each
        clock = self

        class PinnedDatetime(_dt.datetime):
            @classmethod
            def now(cls, tz=None):
                t = clock.reading()
                return cls.combine(t.date(), t.time())

        class PinnedNumpy:
            def __getattr__(self, name):
                return getattr(numpy, name)

            @staticmethod
            def datetime64(value, unit=None):
                if value == "today":
                    return numpy.datetime64(clock.now().date(), unit)
                return numpy.datetime64(value, unit)

        self.datetime = PinnedDatetime
        self.np = PinnedNumpy()

    def now(self):
        elapsed = self.context.clock_ns // 1000 if self.context is not None else 0
        return self.start + _dt.timedelta(microseconds=elapsed)

    def reading(self):
        t = self.now()
        return t + _dt.timedelta(microseconds=self.drift.pop(0)) if self.drift else t

    def install(self, monkeypatch, module):
        monkeypatch.setattr(module, "datetime", self.datetime)
        monkeypatch.setattr(module, "np", self.np)
