"""Real-time quotes read from Redis, in plain Python: the same behaviour as the
native velora.tavlo.mod.mod_quant_data.quote_cache."""
import numpy as np
import simplejson as json
import redis


class Redis(redis.client.Redis):
    def execute_command(self, *args, **options):
        pool = self.connection_pool
        command_name = args[0]
        connection = pool.get_connection(command_name, **options)
        try:
            connection.send_command(*args)
            return self.parse_response(connection, command_name, **options)
        except (ConnectionError, TimeoutError, redis.exceptions.RedisError):
            connection.disconnect()
            connection.send_command(*args)
            return self.parse_response(connection, command_name, **options)
        finally:
            pool.release(connection)


class RedisStore(object):
    snapshot_prefix = "snapshot:"
    tick_prefix = "tick_"

    def __init__(self, redis_url):
        self._redis = Redis.from_url(redis_url)

    def get_current_bar(self, market_code):
        v = self._redis.lindex(market_code, -1)
        if v is None:
            return None
        return json.loads(v.decode())

    def get_settle_price(self, market_code):
        v = self._redis.hget("settlement", market_code)
        if v is None:
            return np.nan
        return float(v)

    def history(self, market_code, bar_count):
        values = self._redis.lrange(market_code, -bar_count, -1)
        if values is None:
            return []
        return [json.loads(v.decode()) for v in values]

    def get_snapshot(self, market_code):
        v = self._redis.get(RedisStore.snapshot_prefix + market_code)
        if v is None:
            return None
        snapshot = json.loads(v.decode())
        for plural, singular in (("asks", "ask"), ("bids", "bid"), ("ask_vols", "ask_vol"), ("bid_vols", "bid_vol")):
            if plural not in snapshot:
                snapshot[plural] = snapshot.get(singular, [])
        return snapshot

    def history_ticks(self, market_code, count):
        key = self.tick_prefix + market_code
        values = self._redis.lrange(key, -count, -1)
        if values is None:
            return []
        return [json.loads(v.decode()) for v in values]
