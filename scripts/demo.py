"""The main job: a simulated trading day through the live bridge, then the quote store.

The stand-in broker SDK (host/pymach/simulator.py) plays one trading day against
the bridge's MachStrategy on a thread of its own: set-up and login, market data
for a universe of instruments, a handful of orders, an algorithmic parent order,
the trading-day timers and the day switch.  The stand-in framework
(host/velora/tavlo/core/live_event_source.py) takes the events out of the
bridge's queue on another thread; its order desk (host/velora/tavlo/broker/)
sends the day's orders.  At the close the strategy side reads the quote caches
through the bridge's four query functions.  The day's quotes are then published
to a private redis-server and read back through RedisStore.

    bash scripts/run.sh [--instruments N] [--minutes M] [--seed S] [--plain]

Exit status 0 when the framework received exactly what the scripted day must
produce and, where redis-server could be started, the quote store gave back
what was written (the result line says when that part was skipped); 1 for a
mismatch; 2 for a usage error.
"""
import argparse
import os
import sys

SESSION_MINUTES = 240   # 09:30-11:30 and 13:00-15:00 (pymach.simulator.MAX_MINUTES)


def whole_number(low, high):
    def parse(text):
        try:
            number = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("invalid value %r: not a whole number" % text) from None
        if not low <= number <= high:
            raise argparse.ArgumentTypeError("invalid value %d: not in the range %d to %d" % (number, low, high))
        return number
    return parse


def parse_args(argv=None):
    """The options; usage errors and --help name VELORA_DEMO_PROG, the command
    that scripts/run.sh was started as."""
    parser = argparse.ArgumentParser(
        prog=os.environ.get("VELORA_DEMO_PROG") or None, allow_abbrev=False,
        description="Replay a simulated trading day through the live bridge, then publish its quotes to a "
                    "private redis-server and read them back through RedisStore.")
    parser.add_argument("--instruments", type=whole_number(1, 5000), default=20, metavar="N",
                        help="instruments in the universe, 1 to 5000 (default: 20)")
    parser.add_argument("--minutes", type=whole_number(1, SESSION_MINUTES), default=SESSION_MINUTES, metavar="M",
                        help="minutes of the session to replay from 09:30, 1 to %d (default: %d, the whole "
                             "session)" % (SESSION_MINUTES, SESSION_MINUTES))
    parser.add_argument("--seed", type=int, default=1, metavar="S", help="seed of the price walk (default: 1)")
    parser.add_argument("--plain", action="store_true",
                        help="replay through the plain-Python bridge of bench/plain/ (numpy_ringbuffer's own, "
                             "unlocked queue) instead of the native one, to compare the events per second")
    return parser.parse_args(argv)


if __name__ == "__main__":
    # Before anything outside the standard library is imported: scripts/run.sh
    # answers --help and usage errors this way before it sets anything up.
    ARGS = parse_args()
    if os.environ.get("VELORA_DEMO_CHECK_ONLY") == "1":
        sys.exit(0)

import datetime as dt  # noqa: E402
import json  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from collections import Counter  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402

import click  # noqa: E402

from pymach.simulator import DAY, FOREIGN_ORDER_ID, MAX_MINUTES, ORDERS, Simulator, session_minutes  # noqa: E402
from velora.tavlo.broker.mach_broker import MachBroker  # noqa: E402
from velora.tavlo.const import DEFAULT_ACCOUNT_TYPE  # noqa: E402
from velora.tavlo.core.events import EVENT  # noqa: E402
from velora.tavlo.core.live_event_source import LiveEventSource  # noqa: E402
from velora.tavlo.environment import DataProxy, Environment  # noqa: E402
from velora.tavlo.model.instrument import Instrument  # noqa: E402
from velora.tavlo.portfolio.account import Account  # noqa: E402
from velora.tavlo.utils import live_feed  # noqa: E402

if MAX_MINUTES != SESSION_MINUTES:
    raise RuntimeError("pymach.simulator's session has %d minutes, demo.py's %d" % (MAX_MINUTES, SESSION_MINUTES))

DAY_EVENTS = (EVENT.BEFORE_TRADING, EVENT.OPEN_AUCTION, EVENT.AFTER_TRADING)
MARKET_DATA = (EVENT.TICK, EVENT.L2_ORDER, EVENT.L2_TRANSACTION, EVENT.BAR)
SHOWN = 3          # instruments whose quotes are shown
TIMEOUT = 600.0    # seconds the replay and the framework may take, whatever the size


# --- the framework side of the day -----------------------------------------------------

class Recorder:
    """What the framework saw, recorded on its event thread."""

    def __init__(self):
        self.sequence = 0
        self.day_events = []            # (EVENT, calendar_dt, position in the stream)
        self.first = {}                 # EVENT -> (position, event) of the first event of that type
        self.last = {}
        self.order_events = {}          # framework order id -> [event type names]
        self.final_orders = {}          # framework order id -> the order copy of its last event
        self.trades = {}                # framework order id -> [(quantity, price)]
        self.algo = Counter()
        self.parent = None              # the latest AlgoParentOrder copy
        self.login = None
        self.asset = None
        self.positions = None

    def __call__(self, event):
        self.sequence += 1
        kind = event.event_type
        self.first.setdefault(kind, (self.sequence, event))
        self.last[kind] = (self.sequence, event)
        if kind in DAY_EVENTS:
            self.day_events.append((kind, event.calendar_dt, self.sequence))
        order = getattr(event, "order", None)
        if order is not None:
            self.order_events.setdefault(order.order_id, []).append(kind.name)
            self.final_orders[order.order_id] = order
            if kind is EVENT.TRADE:
                self.trades.setdefault(order.order_id, []).append((event.trade.last_quantity, event.trade.last_price))
        if kind is EVENT.LOGIN:
            self.login = event
        elif kind is EVENT.QUERY_ACCOUNT:
            self.asset = getattr(event, "asset", None)
        elif kind is EVENT.QUERY_POSITION:
            self.positions = getattr(event, "positions", None)
        elif kind is EVENT.PARENT_ORDER_UPDATE:
            self.parent = event.algo_parent_order


@dataclass
class Day:
    """The replayed day, as the summary and the quote store use it."""
    instruments: int
    minutes: int
    seed: int
    market_codes: list
    counts: Counter                    # event type name -> events the framework took
    expected: Counter                  # event type name -> events the scripted day must produce
    recorder: Recorder
    simulator: Simulator
    broker: MachBroker
    day_seconds: float                 # wall time of the replay up to after-trading
    day_events_taken: int              # events the framework took by then
    largest_backlog: int
    errors: list
    orders_left_after_close: int       # orders_dict after the after-trading event
    latest: dict = field(default_factory=dict)    # market code -> what the four query functions returned
    closing: dict = field(default_factory=dict)   # market code -> {"bars", "ticks", "snapshot"} at the close
    after_switch: dict = field(default_factory=dict)

    @property
    def data_end(self):
        """The end of the last minute of market data replayed (15:00 for the whole session)."""
        return session_minutes(DAY, self.minutes)[-1] + dt.timedelta(minutes=1)

    @property
    def ok(self):
        return not self.errors and self.counts == self.expected and self.orders_ok and self.day_order_ok

    @property
    def order_outcomes(self):
        """(plan, client order id, framework order copy or None, event names received) per order sent."""
        out = []
        for plan, order, client_order_id in self.simulator.orders:
            out.append((plan, client_order_id, self.recorder.final_orders.get(order.order_id),
                        self.recorder.order_events.get(order.order_id, [])))
        return out

    @property
    def orders_ok(self):
        outcomes = self.order_outcomes
        return len(outcomes) == len(ORDERS) and all(
            tuple(events) == plan.events and final is not None and final.status.name == plan.status
            for plan, _, final, events in outcomes)

    @property
    def day_order_ok(self):
        """Before trading and the open auction come before the first market data, in
        that order and at their times; after trading comes after the last bar."""
        r = self.recorder
        kinds = [kind for kind, _, _ in r.day_events]
        if kinds != list(DAY_EVENTS):
            return False
        times = [t.time() for _, t, _ in r.day_events]
        if times != [dt.time(9, 0), dt.time(9, 24), dt.time(15, 30)]:
            return False
        first_data = min(r.first[k][0] for k in MARKET_DATA)
        return r.day_events[1][2] < first_data and r.day_events[2][2] > r.last[EVENT.BAR][0]


def read_quotes(code, count=3):
    """What a strategy reads of one instrument through the bridge's query functions."""
    return {
        "get_current_tick": live_feed.get_current_tick(code),
        "get_current_bar": live_feed.get_current_bar(code),
        "history_ticks": live_feed.history_ticks(code, count),
        "history_bars": live_feed.history_bars(code, count),
    }


def replay_day(instruments=20, minutes=MAX_MINUTES, seed=1, progress=None):
    """Play one trading day through the bridge; `progress(done, total)` is called
    from this thread while the day runs."""
    broker = MachBroker(live_feed)
    sim = Simulator(live_feed.MachStrategy, desk=broker, instruments=instruments, minutes=minutes, seed=seed)
    codes = sim.market_codes
    Environment(DataProxy([Instrument(c) for c in codes]), universe=codes,
                accounts={DEFAULT_ACCOUNT_TYPE.STOCK: Account(DEFAULT_ACCOUNT_TYPE.STOCK, "F0001")})
    recorder = Recorder()
    source = LiveEventSource(live_feed)
    for kind in EVENT:
        source.on(kind, recorder)
    source.start()
    try:
        with sim:
            # The day, up to and including the after-trading event.
            sim.start(sim.close_time)
            while sim.running():
                if progress:
                    progress(sim.minutes_done, minutes)
                time.sleep(0.05)
            sim.wait(TIMEOUT)
            if progress:
                progress(sim.minutes_done, minutes)
            source.wait_idle(TIMEOUT)
            day_seconds = sim.run_seconds
            taken = source.taken
            # At the close the strategy reads the caches (the framework has handled
            # every event by now, the SDK is quiet until the day switch).
            latest = {code: read_quotes(code) for code in codes[:SHOWN]}
            closing = {code: {"bars": live_feed.history_bars(code, 0), "ticks": live_feed.history_ticks(code, 0),
                              "snapshot": live_feed.get_current_tick(code)} for code in codes}
            orders_left = len(live_feed.orders_dict)
            # The night: the SDK's day switch at midnight, the re-arming at 08:00.
            sim.start(sim.end_time)
            sim.wait(TIMEOUT)
            source.wait_idle(TIMEOUT)
            after_switch = {"get_current_tick": live_feed.get_current_tick(codes[0]),
                            "history_bars": live_feed.history_bars(codes[0], 1),
                            "algo_parent_orders": len(live_feed.algo_parent_orders)}
    finally:
        source.stop(TIMEOUT)
    return Day(instruments=instruments, minutes=minutes, seed=seed, market_codes=codes,
               counts=Counter({k.name: n for k, n in source.counts.items()}), expected=sim.expected_events(),
               recorder=recorder, simulator=sim, broker=broker, day_seconds=day_seconds, day_events_taken=taken,
               largest_backlog=source.largest_backlog, errors=source.errors, orders_left_after_close=orders_left,
               latest=latest, closing=closing, after_switch=after_switch)


# --- the quote store ------------------------------------------------------------------------

def _jsonable(value):
    if isinstance(value, (dt.datetime, dt.date)):
        return value.isoformat(" ")
    raise TypeError("not JSON serialisable: %r" % (value,))


def to_json(value):
    return json.dumps(value, default=_jsonable, ensure_ascii=False)


@dataclass
class StoreCheck:
    keys: int
    entries: int
    mismatches: list
    shown: dict
    missing: dict


def quote_store_round_trip(day, url):
    """Publish the day's bars, ticks, snapshots and settlement prices under the
    store's key layout (as the outside quote writer does), then read everything
    back through RedisStore and compare."""
    import redis

    from velora.tavlo.mod.mod_quant_data.quote_cache import RedisStore

    written = {}
    writer = redis.Redis.from_url(url)
    try:
        pipe = writer.pipeline(transaction=False)
        entries = 0
        for code, quotes in day.closing.items():
            bars = [to_json(b) for b in quotes["bars"]]
            ticks = [to_json(t) for t in quotes["ticks"]]
            snapshot = to_json(quotes["snapshot"])
            settlement = "%.2f" % quotes["bars"][-1]["close_price"]
            pipe.delete(code, "tick_" + code, "snapshot:" + code)
            pipe.rpush(code, *bars)
            pipe.rpush("tick_" + code, *ticks)
            pipe.set("snapshot:" + code, snapshot)
            pipe.hset("settlement", code, settlement)
            entries += len(bars) + len(ticks) + 2
            written[code] = {"bars": [json.loads(b) for b in bars], "ticks": [json.loads(t) for t in ticks],
                             "snapshot": json.loads(snapshot), "settlement": float(settlement)}
        pipe.execute()
    finally:
        writer.close()

    store = RedisStore(url)
    try:
        mismatches = []
        shown = {}
        for code, w in written.items():
            got = {
                "get_current_bar": store.get_current_bar(code),
                "history(0)": store.history(code, 0),
                "history(5)": store.history(code, 5),
                "get_snapshot": store.get_snapshot(code),
                "history_ticks(0)": store.history_ticks(code, 0),
                "get_settle_price": store.get_settle_price(code),
            }
            want = {
                "get_current_bar": w["bars"][-1], "history(0)": w["bars"], "history(5)": w["bars"][-5:],
                "get_snapshot": w["snapshot"], "history_ticks(0)": w["ticks"], "get_settle_price": w["settlement"],
            }
            mismatches.extend((code, name) for name in want if got[name] != want[name])
            if len(shown) < SHOWN:
                shown[code] = got
        absent = "999999.XSHE"
        missing = {"get_current_bar": store.get_current_bar(absent), "get_snapshot": store.get_snapshot(absent),
                   "history": store.history(absent, 5), "history_ticks": store.history_ticks(absent, 5),
                   "get_settle_price": store.get_settle_price(absent)}
    finally:
        store._redis.close()
    return StoreCheck(keys=3 * len(written) + 1, entries=entries, mismatches=mismatches, shown=shown,
                      missing=missing)


# --- the summary ---------------------------------------------------------------------------

def clock(t, day=DAY):
    text = t.strftime("%H:%M:%S")
    if t.microsecond:
        text += ".%03d" % (t.microsecond // 1000)
    return text + ("" if t.date() == day else "  (+%dd)" % (t.date() - day).days)


def count(n, word, plural=None):
    """'1 bar', '2 bars', '1,000 entries'."""
    return "%s %s" % (f"{n:,}", word if n == 1 else plural or word + "s")


def heading(text):
    click.echo()
    click.secho(text, bold=True)


def show_day(day):
    sim, r = day.simulator, day.recorder
    callbacks = sum(sim.delivered.values())
    heading("Replayed %s: %s, %s of the session (market data 09:30 to %s), seed %d"
            % (DAY.isoformat(), count(day.instruments, "instrument"), count(day.minutes, "minute"),
               day.data_end.strftime("%H:%M"), day.seed))
    plain = live_feed.__name__.startswith("plain")
    click.echo("  bridge      %s" % ("the plain-Python one (bench/plain/live_feed.py)" if plain
                                  else "native (%s)" % os.path.basename(live_feed.__file__)))
    click.echo("              %s turned into %s in %.2f s of replay: %s events/s"
               % (count(callbacks, "callback"), count(day.day_events_taken, "event"), day.day_seconds,
                  f"{day.day_events_taken / day.day_seconds:,.0f}" if day.day_seconds else "-"))
    click.echo("              %.1f µs per callback inside the bridge, framework objects included (%s callbacks/s)"
               % (1e6 * sim.callback_seconds / callbacks, f"{callbacks / sim.callback_seconds:,.0f}"))
    click.echo("  framework   took every event on its own thread; largest backlog %s"
               % count(day.largest_backlog, "event"))

    heading("Events by type")
    click.echo("  %-28s %10s %10s" % ("type", "received", "expected"))
    for kind in EVENT:
        name = kind.name
        if day.counts[name] or day.expected[name]:
            mark = "" if day.counts[name] == day.expected[name] else "   <-- differs"
            click.echo("  %-28s %10s %10s%s" % (name, f"{day.counts[name]:,}", f"{day.expected[name]:,}", mark))
    click.echo("  %-28s %10s %10s" % ("total", f"{sum(day.counts.values()):,}", f"{sum(day.expected.values()):,}"))

    heading("The day")
    rows = [(t, "SDK: " + text) for t, text in sim.milestones]
    rows += [(t, "SDK timer: " + name) for t, name in sim.timers_fired()]
    rows += [(t, "framework: " + kind.name) for kind, t, _ in r.day_events]
    first_tick = r.first.get(EVENT.TICK)
    if first_tick:
        rows.append((first_tick[1].calendar_dt, "framework: first TICK"))
    for t, text in sorted(rows, key=lambda row: row[0]):
        click.echo("  %-14s %s" % (clock(t), text))
    click.echo("  still armed: " + ", ".join("%s at %s" % (name, clock(t)) for t, name in sim.timers_pending()))
    if r.login is not None:
        click.echo("  login: account %s, code %s; assets: total %s; positions: %s" % (
            r.login.account_id, r.login.code, getattr(r.asset, "total_value", None),
            ", ".join("%s x%s" % (p.order_book_id, p.quantity) for p in (r.positions or []))))
    click.echo("  orders_dict after the after-trading event: %s (%s)" % (
        count(day.orders_left_after_close, "entry", "entries"),
        "emptied" if day.orders_left_after_close == 0 else "NOT emptied"))
    a = day.after_switch
    click.echo("  after the day switch: get_current_tick(%s) -> %r, history_bars -> %r, %s kept"
               % (day.market_codes[0], a["get_current_tick"], a["history_bars"],
                  count(a["algo_parent_orders"], "parent order")))

    heading("Orders")
    click.echo("  %-4s %-34s %-12s %6s %-10s %-10s %6s %8s  events" % (
        "id", "scenario", "code", "qty", "side", "status", "filled", "avg"))
    for plan, cid, final, events in day.order_outcomes:
        ok = "" if (tuple(events) == plan.events and final is not None and final.status.name == plan.status) \
            else "   <-- expected %s, %s" % (plan.status, ", ".join(plan.events))
        if final is None:
            click.echo("  %-4s %-34s no event received%s" % (cid, plan.name, ok))
            continue
        click.echo("  %-4s %-34s %-12s %6d %-10s %-10s %6d %8.3f  %s%s" % (
            cid, plan.name, final.market_code, final.quantity, final.side.name, final.status.name,
            final.filled_quantity, final.avg_price, " > ".join(events), ok))
        if final.message:
            click.echo("       reason: %s" % final.message)
    click.echo("  %s: an order placed at the broker from another terminal; its reports (%s in all) were dropped:"
               % (FOREIGN_ORDER_ID, count(sim.delivered["on_order"], "order report")))
    click.echo("       the framework never registered it in orders_dict, and the bridge drops reports about"
               " orders it does not know")
    p = r.parent
    if p is not None:
        click.echo("  algorithmic parent %s: %s %d of %d; %s, %s, paused and resumed"
                   % (p.sys_quote_id, p.status, p.trade_qty, p.order_qty,
                      count(day.counts["CHILD_ORDER_UPDATE"], "child order update"),
                      count(day.counts["CHILD_ORDER_TRADE"], "child trade")))

    if day.minutes == SESSION_MINUTES:
        heading("Quotes at the close (15:00), read through the bridge's query functions")
    else:
        heading("Quotes at %s, where the replayed market data ends, read through the bridge's query functions"
                % day.data_end.strftime("%H:%M"))
    for code, q in day.latest.items():
        tick, bar = q["get_current_tick"], q["get_current_bar"]
        click.echo("  %s  get_current_tick: %s last %.2f, bid %.2f ask %.2f, volume %s, turnover %s" % (
            code, clock(tick["datetime"]), tick["last_price"], tick["bids"][0], tick["asks"][0],
            f"{tick['volume']:,}", f"{tick['total_turnover']:,.2f}"))
        click.echo("  %s  get_current_bar:  %s O %.2f H %.2f L %.2f C %.2f V %s" % (
            " " * len(code), clock(bar["orig_time"]), bar["open_price"], bar["high_price"], bar["low_price"],
            bar["close_price"], f"{bar['volume']:,}"))
        click.echo("  %s  history_ticks(3): last %s;  history_bars(3): close %s" % (
            " " * len(code), ", ".join("%.2f" % t["last_price"] for t in q["history_ticks"]),
            ", ".join("%.2f" % b["close_price"] for b in q["history_bars"])))
    for event, error in day.errors[:5]:
        click.echo("  framework handler failed on %r: %r" % (event, error))


def show_store(check, server):
    heading("Quote store: redis-server pid %d on 127.0.0.1:%d" % (server.pid, server.port))
    click.echo("  published %s (%s): bars under the market code, ticks under tick_<code>, "
               "snapshot:<code>, settlement prices in the hash settlement"
               % (count(check.keys, "key"), count(check.entries, "entry", "entries")))
    click.echo("  history(code, 0) and history_ticks(code, 0) below ask for all of an instrument's bars and ticks")
    for code, got in check.shown.items():
        bar, snap = got["get_current_bar"], got["get_snapshot"]
        click.echo("  %s  get_current_bar: %s C %.2f;  history(0): %s;  history_ticks(0): %s" % (
            code, bar["orig_time"], bar["close_price"], count(len(got["history(0)"]), "bar"),
            count(len(got["history_ticks(0)"]), "tick")))
        click.echo("  %s  get_snapshot: last %.2f asks %s;  get_settle_price: %r" % (
            " " * len(code), snap["last_price"], snap["asks"][:3], got["get_settle_price"]))
    m = check.missing
    click.echo("  an instrument never written: get_current_bar %r, get_snapshot %r, history %r, history_ticks %r, "
               "get_settle_price %r" % (m["get_current_bar"], m["get_snapshot"], m["history"], m["history_ticks"],
                                        m["get_settle_price"]))
    if check.mismatches:
        click.echo("  read back DIFFERS from what was written: %s" % check.mismatches[:10])
    else:
        click.echo("  read back through RedisStore: equal to what was written, for every instrument and query")


def use_plain_bridge():
    """Replay through bench/plain/live_feed.py, the same behaviour written as plain Python."""
    global live_feed
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
    from plain import live_feed


def main(args):
    if args.plain:
        use_plain_bridge()
    label = "Replaying %s, %s" % (DAY.isoformat(), count(args.instruments, "instrument"))
    with click.progressbar(length=args.minutes, label=label, show_pos=True, file=sys.stderr) as bar:
        def progress(done, total):
            bar.update(done - bar.pos)
        day = replay_day(args.instruments, args.minutes, args.seed, progress)
    show_day(day)

    store_ok = None             # None: the quote store part did not run
    try:
        from redis_server import RedisServer
        server = RedisServer().start()
    except (ImportError, OSError, RuntimeError) as e:
        skipped = str(e) or type(e).__name__
        heading("Quote store: skipped")
        click.echo("  %s: the quote store part is left out." % skipped)
    else:
        try:
            with warnings.catch_warnings():
                # redis 5+ deprecates passing options to get_connection; the store keeps its call.
                warnings.filterwarnings("ignore", message="Call to 'get_connection'", category=DeprecationWarning)
                check = quote_store_round_trip(day, server.url)
            show_store(check, server)
            store_ok = not check.mismatches
        finally:
            pid = server.pid
            server.close()
            click.echo("  redis-server pid %d stopped" % pid)

    heading("Result")
    if day.ok and store_ok is not False:
        click.echo("  the framework received exactly what the scripted day must produce; " +
                   ("the quote store gave back what was written" if store_ok else
                    "the quote store part was skipped and NOT checked: " + skipped))
        return
    click.echo("  FAILED: " + "; ".join(reason for reason, bad in (
        ("event counts differ", day.counts != day.expected), ("order outcomes differ", not day.orders_ok),
        ("day events out of order", not day.day_order_ok), ("framework handlers failed", bool(day.errors)),
        ("quote store read back differs", store_ok is False)) if bad))
    if store_ok is None:
        click.echo("  the quote store part was skipped and not checked: " + skipped)
    sys.exit(1)


if __name__ == "__main__":
    main(ARGS)
