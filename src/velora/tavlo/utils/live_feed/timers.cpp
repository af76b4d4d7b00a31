// The trading day: the SDK timers that publish before-trading, open-auction and
// after-trading events, the daily re-arming, and the day switch.
//
//     class MachStrategy(strategy.MachStrategy):
//         def on_switch_day(self): ...
//         def create_time_listener(self): ...
//         def send_day_event(self, event_type, dt): ...
//         def send_before_trading_event(self): ...
//         def send_after_trading_event(self): ...
//         def send_open_auction_event(self): ...
//         def set_timer(self): ...
#include "live_feed.hpp"

namespace live_feed {
namespace {

// `int(<delta>.total_seconds() * 1000000000)`: an SDK timer delay in nanoseconds,
// the time difference made by `delta()` once `int` is found, as Python evaluates it.
template <typename Delta>
py::object nanoseconds(const Call &f, Delta &&delta) {
    py::object to_int = f.global("int"_n);
    py::object seconds = method(delta(), "total_seconds"_n)();
    return vcall(to_int, mul(seconds, 1000000000_i));
}

// `self.context.add_timer_interval(<delay>, self.<target>)`, the delay computed by
// `delay()` after the context's method is found.
template <FixedString Target, typename Delay>
void add_timer(const Call &f, Name<Target> target, Delay &&delay) {
    py::handle self = f[0];
    Method add_timer_interval = method(context(self), "add_timer_interval"_n);
    py::object nanos = delay();
    add_timer_interval(nanos, attr(self, target));
}

// `self.send_day_event(EVENT.<member>, datetime.now())`: stamped when the timer fires.
template <FixedString M>
void send_now(const Call &f, Name<M> member) {
    Method send = method(f[0], "send_day_event"_n);
    py::object event_type = attr(f.global("EVENT"_n), member);
    send(event_type, method(f.global("datetime"_n), "now"_n)());
}

}  // namespace

// The day switch empties the caches and the registries.
FRAME_BODY(on_switch_day) {
    method(f.global("orders_dict"_n), "clear"_n)();
    method(f.global("history_bar"_n), "clear"_n)();
    method(f.global("history_tick"_n), "clear"_n)();
    method(f.global("algo_parent_orders"_n), "clear"_n)();
    method(f.global("algo_child_orders"_n), "clear"_n)();
    method(f.global("algo_child_trades"_n), "clear"_n)();
    return py::none();
}

FRAME_BODY(create_time_listener) {
    py::handle self = f[0];
    py::object current_date = method(f.global("np"_n), "datetime64"_n)("today"_n, "D"_n);
    py::object calendar = attr(attr(attr(self, "config"_n), "base"_n), "trading_calendar"_n);
    if (!contains(current_date, calendar)) {
        log_info(f, [&] {
            py::object day = str(current_date);
            return concat({day, " not trade day... "_n,
                           str(attr(attr(attr(self, "config"_n), "base"_n), "trading_calendar"_n))});
        });
        return py::none();
    }
    py::object now = method(f.global("datetime"_n), "now"_n)();
    py::object current_time = method(now, "time"_n)();

    // `time(h, m, s)`
    auto at = [&](py::handle h, py::handle m, py::handle s) { return vcall(f.global("time"_n), h, m, s); };
    // `dt = datetime.combine(now.date(), time(h, m, s))`, made before the timer is asked for
    auto today_at = [&](py::handle h, py::handle m, py::handle s) {
        Method combine = method(f.global("datetime"_n), "combine"_n);
        py::object day = method(now, "date"_n)();
        return combine(day, at(h, m, s));
    };
    // `int((dt - now).total_seconds() * 1000000000)`
    auto until = [&](py::handle dt) { return nanoseconds(f, [&] { return sub(dt, now); }); };

    if (lt(current_time, at(9_i, 0_i, 0_i))) {
        py::object dt = today_at(9_i, 0_i, 0_i);
        add_timer(f, "send_before_trading_event"_n, [&] { return until(dt); });
    } else {
        add_timer(f, "send_before_trading_event"_n, [] { return borrow((3000000000_i).ptr()); });
    }

    // Scheduled for 09:24 but still wanted until 09:27: a start in between would
    // give the SDK a negative delay, so the event is sent at once instead.
    if (lt(current_time, at(9_i, 27_i, 0_i))) {
        py::object dt = today_at(9_i, 24_i, 0_i);
        add_timer(f, "send_open_auction_event"_n, [&] {
            py::object delay = until(dt);
            return lt(delay, 0_i) ? borrow((0_i).ptr()) : delay;
        });
    }

    if (lt(current_time, at(15_i, 30_i, 0_i))) {
        py::object dt = today_at(15_i, 30_i, 0_i);
        add_timer(f, "send_after_trading_event"_n, [&] { return until(dt); });
    } else {
        add_timer(f, "send_after_trading_event"_n, [] { return borrow((20000000000_i).ptr()); });
    }
    return py::none();
}

// `event_queue.append(Event(event_type, calendar_dt=dt, trading_dt=dt))`
FRAME_BODY(send_day_event) {
    py::handle event_type = f[1], dt = f[2];
    Method append = method(f.global("event_queue"_n), "append"_n);
    py::object Event = f.global("Event"_n);
    append(vcall_kw<"calendar_dt", "trading_dt">(Event, {event_type, dt, dt}));
    return py::none();
}

FRAME_BODY(send_before_trading_event) {
    send_now(f, "BEFORE_TRADING"_n);
    return py::none();
}

// After the close the day's orders are forgotten, once the event is queued.
FRAME_BODY(send_after_trading_event) {
    send_now(f, "AFTER_TRADING"_n);
    method(f.global("orders_dict"_n), "clear"_n)();
    return py::none();
}

FRAME_BODY(send_open_auction_event) {
    send_now(f, "OPEN_AUCTION"_n);
    return py::none();
}

// Today's events, then the same again at 08:00 tomorrow.
FRAME_BODY(set_timer) {
    py::handle self = f[0];
    method(self, "create_time_listener"_n)();
    py::object now = method(f.global("datetime"_n), "now"_n)();
    py::object eight = method(now, "replace"_n).kw<"hour", "minute", "second", "microsecond">({8_i, 0_i, 0_i, 0_i});
    py::object tomorrow_8am = add(eight, vcall_kw<"days">(f.global("timedelta"_n), 1_i));
    py::object time_diff = sub(tomorrow_8am, method(f.global("datetime"_n), "now"_n)());
    add_timer(f, "set_timer"_n, [&] { return nanoseconds(f, [&] { return time_diff; }); });
    return py::none();
}

}  // namespace live_feed
