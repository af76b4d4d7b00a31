"""Fixtures of the hardening tests: the live bridge with fresh module state and a
framework environment, as the bridge's own tests set them up."""
import os
import sys

import pytest

from hardening_support import STATE, make_env, reset_bridge
from velora.tavlo.utils import live_feed as _live_feed

# The live bridge's own test helpers (records, configurations, a pinned clock).
UTILS_TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "velora", "tavlo", "utils")
if UTILS_TESTS not in sys.path:
    sys.path.append(UTILS_TESTS)


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
