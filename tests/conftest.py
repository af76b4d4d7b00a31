import os
import sys

HOST = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host")
if HOST not in sys.path:
    sys.path.insert(0, HOST)

import pytest


@pytest.fixture(scope="session")
def redis_server():
    """A private redis-server on a free 127.0.0.1 port, persistence off, stopped at the end."""
    from redis_server import RedisServer

    with RedisServer() as server:
        yield server


@pytest.fixture
def fast_switching():
    """Switch threads as often as the interpreter can, to make interleavings likely."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)
