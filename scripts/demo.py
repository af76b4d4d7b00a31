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

    bash scripts/run.sh [--instruments N] [--minutes M] [--seed S]

Exit status 0 when the framework received exactly what the scripted day must
produce and the quote store gave back what was written.
"""
import datetime as dt
import json
import sys
import time
import warnings
from collections import Counter
from dataclasses import dataclass, field

import click

from pymach.simulator import DAY, FOREIGN_ORDER_ID, MAX_MINUTES, ORDERS, Simulator
from velora.tavlo.broker.mach_broker import MachBroker
from velora.tavlo.const import DEFAULT_ACCOUNT_TYPE
from velora.tavlo.core.events import EVENT
from velora.tavlo.core.live_event_source import LiveEventSource
from velora.tavlo.environment import DataProxy, Environment
from velora.tavlo.model.instrument import Instrument
from velora.tavlo.portfolio.account import Account
from velora.tavlo.utils import live_feed

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


def heading(text):
    click.echo()
    click.secho(text, bold=True)


def show_day(day):
    sim, r = day.simulator, day.recorder
    callbacks = sum(sim.delivered.values())
    heading("Replayed %s: %d instruments, %d minutes of the session, seed %d"
            % (DAY.isoformat(), day.instruments, day.minutes, day.seed))
    click.echo("  bridge      %s callbacks turned into %s events in %.2f s of replay: %s events/s"
               % (f"{callbacks:,}", f"{day.day_events_taken:,}", day.day_seconds,
                  f"{day.day_events_taken / day.day_seconds:,.0f}" if day.day_seconds else "-"))
    click.echo("              %.1f µs per callback inside the bridge, framework objects included (%s callbacks/s)"
               % (1e6 * sim.callback_seconds / callbacks, f"{callbacks / sim.callback_seconds:,.0f}"))
    click.echo("  framework   took every event on its own thread; largest backlog %s events"
               % f"{day.largest_backlog:,}")

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
    click.echo("  orders_dict after the after-trading event: %d entries (emptied)" % day.orders_left_after_close
               if day.orders_left_after_close == 0 else
               "  orders_dict after the after-trading event: %d entries (NOT emptied)" % day.orders_left_after_close)
    a = day.after_switch
    click.echo("  after the day switch: get_current_tick(%s) -> %r, history_bars -> %r, %d parent orders kept"
               % (day.market_codes[0], a["get_current_tick"], a["history_bars"], a["algo_parent_orders"]))

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
    click.echo("  %s: an order from another terminal; its reports were dropped (%d order reports in all)"
               % (FOREIGN_ORDER_ID, sim.delivered["on_order"]))
    p = r.parent
    if p is not None:
        click.echo("  algorithmic parent %s: %s %d of %d; %d child order updates, %d child trades, paused and resumed"
                   % (p.sys_quote_id, p.status, p.trade_qty, p.order_qty, day.counts["CHILD_ORDER_UPDATE"],
                      day.counts["CHILD_ORDER_TRADE"]))

    heading("Quotes at the close, read through the bridge's query functions")
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
    click.echo("  published %d keys (%s entries): bars under the market code, ticks under tick_<code>, "
               "snapshot:<code>, settlement prices in the hash settlement" % (check.keys, f"{check.entries:,}"))
    for code, got in check.shown.items():
        bar, snap = got["get_current_bar"], got["get_snapshot"]
        click.echo("  %s  get_current_bar: %s C %.2f;  history(0): %d bars;  history_ticks(0): %d ticks" % (
            code, bar["orig_time"], bar["close_price"], len(got["history(0)"]), len(got["history_ticks(0)"])))
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


@click.command()
@click.option("--instruments", type=click.IntRange(1, 5000), default=20, show_default=True,
              help="Instruments in the universe.")
@click.option("--minutes", type=click.IntRange(1, MAX_MINUTES), default=MAX_MINUTES, show_default=True,
              help="Minutes of the session to replay (from 09:30).")
@click.option("--seed", type=int, default=1, show_default=True, help="Seed of the price walk.")
def main(instruments, minutes, seed):
    """Replay a simulated trading day through the live bridge, then publish its
    quotes to a private redis-server and read them back through RedisStore."""
    label = "Replaying %s, %d instruments" % (DAY.isoformat(), instruments)
    with click.progressbar(length=minutes, label=label, show_pos=True, file=sys.stderr) as bar:
        def progress(done, total):
            bar.update(done - bar.pos)
        day = replay_day(instruments, minutes, seed, progress)
    show_day(day)

    store_ok = True
    try:
        from redis_server import RedisServer
        server = RedisServer().start()
    except (ImportError, OSError, RuntimeError) as e:
        heading("Quote store: skipped")
        click.echo("  redis-server cannot be started here (%s); the quote store part is left out." % e)
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
    if day.ok and store_ok:
        click.echo("  the framework received exactly what the scripted day must produce" +
                   ("; the quote store gave back what was written" if store_ok else ""))
        return
    click.echo("  FAILED: " + "; ".join(reason for reason, bad in (
        ("event counts differ", day.counts != day.expected), ("order outcomes differ", not day.orders_ok),
        ("day events out of order", not day.day_order_ok), ("framework handlers failed", bool(day.errors)),
        ("quote store read back differs", not store_ok)) if bad))
    sys.exit(1)


if __name__ == "__main__":
    main()
