"""RedisStore against a real redis-server."""
import json as stdjson
import math
import types

import pytest
import redis
import simplejson

from velora.tavlo.mod.mod_quant_data import quote_cache

pytestmark = pytest.mark.filterwarnings("ignore:Call to 'get_connection':DeprecationWarning")

CODE = "000001.XSHE"
BARS = [{"datetime": 20240102093100 + i, "close": 10.0 + i, "name": "平安银行"} for i in range(3)]


@pytest.fixture
def admin(redis_server):
    client = redis.Redis(host="127.0.0.1", port=redis_server.port)
    client.flushdb()
    yield client
    client.close()


@pytest.fixture
def store(redis_server, admin):
    s = quote_cache.RedisStore(redis_server.url)
    yield s
    s._redis.close()


def seed_list(admin, key, items):
    admin.rpush(key, *[stdjson.dumps(x, ensure_ascii=False).encode() for x in items])


def test_module_surface(store, redis_server):
    assert quote_cache.np.__name__ == "numpy" and quote_cache.json is simplejson and quote_cache.redis is redis
    assert quote_cache.Redis.__bases__ == (redis.client.Redis,)
    assert [k for k, v in vars(quote_cache.Redis).items() if callable(v) and not k.startswith("_")] == ["execute_command"]
    assert (quote_cache.RedisStore.snapshot_prefix, quote_cache.RedisStore.tick_prefix) == ("snapshot:", "tick_")
    assert type(store._redis) is quote_cache.Redis
    assert store._redis.connection_pool.connection_kwargs["port"] == redis_server.port


def test_current_bar(store, admin):
    seed_list(admin, CODE, BARS)
    assert store.get_current_bar(CODE) == BARS[-1]  # UTF-8 text decoded
    assert store.get_current_bar("600000.XSHG") is None
    admin.rpush("emptied", b"{}")
    admin.lpop("emptied")  # a list emptied by its writer no longer exists
    assert store.get_current_bar(market_code="emptied") is None


@pytest.mark.parametrize("count, first", [
    (1, 2), (2, 1), (3, 0), (10, 0),
    (0, 0),   # -0 == 0: the range 0..-1 is the whole list
    (-1, 1),  # a negative count starts from the front, as a slice would
])
def test_bar_and_tick_history(store, admin, count, first):
    ticks = [{"last": 10.0 + i, "volume": i} for i in range(3)]
    seed_list(admin, CODE, BARS)
    seed_list(admin, "tick_" + CODE, ticks)
    assert store.history(CODE, count) == BARS[first:]
    assert store.history_ticks(CODE, count) == ticks[first:]
    assert store.history("missing", count) == [] and store.history_ticks("missing", count) == []


def test_tick_history_reads_prefix_through_instance(store, admin):
    seed_list(admin, "tick_" + CODE, [{"last": 1}, {"last": 2}])
    seed_list(admin, "L2:" + CODE, [{"last": 3}])
    assert store.history_ticks(CODE, 5) == [{"last": 1}, {"last": 2}]
    store.tick_prefix = "L2:"
    assert store.history_ticks(count=5, market_code=CODE) == [{"last": 3}]


@pytest.mark.parametrize("stored, expected", [
    ({"ask": [1.5, 1.6], "bid": [1.4]},
     {"ask": [1.5, 1.6], "bid": [1.4], "asks": [1.5, 1.6], "bids": [1.4], "ask_vols": [], "bid_vols": []}),
    ({"asks": [9], "ask": [1], "ask_vol": [100], "bid_vols": [7]},
     {"asks": [9], "ask": [1], "ask_vol": [100], "bid_vols": [7], "bids": [], "ask_vols": [100]}),
    ({"last": 3.2}, {"last": 3.2, "asks": [], "bids": [], "ask_vols": [], "bid_vols": []}),
    ({"ask": None}, {"ask": None, "asks": None, "bids": [], "ask_vols": [], "bid_vols": []}),
])
def test_snapshot_order_book(store, admin, stored, expected):
    admin.set("snapshot:" + CODE, stdjson.dumps(stored))
    snap = store.get_snapshot(CODE)
    assert snap == expected and list(snap)[:len(stored)] == list(stored)
    if "ask" in stored and "asks" not in stored:
        assert snap["asks"] is snap["ask"]
    assert store.get_snapshot("600000.XSHG") is None


def test_snapshot_prefix_read_through_class_name_at_call_time(store, admin, monkeypatch):
    admin.set("snapshot:" + CODE, b'{"asks": [1]}')
    admin.set("snap2:" + CODE, b'{"asks": [2]}')
    store.snapshot_prefix = "snap2:"  # an instance attribute is not consulted
    assert store.get_snapshot(CODE)["asks"] == [1]
    monkeypatch.setattr(quote_cache, "RedisStore", types.SimpleNamespace(snapshot_prefix="snap2:"))
    assert store.get_snapshot(CODE)["asks"] == [2]


def test_settle_price(store, admin):
    admin.hset("settlement", mapping={"IF2401": b"3501.2", "IC2401": b"5e3", "BAD": b"n/a"})
    admin.set("IH2401", b"1.0")  # only the "settlement" hash holds prices
    assert store.get_settle_price("IF2401") == 3501.2 and store.get_settle_price("IC2401") == 5000.0
    missing = store.get_settle_price("IH2401")
    assert type(missing) is float and math.isnan(missing)
    with pytest.raises(ValueError):
        store.get_settle_price("BAD")


@pytest.mark.parametrize("key, value, call, error", [
    (CODE, b"{not json", lambda s: s.get_current_bar(CODE), simplejson.JSONDecodeError),
    ("tick_" + CODE, b"[1,", lambda s: s.history_ticks(CODE, 1), simplejson.JSONDecodeError),
    ("snapshot:" + CODE, b"[1, 2]", lambda s: s.get_snapshot(CODE), AttributeError),
    ("snapshot:" + CODE, b"42", lambda s: s.get_snapshot(CODE), TypeError),
    ("x", b"1", lambda s: s.history_ticks(7, 1), TypeError),  # market codes are strings
])
def test_bad_values_raise(store, admin, key, value, call, error):
    (admin.rpush if "snapshot" not in key else admin.set)(key, value)
    with pytest.raises(error):
        call(store)


def test_module_names_are_read_at_call_time(store, admin, monkeypatch):
    seed_list(admin, CODE, BARS)
    monkeypatch.setattr(quote_cache, "json", types.SimpleNamespace(loads=lambda text: ("loaded", text)))
    monkeypatch.setattr(quote_cache, "np", types.SimpleNamespace(nan="no price"))
    assert store.get_current_bar(CODE) == ("loaded", stdjson.dumps(BARS[-1], ensure_ascii=False))
    assert store.get_settle_price(CODE) == "no price"
    monkeypatch.setattr(quote_cache, "Redis", types.SimpleNamespace(from_url=lambda url: ("client", url)))
    assert quote_cache.RedisStore("redis://127.0.0.1:1/0")._redis == ("client", "redis://127.0.0.1:1/0")
