// velora.tavlo.mod.mod_quant_data.quote_cache: real-time quotes read from Redis.
//
//     import numpy as np
//     import simplejson as json
//     import redis
//
//     class Redis(redis.client.Redis):
//         def execute_command(self, *args, **options): ...
//
//     class RedisStore(object):
//         snapshot_prefix = "snapshot:"
//         tick_prefix = "tick_"
//         def __init__(self, redis_url): ...
//         def get_current_bar(self, market_code): ...
//         def get_settle_price(self, market_code): ...
//         def history(self, market_code, bar_count): ...
//         def get_snapshot(self, market_code): ...
//         def history_ticks(self, market_code, count): ...
#include "frame.hpp"

#include <utility>

using namespace frame;

namespace {

// `**options` handed on: the callee gets its own dict, so that a parser that pops
// options (as the client's parse_response does) leaves them whole for the resend.
py::object options_copy(py::handle options) { return steal(PyDict_Copy(options.ptr())); }

// One attempt: `connection.send_command(*args)`, then
// `return self.parse_response(connection, command_name, **options)`.
py::object attempt(py::handle self, py::handle connection, py::handle command_name, py::handle args,
                   py::handle options) {
    call_with(attr(connection, "send_command"_n), args);
    py::object parse_response = attr(self, "parse_response"_n);
    py::object positional = tuple_of({connection, command_name});
    return call_with(parse_response, positional, options_copy(options));
}

// `except (ConnectionError, TimeoutError, redis.exceptions.RedisError)`: the classes
// are looked up now, while `e` is being handled, and tried in that order.
bool connection_failure(const Call &f, const py::error_already_set &e) {
    py::object connection_error = f.global("ConnectionError"_n);
    py::object timeout_error = f.global("TimeoutError"_n);
    py::object redis_error = attr(attr(f.global("redis"_n), "exceptions"_n), "RedisError"_n);
    return e.matches(connection_error) || e.matches(timeout_error) || e.matches(redis_error);
}

// A command on a pooled connection; if the connection fails, it is dropped and the
// command sent once more on it (which reconnects).  The second attempt is not
// guarded.  The connection goes back to the pool on every way out.
FRAME_BODY(execute_command) {
    py::handle self = f[0], args = f[1], options = f[2];
    py::object pool = attr(self, "connection_pool"_n);
    py::object command_name = getitem(args, 0_i);
    // Run from a frame named after this method, so that a warning the pool raises about
    // its arguments points here (one place, shown once) rather than at each command.
    py::object get_connection = attr(pool, "get_connection"_n);
    py::object positional = tuple_of({command_name});
    py::object connection = f.call_in_frame(get_connection, positional, options_copy(options));
    auto guarded = [&]() -> py::object {
        try {
            return attempt(self, connection, command_name, args, options);
        } catch (py::error_already_set &e) {
            Handling handling(e);
            if (!connection_failure(f, e)) throw;
            method(connection, "disconnect"_n)();
            return attempt(self, connection, command_name, args, options);
        }
    };
    py::object result;
    try {
        result = guarded();
    } catch (py::error_already_set &e) {
        Handling handling(e);
        method(pool, "release"_n)(connection);
        throw;
    } catch (...) {
        method(pool, "release"_n)(connection);
        throw;
    }
    method(pool, "release"_n)(connection);
    return result;
}

// `json.loads(v.decode())`
py::object decode(const Call &f, py::handle v) {
    return method(f.global("json"_n), "loads"_n)(method(v, "decode"_n)());
}

// `[json.loads(v.decode()) for v in values]`, or `[]` when there are none.
py::object decode_all(const Call &f, py::handle values) {
    py::list out;
    if (is_none(values)) return out;
    for (py::handle v : values) out.append(decode(f, v));
    return out;
}

FRAME_BODY(store_init) {
    py::handle self = f[0], redis_url = f[1];
    set_attr(self, "_redis"_n, method(f.global("Redis"_n), "from_url"_n)(redis_url));
    return py::none();
}

FRAME_BODY(get_current_bar) {
    py::handle self = f[0], market_code = f[1];
    py::object v = method(attr(self, "_redis"_n), "lindex"_n)(market_code, -1_i);
    if (is_none(v)) return py::none();
    return decode(f, v);
}

FRAME_BODY(get_settle_price) {
    py::handle self = f[0], market_code = f[1];
    py::object v = method(attr(self, "_redis"_n), "hget"_n)("settlement"_n, market_code);
    if (is_none(v)) return attr(f.global("np"_n), "nan"_n);
    return vcall(f.global("float"_n), v);
}

FRAME_BODY(history) {
    py::handle self = f[0], market_code = f[1], bar_count = f[2];
    py::object values = method(attr(self, "_redis"_n), "lrange"_n)(market_code, neg(bar_count), -1_i);
    return decode_all(f, values);
}

// The order-book lists a snapshot always carries, each filled from its singular
// field when the writer stored only that.
const std::pair<py::handle, py::handle> &book_field(int i) {
    static const std::pair<py::handle, py::handle> fields[] = {
        {"asks"_n, "ask"_n}, {"bids"_n, "bid"_n}, {"ask_vols"_n, "ask_vol"_n}, {"bid_vols"_n, "bid_vol"_n}};
    return fields[i];
}

FRAME_BODY(get_snapshot) {
    py::handle self = f[0], market_code = f[1];
    py::object v = method(attr(self, "_redis"_n), "get"_n)(add(attr(f.global("RedisStore"_n), "snapshot_prefix"_n), market_code));
    if (is_none(v)) return py::none();
    py::object snapshot = decode(f, v);
    for (int i = 0; i < 4; ++i) {
        const auto &[plural, singular] = book_field(i);
        if (!contains(plural, snapshot)) setitem(snapshot, plural, method(snapshot, "get"_n)(singular, py::list()));
    }
    return snapshot;
}

// The key is built first; only then is the client asked.
FRAME_BODY(history_ticks) {
    py::handle self = f[0], market_code = f[1], count = f[2];
    py::object key = add(attr(self, "tick_prefix"_n), market_code);
    py::object values = method(attr(self, "_redis"_n), "lrange"_n)(key, neg(count), -1_i);
    return decode_all(f, values);
}

void body(Module &m) {
    m.import("numpy", "np");
    m.import("simplejson", "json");
    m.import("redis");
    py::object base = attr(attr(m.get("redis"), "client"_n), "Redis"_n);
    m.cls("Redis", {base}, [](ClassBody &c) {
        c.def("execute_command", "self, *args, **options", execute_command);
    });
    m.cls("RedisStore", {m.get("object")}, [](ClassBody &c) {
        c.set("snapshot_prefix", py::str("snapshot:"));
        c.set("tick_prefix", py::str("tick_"));
        c.def("__init__", "self, redis_url", store_init);
        c.def("get_current_bar", "self, market_code", get_current_bar);
        c.def("get_settle_price", "self, market_code", get_settle_price);
        c.def("history", "self, market_code, bar_count", history);
        c.def("get_snapshot", "self, market_code", get_snapshot);
        c.def("history_ticks", "self, market_code, count", history_ticks);
    });
}

}  // namespace

FRAME_MODULE(quote_cache, body)
