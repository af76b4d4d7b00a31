// Set-up, login, and the answers to the asset and position queries.
//
//     class MachStrategy(strategy.MachStrategy):
//         def __init__(self, config): ...
//         def initialize(self, config): ...
//         def on_initialize(self): ...
//         def on_login(self, login_res): ...
//         def on_query_asset(self, asset_res, request_id, code, msg): ...
//         def on_query_position(self, query_position_res, request_id, code, msg): ...
#include "live_feed.hpp"

namespace live_feed {
namespace {

// `self.config.base`
py::object config_base(py::handle self) { return attr(attr(self, "config"_n), "base"_n); }

// `mach_params[key] = value`
template <FixedString Key>
void set_param(const Call &f, Name<Key> key, py::handle value) { setitem(f.global("mach_params"_n), key, value); }

// `self.context.add_md_broker(MDType.<broker>)`, then `mach_params["mach_md"] = MDType.<broker>`
template <FixedString Broker>
void add_md_broker(const Call &f, py::handle self, Name<Broker> broker) {
    method(context(self), "add_md_broker"_n)(attr(f.global("MDType"_n), broker));
    set_param(f, "mach_md"_n, attr(f.global("MDType"_n), broker));
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

// One position record as a long Position with its state; raises what the
// conversion raises.
py::object position_of(const Call &f, py::handle pos) {
    py::object Position = f.global("Position"_n);
    py::object order_book_id = market_code_of(f, pos, "market_id"_n);
    py::object long_direction = attr(f.global("POSITION_DIRECTION"_n), "LONG"_n);
    py::object position = vcall(Position, {order_book_id, long_direction, attr(pos, "init_qty"_n)});
    auto a = [&](auto name) { return attr(pos, name); };
    method(position, "set_state"_n)(
        dict_of<"quantity", "available_qty", "avg_price", "last_price", "market_value", "daily_pnl">(
            {a("leaves_qty"_n), a("available_qty"_n), a("cost_price"_n), a("last_price"_n), a("market_value"_n),
             a("profit_loss"_n)}));
    return position;
}

}  // namespace

FRAME_SUPER_BODY(init) {
    py::handle self = f[0], config = f[1];
    method(f.super(), "__init__"_n)();
    set_attr(self, "logged_in"_n, py::handle(Py_False));
    set_attr(self, "order_num"_n, 0_i);
    set_attr(self, "bar_cnt"_n, 0_i);
    set_attr(self, "current_trade_dt"_n, 0_i);
    set_attr(self, "first_dt"_n, method(method(f.global("datetime"_n), "now"_n)(), "date"_n)());
    set_attr(self, "config"_n, config);
    return py::none();
}

FRAME_BODY(initialize) {
    py::handle self = f[0];
    log_info(f, [] { return borrow("MachStrategy initialize..."_n.ptr()); });

    // Market data: exactly "MaMD" picks that broker, anything else (or nothing) AMD.
    if (has_attribute(config_base(self), "md_type"_n) && eq(attr(config_base(self), "md_type"_n), "MaMD"_n))
        add_md_broker(f, self, "MaMD"_n);
    else
        add_md_broker(f, self, "AMD"_n);

    if (has_attribute(config_base(self), "order_way"_n))
        method(context(self), "set_order_way"_n)(attr(config_base(self), "order_way"_n));

    // Trading brokers, one per account "<account>_<destination>", in mapping order.
    py::object items = method(attr(config_base(self), "accounts"_n), "items"_n)();
    for (py::handle item : items) {
        auto [key, value] = unpack<2>(item);
        auto [ac, dest] = unpack<2>(method(value, "split"_n)("_"_n));
        Method add_td_broker = method(context(self), "add_td_broker"_n);
        py::object td_type = f.global("get_mach_tdtype"_n);
        add_td_broker(vcall(td_type, method(dest, "upper"_n)()));
        py::object again = f.global("get_mach_tdtype"_n);
        set_param(f, "mach_td"_n, vcall(again, method(dest, "upper"_n)()));
    }

    if (has_attribute(config_base(self), "algo_account"_n) && !is_none(attr(config_base(self), "algo_account"_n))) {
        auto [ac, dest] = unpack<2>(method(attr(config_base(self), "algo_account"_n), "split"_n)("_"_n));
        if (eq(method(dest, "upper"_n)(), "ATX"_n))
            method(context(self), "add_algo_broker"_n)(attr(f.global("AlgoType"_n), "ATX"_n));
    }

    set_param(f, "mach_context"_n, context(self));
    Method subscribe = method(context(self), "subscribe"_n);
    py::object md = getitem(f.global("mach_params"_n), "mach_md"_n);
    py::object szse = attr(f.global("MarketType"_n), "SZSE"_n);
    py::object bar = attr(f.global("SubscribeDataType"_n), "Bar"_n);
    subscribe({md, szse, bar, py::list(), "1m"_n});
    method(self, "set_timer"_n)();
    return py::none();
}

FRAME_BODY(on_initialize) { return py::none(); }

FRAME_BODY(on_login) {
    py::handle self = f[0], login_res = f[1];
    log_info(f, [&] {
        py::object account = str(attr(login_res, "fund_account_id"_n));
        return concat({"on_login fund_account_id:"_n, account, ", error_code:"_n, str(attr(login_res, "error_code"_n))});
    });
    post<"rid", "account_id", "code", "msg">(f, "LOGIN"_n, [&] {
        auto a = [&](auto name) { return attr(login_res, name); };
        return std::array<py::object, 4>{a("client_seq_id"_n), a("fund_account_id"_n), a("error_code"_n),
                                         a("error_msg"_n)};
    });
    if (eq(attr(login_res, "error_code"_n), 0_i)) {
        set_attr(self, "logged_in"_n, py::handle(Py_True));
        method(context(self), "query_asset"_n)(attr(login_res, "fund_account_id"_n));
        method(context(self), "query_position"_n)(attr(login_res, "fund_account_id"_n));
    }
    return py::none();
}

FRAME_BODY(on_query_asset) {
    py::handle asset_res = f[1], request_id = f[2], code = f[3], msg = f[4];
    log_info(f, [&] {
        py::object account = format(attr(asset_res, "fund_account_id"_n));
        py::object leaves_value = format(attr(asset_res, "leaves_value"_n));
        return concat({"on_query_asset, "_n, account, ", leaves_value:"_n, leaves_value, " code "_n, format(code),
                       "  ms "_n, format(msg)});
    });
    if (ne(code, 0_i)) {
        post<"rid", "account_id", "code", "msg">(f, "QUERY_ACCOUNT"_n, [&] {
            return std::array<py::object, 4>{borrow(request_id.ptr()), attr(asset_res, "fund_account_id"_n),
                                             borrow(code.ptr()), borrow(msg.ptr())};
        });
        return py::none();
    }
    py::object Asset = f.global("Asset"_n);
    auto a = [&](auto name) { return attr(asset_res, name); };
    py::object asset = vcall(Asset, {a("fund_account_id"_n), a("available_t1"_n), a("frozen_all"_n), a("market_value"_n),
                                     a("total_asset"_n), a("leaves_value"_n), a("init_leaves_value"_n)});
    post<"rid", "account_id", "asset">(f, "QUERY_ACCOUNT"_n, [&] {
        return std::array<py::object, 3>{borrow(request_id.ptr()), a("fund_account_id"_n), asset};
    });
    return py::none();
}

// Each record becomes a long position; a record that cannot be converted is
// skipped with a warning and the others are still delivered.
FRAME_BODY(on_query_position) {
    py::handle query_position_res = f[1], request_id = f[2], code = f[3], msg = f[4];
    log_info(f, [&] { return concat({"on_query_position: code:"_n, str(code), ", msg:"_n, str(msg)}); });
    if (ne(code, 0_i)) {
        post<"rid", "code", "msg">(f, "QUERY_POSITION"_n, [&] {
            return std::array<py::object, 3>{borrow(request_id.ptr()), borrow(code.ptr()), borrow(msg.ptr())};
        });
        return py::none();
    }
    // if not type(query_position_res) == list: return
    py::object type = vcall(f.global("type"_n), query_position_res);
    if (!eq(type, f.global("list"_n))) return py::none();
    // if len(query_position_res) < 1: return  (an empty answer posts nothing)
    if (lt(vcall(f.global("len"_n), query_position_res), 1_i)) return py::none();

    py::list positions;
    for (py::handle pos : query_position_res) {
        py::object position;
        try_except(
            PyExc_Exception, [&] { position = position_of(f, pos); },
            [&](py::handle e) {
                Method warning = method(f.global("user_system_log"_n), "warning"_n);
                py::object name = str(record_name(pos));
                warning(concat({"on_query_position position do not add: "_n, name, "  exception: "_n, str(e)}));
            });
        if (position && PyList_Append(positions.ptr(), position.ptr()) < 0) raise_current();
    }
    post<"rid", "positions">(f, "QUERY_POSITION"_n,
                             [&] { return std::array<py::object, 2>{borrow(request_id.ptr()), positions}; });
    return py::none();
}

}  // namespace live_feed
