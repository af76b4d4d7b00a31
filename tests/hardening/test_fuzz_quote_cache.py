"""The Redis quote store under generated input: whatever the server holds (JSON of
any shape, text that is not JSON, bytes that are not UTF-8) and whatever the
connection does (fail at any step, with any exception), the answer is a value or
an ordinary exception, and every connection taken from the pool goes back to it."""
import pytest
import redis
import simplejson
from hypothesis import given
from hypothesis import strategies as st

from hardening_support import FUZZ, Boom, outcome, values
from velora.tavlo.mod.mod_quant_data import quote_cache

pytestmark = pytest.mark.filterwarnings("ignore:Call to 'get_connection':DeprecationWarning")

json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=8)),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=6), inner, max_size=4)),
    max_leaves=8,
)
stored = st.one_of(
    json_values.map(lambda v: simplejson.dumps(v).encode()),
    st.fixed_dictionaries({}, optional={k: st.lists(st.integers(), max_size=2) for k in
                                        ("ask", "bid", "ask_vol", "bid_vol", "asks", "bids")}).map(
        lambda v: simplejson.dumps(v).encode()),
    st.binary(max_size=16),
    st.sampled_from([b"", b"{", b"nan", b"1e999", b"\xff\xfe", b"[1,", b"\"\\ud800\"", b"12.5", b"-0"]),
)


@pytest.fixture(scope="module")
def server_store(redis_server):
    store = quote_cache.RedisStore(redis_server.url)
    admin = redis.Redis.from_url(redis_server.url)
    yield store, admin
    store._redis.close()
    admin.close()


def pool_is_idle(store):
    pool = store._redis.connection_pool
    return not getattr(pool, "_in_use_connections", set())


@FUZZ
@given(code=st.one_of(st.text(max_size=6), values), bars=st.lists(stored, max_size=3), snap=stored,
       settle=st.one_of(stored, st.sampled_from([b"3.5", b"inf", b" 2 ", b"1_0"])), count=values)
def test_queries_on_any_stored_value(server_store, code, bars, snap, settle, count):
    store, admin = server_store
    admin.flushdb()
    key = code if isinstance(code, str) else "X"
    if bars:
        admin.rpush(key, *bars)
        admin.rpush("tick_" + key, *bars)
    admin.set("snapshot:" + key, snap)
    admin.hset("settlement", key, settle)
    for method, args in [("get_current_bar", (code,)), ("get_settle_price", (code,)), ("history", (code, count)),
                         ("get_snapshot", (code,)), ("history_ticks", (code, count))]:
        kind, result = outcome(getattr(store, method), *args)
        assert pool_is_idle(store)
        if kind == "ok" and method == "get_snapshot" and isinstance(result, dict):
            assert {"asks", "bids", "ask_vols", "bid_vols"} <= set(result)
        if kind == "ok" and method in ("history", "history_ticks"):
            assert type(result) is list


class Connection:
    """A pooled connection whose steps fail as told."""

    def __init__(self, plan, log):
        self.plan, self.log = plan, log

    def _step(self, name):
        self.log.append(name)
        failure = self.plan.pop(0) if self.plan else None
        if failure is not None:
            raise failure

    def send_command(self, *args):
        self._step("send")

    def disconnect(self):
        self._step("disconnect")


class Pool:
    def __init__(self, plan, log, fail_get=None, fail_release=None):
        self.plan, self.log, self.fail_get, self.fail_release = plan, log, fail_get, fail_release
        self.out = 0

    def get_connection(self, command_name, *keys, **options):
        self.log.append("get")
        if self.fail_get is not None:
            raise self.fail_get
        self.out += 1
        return Connection(self.plan, self.log)

    def release(self, connection):
        self.log.append("release")
        self.out -= 1
        if self.fail_release is not None:
            raise self.fail_release


failures = st.one_of(
    st.none(),
    st.sampled_from([ConnectionError("reset"), TimeoutError("slow"), redis.exceptions.ConnectionError("gone"),
                     redis.exceptions.ResponseError("WRONGTYPE"), ValueError("bad"), Boom("boom"),
                     KeyError("k"), OSError("os")]),
)


@FUZZ
@given(plan=st.lists(failures, max_size=6), fail_get=st.one_of(st.none(), st.just(ConnectionError("no pool"))),
       fail_release=st.one_of(st.none(), st.just(ValueError("release"))),
       args=st.lists(values, max_size=3), options=st.dictionaries(st.sampled_from(["a", "b"]), values, max_size=2))
def test_retrying_client_releases_every_connection(plan, fail_get, fail_release, args, options):
    log = []
    client = quote_cache.Redis.__new__(quote_cache.Redis)
    pool = Pool(list(plan), log, fail_get, fail_release)
    client.connection_pool = pool
    client.parse_response = lambda connection, command_name, **options: connection._step("parse") or "answer"
    kind, result = outcome(client.execute_command, "GET", *args, **options)
    if fail_get is not None:
        assert "release" not in log and kind == "raised"
        return
    assert log.count("get") == 1 and log.count("release") == 1 and log[-1] == "release" and pool.out == 0
    assert log.count("disconnect") <= 1 and log.count("send") <= 2
    if kind == "ok":
        assert result == "answer" and fail_release is None
