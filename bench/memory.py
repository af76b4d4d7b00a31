"""Resident memory of a full live quote cache, filled through the bridge's own callbacks.

Run as a child process per measurement (``python memory.py native|plain ticks|bars
N_CODES N_PER_CODE``) so that each starts from a clean heap; prints one JSON line.
Each snapshot or bar is a fresh SDK record with values of its own, as the SDK
delivers them, so the cache holds what it would hold in production: the dicts and
the values they refer to.  The event queue is a small ring buffer, so that only
the cache stays alive.
"""
import datetime
import gc
import json
import os
import sys
from types import SimpleNamespace

HERE = os.path.dirname(os.path.abspath(__file__))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


OPEN = datetime.datetime(2024, 1, 5, 9, 30)


def stamp(moment):
    """An SDK time stamp: YYYYMMDDHHMMSS followed by milliseconds."""
    return int(moment.strftime("%Y%m%d%H%M%S")) * 1000 + moment.microsecond // 1000


def snapshot(security_id, k):
    p = 10.0 + k * 0.001
    return SimpleNamespace(
        security_id=security_id, market_type=_SZSE, orig_time=stamp(OPEN + datetime.timedelta(seconds=3 * k)),
        open_price=p, close_price=p + 0.1, high_price=p + 0.2, low_price=p - 0.1, total_value_trade=1.5e6 + k,
        total_volume_trade=150000 + k, pre_close_price=p - 0.05, ask_volume=[100 + k, 200, 300, 400, 500],
        ask_price=[p + 0.01, p + 0.02, p + 0.03, p + 0.04, p + 0.05], bid_volume=[300 + k, 400, 500, 600, 700],
        bid_price=[p - 0.01, p - 0.02, p - 0.03, p - 0.04, p - 0.05], high_limited=p * 1.1, last_price=p,
        low_limited=p * 0.9, open_interest=0, prev_settlement=0.0, iopv=0.0, trading_phase_code="T0")


def bar(security_id, k):
    p = 10.0 + k * 0.001
    return SimpleNamespace(security_id=security_id, market_type=_SZSE,
                           end_time=stamp(OPEN + datetime.timedelta(minutes=k + 1)),
                           open=p, close=p + 0.01, high=p + 0.02, low=p - 0.01, amount=1.2e6 + k, volume=120000 + k,
                           prev_close=p - 0.01)


def main(side, kind, n_codes, per_code):
    global _SZSE
    sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "host")]
    from pymach.enums import MarketType
    from common import modules
    from live import environment, security_ids

    _SZSE = MarketType.SZSE
    module = modules("live_feed")[0 if side == "native" else 1]
    ids = security_ids(n_codes)
    environment([s + ".XSHE" for s in ids])
    module.event_queue = type(module.event_queue)(capacity=16, dtype=object)
    strategy = module.MachStrategy(None)
    callback, make, cache = ((strategy.on_snapshot, snapshot, module.history_tick) if kind == "ticks"
                             else (strategy.on_bar, bar, module.history_bar))
    gc.collect()
    before = rss_bytes()
    for k in range(per_code):
        for s in ids:
            callback(make(s, k))
    for _ in range(16):
        module.event_queue.append(None)   # let go of the last events
    gc.collect()
    after = rss_bytes()
    entries = sum(len(v) for v in cache.values())
    print(json.dumps({"side": side, "kind": kind, "codes": n_codes, "entries": entries,
                      "rss_bytes": after - before, "bytes_per_entry": (after - before) / entries}))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
