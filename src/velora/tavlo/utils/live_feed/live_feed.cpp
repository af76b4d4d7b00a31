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
//     class RingBuffer(RB): ...   # each operation atomic (see below)
//     event_queue = RingBuffer(capacity=1000000, dtype=object)
//     del RingBuffer
//     history_bar = {}          # market code -> deque of bar dicts
//     history_tick = {}         # market code -> deque(maxlen=60) of tick dicts
//     orders_dict = {}          # client order id -> framework order
//     algo_parent_orders = {}   # sys_quote_id -> AlgoParentOrder
//     algo_child_orders = {}
//     algo_child_trades = {}
//
//     def get_current_bar(market_code): ...
//     def get_current_tick(market_code): ...
//     def history_ticks(market_code, count): ...
//     def history_bars(market_code, count): ...
//
//     class MachStrategy(strategy.MachStrategy): ...
//
// Every callback hands its result to the framework as `Event(EVENT.X, **payload)`
// appended to `event_queue`.  Module-level names are read from the module's
// dictionary at each use, and SDK values stay Python objects throughout.
#include "frame.hpp"

using namespace frame;

namespace {

// --- small pieces the callbacks share --------------------------------------

py::object attr(py::handle obj, py::handle name) { return py::getattr(obj, name); }

// `event_queue.append(event)`
void post(py::handle queue, py::handle event) { vcall_method(queue, "append"_n, {event}); }

// `Event(event_type, calendar_dt=dt, trading_dt=dt)`
py::object day_event(const Call &f, py::handle event_type, py::handle dt) {
    return vcall_kw<"calendar_dt", "trading_dt">(f.global("Event"_n), {event_type, dt, dt});
}

// `EVENT.<member>`
py::object event_type(const Call &f, py::handle member) { return attr(f.global("EVENT"_n), member); }

// `record.security_id + "." + get_exchane_from_mach_mdtype(record.<market attribute>)`
py::object market_code_of(const Call &f, py::handle record, py::handle market_attribute) {
    py::object head = add(attr(record, "security_id"_n), "."_n);
    py::object convert = f.global("get_exchane_from_mach_mdtype"_n);
    py::object market = attr(record, market_attribute);
    return add(head, vcall(convert, {market}));
}

// `convert_int_to_datetime(record.<stamp> / 1000)`: SDK stamps are thousandths.
py::object stamp_datetime(const Call &f, py::handle record, py::handle stamp) {
    py::object convert = f.global("convert_int_to_datetime"_n);
    py::object seconds = truediv(attr(record, stamp), 1000_i);
    return vcall(convert, {seconds});
}

// `int(delta.total_seconds() * 1000000000)`: an SDK timer delay in nanoseconds.
py::object nanoseconds(py::handle delta) {
    py::object seconds = vcall_method(delta, "total_seconds"_n);
    return steal(PyNumber_Long(mul(seconds, 1000000000_i).ptr()));
}

py::object config_base(py::handle self) { return attr(attr(self, "config"_n), "base"_n); }
py::object context(py::handle self) { return attr(self, "context"_n); }

void log_info(const Call &f, py::handle text) { vcall_method(f.global("system_log"_n), "info"_n, {text}); }

// --- the query functions -----------------------------------------------------

// The newest entry of a code in the cache named `Cache`, or None (also for a code
// whose deque is still empty: it was created and not yet appended to).
template <FixedString Cache>
py::object current_entry(const Call &f) {
    py::handle market_code = f[0];
    if (!contains_method(f.global(Name<Cache>{}), market_code)) return py::none();
    py::object entries = getitem(f.global(Name<Cache>{}), market_code);
    if (!truth(entries)) return py::none();
    return getitem(entries, -1_i);
}

// `list(cache[market_code])[count * -1:]`, made without the intermediate list.
template <FixedString Cache>
py::object history_entries(const Call &f) {
    py::handle market_code = f[0], count = f[1];
    if (!contains_method(f.global(Name<Cache>{}), market_code)) return py::none();
    py::object entries = getitem(f.global(Name<Cache>{}), market_code);
    py::object bounds = slice(mul(count, -1_i), py::none());
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(bounds.ptr(), &start, &stop, &step) < 0) raise_current();
    Py_ssize_t size = PyObject_Length(entries.ptr());
    if (size < 0) raise_current();
    Py_ssize_t n = PySlice_AdjustIndices(size, &start, &stop, step);
    py::object result = steal(PyList_New(n));
    py::object it = steal(PyObject_GetIter(entries.ptr()));
    for (Py_ssize_t i = 0; i < start + n; ++i) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) raise_current();
            PyErr_SetString(PyExc_RuntimeError, "history changed size while being read");
            raise_current();
        }
        if (i < start)
            Py_DECREF(item);
        else
            PyList_SET_ITEM(result.ptr(), i - start, item);
    }
    return result;
}

py::object get_current_bar(Call &f) { return current_entry<"history_bar">(f); }
py::object get_current_tick(Call &f) { return current_entry<"history_tick">(f); }
py::object history_ticks(Call &f) { return history_entries<"history_tick">(f); }
py::object history_bars(Call &f) { return history_entries<"history_bar">(f); }

// --- MachStrategy: set-up ------------------------------------------------------

py::object init(Call &f) {
    py::handle self = f[0], config = f[1];
    vcall_method(f.super(), "__init__"_n);
    py::setattr(self, "logged_in"_n, Py_False);
    py::setattr(self, "order_num"_n, 0_i);
    py::setattr(self, "bar_cnt"_n, 0_i);
    py::setattr(self, "current_trade_dt"_n, 0_i);
    py::setattr(self, "first_dt"_n, vcall_method(vcall_method(f.global("datetime"_n), "now"_n), "date"_n));
    py::setattr(self, "config"_n, config);
    return py::none();
}

// `mach_params[key] = value`
void set_param(const Call &f, py::handle key, py::handle value) { setitem(f.global("mach_params"_n), key, value); }

py::object initialize(Call &f) {
    py::handle self = f[0];
    log_info(f, "MachStrategy initialize..."_n);

    // Market data: exactly "MaMD" picks that broker, anything else (or nothing) AMD.
    bool mamd = has_attribute(config_base(self), "md_type"_n) && eq(attr(config_base(self), "md_type"_n), "MaMD"_n);
    py::handle md_member = mamd ? py::handle("MaMD"_n) : py::handle("AMD"_n);
    vcall_method(context(self), "add_md_broker"_n, {attr(f.global("MDType"_n), md_member)});
    set_param(f, "mach_md"_n, attr(f.global("MDType"_n), md_member));

    if (has_attribute(config_base(self), "order_way"_n))
        vcall_method(context(self), "set_order_way"_n, {attr(config_base(self), "order_way"_n)});

    // Trading brokers, one per account "<account>_<destination>", in mapping order.
    py::object items = vcall_method(attr(config_base(self), "accounts"_n), "items"_n);
    for (py::handle item : items) {
        auto [key, value] = unpack<2>(item);
        auto [ac, dest] = unpack<2>(vcall_method(value, "split"_n, {"_"_n}));
        py::object td_type = vcall(f.global("get_mach_tdtype"_n), {vcall_method(dest, "upper"_n)});
        vcall_method(context(self), "add_td_broker"_n, {td_type});
        set_param(f, "mach_td"_n, vcall(f.global("get_mach_tdtype"_n), {vcall_method(dest, "upper"_n)}));
    }

    if (has_attribute(config_base(self), "algo_account"_n) && !is_none(attr(config_base(self), "algo_account"_n))) {
        auto [ac, dest] = unpack<2>(vcall_method(attr(config_base(self), "algo_account"_n), "split"_n, {"_"_n}));
        if (eq(vcall_method(dest, "upper"_n), "ATX"_n))
            vcall_method(context(self), "add_algo_broker"_n, {attr(f.global("AlgoType"_n), "ATX"_n)});
    }

    set_param(f, "mach_context"_n, context(self));
    py::object md = getitem(f.global("mach_params"_n), "mach_md"_n);
    py::object szse = attr(f.global("MarketType"_n), "SZSE"_n);
    py::object bar = attr(f.global("SubscribeDataType"_n), "Bar"_n);
    vcall_method(context(self), "subscribe"_n, {md, szse, bar, py::list(), "1m"_n});
    vcall_method(self, "set_timer"_n);
    return py::none();
}

py::object on_initialize(Call &) { return py::none(); }

// The day switch empties the caches and the registries.
py::object on_switch_day(Call &f) {
    vcall_method(f.global("orders_dict"_n), "clear"_n);
    vcall_method(f.global("history_bar"_n), "clear"_n);
    vcall_method(f.global("history_tick"_n), "clear"_n);
    vcall_method(f.global("algo_parent_orders"_n), "clear"_n);
    vcall_method(f.global("algo_child_orders"_n), "clear"_n);
    vcall_method(f.global("algo_child_trades"_n), "clear"_n);
    return py::none();
}

// --- MachStrategy: market data -------------------------------------------------

py::object on_snapshot(Call &f) {
    py::handle snapshot = f[1];
    py::object dt = stamp_datetime(f, snapshot, "orig_time"_n);
    py::object code = market_code_of(f, snapshot, "market_type"_n);
    auto a = [&](py::handle name) { return attr(snapshot, name); };
    py::object tick = dict_of<"market_code", "datetime", "open_price", "close_price", "high_price", "low_price",
                              "total_turnover", "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids",
                              "high_limited", "last_price", "low_limited", "open_interest", "prev_settlement",
                              "iopv", "trading_phase_code">(
        {code, dt, a("open_price"_n), a("close_price"_n), a("high_price"_n), a("low_price"_n),
         a("total_value_trade"_n), a("total_volume_trade"_n), a("pre_close_price"_n), a("ask_volume"_n),
         a("ask_price"_n), a("bid_volume"_n), a("bid_price"_n), a("high_limited"_n), a("last_price"_n),
         a("low_limited"_n), a("open_interest"_n), a("prev_settlement"_n), a("iopv"_n), a("trading_phase_code"_n)});
    if (!contains_method(f.global("history_tick"_n), code))
        setitem(f.global("history_tick"_n), code, vcall_kw<"maxlen">(f.global("deque"_n), {60_i}));
    vcall_method(getitem(f.global("history_tick"_n), code), "append"_n, {tick});

    py::object queue = f.global("event_queue"_n);
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, "TICK"_n);
    py::object TickObject = f.global("TickObject"_n);
    py::object env = vcall_method(f.global("Environment"_n), "get_instance"_n);
    py::object instrument = vcall_method(attr(env, "data_proxy"_n), "instruments"_n, {code});
    py::object tick_object = vcall(TickObject, {instrument, tick});
    post(queue, vcall_kw<"calendar_dt", "trading_dt", "tick">(Event, {type, dt, dt, tick_object}));
    return py::none();
}

py::object on_tick_order(Call &f) {
    py::handle order = f[1];
    py::object dt = stamp_datetime(f, order, "order_time"_n);
    py::object code = market_code_of(f, order, "market_type"_n);
    py::object chr = f.global("chr"_n);
    py::object side = vcall(f.global("get_side_from_mach_l2_order"_n),
                            {vcall(chr, {attr(order, "side"_n)}), attr(order, "market_type"_n)});
    py::object queue = f.global("event_queue"_n);
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, "L2_ORDER"_n);
    py::object create = attr(f.global("L2Order"_n), "__from_create__"_n);
    py::object to_order_type = f.global("get_order_type_from_mach_l2_order"_n);
    py::object to_l2_order_type = f.global("get_l2order_type_from_mach"_n);
    py::object l2_order = vcall(
        create, {attr(order, "biz_index"_n), code, dt, side, attr(order, "order_price"_n), attr(order, "order_volume"_n),
                 vcall(to_order_type, {vcall(chr, {attr(order, "order_type"_n)}), attr(order, "market_type"_n)}),
                 attr(order, "orig_order_no"_n),
                 vcall(to_l2_order_type, {vcall(chr, {attr(order, "order_type"_n)}), attr(order, "market_type"_n)})});
    post(queue, vcall_kw<"calendar_dt", "trading_dt", "l2_order">(Event, {type, dt, dt, l2_order}));
    return py::none();
}

py::object on_tick_trade(Call &f) {
    py::handle trade = f[1];
    py::object dt = stamp_datetime(f, trade, "trade_time"_n);
    py::object code = market_code_of(f, trade, "market_type"_n);
    // The aggressor: the later of the two orders (equal numbers count as a sell).
    bool buy = gt(attr(trade, "bid_appl_seq_num"_n), attr(trade, "offer_appl_seq_num"_n));
    py::object side = attr(f.global("SIDE"_n), buy ? py::handle("BUY"_n) : py::handle("SELL"_n));
    py::object queue = f.global("event_queue"_n);
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, "L2_TRANSACTION"_n);
    py::object create = attr(f.global("L2Transaction"_n), "__from_create__"_n);
    py::object to_trade_type = f.global("get_trade_type_from_mach"_n);
    py::object chr = f.global("chr"_n);
    py::object transaction = vcall(
        create, {attr(trade, "biz_index"_n), code, dt, side, attr(trade, "trade_price"_n), attr(trade, "trade_volume"_n),
                 attr(trade, "value_trade"_n), vcall(to_trade_type, {vcall(chr, {attr(trade, "trade_type"_n)})}),
                 attr(trade, "bid_appl_seq_num"_n), attr(trade, "offer_appl_seq_num"_n)});
    post(queue, vcall_kw<"calendar_dt", "trading_dt", "l2_transaction">(Event, {type, dt, dt, transaction}));
    return py::none();
}

// Bars are cached one by one but reported once per bar time: when as many bars of
// that time have arrived as the universe has instruments.
py::object on_bar(Call &f) {
    py::handle self = f[0], bar = f[1];
    py::object code = market_code_of(f, bar, "market_type"_n);
    py::object convert = f.global("convert_int_to_datetime"_n);
    py::object bar_time = truediv(attr(bar, "end_time"_n), 1000_i);
    auto a = [&](py::handle name) { return attr(bar, name); };
    py::object bar_dict = dict_of<"market_code", "orig_time", "open_price", "close_price", "high_price", "low_price",
                                  "total_turnover", "volume", "prev_close">(
        {code, vcall(convert, {bar_time}), a("open"_n), a("close"_n), a("high"_n), a("low"_n), a("amount"_n),
         a("volume"_n), a("prev_close"_n)});
    if (!contains_method(f.global("history_bar"_n), code)) setitem(f.global("history_bar"_n), code, vcall(f.global("deque"_n)));
    vcall_method(getitem(f.global("history_bar"_n), code), "append"_n, {bar_dict});

    py::object current = attr(self, "current_trade_dt"_n);
    if (eq(current, 0_i) || eq(current, bar_time))
        py::setattr(self, "bar_cnt"_n, steal(PyNumber_InPlaceAdd(attr(self, "bar_cnt"_n).ptr(), (1_i).ptr())));
    else
        py::setattr(self, "bar_cnt"_n, 1_i);
    py::setattr(self, "current_trade_dt"_n, bar_time);

    py::object count = attr(self, "bar_cnt"_n);
    py::object env = vcall_method(f.global("Environment"_n), "get_instance"_n);
    if (eq(count, len_of(vcall_method(env, "get_universe"_n)))) {
        py::object whole_date = f.global("convert_int_to_whole_date"_n);
        py::object calendar_dt = vcall(whole_date, {steal(PyNumber_Long(attr(self, "current_trade_dt"_n).ptr()))});
        py::object queue = f.global("event_queue"_n);
        post(queue, day_event(f, event_type(f, "BAR"_n), calendar_dt));
        py::setattr(self, "bar_cnt"_n, 0_i);
    }
    return py::none();
}

// --- MachStrategy: login ---------------------------------------------------------

py::object on_login(Call &f) {
    py::handle self = f[0], res = f[1];
    py::object logger = f.global("system_log"_n);
    vcall_method(logger, "info"_n,
                 {concat({"on_login fund_account_id:"_n, str(attr(res, "fund_account_id"_n)), ", error_code:"_n,
                          str(attr(res, "error_code"_n))})});
    py::object queue = f.global("event_queue"_n);
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, "LOGIN"_n);
    post(queue, vcall_kw<"rid", "account_id", "code", "msg">(
                    Event, {type, attr(res, "client_seq_id"_n), attr(res, "fund_account_id"_n),
                            attr(res, "error_code"_n), attr(res, "error_msg"_n)}));
    if (eq(attr(res, "error_code"_n), 0_i)) {
        py::setattr(self, "logged_in"_n, Py_True);
        vcall_method(context(self), "query_asset"_n, {attr(res, "fund_account_id"_n)});
        vcall_method(context(self), "query_position"_n, {attr(res, "fund_account_id"_n)});
    }
    return py::none();
}

// --- MachStrategy: accounts and positions ------------------------------------------

py::object on_query_asset(Call &f) {
    py::handle res = f[1], request_id = f[2], code = f[3], msg = f[4];
    py::object logger = f.global("system_log"_n);
    vcall_method(logger, "info"_n,
                 {concat({"on_query_asset, "_n, format(attr(res, "fund_account_id"_n)), ", leaves_value:"_n,
                          format(attr(res, "leaves_value"_n)), " code "_n, format(code), "  ms "_n, format(msg)})});
    if (ne(code, 0_i)) {
        py::object queue = f.global("event_queue"_n);
        py::object Event = f.global("Event"_n);
        py::object type = event_type(f, "QUERY_ACCOUNT"_n);
        post(queue, vcall_kw<"rid", "account_id", "code", "msg">(
                        Event, {type, request_id, attr(res, "fund_account_id"_n), code, msg}));
        return py::none();
    }
    py::object Asset = f.global("Asset"_n);
    auto a = [&](py::handle name) { return attr(res, name); };
    py::object asset = vcall(Asset, {a("fund_account_id"_n), a("available_t1"_n), a("frozen_all"_n), a("market_value"_n),
                                     a("total_asset"_n), a("leaves_value"_n), a("init_leaves_value"_n)});
    py::object queue = f.global("event_queue"_n);
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, "QUERY_ACCOUNT"_n);
    post(queue, vcall_kw<"rid", "account_id", "asset">(Event, {type, request_id, attr(res, "fund_account_id"_n), asset}));
    return py::none();
}

// The name a skipped position record is logged under: its security id, or None
// when even that cannot be read (the warning itself must not fail).
py::object record_name(py::handle pos) {
    PyObject *name = PyObject_GetAttr(pos.ptr(), "security_id"_n.ptr());
    if (name) return steal(name);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_current();
    PyErr_Clear();
    return py::none();
}

// Each record becomes a long position; a record that cannot be converted is
// skipped with a warning and the others are still delivered.
py::object on_query_position(Call &f) {
    py::handle res = f[1], request_id = f[2], code = f[3], msg = f[4];
    py::object logger = f.global("system_log"_n);
    vcall_method(logger, "info"_n, {concat({"on_query_position: code:"_n, str(code), ", msg:"_n, str(msg)})});
    if (ne(code, 0_i)) {
        py::object queue = f.global("event_queue"_n);
        py::object Event = f.global("Event"_n);
        py::object type = event_type(f, "QUERY_POSITION"_n);
        post(queue, vcall_kw<"rid", "code", "msg">(Event, {type, request_id, code, msg}));
        return py::none();
    }
    py::handle list_type = reinterpret_cast<PyObject *>(&PyList_Type);
    if (!eq(reinterpret_cast<PyObject *>(Py_TYPE(res.ptr())), list_type)) return py::none();
    if (lt(len_of(res), 1_i)) return py::none();

    py::list positions;
    for (py::handle pos : res) {
        py::object position;
        try_except(
            PyExc_Exception,
            [&] {
                py::object Position = f.global("Position"_n);
                py::object head = add(attr(pos, "security_id"_n), "."_n);
                py::object convert = f.global("get_exchane_from_mach_mdtype"_n);
                py::object order_book_id = add(head, vcall(convert, {attr(pos, "market_id"_n)}));
                py::object long_direction = attr(f.global("POSITION_DIRECTION"_n), "LONG"_n);
                py::object made = vcall(Position, {order_book_id, long_direction, attr(pos, "init_qty"_n)});
                py::object set_state = attr(made, "set_state"_n);
                auto a = [&](py::handle name) { return attr(pos, name); };
                vcall(set_state, {dict_of<"quantity", "available_qty", "avg_price", "last_price", "market_value",
                                          "daily_pnl">({a("leaves_qty"_n), a("available_qty"_n), a("cost_price"_n),
                                                        a("last_price"_n), a("market_value"_n), a("profit_loss"_n)})});
                position = std::move(made);
            },
            [&](py::handle e) {
                py::object warn_log = f.global("user_system_log"_n);
                vcall_method(warn_log, "warning"_n,
                             {concat({"on_query_position position do not add: "_n, str(record_name(pos)),
                                      "  exception: "_n, str(e)})});
            });
        if (position) positions.append(position);
    }
    py::object queue = f.global("event_queue"_n);
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, "QUERY_POSITION"_n);
    post(queue, vcall_kw<"rid", "positions">(Event, {type, request_id, positions}));
    return py::none();
}

// --- MachStrategy: orders and trades -------------------------------------------------

// `Event(EVENT.<member>, account=account, order=copy.deepcopy(vl_order))`: the
// copy is taken now, so later changes to the live order leave the event alone.
py::object order_event(const Call &f, py::handle member, py::handle account, py::handle vl_order) {
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, member);
    py::object copied = vcall_method(f.global("copy"_n), "deepcopy"_n, {vl_order});
    return vcall_kw<"account", "order">(Event, {type, account, copied});
}

py::object order_status(const Call &f, py::handle member) { return attr(f.global("ORDER_STATUS"_n), member); }

py::object on_order(Call &f) {
    py::handle order = f[1];
    auto a = [&](py::handle name) { return attr(order, name); };
    py::object logger = f.global("system_log"_n);
    vcall_method(logger, "info"_n,
                 {concat({"on_order:"_n, format(a("client_order_id"_n)), ", symbol: "_n, format(a("security_id"_n)),
                          ", price:"_n, format(a("order_price"_n)), ", status:"_n, format(a("order_status"_n)),
                          ", order_qty:"_n, format(a("order_qty"_n)), ", trade_qty:"_n, format(a("trade_qty"_n)),
                          ", total_trade_value: "_n, format(a("total_trade_value"_n)), ", error_msg:"_n,
                          format(a("error_msg"_n)), ", last_match_qty: "_n, format(a("last_match_qty"_n))})});
    if (!contains_method(f.global("orders_dict"_n), a("client_order_id"_n))) return py::none();
    py::object vl_order = getitem(f.global("orders_dict"_n), a("client_order_id"_n));
    py::object env = vcall_method(f.global("Environment"_n), "get_instance"_n);
    py::object account = vcall_method(env, "get_account"_n, {attr(vl_order, "market_code"_n)});

    py::object status = a("order_status"_n);
    py::object statuses = f.global("OrderStatusType"_n);
    auto is = [&](py::handle member) { return eq(status, attr(statuses, member)); };

    if (is("UnSend"_n) || is("Sended"_n)) {
        // Accepted: the broker's id and frozen cash; active once the broker has numbered it.
        py::setattr(vl_order, "secondary_order_id"_n, a("counter_order_id"_n));
        vcall_method(vl_order, "set_frozen_cash"_n, {a("frozen_trade_value"_n)});
        if (truth(a("counter_order_id"_n)) && gt(a("counter_order_id"_n), 0_i) &&
            ne(attr(vl_order, "status"_n), order_status(f, "ACTIVE"_n))) {
            py::setattr(vl_order, "status"_n, order_status(f, "ACTIVE"_n));
            py::object queue = f.global("event_queue"_n);
            post(queue, order_event(f, "ORDER_CREATION_PASS"_n, account, vl_order));
        }
    } else if (is("PartiallyFilled"_n) || is("Filled"_n) || is("PartiallyFilledPartiallyCancelled"_n) ||
               is("WaitCancelled"_n) || is("PartiallyFilledWaitCancelled"_n) || is("Cancelled"_n)) {
        // The latest fill, if the report carries one.
        if (gt(a("last_match_qty"_n), 0_i)) {
            py::object from_create = attr(f.global("Trade"_n), "__from_create__"_n);
            py::object trade =
                vcall_kw<"order_id", "price", "amount", "side", "position_effect", "market_code", "frozen_price">(
                    from_create, {attr(vl_order, "order_id"_n), a("last_match_price"_n), a("last_match_qty"_n),
                                  attr(vl_order, "side"_n), attr(vl_order, "position_effect"_n),
                                  attr(vl_order, "market_code"_n), attr(vl_order, "price"_n)});
            // No cumulative quantity, no average price: it keeps its value.
            if (!eq(a("trade_qty"_n), 0_i))
                py::setattr(vl_order, "avg_price"_n, truediv(a("total_trade_value"_n), a("trade_qty"_n)));
            py::setattr(vl_order, "filled_quantity"_n, a("trade_qty"_n));
            py::setattr(vl_order, "unfilled_quantity"_n, sub(a("order_qty"_n), a("trade_qty"_n)));
            if (is("Filled"_n))
                py::setattr(vl_order, "status"_n, order_status(f, "FILLED"_n));
            else if (is("PartiallyFilled"_n))
                py::setattr(vl_order, "status"_n, order_status(f, "PARTIALLY_FILLED"_n));
            py::object queue = f.global("event_queue"_n);
            py::object Event = f.global("Event"_n);
            py::object type = event_type(f, "TRADE"_n);
            py::object copied = vcall_method(f.global("copy"_n), "deepcopy"_n, {vl_order});
            post(queue, vcall_kw<"account", "trade", "order">(Event, {type, account, trade, copied}));
        }
        // Then the cancellation, confirmed or pending.
        if (is("PartiallyFilledPartiallyCancelled"_n) || is("Cancelled"_n)) {
            py::setattr(vl_order, "status"_n, order_status(f, "CANCELLED"_n));
            py::object queue = f.global("event_queue"_n);
            post(queue, order_event(f, "ORDER_CANCELLATION_PASS"_n, account, vl_order));
        } else if (is("PartiallyFilledWaitCancelled"_n) || is("WaitCancelled"_n)) {
            if (gt(attr(vl_order, "filled_quantity"_n), 0_i))
                py::setattr(vl_order, "status"_n, order_status(f, "PARTIALLY_FILLED"_n));
            py::object queue = f.global("event_queue"_n);
            post(queue, order_event(f, "ORDER_PENDING_CANCEL"_n, account, vl_order));
        }
    } else if (is("Reject"_n)) {
        // The reason is "<code>_<message>", whatever type the broker gave the message.
        py::object reason = concat({str(a("error_code"_n)), "_"_n, str(a("error_msg"_n))});
        vcall_method(vl_order, "mark_rejected"_n, {reason});
        vcall_method(vl_order, "set_frozen_cash"_n, {a("frozen_trade_value"_n)});
        py::object queue = f.global("event_queue"_n);
        post(queue, order_event(f, "ORDER_UNSOLICITED_UPDATE"_n, account, vl_order));
    }
    return py::none();
}

// Fills are taken from the order reports; the SDK's trade reports add nothing.
py::object on_trade(Call &) { return py::none(); }

py::object on_order_action_error(Call &f) {
    py::handle error = f[1];
    if (!contains_method(f.global("orders_dict"_n), attr(error, "client_order_id"_n))) return py::none();
    py::object vl_order = getitem(f.global("orders_dict"_n), attr(error, "client_order_id"_n));
    py::object env = vcall_method(f.global("Environment"_n), "get_instance"_n);
    py::object account = vcall_method(env, "get_account"_n, {attr(vl_order, "market_code"_n)});
    py::object queue = f.global("event_queue"_n);
    post(queue, order_event(f, "ORDER_CANCELLATION_REJECT"_n, account, vl_order));
    return py::none();
}

// --- MachStrategy: algorithmic orders -------------------------------------------------

py::object on_algo_login(Call &f) {
    py::handle res = f[1];
    py::object queue = f.global("event_queue"_n);
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, "ALGO_LOGIN"_n);
    post(queue, vcall_kw<"req_id", "algo_account", "code", "msg">(
                    Event, {type, attr(res, "client_seq_id"_n), attr(res, "trader_id"_n), attr(res, "error_code"_n),
                            attr(res, "error_msg"_n)}));
    return py::none();
}

py::object on_create_algo_parent_order_res(Call &f) {
    py::handle res = f[1];
    py::object queue = f.global("event_queue"_n);
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, "PARENT_ORDER_CREATE"_n);
    post(queue, vcall_kw<"req_id", "parent_order_id", "code", "msg">(
                    Event, {type, attr(res, "client_seq_id"_n), attr(res, "sys_quote_id"_n), attr(res, "error_code"_n),
                            attr(res, "error_msg"_n)}));
    return py::none();
}

// `Event(EVENT.<member>, parent_order_id=..., code=..., msg=...)`: the answers to
// cancel, pause and resume, which carry no request id.
void post_parent_answer(const Call &f, py::handle member, py::handle res) {
    py::object queue = f.global("event_queue"_n);
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, member);
    post(queue, vcall_kw<"parent_order_id", "code", "msg">(
                    Event, {type, attr(res, "sys_quote_id"_n), attr(res, "error_code"_n), attr(res, "error_msg"_n)}));
}

py::object on_cancel_algo_parent_order_res(Call &f) {
    post_parent_answer(f, "PARENT_ORDER_CANCEL"_n, f[1]);
    return py::none();
}

// Pause is told by the answer's `control_type`, resume by its `algo_control_type`.
py::object on_control_algo_parent_order_res(Call &f) {
    py::handle res = f[1];
    py::object control = f.import_from("pymach.enums", "AlgoControlType");
    if (eq(attr(res, "control_type"_n), attr(control, "Pause"_n)))
        post_parent_answer(f, "PARENT_ORDER_PAUSE"_n, res);
    else if (eq(attr(res, "algo_control_type"_n), attr(control, "Resume"_n)))
        post_parent_answer(f, "PARENT_ORDER_RESUME"_n, res);
    return py::none();
}

// The latest model of each algorithmic order or trade, kept by `sys_quote_id`:
// the converter gets the report and the model stored before it (or None).
template <FixedString Keyword>
py::object algo_update(const Call &f, py::handle registry, py::handle model, py::handle member) {
    py::handle report = f[1];
    py::object existing = py::none();
    if (contains_method(f.global(registry), attr(report, "sys_quote_id"_n)))
        existing = vcall_method(f.global(registry), "get"_n, {attr(report, "sys_quote_id"_n)});
    py::object from_mach = attr(f.global(model), "from_mach"_n);
    py::object obj = vcall(from_mach, {report, existing});
    setitem(f.global(registry), attr(report, "sys_quote_id"_n), obj);
    py::object queue = f.global("event_queue"_n);
    py::object Event = f.global("Event"_n);
    py::object type = event_type(f, member);
    py::object copied = vcall_method(f.global("copy"_n), "deepcopy"_n, {obj});
    post(queue, vcall_kw<Keyword>(Event, {type, copied}));
    return py::none();
}

py::object on_algo_parent_order_update(Call &f) {
    return algo_update<"algo_parent_order">(f, "algo_parent_orders"_n, "AlgoParentOrder"_n, "PARENT_ORDER_UPDATE"_n);
}
py::object on_algo_child_order_update(Call &f) {
    return algo_update<"algo_child_order">(f, "algo_child_orders"_n, "AlgoChildOrder"_n, "CHILD_ORDER_UPDATE"_n);
}
py::object on_algo_child_order_trade(Call &f) {
    return algo_update<"algo_child_trade">(f, "algo_child_trades"_n, "AlgoChildTrade"_n, "CHILD_ORDER_TRADE"_n);
}

// --- MachStrategy: the trading day ---------------------------------------------------

py::object create_time_listener(Call &f) {
    py::handle self = f[0];
    py::object current_date = vcall_method(f.global("np"_n), "datetime64"_n, {"today"_n, "D"_n});
    int trading = PySequence_Contains(attr(config_base(self), "trading_calendar"_n).ptr(), current_date.ptr());
    if (trading < 0) raise_current();
    if (!trading) {
        py::object logger = f.global("system_log"_n);
        vcall_method(logger, "info"_n, {concat({str(current_date), " not trade day... "_n,
                                                str(attr(config_base(self), "trading_calendar"_n))})});
        return py::none();
    }
    py::object now = vcall_method(f.global("datetime"_n), "now"_n);
    py::object current_time = vcall_method(now, "time"_n);

    // int((datetime.combine(now.date(), time(h, m, s)) - now).total_seconds() * 1000000000)
    auto delay_until = [&](py::handle h, py::handle m, py::handle s) {
        py::object datetime = f.global("datetime"_n);
        py::object date = vcall_method(now, "date"_n);
        py::object at = vcall(f.global("time"_n), {h, m, s});
        return nanoseconds(sub(vcall_method(datetime, "combine"_n, {date, at}), now));
    };
    auto before = [&](py::handle h, py::handle m, py::handle s) {
        return lt(current_time, vcall(f.global("time"_n), {h, m, s}));
    };
    auto add_timer = [&](py::handle delay, py::handle method) {
        vcall_method(context(self), "add_timer_interval"_n, {delay, attr(self, method)});
    };

    if (before(9_i, 0_i, 0_i))
        add_timer(delay_until(9_i, 0_i, 0_i), "send_before_trading_event"_n);
    else
        add_timer(3000000000_i, "send_before_trading_event"_n);

    // Scheduled for 09:24 but still wanted until 09:27: a start in between would
    // give the SDK a negative delay, so the event is sent at once instead.
    if (before(9_i, 27_i, 0_i)) {
        py::object delay = delay_until(9_i, 24_i, 0_i);
        if (lt(delay, 0_i)) delay = borrow((0_i).ptr());
        add_timer(delay, "send_open_auction_event"_n);
    }

    if (before(15_i, 30_i, 0_i))
        add_timer(delay_until(15_i, 30_i, 0_i), "send_after_trading_event"_n);
    else
        add_timer(20000000000_i, "send_after_trading_event"_n);
    return py::none();
}

// `event_queue.append(Event(event_type, calendar_dt=dt, trading_dt=dt))`
py::object send_day_event(Call &f) {
    py::handle event_type = f[1], dt = f[2];
    py::object queue = f.global("event_queue"_n);
    post(queue, day_event(f, event_type, dt));
    return py::none();
}

// `self.send_day_event(EVENT.<member>, datetime.now())`: stamped when the timer fires.
void send_now(const Call &f, py::handle member) {
    py::handle self = f[0];
    py::object send = attr(self, "send_day_event"_n);
    py::object type = event_type(f, member);
    py::object now = vcall_method(f.global("datetime"_n), "now"_n);
    vcall(send, {type, now});
}

py::object send_before_trading_event(Call &f) {
    send_now(f, "BEFORE_TRADING"_n);
    return py::none();
}

// After the close the day's orders are forgotten, once the event is queued.
py::object send_after_trading_event(Call &f) {
    send_now(f, "AFTER_TRADING"_n);
    vcall_method(f.global("orders_dict"_n), "clear"_n);
    return py::none();
}

py::object send_open_auction_event(Call &f) {
    send_now(f, "OPEN_AUCTION"_n);
    return py::none();
}

// Today's events, then the same again at 08:00 tomorrow.
py::object set_timer(Call &f) {
    py::handle self = f[0];
    vcall_method(self, "create_time_listener"_n);
    py::object now = vcall_method(f.global("datetime"_n), "now"_n);
    py::object eight = vcall_method_kw<"hour", "minute", "second", "microsecond">(now, "replace"_n, {8_i, 0_i, 0_i, 0_i});
    py::object tomorrow_8am = add(eight, vcall_kw<"days">(f.global("timedelta"_n), {1_i}));
    py::object time_diff = sub(tomorrow_8am, vcall_method(f.global("datetime"_n), "now"_n));
    vcall_method(context(self), "add_timer_interval"_n, {nanoseconds(time_diff), attr(self, "set_timer"_n)});
    return py::none();
}

// --- the event queue ------------------------------------------------------------------
//
// The callbacks append from the SDK's threads while the framework takes events
// out on its own.  The ring buffer's operations are Python methods of several
// steps each (read an index, store, write the index back), so two threads inside
// them at once lose or repeat events.  The queue is therefore a ring buffer whose
// every operation runs under the queue's own reentrant lock:
//
//     class RingBuffer(RB):
//         def __init__(self, *args, **kwargs):
//             super().__init__(*args, **kwargs)
//             self._lock = threading.RLock()
//         def append(self, *args, **kwargs):
//             with self._lock:
//                 return super().append(*args, **kwargs)
//         ...   (the same for every other operation)

py::object queue_init(Call &f) {
    py::handle self = f[0], args = f[1], kwargs = f[2];
    steal(PyObject_Call(py::getattr(f.super(), "__init__"_n).ptr(), args.ptr(), kwargs.ptr()));
    py::object threading = steal(PyImport_ImportModule("threading"));
    py::setattr(self, "_lock"_n, vcall_method(threading, "RLock"_n));
    return py::none();
}

template <FixedString Method>
py::object queue_locked(Call &f) {
    py::handle self = f[0], args = f[1], kwargs = f[2];
    py::object lock = py::getattr(self, "_lock"_n);
    vcall_method(lock, "acquire"_n);  // waits with the GIL released
    py::object result;
    try {
        py::object method = py::getattr(f.super(), Name<Method>::get());
        result = steal(PyObject_Call(method.ptr(), args.ptr(), kwargs.ptr()));
    } catch (py::error_already_set &e) {
        Handling handling(e);
        vcall_method(lock, "release"_n);
        throw;
    }
    vcall_method(lock, "release"_n);
    return result;
}

void fill_queue(ClassBody &c) {
    c.set("__doc__", py::str("A ring buffer whose operations are each atomic: the SDK's threads append while "
                             "the framework takes events out."));
    c.def("__init__", "self, *args, **kwargs", queue_init);
    c.def("append", "self, *args, **kwargs", queue_locked<"append">);
    c.def("appendleft", "self, *args, **kwargs", queue_locked<"appendleft">);
    c.def("extend", "self, *args, **kwargs", queue_locked<"extend">);
    c.def("extendleft", "self, *args, **kwargs", queue_locked<"extendleft">);
    c.def("pop", "self, *args, **kwargs", queue_locked<"pop">);
    c.def("popleft", "self, *args, **kwargs", queue_locked<"popleft">);
    c.def("__len__", "self, *args, **kwargs", queue_locked<"__len__">);
    c.def("__getitem__", "self, *args, **kwargs", queue_locked<"__getitem__">);
    c.def("__iter__", "self, *args, **kwargs", queue_locked<"__iter__">);
    c.def("__array__", "self, *args, **kwargs", queue_locked<"__array__">);
}

// --- the module body -----------------------------------------------------------------

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
    py::object ring = m.cls("RingBuffer", {m.get("RB")}, fill_queue);
    m.set("event_queue", vcall_kw<"capacity", "dtype">(ring, {1000000_i, m.get("object")}));
    if (PyDict_DelItemString(m.globals().ptr(), "RingBuffer") < 0) raise_current();
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

FRAME_MODULE(live_feed, body)
