"""Fixtures of the hardening tests: the live bridge with fresh module state and a
framework environment, as the bridge's own tests set them up."""
import os
import sys

import pytest

from velora.tavlo.const import DEFAULT_ACCOUNT_TYPE
from velora.tavlo.environment import DataProxy, Environment
from velora.tavlo.model.instrument import Instrument
from velora.tavlo.portfolio.account import Account
from velora.tavlo.utils import live_feed as _live_feed

# The live bridge's own test helpers (records, configurations, a pinned clock).
UTILS_TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "velora", "tavlo", "utils")
if UTILS_TESTS not in sys.path:
    sys.path.append(UTILS_TESTS)

CODES = ("000001.XSHE", "000002.XSHE", "600000.XSHG")
STATE = ("mach_params", "history_bar", "history_tick", "orders_dict",
         "algo_parent_orders", "algo_child_orders", "algo_child_trades")


# The bridge's own event queue type (a ring buffer whose operations are atomic).
QUEUE_TYPE = type(_live_feed.event_queue)


def reset_bridge(module, capacity=100000):
    """Empty caches and registries and a fresh event queue (the module globals are rebound)."""
    module.event_queue = QUEUE_TYPE(capacity=capacity, dtype=object)
    for name in STATE:
        setattr(module, name, {})


def make_env():
    account = Account(DEFAULT_ACCOUNT_TYPE.STOCK, "F001")
    return Environment(DataProxy([Instrument(c) for c in CODES]), universe=CODES,
                       accounts={DEFAULT_ACCOUNT_TYPE.STOCK: account})


@pytest.fixture
def lf(monkeypatch):
    """The bridge module; its globals are put back after the test."""
    monkeypatch.setattr(_live_feed, "event_queue", _live_feed.event_queue)
    for name in STATE:
        monkeypatch.setattr(_live_feed, name, getattr(_live_feed, name))
    reset_bridge(_live_feed)
    return _live_feed


@pytest.fixture
def env():
    return make_env()
