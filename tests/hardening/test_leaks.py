"""Each hot path, and each path that raises, run many thousand times: the reference
counts of its inputs, of what it returns and of the module's globals end where
they started, and the process holds no more memory than the bounded caches and
queue it fills (Python objects counted by the allocator's blocks in use, native
allocations by the C heap's bytes in use)."""
import ctypes
import datetime
import gc
import sys
import warnings
from collections import deque
from types import SimpleNamespace

import pandas as pd
import pytest

from hardening_support import reset_bridge
from live_feed_support import Clock, make_config
from pymach.enums import AlgoControlType, MarketType, OrderStatusType
from velora.tavlo.const import SIDE
from velora.tavlo.datac.services import future
from velora.tavlo.mod.mod_quant_data import quote_cache
from velora.tavlo.model.order import Order
from velora.tavlo.sdk import console, credentials

ROUNDS = 2000

try:
    _libc = ctypes.CDLL(None)

    class _Mallinfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                   "fsmblks", "uordblks", "fordblks", "keepcost")]

    _libc.mallinfo2.restype = _Mallinfo2
except (OSError, AttributeError):  # not glibc 2.33+: the C heap is not measured
    _libc = None


def c_heap_in_use():
    if _libc is None:
        return 0
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


# Small ints, None, booleans and (possibly interned) strings are shared by the
# whole process: their counts say nothing about the call under test.
SHARED = (int, str, type(None))


# Under the sanitizer run CPython's allocator is off (no blocks to count) and the
# sanitizer's allocator answers mallinfo with zeros: only reference counts are checked.
BLOCKS_COUNTED = sys.getallocatedblocks() > 0
HEAP_MEASURED = c_heap_in_use() > 0


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects if not isinstance(o, SHARED)]


def module_refcounts(module):
    return {name: sys.getrefcount(value) for name, value in vars(module).items() if not isinstance(value, SHARED)}


def measure():
    # From 3.12 the interpreter's type cache keeps the attribute names it was asked
    # for alive (a bounded table, refilled as it is used); emptied, it leaves only
    # what the calls themselves keep.
    (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()
    gc.collect()
    return sys.getallocatedblocks(), c_heap_in_use()


def assert_steady(call, watched=(), modules=(), rounds=ROUNDS, warmup=300, block_limit=None, heap_limit=None):
    """Run ``call`` ``warmup`` times, then two windows of ``rounds``; a leak grows both windows."""
    for _ in range(warmup):
        call()
    marks = [measure()]
    counts, globals_before = refcounts(watched), [module_refcounts(m) for m in modules]
    for _ in range(2):
        for _ in range(rounds):
            call()
        marks.append(measure())
    assert refcounts(watched) == counts
    assert [module_refcounts(m) for m in modules] == globals_before
    (b0, h0), (b1, h1), (b2, h2) = marks
    block_limit, heap_limit = block_limit or rounds // 10, heap_limit or rounds * 16
    assert not (b1 - b0 > block_limit and b2 - b1 > block_limit), ("Python blocks grow", b0, b1, b2)
    assert not (h1 - h0 > heap_limit and h2 - h1 > heap_limit), ("C heap grows", h0, h1, h2)


def raising(call, exc_type):
    def run():
        try:
            call()
        except exc_type:
            pass
        else:
            raise AssertionError("expected %s" % exc_type.__name__)
    return run


# --- the live bridge ------------------------------------------------------------------

SNAPSHOT = SimpleNamespace(security_id="000001", market_type=MarketType.SZSE, orig_time=20240105093000125,
                           open_price=10.0, close_price=10.2, high_price=10.5, low_price=9.9, total_value_trade=1.5e6,
                           total_volume_trade=150000, pre_close_price=10.1, ask_volume=[100], ask_price=[10.21],
                           bid_volume=[300], bid_price=[10.19], high_limited=11.11, last_price=10.2, low_limited=9.09,
                           open_interest=0, prev_settlement=0.0, iopv=0.0, trading_phase_code="T0")
BAR = SimpleNamespace(security_id="000001", market_type=MarketType.SZSE, end_time=20240105093100000, open=10.0,
                      close=10.1, high=10.2, low=9.9, amount=1.2e6, volume=120000, prev_close=10.0)
TICK_ORDER = SimpleNamespace(security_id="000001", market_type=MarketType.SZSE, order_time=20240105093000125,
                             biz_index=7, side=ord("1"), order_price=10.0, order_volume=100, order_type=ord("2"),
                             orig_order_no=11)
TICK_TRADE = SimpleNamespace(security_id="000001", market_type=MarketType.SZSE, trade_time=20240105093000125,
                             biz_index=8, trade_price=10.0, trade_volume=100, value_trade=1000.0, trade_type=ord("F"),
                             bid_appl_seq_num=5, offer_appl_seq_num=3)
LOGIN = SimpleNamespace(fund_account_id="F001", error_code=0, error_msg="", client_seq_id=1)
ASSET = SimpleNamespace(fund_account_id="F001", available_t1=1.0, frozen_all=0.0, market_value=2.0, total_asset=3.0,
                        leaves_value=4.0, init_leaves_value=5.0)
POSITION = SimpleNamespace(security_id="000001", market_id=MarketType.SZSE, init_qty=100, leaves_qty=100,
                           available_qty=100, cost_price=10.0, last_price=10.2, market_value=1020.0, profit_loss=20.0)
BAD_POSITION = SimpleNamespace(security_id=1)  # skipped with a warning: the except path
ALGO = SimpleNamespace(sys_quote_id="Q1", security_id="000001", order_qty=100, trade_qty=10, status=1,
                       client_seq_id=1, trader_id="T", error_code=0, error_msg="", control_type=AlgoControlType.Pause,
                       algo_control_type=AlgoControlType.Resume, client_order_id=3, trade_price=10.0)


def order_report(status, **changes):
    fields = dict(client_order_id=1, security_id="000001", order_price=10.0, order_status=status, order_qty=100,
                  trade_qty=50, total_trade_value=500.0, error_msg="no", error_code=3, last_match_qty=50,
                  last_match_price=10.0, counter_order_id=99, frozen_trade_value=1000.0)
    fields.update(changes)
    return SimpleNamespace(**fields)


@pytest.fixture
def bridge(lf, env, monkeypatch):
    reset_bridge(lf, capacity=100)
    monkeypatch.setattr(lf, "system_log", SimpleNamespace(info=lambda text: None))
    monkeypatch.setattr(lf, "user_system_log", SimpleNamespace(warning=lambda text: None))
    return lf, lf.MachStrategy(make_config()), env


def records_and_values(*records):
    out = []
    for r in records:
        out.append(r)
        out.extend(vars(r).values())
    return out


MARKET_PATHS = {
    "on_snapshot": lambda s: s.on_snapshot(SNAPSHOT),
    "on_tick_order": lambda s: s.on_tick_order(TICK_ORDER),
    "on_tick_trade": lambda s: s.on_tick_trade(TICK_TRADE),
    "on_login": lambda s: s.on_login(LOGIN) or s.context.calls.clear() or s.context.requests.clear(),  # the stand-in records queries
    "on_query_asset": lambda s: s.on_query_asset(ASSET, 7, 0, ""),
    "on_query_asset failed": lambda s: s.on_query_asset(ASSET, 7, -1, "refused"),
    "on_query_position": lambda s: s.on_query_position([POSITION, BAD_POSITION, POSITION], 8, 0, ""),
    "on_algo_parent_order_update": lambda s: s.on_algo_parent_order_update(ALGO),
    # A child trade keeps every fill of its key: a new key each time.
    "on_algo_child_order_trade": lambda s: s.on_algo_child_order_trade(ALGO) or s.on_switch_day(),
    "on_control_algo_parent_order_res": lambda s: s.on_control_algo_parent_order_res(ALGO),
    "on_create_algo_parent_order_res": lambda s: s.on_create_algo_parent_order_res(ALGO),
    "send_day_event": lambda s: s.send_before_trading_event(),
}


@pytest.mark.parametrize("path", list(MARKET_PATHS))
def test_bridge_callbacks(bridge, path):
    lf, strategy, _ = bridge
    call = MARKET_PATHS[path]
    watched = records_and_values(SNAPSHOT, TICK_ORDER, TICK_TRADE, LOGIN, ASSET, POSITION, BAD_POSITION, ALGO)
    assert_steady(lambda: call(strategy), watched + [strategy], [lf])


def test_bars_between_day_switches(bridge):
    lf, strategy, _ = bridge
    state = {"n": 0}

    def call():
        strategy.on_bar(BAR)
        state["n"] += 1
        if state["n"] % 100 == 0:
            strategy.on_switch_day()

    assert_steady(call, records_and_values(BAR), [lf])


@pytest.mark.parametrize("status, changes", [
    (OrderStatusType.Sended, {}), (OrderStatusType.PartiallyFilled, {}), (OrderStatusType.Cancelled, {}),
    (OrderStatusType.WaitCancelled, {"last_match_qty": 0}), (OrderStatusType.Reject, {}),
    (OrderStatusType.Filled, {"client_order_id": 2}),  # an order nobody knows: dropped
], ids=["sended", "partial fill", "cancelled", "wait cancel", "reject", "unknown order"])
def test_order_reports(bridge, status, changes):
    lf, strategy, _ = bridge
    report = order_report(status, **changes)
    order = Order.__from_create__("000001.XSHE", 100, SIDE.BUY, 10.0)
    lf.orders_dict[1] = order

    def call():
        order.status = order.status.PENDING_NEW  # each report finds the order as new
        strategy.on_order(report)
        strategy.on_order_action_error(report)

    assert_steady(call, records_and_values(report) + [order], [lf])


def test_queries_and_their_errors(bridge):
    lf, strategy, _ = bridge
    for _ in range(70):
        strategy.on_snapshot(SNAPSHOT)
    lf.history_bar["000001.XSHE"] = deque({"k": i} for i in range(5))
    code, count = "000001.XSHE", 10
    tick = lf.history_tick[code][-1]

    def call():
        assert lf.get_current_tick(code) is tick
        assert len(lf.history_ticks(code, count)) == 10
        lf.get_current_bar(code)
        lf.history_bars(code, -2)
        assert lf.get_current_tick("missing") is None
        raising(lambda: lf.history_bars(code, 1.5), TypeError)()
        raising(lambda: lf.history_ticks(code), TypeError)()  # a binding error
        raising(lambda: lf.get_current_tick(market_code=code, extra=1), TypeError)()

    assert_steady(call, [code, count, tick], [lf])


def test_trading_day_timers(bridge, monkeypatch):
    lf, _, _ = bridge
    clock = Clock(datetime.datetime(2024, 1, 5, 8, 30))
    clock.install(monkeypatch, lf)
    strategy = lf.MachStrategy(make_config())
    clock.context = strategy.context

    def call():
        strategy.context.calls.clear()
        strategy.context._timers.clear()
        strategy.set_timer()

    assert_steady(call, [strategy], [lf], rounds=1000)


def test_failing_configuration(bridge):
    lf, _, _ = bridge
    strategy = lf.MachStrategy(SimpleNamespace(base=SimpleNamespace(accounts={"m": "F0_01_ma"})))

    def call():
        strategy.context.calls.clear()
        raising(lambda: strategy.initialize(None), ValueError)()

    assert_steady(call, [strategy], [lf], rounds=1000)


# --- the futures module ----------------------------------------------------------------

def test_futures_paths():
    data = [("A", 1), ("B", 1), ("A", 2), (("x", 1), 2), ("B", 3)]

    def call():
        future.get_dominant("IF", rule=5)
        raising(lambda: future.get_dominant(123), ValueError)()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            future.get_dominant_future("IF")
        future.get_member_rank("IF", foo=1, bar=2)
        future.get_basis("IF", fields=["basis"])
        assert len(list(future._slice_dominant_data(data))) == 2
        raising(lambda: list(future._slice_dominant_data([1])), TypeError)()
        gen = future._slice_dominant_data(data)
        next(gen)
        gen.close()

    assert_steady(call, [data] + data, [future], rounds=1000)


def test_factor_accumulation(monkeypatch):
    index = pd.MultiIndex.from_tuples([("A", 1), ("A", 2), ("B", 1)], names=["underlying_symbol", "ex_date"])
    table = pd.DataFrame({m: [2.0, 0.5, 3.0] for m in future.VALID_ADJUST_METHODS}, index=index)
    monkeypatch.setattr(future, "_get_future_factors_df", lambda rule: table)
    symbols = ["A", "B"]

    def call():
        future.__internal_get_ex_factor(symbols, "pre", "open_ratio")
        raising(lambda: future.__internal_get_ex_factor(symbols, "pre", 5), KeyError)()

    # pandas' own caches make the block count swing by a thousand either way, and
    # the C heap by some ten kilobytes.
    assert_steady(call, [table, symbols], [future], rounds=600, warmup=100, block_limit=1500, heap_limit=65536)


# --- credentials and the command line ------------------------------------------------

def test_credentials_and_commands(monkeypatch, capsys):
    import velora.tavlo.alpha.bundle as bundle
    import velora.tavlo.console.bundle as console_bundle

    monkeypatch.setenv("VELORA_LICENSE", "alice:se:cret")
    monkeypatch.setenv("velorasdk_env", "dev")
    monkeypatch.setattr(credentials, "update_bash_file", lambda names, value: None)
    monkeypatch.setattr(credentials, "click", SimpleNamespace(echo=lambda text: None))
    monkeypatch.setattr(console, "click", SimpleNamespace(echo=lambda text: None))
    monkeypatch.setattr(bundle, "check_min_bar_data", lambda path: None)
    monkeypatch.setattr(bundle, "download_simple_bundle", lambda path, sample, file_path: path)
    monkeypatch.setattr(console_bundle, "check_bundle_data", lambda path: None)
    value = "bob:pw"

    def call():
        assert credentials.get_license_info() == ("alice", "se:cret")
        assert credentials.get_license_info("VELORA_UNSET_FOR_TEST") == (None, None)
        credentials.set_to_environ("VELORA_TEST_LEAK", value)
        raising(lambda: credentials.set_to_environ("VELORA_TEST_LEAK", 5), TypeError)()
        console.license.callback(None, None, True, None)
        console.check_data.callback("/tmp/none", False, True)
        assert console.download_data.callback("/tmp/none") == "/tmp/none"

    monkeypatch.setenv("VELORA_TEST_LEAK", "")
    assert_steady(call, [value], [credentials, console], rounds=1000)
    capsys.readouterr()


# --- the Redis quote store -------------------------------------------------------------

@pytest.mark.filterwarnings("ignore:Call to 'get_connection':DeprecationWarning")
def test_redis_store(redis_server):
    import redis
    import simplejson

    admin = redis.Redis.from_url(redis_server.url)
    admin.flushdb()
    admin.rpush("C", *[simplejson.dumps({"close": i}) for i in range(5)])
    admin.rpush("tick_C", simplejson.dumps({"last": 1}))
    admin.set("snapshot:C", simplejson.dumps({"ask": [1], "bid": [2]}))
    admin.set("snapshot:bad", b"{not json")
    admin.hset("settlement", "C", b"3.5")
    store = quote_cache.RedisStore(redis_server.url)
    code = "C"

    def call():
        assert store.get_current_bar(code) == {"close": 4}
        assert store.get_settle_price(code) == 3.5
        assert len(store.history(code, 3)) == 3
        assert store.get_snapshot(code)["asks"] == [1]
        assert store.history_ticks(code, 2) == [{"last": 1}]
        raising(lambda: store.get_snapshot("bad"), ValueError)()

    try:
        assert_steady(call, [code, store], [quote_cache], rounds=400, warmup=50)
    finally:
        store._redis.close()
        admin.close()


def test_retrying_client():
    class Connection:
        fail = [True]

        def send_command(self, *args):
            if self.fail[0]:
                self.fail[0] = False
                raise ConnectionError("reset")

        def disconnect(self):
            pass

    connection = Connection()

    class Pool:
        def get_connection(self, name, **options):
            return connection

        def release(self, c):
            Connection.fail[0] = True

    client = quote_cache.Redis.__new__(quote_cache.Redis)
    client.connection_pool = Pool()
    client.parse_response = lambda connection, command_name, **options: command_name
    args = ("GET", "k")

    def call():
        assert client.execute_command(*args, decode=True) == "GET"

    assert_steady(call, [connection, client] + list(args), [quote_cache])


@pytest.mark.parametrize("leak", ["reference", "object", "malloc"])
def test_the_check_sees_a_leak(leak):
    if leak == "malloc" and not HEAP_MEASURED:
        pytest.skip("the C heap is not measured here")
    if leak == "object" and not BLOCKS_COUNTED:
        pytest.skip("Python's allocator is off here")
    kept, target = [], SimpleNamespace()
    pointers, count = (ctypes.c_void_p * 1100)(), [0]  # held outside Python objects
    malloc = getattr(_libc, "malloc", None)
    if malloc is not None:
        malloc.restype = ctypes.c_void_p

    def allocate():
        pointers[count[0]] = malloc(64)
        count[0] += 1

    call = {"reference": lambda: kept.append(target),         # one more reference each call
            "object": lambda: kept.append(SimpleNamespace()),  # one more Python object each call
            "malloc": allocate}[leak]                          # 64 bytes of C heap each call
    try:
        with pytest.raises(AssertionError):
            assert_steady(call, [target], rounds=500, warmup=10)
    finally:
        if leak == "malloc":
            free = _libc.free
            free.argtypes = [ctypes.c_void_p]
            for i in range(count[0]):
                free(pointers[i])
