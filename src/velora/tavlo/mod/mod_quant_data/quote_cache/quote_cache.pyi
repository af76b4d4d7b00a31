# Real-time quotes from a Redis server that another process writes.
#
# Key layout: bars of an instrument in the list under the bare market code,
# the latest snapshot under "snapshot:" + market code, ticks in the list under
# "tick_" + market code, settlement prices in the hash "settlement".  Lists and
# strings hold JSON text.
#
# Docstrings here are exactly the module's own (__doc__); other notes are comments.
from typing import Any

import redis

# A Redis client that, when a command's connection fails, drops that
# connection and sends the command once more.
class Redis(redis.client.Redis):
    def execute_command(self, *args: Any, **options: Any) -> Any: ...

class RedisStore:
    snapshot_prefix: str
    tick_prefix: str
    _redis: Redis

    def __init__(self, redis_url: str) -> None: ...
    # the last bar of `market_code`, or None
    def get_current_bar(self, market_code: str) -> dict[str, Any] | None: ...
    # the settlement price of `market_code`, or NaN
    def get_settle_price(self, market_code: str) -> float: ...
    # the last `bar_count` bars (all of them for 0), oldest first; [] if there are none
    def history(self, market_code: str, bar_count: int) -> list[dict[str, Any]]: ...
    # the latest snapshot, with "asks", "bids", "ask_vols" and "bid_vols" always present, or None
    def get_snapshot(self, market_code: str) -> dict[str, Any] | None: ...
    # the last `count` ticks (all of them for 0), oldest first; [] if there are none
    def history_ticks(self, market_code: str, count: int) -> list[dict[str, Any]]: ...

# The types of the module's native functions and generators (pickled by reference).
__velora_function__: type
__velora_generator__: type
