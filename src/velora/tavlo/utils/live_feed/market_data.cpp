// Market data: the four SDK callbacks that turn snapshots, level-2 orders and
// transactions, and one-minute bars into framework events, and the live quote
// caches they keep with the four functions that read them.
//
//     def get_current_bar(market_code): ...
//     def get_current_tick(market_code): ...
//     def history_ticks(market_code, count): ...
//     def history_bars(market_code, count): ...
//
//     class MachStrategy(strategy.MachStrategy):
//         def on_snapshot(self, snapshot): ...
//         def on_tick_order(self, tick_order): ...
//         def on_tick_trade(self, tick_trade): ...
//         def on_bar(self, bar): ...
#include "live_feed.hpp"

namespace live_feed {
namespace {

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

// `cache[market_code].append(entry)`, the deque made first if the code is new.
template <FixedString Cache, typename Fresh>
void cache_entry(const Call &f, py::handle market_code, py::handle entry, Fresh &&fresh) {
    if (!contains(market_code, f.global(Name<Cache>{}))) {
        py::object entries = fresh();
        setitem(f.global(Name<Cache>{}), market_code, entries);
    }
    method(getitem(f.global(Name<Cache>{}), market_code), "append"_n)(entry);
}

// `convert(chr(record.<code>), record.<more>...)`: the SDK gives sides, order and
// trade types as character codes.
template <FixedString Converter, FixedString Code, FixedString... More>
py::object from_character(const Call &f, py::handle record, Name<Code> code, Name<More>... more) {
    py::object convert = f.global(Name<Converter>{});
    py::object chr = f.global("chr"_n);
    return vcall(convert, {vcall(chr, attr(record, code)), attr(record, more)...});
}

}  // namespace

FRAME_BODY(get_current_bar) { return current_entry<"history_bar">(f); }
FRAME_BODY(get_current_tick) { return current_entry<"history_tick">(f); }
FRAME_BODY(history_ticks) { return history_entries<"history_tick">(f); }
FRAME_BODY(history_bars) { return history_entries<"history_bar">(f); }

FRAME_BODY(on_snapshot) {
    py::handle snapshot = f[1];
    py::object dt = stamp_datetime(f, snapshot, "orig_time"_n);
    py::object market_code = market_code_of(f, snapshot, "market_type"_n);
    auto a = [&](auto name) { return attr(snapshot, name); };
    py::object tick = dict_of<"market_code", "datetime", "open_price", "close_price", "high_price", "low_price",
                              "total_turnover", "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids",
                              "high_limited", "last_price", "low_limited", "open_interest", "prev_settlement",
                              "iopv", "trading_phase_code">(
        {market_code, dt, a("open_price"_n), a("close_price"_n), a("high_price"_n), a("low_price"_n),
         a("total_value_trade"_n), a("total_volume_trade"_n), a("pre_close_price"_n), a("ask_volume"_n),
         a("ask_price"_n), a("bid_volume"_n), a("bid_price"_n), a("high_limited"_n), a("last_price"_n),
         a("low_limited"_n), a("open_interest"_n), a("prev_settlement"_n), a("iopv"_n), a("trading_phase_code"_n)});
    cache_entry<"history_tick">(f, market_code, tick, [&] { return vcall_kw<"maxlen">(f.global("deque"_n), 60_i); });
    post<"calendar_dt", "trading_dt", "tick">(f, "TICK"_n, [&] {
        py::object TickObject = f.global("TickObject"_n);
        py::object env = method(f.global("Environment"_n), "get_instance"_n)();
        py::object instrument = method(attr(env, "data_proxy"_n), "instruments"_n)(market_code);
        return std::array<py::object, 3>{dt, dt, vcall(TickObject, instrument, tick)};
    });
    return py::none();
}

FRAME_BODY(on_tick_order) {
    py::handle tick_order = f[1];
    py::object dt = stamp_datetime(f, tick_order, "order_time"_n);
    py::object market_code = market_code_of(f, tick_order, "market_type"_n);
    py::object side = from_character<"get_side_from_mach_l2_order">(f, tick_order, "side"_n, "market_type"_n);
    auto a = [&](auto name) { return attr(tick_order, name); };
    py::object l2_order = method(f.global("L2Order"_n), "__from_create__"_n)(
        {a("biz_index"_n), market_code, dt, side, a("order_price"_n), a("order_volume"_n),
         from_character<"get_order_type_from_mach_l2_order">(f, tick_order, "order_type"_n, "market_type"_n),
         a("orig_order_no"_n),
         from_character<"get_l2order_type_from_mach">(f, tick_order, "order_type"_n, "market_type"_n)});
    post<"calendar_dt", "trading_dt", "l2_order">(f, "L2_ORDER"_n,
                                                  [&] { return std::array<py::object, 3>{dt, dt, l2_order}; });
    return py::none();
}

FRAME_BODY(on_tick_trade) {
    py::handle tick_trade = f[1];
    py::object dt = stamp_datetime(f, tick_trade, "trade_time"_n);
    py::object market_code = market_code_of(f, tick_trade, "market_type"_n);
    // The aggressor: the later of the two orders (equal numbers count as a sell).
    py::object bid = attr(tick_trade, "bid_appl_seq_num"_n);
    bool buy = gt(bid, attr(tick_trade, "offer_appl_seq_num"_n));
    py::object side = buy ? attr(f.global("SIDE"_n), "BUY"_n) : attr(f.global("SIDE"_n), "SELL"_n);
    auto a = [&](auto name) { return attr(tick_trade, name); };
    py::object l2_transaction = method(f.global("L2Transaction"_n), "__from_create__"_n)(
        {a("biz_index"_n), market_code, dt, side, a("trade_price"_n), a("trade_volume"_n), a("value_trade"_n),
         from_character<"get_trade_type_from_mach">(f, tick_trade, "trade_type"_n), a("bid_appl_seq_num"_n),
         a("offer_appl_seq_num"_n)});
    post<"calendar_dt", "trading_dt", "l2_transaction">(
        f, "L2_TRANSACTION"_n, [&] { return std::array<py::object, 3>{dt, dt, l2_transaction}; });
    return py::none();
}

// Bars are cached one by one but reported once per bar time: when as many bars of
// that time have arrived as the universe has instruments.
FRAME_BODY(on_bar) {
    py::handle self = f[0], bar = f[1];
    py::object market_code = market_code_of(f, bar, "market_type"_n);
    auto a = [&](auto name) { return attr(bar, name); };
    py::object bar_dict = dict_of<"market_code", "orig_time", "open_price", "close_price", "high_price", "low_price",
                                  "total_turnover", "volume", "prev_close">(
        {market_code, stamp_datetime(f, bar, "end_time"_n), a("open"_n), a("close"_n), a("high"_n), a("low"_n),
         a("amount"_n), a("volume"_n), a("prev_close"_n)});
    cache_entry<"history_bar">(f, market_code, bar_dict, [&] { return vcall(f.global("deque"_n)); });

    // The bar time, once the bar is cached: `bar_time = bar.end_time / 1000`
    py::object bar_time = truediv(a("end_time"_n), 1000_i);
    // if self.current_trade_dt == 0 or self.current_trade_dt == bar_time: self.bar_cnt += 1
    if (eq(attr(self, "current_trade_dt"_n), 0_i) || eq(attr(self, "current_trade_dt"_n), bar_time))
        set_attr(self, "bar_cnt"_n, inplace_add(attr(self, "bar_cnt"_n), 1_i));
    else
        set_attr(self, "bar_cnt"_n, 1_i);
    set_attr(self, "current_trade_dt"_n, bar_time);

    // if self.bar_cnt == len(Environment.get_instance().get_universe()): ...
    py::object count = attr(self, "bar_cnt"_n);
    py::object len = f.global("len"_n);
    py::object env = method(f.global("Environment"_n), "get_instance"_n)();
    if (eq(count, vcall(len, method(env, "get_universe"_n)()))) {
        py::object whole_date = f.global("convert_int_to_whole_date"_n);
        py::object to_int = f.global("int"_n);
        py::object calendar_dt = vcall(whole_date, vcall(to_int, attr(self, "current_trade_dt"_n)));
        post<"calendar_dt", "trading_dt">(f, "BAR"_n,
                                          [&] { return std::array<py::object, 2>{calendar_dt, calendar_dt}; });
        set_attr(self, "bar_cnt"_n, 0_i);
    }
    return py::none();
}

}  // namespace live_feed
