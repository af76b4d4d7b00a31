"""The live trading bridge: broker SDK callbacks become framework events.

The framework constructs `MachStrategy(config)` and hands it to the broker SDK
`pymach`, which calls its methods.  Every callback appends framework `Event`
objects to `event_queue`, which the framework drains; snapshots and bars are
also kept in the live caches that the four query functions read.
"""
import datetime as _datetime
from collections import deque
from typing import Any

import pymach.strategy as strategy

# The framework's loggers (from velora.tavlo.utils.logger): `info` and `warning` are called with one str.
system_log: Any
user_system_log: Any

# Keys "mach_md" (the market-data broker type), "mach_td" (the trading-broker type
# of the last account registered) and "mach_context" (the SDK context), written by
# MachStrategy.initialize.
mach_params: dict[str, Any]
# numpy_ringbuffer.RingBuffer(capacity=1000000, dtype=object) of framework events,
# oldest first; appending to a full buffer discards the oldest entry.
event_queue: Any
# market code -> that code's bar dicts, oldest first (emptied at the day switch)
history_bar: dict[str, deque[dict[str, Any]]]
# market code -> that code's newest 60 tick dicts, oldest first
history_tick: dict[str, deque[dict[str, Any]]]
# SDK client order id -> framework order, filled by the framework's order-sending side
orders_dict: dict[Any, Any]
# SDK sys_quote_id -> the latest AlgoParentOrder / AlgoChildOrder / AlgoChildTrade
algo_parent_orders: dict[Any, Any]
algo_child_orders: dict[Any, Any]
algo_child_trades: dict[Any, Any]

def get_current_bar(market_code: str) -> dict[str, Any] | None:
    """The newest bar dict of `market_code`, or None."""

def get_current_tick(market_code: str) -> dict[str, Any] | None:
    """The newest tick dict of `market_code`, or None."""

def history_ticks(market_code: str, count: int) -> list[dict[str, Any]] | None:
    """The newest `count` tick dicts of `market_code`, oldest first (all of them for 0), or None."""

def history_bars(market_code: str, count: int) -> list[dict[str, Any]] | None:
    """The newest `count` bar dicts of `market_code`, oldest first (all of them for 0), or None."""

class MachStrategy(strategy.MachStrategy):
    """The adapter through which the broker SDK drives the framework in live trading."""

    logged_in: bool
    order_num: int
    bar_cnt: int
    # 0 until the first bar, then the last bar's end time divided by 1000
    current_trade_dt: float
    first_dt: _datetime.date
    # the framework configuration; `config.base` holds accounts, algo_account,
    # md_type, order_way and trading_calendar
    config: Any

    def __init__(self, config: Any) -> None: ...
    # set-up
    def initialize(self, config: Any) -> None: ...
    def on_initialize(self) -> None: ...
    def on_switch_day(self) -> None: ...
    # market data
    def on_snapshot(self, snapshot: Any) -> None: ...
    def on_tick_order(self, tick_order: Any) -> None: ...
    def on_tick_trade(self, tick_trade: Any) -> None: ...
    def on_bar(self, bar: Any) -> None: ...
    # login, assets and positions
    def on_login(self, login_res: Any) -> None: ...
    def on_query_asset(self, asset_res: Any, request_id: Any, code: Any, msg: Any) -> None: ...
    def on_query_position(self, query_position_res: Any, request_id: Any, code: Any, msg: Any) -> None: ...
    # orders and trades
    def on_order(self, order: Any) -> None: ...
    def on_trade(self, trade: Any) -> None: ...
    def on_order_action_error(self, order_action_error: Any) -> None: ...
    # algorithmic orders
    def on_algo_login(self, algo_login_res: Any) -> None: ...
    def on_create_algo_parent_order_res(self, create_parent_order_res: Any) -> None: ...
    def on_cancel_algo_parent_order_res(self, cancel_parent_order_res: Any) -> None: ...
    def on_control_algo_parent_order_res(self, control_parent_order_res: Any) -> None: ...
    def on_algo_parent_order_update(self, parent_order: Any) -> None: ...
    def on_algo_child_order_update(self, child_order: Any) -> None: ...
    def on_algo_child_order_trade(self, child_trade: Any) -> None: ...
    # the trading day
    def create_time_listener(self) -> None: ...
    def send_day_event(self, event_type: Any, dt: _datetime.datetime) -> None: ...
    def send_before_trading_event(self) -> None: ...
    def send_after_trading_event(self) -> None: ...
    def send_open_auction_event(self) -> None: ...
    def set_timer(self) -> None: ...

# The types of the module's native functions and generators (pickled by reference).
__velora_function__: type
__velora_generator__: type
