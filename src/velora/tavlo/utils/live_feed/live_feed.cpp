// velora.tavlo.utils.live_feed: the live trading bridge between the broker SDK and
// the framework.
//
//     from velora.tavlo.environment import Environment
//     from velora.tavlo.core.events import EVENT, Event
//     ...                                   (framework models, converters, loggers)
//     from numpy_ringbuffer import RingBuffer as RB
//     import numpy as np
//     from collections import deque
//     import copy
//     from datetime import datetime, time, timedelta
//     import pymach.strategy as strategy
//     from pymach.enums import *
//
//     mach_params = {}
//     class RingBuffer(RB): ...   # each operation atomic (event_queue.cpp)
//     event_queue = RingBuffer(capacity=1000000, dtype=object)
//     del RingBuffer
//     history_bar = {}          # market code -> deque of bar dicts
//     history_tick = {}         # market code -> deque(maxlen=60) of tick dicts
//     orders_dict = {}          # client order id -> framework order
//     algo_parent_orders = {}   # sys_quote_id -> AlgoParentOrder
//     algo_child_orders = {}
//     algo_child_trades = {}
//
//     def get_current_bar(market_code): ...          (market_data.cpp)
//     def get_current_tick(market_code): ...
//     def history_ticks(market_code, count): ...
//     def history_bars(market_code, count): ...
//
//     class MachStrategy(strategy.MachStrategy): ...
//         set-up, login, accounts and positions       (setup.cpp)
//         market data                                  (market_data.cpp)
//         orders and trades                            (orders.cpp)
//         algorithmic orders                           (algo_orders.cpp)
//         the trading day                              (timers.cpp)
//
// Every callback hands its result to the framework as `Event(EVENT.X, **payload)`
// appended to `event_queue`.  Module-level names are read from the module's
// dictionary at each use, and SDK values stay Python objects throughout.
#include "live_feed.hpp"

namespace live_feed {
namespace {

void fill_strategy(ClassBody &c) {
    c.def("__init__", "self, config", init);
    c.def("initialize", "self, config", initialize);
    c.def("on_initialize", "self", on_initialize);
    c.def("on_switch_day", "self", on_switch_day);
    c.def("on_snapshot", "self, snapshot", on_snapshot);
    c.def("on_tick_order", "self, tick_order", on_tick_order);
    c.def("on_tick_trade", "self, tick_trade", on_tick_trade);
    c.def("on_bar", "self, bar", on_bar);
    c.def("on_login", "self, login_res", on_login);
    c.def("on_query_asset", "self, asset_res, request_id, code, msg", on_query_asset);
    c.def("on_query_position", "self, query_position_res, request_id, code, msg", on_query_position);
    c.def("on_order", "self, order", on_order);
    c.def("on_trade", "self, trade", on_trade);
    c.def("on_order_action_error", "self, order_action_error", on_order_action_error);
    c.def("on_algo_login", "self, algo_login_res", on_algo_login);
    c.def("on_create_algo_parent_order_res", "self, create_parent_order_res", on_create_algo_parent_order_res);
    c.def("on_cancel_algo_parent_order_res", "self, cancel_parent_order_res", on_cancel_algo_parent_order_res);
    c.def("on_control_algo_parent_order_res", "self, control_parent_order_res", on_control_algo_parent_order_res);
    c.def("on_algo_parent_order_update", "self, parent_order", on_algo_parent_order_update);
    c.def("on_algo_child_order_update", "self, child_order", on_algo_child_order_update);
    c.def("on_algo_child_order_trade", "self, child_trade", on_algo_child_order_trade);
    c.def("create_time_listener", "self", create_time_listener);
    c.def("send_day_event", "self, event_type, dt", send_day_event);
    c.def("send_before_trading_event", "self", send_before_trading_event);
    c.def("send_after_trading_event", "self", send_after_trading_event);
    c.def("send_open_auction_event", "self", send_open_auction_event);
    c.def("set_timer", "self", set_timer);
}

void body(Module &m) {
    m.from_import("velora.tavlo.environment", {"Environment"});
    m.from_import("velora.tavlo.core.events", {"EVENT", "Event"});
    m.from_import("velora.tavlo.model.tick", {"TickObject"});
    m.from_import("velora.tavlo.model.trade", {"Trade"});
    m.from_import("velora.tavlo.model.l2_order", {"L2Order"});
    m.from_import("velora.tavlo.model.l2_transaction", {"L2Transaction"});
    m.from_import("velora.tavlo.utils.datetime_func", {"convert_int_to_whole_date", "convert_int_to_datetime"});
    m.from_import("velora.tavlo.utils.trade_func",
                  {"get_exchane_from_mach_mdtype", "get_mach_tdtype", "get_side_from_mach_l2_order",
                   "get_order_type_from_mach_l2_order", "get_trade_type_from_mach", "get_l2order_type_from_mach"});
    m.from_import("velora.tavlo.utils.logger", {"system_log", "user_system_log"});
    m.from_import("velora.tavlo.model.algo_parent_order", {"AlgoParentOrder"});
    m.from_import("velora.tavlo.model.algo_child_order", {"AlgoChildOrder"});
    m.from_import("velora.tavlo.model.algo_child_trade", {"AlgoChildTrade"});
    m.from_import("velora.tavlo.const", {"ORDER_STATUS", "POSITION_DIRECTION", "SIDE"});
    m.from_import("velora.tavlo.portfolio.account", {"Asset"});
    m.from_import("velora.tavlo.portfolio.position", {"Position"});
    m.from_import("numpy_ringbuffer", {"RingBuffer as RB"});
    m.import("numpy", "np");
    m.from_import("collections", {"deque"});
    m.import("copy");
    m.from_import("datetime", {"datetime", "time", "timedelta"});
    m.import("pymach.strategy", "strategy");
    m.star_import("pymach.enums");

    m.set("mach_params", py::dict());
    define_event_queue(m);
    m.set("history_bar", py::dict());
    m.set("history_tick", py::dict());
    m.set("orders_dict", py::dict());
    m.set("algo_parent_orders", py::dict());
    m.set("algo_child_orders", py::dict());
    m.set("algo_child_trades", py::dict());

    m.def("get_current_bar", "market_code", get_current_bar);
    m.def("get_current_tick", "market_code", get_current_tick);
    m.def("history_ticks", "market_code, count", history_ticks);
    m.def("history_bars", "market_code, count", history_bars);

    m.cls("MachStrategy", {attr(m.get("strategy"), "MachStrategy"_n)}, fill_strategy);
}

}  // namespace
}  // namespace live_feed

FRAME_MODULE(live_feed, live_feed::body)
