// What the bridge's source files share: the method bodies of MachStrategy (each
// file holds one concern; live_feed.cpp assembles the class in its order) and the
// small pieces the callbacks have in common.
#pragma once
#include "frame.hpp"

#include <array>
#include <cstddef>

namespace live_feed {
using namespace frame;

// --- market data (market_data.cpp) ---------------------------------------------------
py::object get_current_bar(Call &f);
py::object get_current_tick(Call &f);
py::object history_ticks(Call &f);
py::object history_bars(Call &f);
py::object on_snapshot(Call &f);
py::object on_tick_order(Call &f);
py::object on_tick_trade(Call &f);
py::object on_bar(Call &f);

// --- set-up, login, accounts and positions (setup.cpp) -----------------------------------
py::object init(Call &f);
py::object initialize(Call &f);
py::object on_initialize(Call &f);
py::object on_login(Call &f);
py::object on_query_asset(Call &f);
py::object on_query_position(Call &f);

// --- orders and trades (orders.cpp) ------------------------------------------------------
py::object on_order(Call &f);
py::object on_trade(Call &f);
py::object on_order_action_error(Call &f);

// --- algorithmic orders (algo_orders.cpp) --------------------------------------------------
py::object on_algo_login(Call &f);
py::object on_create_algo_parent_order_res(Call &f);
py::object on_cancel_algo_parent_order_res(Call &f);
py::object on_control_algo_parent_order_res(Call &f);
py::object on_algo_parent_order_update(Call &f);
py::object on_algo_child_order_update(Call &f);
py::object on_algo_child_order_trade(Call &f);

// --- the trading day (timers.cpp) -----------------------------------------------------------
py::object on_switch_day(Call &f);
py::object create_time_listener(Call &f);
py::object send_day_event(Call &f);
py::object send_before_trading_event(Call &f);
py::object send_after_trading_event(Call &f);
py::object send_open_auction_event(Call &f);
py::object set_timer(Call &f);

// --- the event queue (event_queue.cpp) -------------------------------------------------------
// `class RingBuffer(RB)` with atomic operations, then `event_queue = RingBuffer(...)`.
void define_event_queue(Module &m);

// --- shared pieces ------------------------------------------------------------------------------

// `convert_int_to_datetime(record.<stamp> / 1000)`: SDK stamps are thousandths.
template <FixedString S>
py::object stamp_datetime(const Call &f, py::handle record, Name<S> stamp) {
    py::object convert = f.global("convert_int_to_datetime"_n);
    py::object seconds = truediv(attr(record, stamp), 1000_i);
    return vcall(convert, seconds);
}

// `record.security_id + "." + get_exchane_from_mach_mdtype(record.<market>)`.  When the
// id is a str, its concatenation with "." cannot be seen and is made together with
// the second one, as one new str.
template <FixedString M>
py::object market_code_of(const Call &f, py::handle record, Name<M> market) {
    py::object id = attr(record, "security_id"_n);
    py::object head = PyUnicode_CheckExact(id.ptr()) ? py::object() : add(id, "."_n);
    py::object convert = f.global("get_exchane_from_mach_mdtype"_n);
    py::object suffix = vcall(convert, attr(record, market));
    return head ? add(head, suffix) : concat({id, "."_n, suffix});
}

// `Event(type, k1=v1, k2=v2, ...)`
template <FixedString... K, std::size_t N>
py::object make_event(py::handle Event, py::handle type, const std::array<py::object, N> &payload) {
    static_assert(N == sizeof...(K), "one value per keyword");
    PyObject *argv[N + 2];
    argv[0] = nullptr;
    argv[1] = type.ptr();
    for (std::size_t i = 0; i < N; ++i) argv[i + 2] = payload[i].ptr();
    return steal(detail::call_vector(Event.ptr(), argv + 1, 1, Method::keyword_names<K...>()));
}

// `event_queue.append(Event(EVENT.<member>, k1=v1, k2=v2, ...))`, evaluated as Python
// evaluates it: `event_queue.append`, `Event`, `EVENT.<member>`, then the values
// (`values()` returns them in a braced std::array, built left to right), then the calls.
template <FixedString... K, FixedString M, typename Values>
void post(const Call &f, Name<M> member, Values &&values) {
    Method append = method(f.global("event_queue"_n), "append"_n);
    py::object Event = f.global("Event"_n);
    py::object type = attr(f.global("EVENT"_n), member);
    std::array<py::object, sizeof...(K)> payload = values();
    append(make_event<K...>(Event, type, payload));
}

// `Event(EVENT.<member>, account=account, order=copy.deepcopy(vl_order))`, posted: the
// copy is taken now, so later changes to the live order leave the event alone.
template <FixedString M>
void post_order_event(const Call &f, Name<M> member, py::handle account, py::handle vl_order) {
    post<"account", "order">(f, member, [&] {
        return std::array<py::object, 2>{borrow(account.ptr()),
                                         method(f.global("copy"_n), "deepcopy"_n)(vl_order)};
    });
}

// `system_log.info(text)`, the text made after the logger and its method are found.
template <typename Text>
void log_info(const Call &f, Text &&text) {
    Method info = method(f.global("system_log"_n), "info"_n);
    info(text());
}

// `self.context`
inline py::object context(py::handle self) { return attr(self, "context"_n); }

}  // namespace live_feed
