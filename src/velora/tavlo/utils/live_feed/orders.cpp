// Order reports: the framework order a report belongs to is brought up to date
// and each change is handed to the framework as an event.
//
//     class MachStrategy(strategy.MachStrategy):
//         def on_order(self, order): ...
//         def on_trade(self, trade): ...
//         def on_order_action_error(self, order_action_error): ...
#include "live_feed.hpp"

namespace live_feed {
namespace {

// `ORDER_STATUS.<member>`
template <FixedString M>
py::object order_status(const Call &f, Name<M> member) {
    return attr(f.global("ORDER_STATUS"_n), member);
}

// `vl_order.status = ORDER_STATUS.<member>`
template <FixedString M>
void set_status(const Call &f, py::handle vl_order, Name<M> member) {
    set_attr(vl_order, "status"_n, order_status(f, member));
}

// The framework order registered under the report's client order id, or null:
//     if not orders_dict.__contains__(report.client_order_id): return
//     vl_order = orders_dict[report.client_order_id]
py::object registered_order(const Call &f, py::handle report) {
    py::object registry = f.global("orders_dict"_n);
    if (!contains_method(registry, attr(report, "client_order_id"_n))) return py::object();
    py::object again = f.global("orders_dict"_n);
    return getitem(again, attr(report, "client_order_id"_n));
}

// `Environment.get_instance().get_account(vl_order.market_code)`
py::object account_of(const Call &f, py::handle vl_order) {
    py::object env = method(f.global("Environment"_n), "get_instance"_n)();
    return method(env, "get_account"_n)(attr(vl_order, "market_code"_n));
}

// The latest fill, if the report carries one: a Trade, the order's fill figures,
// and a TRADE event.
void fill(const Call &f, py::handle order, py::handle vl_order, py::handle account) {
    auto a = [&](auto name) { return attr(order, name); };
    if (!gt(a("last_match_qty"_n), 0_i)) return;
    Method from_create = method(f.global("Trade"_n), "__from_create__"_n);
    py::object trade = from_create.kw<"order_id", "price", "amount", "side", "position_effect", "market_code",
                                      "frozen_price">(
        {attr(vl_order, "order_id"_n), a("last_match_price"_n), a("last_match_qty"_n), attr(vl_order, "side"_n),
         attr(vl_order, "position_effect"_n), attr(vl_order, "market_code"_n), attr(vl_order, "price"_n)});
    // No cumulative quantity, no average price: it keeps its value.
    if (ne(a("trade_qty"_n), 0_i)) {
        py::object value = a("total_trade_value"_n);
        set_attr(vl_order, "avg_price"_n, truediv(value, a("trade_qty"_n)));
    }
    set_attr(vl_order, "filled_quantity"_n, a("trade_qty"_n));
    py::object ordered = a("order_qty"_n);
    set_attr(vl_order, "unfilled_quantity"_n, sub(ordered, a("trade_qty"_n)));
    // The report's status is read again for each test:
    //     if order.order_status == OrderStatusType.Filled: ...
    //     elif order.order_status == OrderStatusType.PartiallyFilled: ...
    py::object reported = a("order_status"_n);
    if (eq(reported, attr(f.global("OrderStatusType"_n), "Filled"_n))) {
        set_status(f, vl_order, "FILLED"_n);
    } else {
        py::object again = a("order_status"_n);
        if (eq(again, attr(f.global("OrderStatusType"_n), "PartiallyFilled"_n)))
            set_status(f, vl_order, "PARTIALLY_FILLED"_n);
    }
    post<"account", "trade", "order">(f, "TRADE"_n, [&] {
        return std::array<py::object, 3>{borrow(account.ptr()), trade,
                                         method(f.global("copy"_n), "deepcopy"_n)(vl_order)};
    });
}

}  // namespace

FRAME_BODY(on_order) {
    py::handle order = f[1];
    auto a = [&](auto name) { return attr(order, name); };
    log_info(f, [&] {
        return concat({"on_order:"_n, format(a("client_order_id"_n)), ", symbol: "_n, format(a("security_id"_n)),
                       ", price:"_n, format(a("order_price"_n)), ", status:"_n, format(a("order_status"_n)),
                       ", order_qty:"_n, format(a("order_qty"_n)), ", trade_qty:"_n, format(a("trade_qty"_n)),
                       ", total_trade_value: "_n, format(a("total_trade_value"_n)), ", error_msg:"_n,
                       format(a("error_msg"_n)), ", last_match_qty: "_n, format(a("last_match_qty"_n))});
    });
    py::object vl_order = registered_order(f, order);
    if (!vl_order) return py::none();
    py::object account = account_of(f, vl_order);

    py::object status = a("order_status"_n);
    // `status == OrderStatusType.<member>`, the enumeration read at each test as Python reads it.
    auto is = [&](auto member) { return eq(status, attr(f.global("OrderStatusType"_n), member)); };

    if (is("UnSend"_n) || is("Sended"_n)) {
        // Accepted: the broker's id and frozen cash; active once the broker has numbered it.
        set_attr(vl_order, "secondary_order_id"_n, a("counter_order_id"_n));
        method(vl_order, "set_frozen_cash"_n)(a("frozen_trade_value"_n));
        auto not_active = [&] {
            py::object current = attr(vl_order, "status"_n);
            return ne(current, order_status(f, "ACTIVE"_n));
        };
        if (truth(a("counter_order_id"_n)) && gt(a("counter_order_id"_n), 0_i) && not_active()) {
            set_status(f, vl_order, "ACTIVE"_n);
            post_order_event(f, "ORDER_CREATION_PASS"_n, account, vl_order);
        }
    } else if (is("PartiallyFilled"_n) || is("Filled"_n) || is("PartiallyFilledPartiallyCancelled"_n) ||
               is("WaitCancelled"_n) || is("PartiallyFilledWaitCancelled"_n) || is("Cancelled"_n)) {
        fill(f, order, vl_order, account);
        // Then the cancellation, confirmed or pending.
        if (is("PartiallyFilledPartiallyCancelled"_n) || is("Cancelled"_n)) {
            set_status(f, vl_order, "CANCELLED"_n);
            post_order_event(f, "ORDER_CANCELLATION_PASS"_n, account, vl_order);
        } else if (is("PartiallyFilledWaitCancelled"_n) || is("WaitCancelled"_n)) {
            if (gt(attr(vl_order, "filled_quantity"_n), 0_i)) set_status(f, vl_order, "PARTIALLY_FILLED"_n);
            post_order_event(f, "ORDER_PENDING_CANCEL"_n, account, vl_order);
        }
    } else if (is("Reject"_n)) {
        // The reason is "<code>_<message>", whatever type the broker gave the message.
        Method mark_rejected = method(vl_order, "mark_rejected"_n);
        py::object error_code = str(a("error_code"_n));
        mark_rejected(concat({error_code, "_"_n, str(a("error_msg"_n))}));
        method(vl_order, "set_frozen_cash"_n)(a("frozen_trade_value"_n));
        post_order_event(f, "ORDER_UNSOLICITED_UPDATE"_n, account, vl_order);
    }
    return py::none();
}

// Fills are taken from the order reports; the SDK's trade reports add nothing.
FRAME_BODY(on_trade) { return py::none(); }

FRAME_BODY(on_order_action_error) {
    py::handle order_action_error = f[1];
    py::object vl_order = registered_order(f, order_action_error);
    if (!vl_order) return py::none();
    py::object account = account_of(f, vl_order);
    post_order_event(f, "ORDER_CANCELLATION_REJECT"_n, account, vl_order);
    return py::none();
}

}  // namespace live_feed
