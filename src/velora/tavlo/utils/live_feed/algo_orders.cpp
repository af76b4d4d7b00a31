// Algorithmic orders: the algorithm server's login, the answers to parent-order
// commands, and the updates of parent orders, child orders and child trades.
//
//     class MachStrategy(strategy.MachStrategy):
//         def on_algo_login(self, algo_login_res): ...
//         def on_create_algo_parent_order_res(self, create_parent_order_res): ...
//         def on_cancel_algo_parent_order_res(self, cancel_parent_order_res): ...
//         def on_control_algo_parent_order_res(self, control_parent_order_res): ...
//         def on_algo_parent_order_update(self, parent_order): ...
//         def on_algo_child_order_update(self, child_order): ...
//         def on_algo_child_order_trade(self, child_trade): ...
#include "live_feed.hpp"

namespace live_feed {
namespace {

// `Event(EVENT.<member>, parent_order_id=..., code=..., msg=...)`: the answers to
// cancel, pause and resume, which carry no request id.
template <FixedString M>
void post_parent_answer(const Call &f, Name<M> member, py::handle res) {
    post<"parent_order_id", "code", "msg">(f, member, [&] {
        auto a = [&](auto name) { return attr(res, name); };
        return std::array<py::object, 3>{a("sys_quote_id"_n), a("error_code"_n), a("error_msg"_n)};
    });
}

// The latest model of each algorithmic order or trade, kept by `sys_quote_id`:
//     existing = R.get(report.sys_quote_id) if R.__contains__(report.sys_quote_id) else None
//     obj = C.from_mach(report, existing)
//     R[report.sys_quote_id] = obj
//     event_queue.append(Event(EVENT.<member>, <keyword>=copy.deepcopy(obj)))
template <FixedString Keyword, FixedString Registry, FixedString Model, FixedString M>
py::object update(const Call &f, Name<Registry> registry, Name<Model> model, Name<M> member) {
    py::handle report = f[1];
    py::object existing = py::none();
    py::object entries = f.global(registry);
    if (contains_method(entries, attr(report, "sys_quote_id"_n)))
        existing = method(f.global(registry), "get"_n)(attr(report, "sys_quote_id"_n));
    py::object obj = method(f.global(model), "from_mach"_n)(report, existing);
    py::object target = f.global(registry);
    setitem(target, attr(report, "sys_quote_id"_n), obj);
    post<Keyword>(f, member, [&] { return std::array<py::object, 1>{method(f.global("copy"_n), "deepcopy"_n)(obj)}; });
    return py::none();
}

}  // namespace

FRAME_BODY(on_algo_login) {
    py::handle res = f[1];
    post<"req_id", "algo_account", "code", "msg">(f, "ALGO_LOGIN"_n, [&] {
        auto a = [&](auto name) { return attr(res, name); };
        return std::array<py::object, 4>{a("client_seq_id"_n), a("trader_id"_n), a("error_code"_n), a("error_msg"_n)};
    });
    return py::none();
}

FRAME_BODY(on_create_algo_parent_order_res) {
    py::handle res = f[1];
    post<"req_id", "parent_order_id", "code", "msg">(f, "PARENT_ORDER_CREATE"_n, [&] {
        auto a = [&](auto name) { return attr(res, name); };
        return std::array<py::object, 4>{a("client_seq_id"_n), a("sys_quote_id"_n), a("error_code"_n),
                                         a("error_msg"_n)};
    });
    return py::none();
}

FRAME_BODY(on_cancel_algo_parent_order_res) {
    post_parent_answer(f, "PARENT_ORDER_CANCEL"_n, f[1]);
    return py::none();
}

// Pause is told by the answer's `control_type`, resume by its `algo_control_type`;
// the enumeration is imported at each call.
FRAME_BODY(on_control_algo_parent_order_res) {
    py::handle res = f[1];
    py::object control = f.import_from("pymach.enums", "AlgoControlType");
    py::object control_type = attr(res, "control_type"_n);
    if (eq(control_type, attr(control, "Pause"_n))) {
        post_parent_answer(f, "PARENT_ORDER_PAUSE"_n, res);
        return py::none();
    }
    py::object algo_control_type = attr(res, "algo_control_type"_n);
    if (eq(algo_control_type, attr(control, "Resume"_n))) post_parent_answer(f, "PARENT_ORDER_RESUME"_n, res);
    return py::none();
}

FRAME_BODY(on_algo_parent_order_update) {
    return update<"algo_parent_order">(f, "algo_parent_orders"_n, "AlgoParentOrder"_n, "PARENT_ORDER_UPDATE"_n);
}
FRAME_BODY(on_algo_child_order_update) {
    return update<"algo_child_order">(f, "algo_child_orders"_n, "AlgoChildOrder"_n, "CHILD_ORDER_UPDATE"_n);
}
FRAME_BODY(on_algo_child_order_trade) {
    return update<"algo_child_trade">(f, "algo_child_trades"_n, "AlgoChildTrade"_n, "CHILD_ORDER_TRADE"_n);
}

}  // namespace live_feed
