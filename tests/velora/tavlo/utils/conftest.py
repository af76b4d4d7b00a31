"""Fixtures for the live bridge: a fresh module state, an environment, the
framework's log records and a wall clock that moves with the SDK's timer clock."""
import logging

import pytest
from live_feed_support import Clock
from numpy_ringbuffer import RingBuffer

from velora.tavlo.const import DEFAULT_ACCOUNT_TYPE
from velora.tavlo.environment import DataProxy, Environment
from velora.tavlo.model.instrument import Instrument
from velora.tavlo.portfolio.account import Account
from velora.tavlo.utils import live_feed as _live_feed

CODES = ("000001.XSHE", "000002.XSHE", "600000.XSHG")


@pytest.fixture
def lf(monkeypatch):
    """The bridge module with empty caches, registries and a fresh event queue."""
    monkeypatch.setattr(_live_feed, "event_queue", RingBuffer(capacity=1000, dtype=object))
    for name in ("mach_params", "history_bar", "history_tick", "orders_dict",
                 "algo_parent_orders", "algo_child_orders", "algo_child_trades"):
        monkeypatch.setattr(_live_feed, name, {})
    return _live_feed


@pytest.fixture
def events(lf):
    """The events queued so far, oldest first."""
    return lambda: list(lf.event_queue)


@pytest.fixture
def env():
    account = Account(DEFAULT_ACCOUNT_TYPE.STOCK, "F001")
    return Environment(DataProxy([Instrument(c) for c in CODES]), universe=CODES,
                       accounts={DEFAULT_ACCOUNT_TYPE.STOCK: account})


@pytest.fixture
def logs(caplog):
    """(logger name, level name, text) of each record logged by the framework's loggers."""
    caplog.set_level(logging.INFO, logger="velora")
    return lambda: [(r.name, r.levelname, r.getMessage()) for r in caplog.records if r.name.startswith("velora.")]


@pytest.fixture
def clock(lf, monkeypatch):
    """Pin the bridge's clock: ``clock(datetime(...))``; follows the strategy's timer clock once attached."""
    def pin(start):
        c = Clock(start)
        c.install(monkeypatch, lf)
        return c
    return pin
