"""A simulated trading day: the SDK and its broker, played on a simulated clock.

`Simulator` does what the real SDK does with a strategy, for one scripted day:

* it constructs the strategy (``strategy_class(config)``) with a configuration
  whose ``base`` holds the accounts, the algorithmic account and a trading
  calendar that holds the day, and calls ``initialize`` at 08:30;
* it logs in (``on_login``) and answers the asset and position queries that the
  strategy sends (``on_query_asset``, ``on_query_position``), then logs in to the
  algorithmic server (``on_algo_login``);
* for every minute of the session it delivers, for each instrument of the
  universe, level-2 orders and transactions (``on_tick_order``,
  ``on_tick_trade``), snapshots (``on_snapshot``) and, at the minute's end, the
  one-minute bar (``on_bar``); prices follow a seeded random walk;
* it plays the broker: the day's orders (`ORDERS`) are sent at their time
  through the framework's order desk, which registers them with the framework
  and hands them to the SDK context; the broker accepts, fills, cancels or
  rejects them (``on_order``, ``on_trade``, ``on_order_action_error``); it
  also runs one algorithmic parent order (`ALGO`) with its child orders and
  trades, paused and resumed on the way;
* the strategy's SDK timers fire at their scheduled times on the simulated
  clock, and at midnight the SDK switches day (``on_switch_day``).

The wall clock of the strategy's module is pinned while the simulator is open
(its module-level ``datetime`` and ``np`` read the simulated clock), so the
day's events come at the same simulated times whatever the real time of the run.

Callbacks are delivered on the simulator's own thread (`start`), as a real SDK
delivers them; the framework consumes the strategy's output on threads of its own.

    with Simulator(live_feed.MachStrategy, desk=desk, instruments=20) as sim:
        sim.start(sim.close_time)
        sim.wait()
"""
import datetime as _dt
import heapq
import itertools
import math
import random
import sys
import threading
import time
from collections import Counter, namedtuple
from types import SimpleNamespace

import numpy

from pymach.enums import AlgoControlType, MarketType, OrderStatusType

DAY = _dt.date(2024, 1, 5)
START = _dt.time(8, 30)
ACCOUNT = "F0001"
ALGO_ACCOUNT = "A0001"

# The session: 09:30-11:30 and 13:00-15:00, 240 one-minute bars.
SESSIONS = ((_dt.time(9, 30), 120), (_dt.time(13, 0), 120))
MAX_MINUTES = sum(n for _, n in SESSIONS)

# What each instrument sends in every minute: (second of the minute, callback).
MINUTE = (
    (5, "on_tick_order"),
    (12, "on_tick_order"),
    (20, "on_tick_trade"),
    (30, "on_snapshot"),
    (37, "on_tick_order"),
    (45, "on_tick_trade"),
    (57, "on_snapshot"),
)
PER_MINUTE = Counter(name for _, name in MINUTE)
SNAPSHOTS_PER_MINUTE = PER_MINUTE["on_snapshot"]
L2_ORDERS_PER_MINUTE = PER_MINUTE["on_tick_order"]
L2_TRADES_PER_MINUTE = PER_MINUTE["on_tick_trade"]

BUY, SELL = 1, 2

# The day's orders, as the strategy sends them and the broker answers them.
#   minute      where in the replayed session the order is sent (a fraction of it)
#   instrument  index into the universe (modulo its size)
#   fills       quantities the broker fills, one report each, after acceptance
#   cancel      seconds after sending at which the strategy asks to cancel (or None)
#   reject      the broker's refusal (error code, message) instead of accepting
#   events      what the framework receives for the order, in order
#   status      the framework order's final status
OrderPlan = namedtuple("OrderPlan", "name minute instrument side quantity fills cancel reject events status")
ORDERS = (
    OrderPlan("filled in two parts", 0.1, 0, BUY, 1000, (400, 600), None, None,
              ("ORDER_CREATION_PASS", "TRADE", "TRADE"), "FILLED"),
    OrderPlan("partly filled, then cancelled", 0.25, 1, BUY, 2000, (600,), 30, None,
              ("ORDER_CREATION_PASS", "TRADE", "ORDER_PENDING_CANCEL", "ORDER_CANCELLATION_PASS"), "CANCELLED"),
    OrderPlan("rejected", 0.4, 2, BUY, 500000, (), None, (20013, "insufficient funds"),
              ("ORDER_UNSOLICITED_UPDATE",), "REJECTED"),
    OrderPlan("cancelled before any fill", 0.55, 3, SELL, 300, (), 10, None,
              ("ORDER_CREATION_PASS", "ORDER_PENDING_CANCEL", "ORDER_CANCELLATION_PASS"), "CANCELLED"),
    OrderPlan("filled before the cancel arrived", 0.7, 4, SELL, 200, (200,), 4, None,
              ("ORDER_CREATION_PASS", "TRADE", "ORDER_CANCELLATION_REJECT"), "FILLED"),
)
# An order placed at the broker from another terminal: the framework does not know
# it, and the reports about it are dropped.
FOREIGN_ORDER_ID = "T2-000017"

# The algorithmic parent order: sent at 0.5 of the session; the strategy pauses it
# after the first child order and resumes it three seconds later.
#   children  per child order, the quantities of its trades
AlgoPlan = namedtuple("AlgoPlan", "minute instrument side quantity children pause_after resume_after events")
ALGO = AlgoPlan(
    0.5, 5, BUY, 1200, ((400,), (300, 200), (300,)), 6.0, 9.0,
    {"PARENT_ORDER_CREATE": 1, "PARENT_ORDER_PAUSE": 1, "PARENT_ORDER_RESUME": 1,
     "PARENT_ORDER_UPDATE": 6,   # accepted, paused, resumed, then after each child's last trade
     "CHILD_ORDER_UPDATE": 6,    # each child: accepted, then filled
     "CHILD_ORDER_TRADE": 4},
)


def stamp(t):
    """An SDK time stamp: YYYYMMDDHHMMSS followed by three digits of milliseconds."""
    whole = ((((t.year * 100 + t.month) * 100 + t.day) * 100 + t.hour) * 100 + t.minute) * 100 + t.second
    return whole * 1000 + t.microsecond // 1000


def session_minutes(day, count):
    """Start times of the first `count` minutes of the day's session."""
    starts = []
    for opening, length in SESSIONS:
        first = _dt.datetime.combine(day, opening)
        starts.extend(first + _dt.timedelta(minutes=i) for i in range(length))
    return starts[:count]


def trading_calendar(day):
    """The weekdays of the month around `day`, as numpy days."""
    first = day.replace(day=1)
    days = (first + _dt.timedelta(days=i) for i in range(31))
    return [numpy.datetime64(d, "D") for d in days if d.month == day.month and d.weekday() < 5]


class SimClock:
    """The wall clock of the replay: `start` plus the SDK context's simulated time."""

    def __init__(self, start):
        self.start = start
        self.context = None

    def now(self):
        elapsed = self.context.clock_ns // 1000 if self.context is not None else 0
        return self.start + _dt.timedelta(microseconds=elapsed)

    def pin(self, module):
        """Make ``module.datetime.now()`` and ``module.np.datetime64("today", ...)``
        read this clock; returns a function that puts the originals back."""
        clock = self

        class PinnedDatetime(_dt.datetime):
            @classmethod
            def now(cls, tz=None):
                t = clock.now()
                return cls.combine(t.date(), t.time())

        class PinnedNumpy:
            def __getattr__(self, name):
                return getattr(numpy, name)

            @staticmethod
            def datetime64(value, *args):
                if isinstance(value, str) and value == "today":
                    return numpy.datetime64(clock.now().date(), *args)
                return numpy.datetime64(value, *args)

        saved = {name: vars(module)[name] for name in ("datetime", "np") if name in vars(module)}
        module.datetime = PinnedDatetime
        module.np = PinnedNumpy()

        def restore():
            for name in ("datetime", "np"):
                if name in saved:
                    setattr(module, name, saved[name])
                else:
                    delattr(module, name)
        return restore


class _Quote:
    """One instrument's market: a random walk within the day's price limits."""

    def __init__(self, security_id, rng):
        self.security_id = security_id
        self.rng = rng
        self.prev_close = round(rng.uniform(5, 60), 2)
        self.high_limited = round(self.prev_close * 1.1, 2)
        self.low_limited = round(self.prev_close * 0.9, 2)
        self.price = self.prev_close
        self.open = self.high = self.low = None
        self.volume = 0
        self.turnover = 0.0
        self.biz_index = 0
        self.appl_seq = 0
        self.bar = None          # [open, high, low, close, volume, amount] of the current minute
        self.last_bar_close = self.prev_close

    def step(self):
        move = math.exp(self.rng.gauss(0, 0.0015))
        self.price = round(min(self.high_limited, max(self.low_limited, self.price * move)), 2)
        if self.open is None:
            self.open = self.high = self.low = self.price
        self.high = max(self.high, self.price)
        self.low = min(self.low, self.price)
        if self.bar is None:
            self.bar = [self.price, self.price, self.price, self.price, 0, 0.0]
        else:
            self.bar[1] = max(self.bar[1], self.price)
            self.bar[2] = min(self.bar[2], self.price)
            self.bar[3] = self.price
        return self.price

    def trade(self, volume):
        value = round(self.price * volume, 2)
        self.volume += volume
        self.turnover = round(self.turnover + value, 2)
        self.bar[4] += volume
        self.bar[5] = round(self.bar[5] + value, 2)
        return value


class Simulator:
    """One scripted trading day for `strategy_class` (see the module's documentation).

    `desk` is the framework's order-sending side: ``submit_order(market_code,
    amount, price)`` (a positive amount buys, a negative one sells) returning the
    framework order and its client order id, ``cancel_order(client_order_id)``,
    ``create_parent_order(market_code, amount)`` returning its request id,
    ``pause_parent_order(sys_quote_id)`` and ``resume_parent_order(sys_quote_id)``.
    Without a desk the day has no orders.
    """

    def __init__(self, strategy_class, *, desk=None, instruments=20, minutes=MAX_MINUTES, seed=1, day=DAY,
                 market_type=MarketType.SZSE, suffix="XSHE"):
        if not 1 <= minutes <= MAX_MINUTES:
            raise ValueError("minutes must be between 1 and %d, got %r" % (MAX_MINUTES, minutes))
        if instruments < 1:
            raise ValueError("instruments must be at least 1, got %r" % (instruments,))
        self.strategy_class = strategy_class
        self.desk = desk
        self.day = day
        self.minutes = minutes
        self.seed = seed
        self.market_type = market_type
        self.security_ids = ["%06d" % (i + 1) for i in range(instruments)]
        self.market_codes = [s + "." + suffix for s in self.security_ids]
        self.rng = random.Random(seed)
        self.quotes = [_Quote(s, random.Random("%s/%s" % (seed, s))) for s in self.security_ids]
        self.start_time = _dt.datetime.combine(day, START)
        self.close_time = _dt.datetime.combine(day, _dt.time(15, 30))      # after-trading is due then
        self.end_time = _dt.datetime.combine(day + _dt.timedelta(days=1), _dt.time(8, 0))
        self.clock = SimClock(self.start_time)
        self.config = SimpleNamespace(base=SimpleNamespace(
            md_type="MaMD",
            accounts={"stock": ACCOUNT + "_ma"},
            algo_account=ALGO_ACCOUNT + "_atx",
            trading_calendar=trading_calendar(day),
        ))
        self.strategy = None
        self.context = None
        # what the SDK delivered: callback name -> count, and the time spent inside them
        self.delivered = Counter()
        self.callback_seconds = 0.0
        self.milestones = []             # (simulated time, what the SDK did)
        self.minutes_done = 0
        self.run_seconds = 0.0
        self.orders = []                 # (plan, framework order, client order id), in sending order
        self.parent = None               # {"sys_quote_id", "client_seq_id"} of the algorithmic order
        self._actions = []
        self._seq = itertools.count()
        self._restore = None
        self._thread = None
        self._error = None
        self._broker_orders = {}
        self._parent_record = None
        self._counter_ids = itertools.count(880001)
        self._plan_day()

    # --- opening and closing --------------------------------------------------------

    def open(self):
        """Pin the strategy module's clock at 08:30 of the day and construct the strategy."""
        module = sys.modules[self.strategy_class.__module__]
        self._restore = self.clock.pin(module)
        try:
            self.strategy = self.strategy_class(self.config)
        except BaseException:
            self.close()
            raise
        self.context = self.strategy.context
        self.clock.context = self.context
        return self

    def close(self):
        """Give the strategy module its own clock back."""
        if self._restore is not None:
            self._restore()
            self._restore = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()

    # --- running --------------------------------------------------------------------

    def now(self):
        return self.clock.now()

    def run(self, until):
        """Play the day on this thread up to the simulated time `until` (timers due
        then included)."""
        if self.strategy is None:
            raise RuntimeError("the simulator is not open")
        started = time.perf_counter()
        end = self._ns(until)
        try:
            while self._actions and self._actions[0][0] <= end:
                due, _, action = heapq.heappop(self._actions)
                self.context.advance(due - self.context.clock_ns)   # the SDK timers due by then fire first
                action()
                self._answer_requests()
            if end > self.context.clock_ns:
                self.context.advance(end - self.context.clock_ns)
            self._answer_requests()
        finally:
            self.run_seconds += time.perf_counter() - started

    def start(self, until):
        """Play the day up to `until` on a thread of the simulator's own; `wait` for it."""
        if self._thread is not None and self._thread.is_alive():
            raise RuntimeError("the simulator is already running")
        self._error = None

        def play():
            try:
                self.run(until)
            except BaseException as e:   # handed to wait()
                self._error = e

        self._thread = threading.Thread(target=play, name="pymach-sdk", daemon=True)
        self._thread.start()
        return self._thread

    def running(self):
        return self._thread is not None and self._thread.is_alive()

    def wait(self, timeout=None):
        """Wait for the thread of `start`; re-raises what the strategy raised there."""
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise TimeoutError("the replay did not finish within %s s" % timeout)
        if self._error is not None:
            error, self._error = self._error, None
            raise error

    def at_clock(self, ns):
        """The simulated time `ns` nanoseconds into the replay."""
        return self.start_time + _dt.timedelta(microseconds=ns // 1000)

    def timers_fired(self):
        """(simulated time, callback name) of every SDK timer that fired, in order."""
        return [(self.at_clock(due), getattr(cb, "__name__", repr(cb))) for due, cb in self.context.fired]

    def timers_pending(self):
        """(simulated time, callback name) of the SDK timers still armed, in due order."""
        return [(self.at_clock(due), getattr(cb, "__name__", repr(cb))) for due, cb in self.context.pending_timers]

    def expected_events(self):
        """How many framework events of each type (by name) the scripted day must produce."""
        n, m = len(self.security_ids), self.minutes
        counts = Counter(LOGIN=1, QUERY_ACCOUNT=1, QUERY_POSITION=1, ALGO_LOGIN=1,
                         BEFORE_TRADING=1, OPEN_AUCTION=1, AFTER_TRADING=1, BAR=m,
                         TICK=n * m * SNAPSHOTS_PER_MINUTE, L2_ORDER=n * m * L2_ORDERS_PER_MINUTE,
                         L2_TRANSACTION=n * m * L2_TRADES_PER_MINUTE)
        if self.desk is not None:
            for plan in ORDERS:
                counts.update(plan.events)
            counts.update(ALGO.events)
        return counts

    # --- the script -------------------------------------------------------------------

    def _ns(self, t):
        return int((t - self.start_time).total_seconds() * 1000000) * 1000

    def _at(self, t, action):
        heapq.heappush(self._actions, (self._ns(t), next(self._seq), action))

    def _call(self, name, *args):
        started = time.perf_counter()
        getattr(self.strategy, name)(*args)
        self.callback_seconds += time.perf_counter() - started
        self.delivered[name] += 1

    def _milestone(self, text):
        self.milestones.append((self.now(), text))

    def _plan_day(self):
        start = self.start_time
        self._at(start, self._initialize)
        self._at(start + _dt.timedelta(seconds=1), self._login)
        self._at(start + _dt.timedelta(seconds=2), self._algo_login)
        minutes = session_minutes(self.day, self.minutes)
        for index, minute in enumerate(minutes):
            self._at(minute, lambda index=index, minute=minute: self._minute(index, minute))
        if self.desk is not None:
            def when(fraction, second):
                return minutes[min(len(minutes) - 1, int(fraction * len(minutes)))] + _dt.timedelta(seconds=second)
            for number, plan in enumerate(ORDERS):
                self._at(when(plan.minute, 10 + number), lambda plan=plan: self._send(plan))
            self._at(when(0.35, 40), self._foreign_order)
            self._at(when(ALGO.minute, 20), self._algo_parent)
        switch = _dt.datetime.combine(self.day + _dt.timedelta(days=1), _dt.time(0, 0))
        self._at(switch, self._switch_day)

    def _initialize(self):
        self._call("initialize", self.config)
        timers = sum(1 for c in self.context.calls if c[0] == "add_timer_interval")
        self._milestone("initialize: %d brokers registered, bars subscribed, %d timers armed"
                        % (len(self.context.md_brokers) + len(self.context.td_brokers)
                           + len(self.context.algo_brokers), timers))

    def _login(self):
        self._milestone("login of account %s" % ACCOUNT)
        self._call("on_login", SimpleNamespace(fund_account_id=ACCOUNT, error_code=0, error_msg="",
                                               client_seq_id=1))

    def _algo_login(self):
        self._milestone("login to the algorithmic server as %s" % ALGO_ACCOUNT)
        self._call("on_algo_login", SimpleNamespace(client_seq_id=2, trader_id=ALGO_ACCOUNT, error_code=0,
                                                    error_msg=""))

    def _switch_day(self):
        self._milestone("day switch")
        self._call("on_switch_day")

    # --- market data ----------------------------------------------------------------

    def _minute(self, index, minute):
        if index == 0:
            self._milestone("market opens: first minute of market data")
        for second, name in MINUTE:
            self._at(minute + _dt.timedelta(seconds=second), lambda name=name: self._deliver(name))
        end = minute + _dt.timedelta(minutes=1)
        self._at(end, lambda: self._bars(index, end))

    def _deliver(self, name):
        t = stamp(self.now())
        make = getattr(self, "_" + name[3:])
        callback = getattr(self.strategy, name)
        records = [make(quote, t) for quote in self.quotes]
        started = time.perf_counter()
        for record in records:
            callback(record)
        self.callback_seconds += time.perf_counter() - started
        self.delivered[name] += len(self.quotes)

    def _tick_order(self, q, t):
        q.step()
        q.biz_index += 1
        q.appl_seq += 1
        side = q.rng.choice((BUY, SELL))
        price = round(q.price + (-0.01 if side == BUY else 0.01) * q.rng.randint(0, 5), 2)
        return SimpleNamespace(
            security_id=q.security_id, market_type=self.market_type, biz_index=q.biz_index, order_time=t,
            side=ord(str(side)), order_price=price, order_volume=100 * q.rng.randint(1, 50),
            order_type=ord(q.rng.choice("2221U")), orig_order_no=q.appl_seq)

    def _tick_trade(self, q, t):
        q.step()
        q.biz_index += 1
        volume = 100 * q.rng.randint(1, 30)
        value = q.trade(volume)
        earlier = q.rng.randint(1, max(1, q.appl_seq))
        later = q.appl_seq
        bid, offer = (later, earlier) if q.rng.random() < 0.5 else (earlier, later)
        return SimpleNamespace(
            security_id=q.security_id, market_type=self.market_type, biz_index=q.biz_index, trade_time=t,
            trade_price=q.price, trade_volume=volume, value_trade=value, trade_type=ord("F"),
            bid_appl_seq_num=bid, offer_appl_seq_num=offer)

    def _snapshot(self, q, t):
        q.step()
        levels = range(1, 6)
        return SimpleNamespace(
            security_id=q.security_id, market_type=self.market_type, orig_time=t,
            open_price=q.open, close_price=q.price, high_price=q.high, low_price=q.low,
            total_value_trade=q.turnover, total_volume_trade=q.volume, pre_close_price=q.prev_close,
            ask_price=[round(q.price + 0.01 * i, 2) for i in levels],
            ask_volume=[100 * q.rng.randint(1, 80) for _ in levels],
            bid_price=[round(q.price - 0.01 * i, 2) for i in levels],
            bid_volume=[100 * q.rng.randint(1, 80) for _ in levels],
            high_limited=q.high_limited, last_price=q.price, low_limited=q.low_limited,
            open_interest=0, prev_settlement=0.0, iopv=0.0, trading_phase_code="T0")

    def _bars(self, index, end):
        t = stamp(end)
        records = []
        for q in self.quotes:
            o, h, l, c, volume, amount = q.bar
            records.append(SimpleNamespace(
                security_id=q.security_id, market_type=self.market_type, end_time=t, open=o, close=c, high=h,
                low=l, amount=amount, volume=volume, prev_close=q.last_bar_close))
            q.last_bar_close = c
            q.bar = None
        started = time.perf_counter()
        for record in records:
            self.strategy.on_bar(record)
        self.callback_seconds += time.perf_counter() - started
        self.delivered["on_bar"] += len(records)
        self.minutes_done = index + 1
        if index == 0:
            self._milestone("first one-minute bars")
        if index == MAX_MINUTES - 1:
            self._milestone("last one-minute bars: the market closes")
        elif index == self.minutes - 1:
            self._milestone("last one-minute bars of the replay (%d of the session's %d minutes)"
                            % (self.minutes, MAX_MINUTES))

    # --- the broker ---------------------------------------------------------------------

    def _answer_requests(self):
        requests = self.context.requests
        while requests:
            request = requests.popleft()
            getattr(self, "_answer_" + request[0])(*request[1:])

    def _after(self, seconds, action):
        self._at(self.now() + _dt.timedelta(seconds=seconds), action)

    def _answer_query_asset(self, request_id, fund_account_id):
        market_value = 0.0
        for q, qty in self._positions():
            market_value += q.prev_close * qty
        cash = 1000000.0
        asset = SimpleNamespace(fund_account_id=fund_account_id, available_t1=cash, frozen_all=0.0,
                                market_value=round(market_value, 2), total_asset=round(cash + market_value, 2),
                                leaves_value=cash, init_leaves_value=cash)
        self._after(0.2, lambda: self._call("on_query_asset", asset, request_id, 0, ""))

    def _positions(self):
        return [(q, 1000 * (i + 1)) for i, q in enumerate(self.quotes[:2])]

    def _answer_query_position(self, request_id, fund_account_id):
        records = [SimpleNamespace(security_id=q.security_id, market_id=self.market_type, init_qty=qty,
                                   leaves_qty=qty, available_qty=qty, cost_price=round(q.prev_close * 0.97, 2),
                                   last_price=q.prev_close, market_value=round(q.prev_close * qty, 2),
                                   profit_loss=round(q.prev_close * 0.03 * qty, 2))
                   for q, qty in self._positions()]
        self._after(0.3, lambda: self._call("on_query_position", records, request_id, 0, ""))

    def _send(self, plan):
        q = self.quotes[plan.instrument % len(self.quotes)]
        code = self.market_codes[plan.instrument % len(self.quotes)]
        amount = plan.quantity if plan.side == BUY else -plan.quantity
        order, client_order_id = self.desk.submit_order(code, amount, q.price)
        self.orders.append((plan, order, client_order_id))
        if plan.cancel is not None:
            self._after(plan.cancel, lambda: self.desk.cancel_order(client_order_id))

    def _plan_of(self, client_order_id):
        for plan, _, cid in self.orders:
            if cid == client_order_id:
                return plan
        return None

    def _answer_insert_order(self, client_order_id, security_id, market_type, side, price, order_qty):
        plan = self._plan_of(client_order_id)
        o = SimpleNamespace(client_order_id=client_order_id, security_id=security_id, side=side, price=price,
                            qty=order_qty, traded=0, value=0.0, counter=0, status=OrderStatusType.UnSend,
                            error_code=0, error_msg="", last_qty=0, last_price=0.0)
        self._broker_orders[client_order_id] = o
        if plan is not None and plan.reject is not None:
            o.error_code, o.error_msg = plan.reject
            self._after(0.2, lambda: self._report(o, OrderStatusType.Reject))
            return
        self._after(0.1, lambda: self._report(o, OrderStatusType.UnSend))       # received, not yet numbered
        self._after(0.3, lambda: self._accept(o))
        for number, qty in enumerate(plan.fills if plan is not None else ()):
            self._after(1.5 + 3.5 * number, lambda qty=qty: self._fill(o, qty))

    def _accept(self, o):
        o.counter = next(self._counter_ids)
        self._report(o, OrderStatusType.Sended)

    def _fill(self, o, qty):
        if o.status not in (OrderStatusType.Sended, OrderStatusType.PartiallyFilled):
            return                                   # cancelled meanwhile
        q = self.quotes[self.security_ids.index(o.security_id)]
        o.traded += qty
        o.value = round(o.value + q.price * qty, 2)
        o.last_qty, o.last_price = qty, q.price
        status = OrderStatusType.Filled if o.traded == o.qty else OrderStatusType.PartiallyFilled
        self._report(o, status)
        self._call("on_trade", SimpleNamespace(client_order_id=o.client_order_id, security_id=o.security_id,
                                               trade_qty=qty, trade_price=q.price, trade_time=stamp(self.now())))
        o.last_qty = 0

    def _report(self, o, status):
        o.status = status
        open_qty = o.qty - o.traded if status in (OrderStatusType.Sended, OrderStatusType.PartiallyFilled) else 0
        self._call("on_order", SimpleNamespace(
            client_order_id=o.client_order_id, security_id=o.security_id, order_price=o.price,
            order_status=status, order_qty=o.qty, trade_qty=o.traded, total_trade_value=o.value,
            error_msg=o.error_msg, error_code=o.error_code, last_match_qty=o.last_qty,
            last_match_price=o.last_price, counter_order_id=o.counter,
            frozen_trade_value=round(open_qty * o.price, 2) if o.side == BUY else 0.0))

    def _answer_cancel_order(self, client_order_id):
        o = self._broker_orders.get(client_order_id)
        if o is None or o.status not in (OrderStatusType.Sended, OrderStatusType.PartiallyFilled):
            reason = "no such order" if o is None else "order already finished"
            self._after(0.1, lambda: self._call("on_order_action_error", SimpleNamespace(
                client_order_id=client_order_id, error_code=20032, error_msg=reason)))
            return
        if o.traded:
            pending, done = OrderStatusType.PartiallyFilledWaitCancelled, OrderStatusType.PartiallyFilledPartiallyCancelled
        else:
            pending, done = OrderStatusType.WaitCancelled, OrderStatusType.Cancelled
        self._after(0.2, lambda: self._report(o, pending))
        self._after(1.2, lambda: self._report(o, done))

    def _foreign_order(self):
        q = self.quotes[0]
        o = SimpleNamespace(client_order_id=FOREIGN_ORDER_ID, security_id=q.security_id, side=SELL, price=q.price,
                            qty=100, traded=0, value=0.0, counter=0, status=OrderStatusType.UnSend, error_code=0,
                            error_msg="", last_qty=0, last_price=0.0)
        self._broker_orders[FOREIGN_ORDER_ID] = o
        self._accept(o)
        self._after(2, lambda: self._fill(o, 100))

    # --- the algorithmic server -----------------------------------------------------------

    def _algo_parent(self):
        code = self.market_codes[ALGO.instrument % len(self.quotes)]
        amount = ALGO.quantity if ALGO.side == BUY else -ALGO.quantity
        self.parent = {"client_seq_id": self.desk.create_parent_order(code, amount)}

    def _answer_create_algo_parent_order(self, client_seq_id, security_id, market_type, side, order_qty):
        sys_quote_id = "PQ%06d" % (self.rng.randint(1, 999999))
        self.parent["sys_quote_id"] = sys_quote_id
        parent = SimpleNamespace(sys_quote_id=sys_quote_id, security_id=security_id, order_qty=order_qty,
                                 trade_qty=0, status="New")
        self._parent_record = parent
        q = self.quotes[self.security_ids.index(security_id)]
        self._after(0.2, lambda: self._call("on_create_algo_parent_order_res", SimpleNamespace(
            client_seq_id=client_seq_id, sys_quote_id=sys_quote_id, error_code=0, error_msg="")))
        self._after(0.5, lambda: self._parent_update(parent))
        self._after(ALGO.pause_after, lambda: self.desk.pause_parent_order(sys_quote_id))
        self._after(ALGO.resume_after, lambda: self.desk.resume_parent_order(sys_quote_id))
        # child orders: the first before the pause, the others after the resume
        starts = [2.0] + [ALGO.resume_after + 1.0 + 4.0 * i for i in range(len(ALGO.children) - 1)]
        for number, (start, trades) in enumerate(zip(starts, ALGO.children), 1):
            child = SimpleNamespace(sys_quote_id="%s-%d" % (sys_quote_id, number),
                                    client_order_id="%s-C%d" % (sys_quote_id, number),
                                    order_qty=sum(trades), trade_qty=0, status="New")
            self._after(start, lambda child=child: self._call("on_algo_child_order_update", child))
            for k, qty in enumerate(trades, 1):
                self._after(start + k, lambda child=child, qty=qty: self._child_trade(parent, child, q, qty))
            last = number == len(ALGO.children)
            self._after(start + len(trades) + 0.5, lambda child=child, last=last: self._child_done(parent, child, last))

    def _parent_update(self, parent, status=None):
        if status is not None:
            parent.status = status
        self._call("on_algo_parent_order_update", SimpleNamespace(**vars(parent)))

    def _child_trade(self, parent, child, q, qty):
        child.trade_qty += qty
        parent.trade_qty += qty
        self._call("on_algo_child_order_trade", SimpleNamespace(sys_quote_id=child.sys_quote_id, trade_price=q.price,
                                                                trade_qty=qty))

    def _child_done(self, parent, child, last):
        child.status = "Filled"
        self._call("on_algo_child_order_update", SimpleNamespace(**vars(child)))
        self._parent_update(parent, "Finished" if last else None)

    def _answer_control_algo_parent_order(self, sys_quote_id, control_type):
        parent = self._parent_record
        answer = SimpleNamespace(control_type=control_type, algo_control_type=control_type,
                                 sys_quote_id=sys_quote_id, error_code=0, error_msg="")
        self._after(0.1, lambda: self._call("on_control_algo_parent_order_res", answer))
        status = "Paused" if control_type == AlgoControlType.Pause else "Running"
        self._after(0.2, lambda: self._parent_update(parent, status))
