"""The client's one reconnect-and-resend: exact call sequences, then real faults."""
import os
import select
import types
import warnings

import pytest
import redis

from velora.tavlo.mod.mod_quant_data import quote_cache

pytestmark = pytest.mark.filterwarnings("ignore:Call to 'get_connection':DeprecationWarning")
RedisError = redis.exceptions.RedisError


class Fake:
    """A pool, its one connection and the client's parser, recording every call; `fail`
    maps a step ("send", "parse", "disconnect", "release", "get_connection") to the
    exceptions its successive calls raise (None: succeed)."""

    def __init__(self, **fail):
        self.calls, self.fail = [], {k: list(v) for k, v in fail.items()}
        self.client = quote_cache.Redis.__new__(quote_cache.Redis)
        self.client.connection_pool = types.SimpleNamespace(get_connection=self.get_connection, release=self.release)
        self.client.parse_response = self.parse_response
        self.conn = types.SimpleNamespace(send_command=self.send, disconnect=self.disconnect)

    def step(self, *call):
        self.calls.append(call)
        queue = self.fail.get(call[0])
        exc = queue.pop(0) if queue else None
        if exc is not None:
            raise exc

    def get_connection(self, command_name, *keys, **options):
        self.step("get_connection", command_name, keys, options)
        return self.conn

    def send(self, *args):
        self.step("send", args)

    def parse_response(self, connection, command_name, **options):
        assert connection is self.conn
        options.pop("keys", None)  # as the real parser does: the resend must still see them
        self.step("parse", command_name)
        return "reply"

    def disconnect(self):
        self.step("disconnect")

    def release(self, connection):
        assert connection is self.conn
        self.step("release")


GET = ("get_connection", "GET", (), {"keys": ["k"]})
FIRST = [GET, ("send", ("GET", "k"))]
RETRY = [("disconnect",), ("send", ("GET", "k")), ("parse", "GET"), ("release",)]


@pytest.mark.parametrize("fail, calls", [
    ({}, FIRST + [("parse", "GET"), ("release",)]),
    ({"send": [ConnectionError()]}, FIRST + RETRY),
    ({"send": [BrokenPipeError()]}, FIRST + RETRY),
    ({"parse": [TimeoutError()]}, FIRST + [("parse", "GET")] + RETRY),
    ({"parse": [redis.exceptions.TimeoutError()]}, FIRST + [("parse", "GET")] + RETRY),
    ({"send": [redis.exceptions.ConnectionError()]}, FIRST + RETRY),
    ({"parse": [redis.exceptions.ResponseError("WRONGTYPE")]}, FIRST + [("parse", "GET")] + RETRY),
], ids=["ok", "ConnectionError", "BrokenPipeError", "TimeoutError", "redis-timeout", "redis-connection", "error-reply"])
def test_one_retry(fail, calls):
    fake = Fake(**fail)
    assert fake.client.execute_command("GET", "k", keys=["k"]) == "reply"
    assert fake.calls == calls


@pytest.mark.parametrize("fail, calls, chained", [
    ({"send": [ValueError("no")]}, FIRST + [("release",)], False),
    ({"parse": [KeyboardInterrupt()]}, FIRST + [("parse", "GET"), ("release",)], False),
    ({"send": [ConnectionError("1st"), redis.exceptions.ConnectionError("2nd")]},
     FIRST + [("disconnect",), ("send", ("GET", "k")), ("release",)], True),
    ({"parse": [TimeoutError("1st")], "disconnect": [OSError("down")]},
     FIRST + [("parse", "GET"), ("disconnect",), ("release",)], True),
    ({"get_connection": [ConnectionError("refused")]}, [GET], False),
    ({"release": [RuntimeError("pool closed")]}, FIRST + [("parse", "GET"), ("release",)], False),
    ({"send": [ValueError("no")], "release": [RuntimeError("pool closed")]}, FIRST + [("release",)], True),
    ({"send": [ConnectionError()], "release": [RuntimeError("pool closed")]}, FIRST + RETRY, False),
], ids=["ValueError", "KeyboardInterrupt", "both-fail", "disconnect-fails", "no-connection",
        "release-fails", "release-fails-too", "release-fails-after-retry"])
def test_failures_reach_the_caller(fail, calls, chained):
    """The last failure reaches the caller; one raised while another was being handled
    carries it as its context, as in an except or finally clause."""
    raised = [e for queue in fail.values() for e in queue]
    fake = Fake(**fail)
    with pytest.raises(type(raised[-1])) as info:
        fake.client.execute_command("GET", "k", keys=["k"])
    assert info.value is raised[-1] and fake.calls == calls
    assert info.value.__context__ is (raised[0] if chained else None)


def test_no_command_is_an_index_error_before_any_connection():
    fake = Fake()
    with pytest.raises(IndexError):
        fake.client.execute_command(keys=["k"])
    assert fake.calls == []


def test_retried_classes_are_looked_up_when_matching(monkeypatch):
    monkeypatch.setattr(quote_cache, "redis", types.SimpleNamespace(exceptions=types.SimpleNamespace(RedisError=KeyError)))
    monkeypatch.setattr(quote_cache, "ConnectionError", LookupError, raising=False)
    for retried in (KeyError("k"), IndexError("i"), TimeoutError()):  # IndexError is a LookupError
        fake = Fake(send=[retried])
        assert fake.client.execute_command("GET", "k", keys=["k"]) == "reply" and ("disconnect",) in fake.calls
    for not_retried in (redis.exceptions.ConnectionError(), ConnectionResetError()):
        with pytest.raises(type(not_retried)):
            Fake(send=[not_retried]).client.execute_command("GET", "k")
    monkeypatch.delattr(quote_cache, "redis")
    with pytest.raises(NameError) as info:  # the lookup fails while the first error is handled
        Fake(send=[ValueError()]).client.execute_command("GET", "k")
    assert type(info.value.__context__) is ValueError


# Real faults against the private server.

@pytest.fixture
def store(redis_server):
    admin = redis.Redis(host="127.0.0.1", port=redis_server.port)
    admin.flushdb()
    admin.rpush("IF2401", b'{"close": 3500.0}')
    s = quote_cache.RedisStore(redis_server.url)
    s.admin = admin
    yield s
    s._redis.close()
    admin.close()


def spy_sends(store, monkeypatch):
    """Log the reads the store sends (not the connection handshakes) and the failures
    its parser meets, in order."""
    log = []
    real_parse = store._redis.parse_response

    def parse_response(connection, command_name, **options):
        try:
            return real_parse(connection, command_name, **options)
        except Exception as e:
            log.append(e)
            raise

    def send_command(conn, *args, **kwargs):
        if args[0] in ("LINDEX", "LRANGE", "GET", "HGET"):
            log.append(args[0])
        return real_send(conn, *args, **kwargs)

    real_send = redis.connection.Connection.send_command
    monkeypatch.setattr(store._redis, "parse_response", parse_response, raising=False)
    monkeypatch.setattr(redis.connection.Connection, "send_command", send_command)
    return log


def kill_after_checkout(store, monkeypatch, fault):
    """Make the pool hand out a connection that `fault` then breaks on the server side:
    the pool itself repairs a connection that broke while idle, so the fault is timed
    after its check to reach the command's own attempt."""
    pool = store._redis.connection_pool
    real_get = pool.get_connection

    def get_connection(*args, **options):
        conn = real_get(*args, **options)
        monkeypatch.setattr(pool, "get_connection", real_get)
        fault(conn)
        assert select.select([conn._sock], [], [], 5)[0], "the server did not close the connection"
        return conn

    monkeypatch.setattr(pool, "get_connection", get_connection)


def client_kill(store, conn):
    assert store.admin.execute_command("CLIENT", "KILL", "ADDR", "%s:%d" % conn._sock.getsockname()) == 1


@pytest.mark.parametrize("when", ["between reads", "after checkout"])
def test_read_after_client_kill(store, monkeypatch, when):
    assert store.get_current_bar("IF2401") == {"close": 3500.0}
    log = spy_sends(store, monkeypatch)
    if when == "between reads":
        (conn,) = store._redis.connection_pool._available_connections
        client_kill(store, conn)
    else:
        kill_after_checkout(store, monkeypatch, lambda conn: client_kill(store, conn))
    assert store.get_current_bar("IF2401") == {"close": 3500.0}
    if when == "after checkout":  # the first attempt met the dead socket; the resend went out
        assert log[0] == "LINDEX" and isinstance(log[1], (ConnectionError, RedisError)) and log[2:] == ["LINDEX"]


@pytest.mark.parametrize("when", ["between reads", "after checkout"])
def test_read_after_server_restart(store, redis_server, monkeypatch, when):
    assert store.get_current_bar("IF2401") == {"close": 3500.0}
    old_pid, log = redis_server.pid, spy_sends(store, monkeypatch)

    def restart(conn=None):
        redis_server.restart()
        with redis.Redis(host="127.0.0.1", port=redis_server.port) as admin:
            admin.rpush("IF2401", b'{"close": 3600.0}')

    if when == "between reads":
        restart()
    else:
        kill_after_checkout(store, monkeypatch, restart)
    assert store.get_current_bar("IF2401") == {"close": 3600.0} and redis_server.pid != old_pid
    if when == "after checkout":
        assert log[0] == "LINDEX" and isinstance(log[1], (ConnectionError, RedisError)) and log[2:] == ["LINDEX"]


def test_error_reply_is_resent_once_then_raised(store, monkeypatch):
    store.admin.set("IC2401", b"not a list")
    log = spy_sends(store, monkeypatch)
    with pytest.raises(redis.exceptions.ResponseError, match="WRONGTYPE"):
        store.get_current_bar("IC2401")
    assert [x if isinstance(x, str) else type(x) for x in log] == [
        "LINDEX", redis.exceptions.ResponseError, "LINDEX", redis.exceptions.ResponseError]


def test_pool_argument_warning_is_shown_once(store):
    store.admin.hset("settlement", "IF2401", b"3500")
    store.admin.set("snapshot:IF2401", b"{}")
    version = tuple(int(x) for x in redis.__version__.split(".")[:2])
    warns = version >= (5, 3)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("default")
        for _ in range(20):
            store.get_current_bar("IF2401"), store.history("IF2401", 5), store.get_snapshot("IF2401")
            store.get_settle_price("IF2401"), store.history_ticks("IF2401", 5)
    if (8, 0) <= version < (8, 2):
        # These releases warn with a fixed stack level that points past the pool's
        # caller, into redis's own command methods: shown once per command, not ours.
        package = os.path.dirname(redis.__file__)
        assert seen and all(w.category is DeprecationWarning and w.filename.startswith(package) for w in seen)
        return
    assert len(seen) == warns
    if warns:  # pointed at the client's own method, where the pool is called
        assert seen[0].category is DeprecationWarning and seen[0].filename.endswith("quote_cache.cpp")
