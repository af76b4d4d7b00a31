"""The Redis quote store against a private local redis-server (host/redis_server.py)."""
import simplejson

import redis

from common import modules, repeat, same
from harness import Path, Side

CODE = "000001.XSHE"


def snapshot_value():
    return {
        "market_code": CODE, "datetime": 20240105093000, "open": 10.0, "last": 10.2, "high": 10.5, "low": 9.9,
        "prev_close": 10.1, "volume": 150000, "total_turnover": 1.5e6, "limit_up": 11.11, "limit_down": 9.09,
        "ask": [10.21 + k * 0.01 for k in range(10)], "bid": [10.19 - k * 0.01 for k in range(10)],
        "ask_vol": [100 * (k + 1) for k in range(10)], "bid_vol": [300 * (k + 1) for k in range(10)],
    }


def bar_value(k):
    return {"market_code": CODE, "datetime": 20240105093100 + k * 100, "open": 10.0 + k * 0.01, "close": 10.1,
            "high": 10.2, "low": 9.9, "volume": 1200 + k, "total_turnover": 1.2e4}


def paths(quick=False, n_calls=None):
    from redis_server import RedisServer

    server = RedisServer().start()
    try:
        n = n_calls or (5 if quick else 20)
        client = redis.Redis.from_url(server.url)
        client.set("snapshot:" + CODE, simplejson.dumps(snapshot_value()))
        client.rpush(CODE, *[simplejson.dumps(bar_value(k)) for k in range(300)])

        native_module, plain_module = modules("quote_cache")
        native = native_module.RedisStore(server.url)
        plain = plain_module.RedisStore(server.url)

        # The floor: what any client must do for one command (a pooled connection, the
        # request, the parsed answer, the release) and the JSON decoding of the answer.
        floor_client = redis.Redis.from_url(server.url)
        pool = floor_client.connection_pool
        loads = simplejson.loads

        def command(*args):
            connection = pool.get_connection(args[0])
            try:
                connection.send_command(*args)
                return floor_client.parse_response(connection, args[0])
            finally:
                pool.release(connection)

        def snapshot_floor(key="snapshot:" + CODE):
            loads(command("GET", key).decode())

        def history_floor():
            [loads(v.decode()) for v in command("LRANGE", CODE, -240, -1)]

        def check():
            same(native.get_snapshot(CODE), plain.get_snapshot(CODE), "get_snapshot")
            same(native.history(CODE, 240), plain.history(CODE, 240), "history")
            assert len(native.history(CODE, 240)) == 240

        yield Path("RedisStore.get_snapshot", "one snapshot of a 10-level book, local redis-server",
                   Side(repeat(lambda: native.get_snapshot(CODE), n), n),
                   Side(repeat(lambda: plain.get_snapshot(CODE), n), n),
                   Side(repeat(snapshot_floor, n), n),
                   check=check,
                   note="floor: pool.get_connection, send_command, parse_response, pool.release, json.loads; "
                        "the lambda around each call is in all three")
        yield Path("RedisStore.history(code, 240)", "240 of 300 bars, local redis-server",
                   Side(repeat(lambda: native.history(CODE, 240), n), n),
                   Side(repeat(lambda: plain.history(CODE, 240), n), n),
                   Side(repeat(history_floor, n), n),
                   check=check,
                   note="floor: the command as above, then json.loads of each bar")
    finally:
        server.close()
