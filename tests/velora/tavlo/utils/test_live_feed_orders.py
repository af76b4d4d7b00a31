"""The bridge's account, position, order and algorithmic-order callbacks."""
import copy

import pytest
from live_feed_support import record

from pymach.enums import AlgoControlType, MarketType, OrderStatusType as S
from velora.tavlo.const import ORDER_STATUS, POSITION_DIRECTION, SIDE
from velora.tavlo.core.events import EVENT
from velora.tavlo.model.order import Order
from velora.tavlo.portfolio.account import Asset
from velora.tavlo.portfolio.position import Position


@pytest.fixture
def s(lf, env):
    return lf.MachStrategy(None)


def asset_res(**fields):
    values = dict(fund_account_id="F001", available_t1=1000.0, frozen_all=50.0, market_value=2000.0,
                  total_asset=3050.0, leaves_value=1050.0, init_leaves_value=900.0)
    values.update(fields)
    return record(**values)


def test_asset_answer(s, events, logs):
    assert s.on_query_asset(asset_res(), 11, 0, "ok") is None
    (ev,) = events()
    assert ev.event_type is EVENT.QUERY_ACCOUNT and list(ev.payload) == ["rid", "account_id", "asset"]
    assert (ev.rid, ev.account_id) == (11, "F001") and type(ev.asset) is Asset
    a = ev.asset
    assert (a.account_id, a.available_cash, a.frozen_cash, a.market_value, a.total_value, a.cash, a.init_cash) == (
        "F001", 1000.0, 50.0, 2000.0, 3050.0, 1050.0, 900.0)
    assert logs() == [("velora.system_log", "INFO", "on_query_asset, F001, leaves_value:1050.0 code 0  ms ok")]


@pytest.mark.parametrize("code", [-1, "0", 0.5])
def test_failed_asset_answer(s, events, code):
    s.on_query_asset(record(fund_account_id="F001", leaves_value=1.0), 12, code, "busy")
    (ev,) = events()
    assert ev.event_type is EVENT.QUERY_ACCOUNT
    assert list(ev.payload.items()) == [("rid", 12), ("account_id", "F001"), ("code", code), ("msg", "busy")]


def pos_record(security_id="000001", **fields):
    values = dict(market_id=MarketType.SZSE, init_qty=100, leaves_qty=300, available_qty=200, cost_price=9.5,
                  last_price=10.0, market_value=3000.0, profit_loss=150.0)
    values.update(fields)
    return record(security_id=security_id, **values)


def test_position_answer(s, events, logs):
    s.on_query_position([pos_record(), pos_record("600000", market_id=MarketType.SSE)], 13, 0, "")
    (ev,) = events()
    assert ev.event_type is EVENT.QUERY_POSITION and list(ev.payload) == ["rid", "positions"]
    first, second = ev.positions
    assert (first.order_book_id, first.direction, first.init_quantity) == ("000001.XSHE", POSITION_DIRECTION.LONG, 100)
    assert list(first.get_state().items()) == [("quantity", 300), ("available_qty", 200), ("avg_price", 9.5),
                                               ("last_price", 10.0), ("market_value", 3000.0), ("daily_pnl", 150.0)]
    assert second.order_book_id == "600000.XSHG"
    assert logs() == [("velora.system_log", "INFO", "on_query_position: code:0, msg:")]


def test_position_state_is_one_dict_in_order(s, events, monkeypatch):
    states = []
    monkeypatch.setattr(Position, "set_state", lambda self, state: states.append(state))
    s.on_query_position([pos_record()], 1, 0, "")
    assert [list(st) for st in states] == [["quantity", "available_qty", "avg_price", "last_price", "market_value",
                                            "daily_pnl"]]


@pytest.mark.parametrize("answer, code, posted", [
    ([], 0, None), ((pos_record(),), 0, None), (None, 0, None),
    ([pos_record()], 7, [("rid", 14), ("code", 7), ("msg", "no")]),
])
def test_position_answers_without_positions(s, events, answer, code, posted):
    s.on_query_position(answer, 14, code, "no")
    assert [list(e.payload.items()) for e in events()] == ([posted] if posted else [])


def test_bad_position_records_are_skipped(s, events, logs):
    no_qty = pos_record("000002")
    del no_qty.init_qty
    no_id = pos_record()
    del no_id.security_id
    bad_market = pos_record("000003", market_id=999)
    s.on_query_position([pos_record("000001"), no_qty, no_id, bad_market, pos_record("000004")], 15, 0, "")
    (ev,) = events()
    assert [p.order_book_id for p in ev.positions] == ["000001.XSHE", "000004.XSHE"]
    warnings = [(level, m) for _, level, m in logs() if level == "WARNING"]
    assert warnings == [
        ("WARNING", "on_query_position position do not add: 000002  exception: "
                    "'types.SimpleNamespace' object has no attribute 'init_qty'"),
        ("WARNING", "on_query_position position do not add: None  exception: "
                    "'types.SimpleNamespace' object has no attribute 'security_id'"),
        ("WARNING", "on_query_position position do not add: 000003  exception: 999 is not a valid MarketType"),
    ]


def test_position_guard_catches_exceptions_only(s, monkeypatch):
    def interrupt(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(Position, "set_state", interrupt)
    with pytest.raises(KeyboardInterrupt):
        s.on_query_position([pos_record()], 1, 0, "")


def test_failing_warning_chains_the_skipped_error(s, lf, monkeypatch):
    class Log:
        def warning(self, text):
            raise RuntimeError("log down")

    monkeypatch.setattr(lf, "user_system_log", Log())
    bad = pos_record()
    del bad.init_qty
    with pytest.raises(RuntimeError) as e:
        s.on_query_position([bad], 1, 0, "")
    assert isinstance(e.value.__context__, AttributeError)


# --- orders ---------------------------------------------------------------------------

@pytest.fixture
def order(lf):
    o = Order.__from_create__("000001.XSHE", 1000, SIDE.BUY, 10.0)
    lf.orders_dict["c1"] = o
    return o


def report(status, **fields):
    values = dict(client_order_id="c1", security_id="000001", order_price=10.0, order_status=status, order_qty=1000,
                  trade_qty=0, total_trade_value=0.0, error_msg="", error_code=0, last_match_qty=0,
                  last_match_price=0.0, counter_order_id=0, frozen_trade_value=10000.0)
    values.update(fields)
    return record(**values)


def kinds(events):
    return [e.event_type for e in events()]


@pytest.mark.parametrize("status", [S.UnSend, S.Sended])
@pytest.mark.parametrize("counter", [0, None, ""])
def test_accepted_without_broker_id(s, order, events, status, counter):
    s.on_order(report(status, counter_order_id=counter, frozen_trade_value=123.0))
    assert (order.secondary_order_id, order.frozen_cash, order.status) == (counter, 123.0, ORDER_STATUS.PENDING_NEW)
    assert events() == []


def test_accepted_once(s, order, env, events):
    s.on_order(report(S.Sended, counter_order_id=77))
    s.on_order(report(S.Sended, counter_order_id=77))
    (ev,) = events()
    assert ev.event_type is EVENT.ORDER_CREATION_PASS and list(ev.payload) == ["account", "order"]
    assert ev.account is env.get_account("000001.XSHE")
    assert ev.order is not order and ev.order.status is ORDER_STATUS.ACTIVE and ev.order.secondary_order_id == 77


def test_fills(s, order, events):
    s.on_order(report(S.PartiallyFilled, trade_qty=300, total_trade_value=3003.0, last_match_qty=300,
                      last_match_price=10.01))
    s.on_order(report(S.Filled, trade_qty=1000, total_trade_value=10010.0, last_match_qty=700,
                      last_match_price=10.0))
    first, second = events()
    assert [first.event_type, second.event_type] == [EVENT.TRADE, EVENT.TRADE]
    assert list(first.payload) == ["account", "trade", "order"]
    t = first.trade
    assert (t.order_id, t.last_price, t.last_quantity, t.side, t.market_code, t.frozen_price) == (
        order.order_id, 10.01, 300, SIDE.BUY, "000001.XSHE", 10.0)
    assert (first.order.status, first.order.filled_quantity, first.order.unfilled_quantity, first.order.avg_price) == (
        ORDER_STATUS.PARTIALLY_FILLED, 300, 700, 10.01)
    assert (order.status, order.filled_quantity, order.unfilled_quantity, order.avg_price) == (
        ORDER_STATUS.FILLED, 1000, 0, 10.01)
    # The copies are independent of the live order and of each other.
    order.status = ORDER_STATUS.CANCELLED
    assert first.order.status is ORDER_STATUS.PARTIALLY_FILLED and second.order.status is ORDER_STATUS.FILLED


def test_trade_is_built_with_keywords_only(s, order, events, lf, monkeypatch):
    calls = []

    class Trade:
        @classmethod
        def __from_create__(cls, *args, **kwargs):
            calls.append((args, list(kwargs)))
            return "trade"

    monkeypatch.setattr(lf, "Trade", Trade)
    s.on_order(report(S.Filled, trade_qty=5, total_trade_value=50.0, last_match_qty=5, last_match_price=10.0))
    assert calls == [((), ["order_id", "price", "amount", "side", "position_effect", "market_code", "frozen_price"])]
    assert events()[0].trade == "trade"


@pytest.mark.parametrize("last", [0, -1])
def test_fill_report_without_a_fill(s, order, events, last):
    s.on_order(report(S.Filled, trade_qty=1000, total_trade_value=1.0, last_match_qty=last))
    assert events() == [] and order.status is ORDER_STATUS.PENDING_NEW and order.filled_quantity == 0


def test_fill_with_no_cumulative_quantity_keeps_the_average(s, order, events):
    order.avg_price = 9.9
    s.on_order(report(S.PartiallyFilled, trade_qty=0, total_trade_value=0.0, last_match_qty=5, last_match_price=10))
    (ev,) = events()
    assert ev.event_type is EVENT.TRADE and ev.trade.last_quantity == 5
    assert (order.avg_price, order.filled_quantity, order.unfilled_quantity, order.status) == (
        9.9, 0, 1000, ORDER_STATUS.PARTIALLY_FILLED)


@pytest.mark.parametrize("status", [S.Cancelled, S.PartiallyFilledPartiallyCancelled])
def test_cancelled_with_a_fill(s, order, events, status):
    order.status = ORDER_STATUS.ACTIVE
    s.on_order(report(status, trade_qty=5, total_trade_value=50.0, last_match_qty=5, last_match_price=10.0))
    trade, cancelled = events()
    assert (trade.event_type, cancelled.event_type) == (EVENT.TRADE, EVENT.ORDER_CANCELLATION_PASS)
    assert trade.order.status is ORDER_STATUS.ACTIVE and trade.order.filled_quantity == 5
    assert cancelled.order.status is ORDER_STATUS.CANCELLED and order.status is ORDER_STATUS.CANCELLED


@pytest.mark.parametrize("status", [S.WaitCancelled, S.PartiallyFilledWaitCancelled])
def test_pending_cancel(s, order, events, status):
    order.status = ORDER_STATUS.ACTIVE
    s.on_order(report(status))
    (ev,) = events()
    assert ev.event_type is EVENT.ORDER_PENDING_CANCEL and ev.order.status is ORDER_STATUS.ACTIVE
    s.on_order(report(status, trade_qty=5, total_trade_value=50.0, last_match_qty=5, last_match_price=10.0))
    assert kinds(events)[1:] == [EVENT.TRADE, EVENT.ORDER_PENDING_CANCEL]
    assert events()[-1].order.status is ORDER_STATUS.PARTIALLY_FILLED


@pytest.mark.parametrize("code, msg, reason", [(5, "no money", "5_no money"), (-3, None, "-3_None"),
                                               ("E1", 42, "E1_42")])
def test_reject(s, order, events, code, msg, reason):
    s.on_order(report(S.Reject, error_code=code, error_msg=msg, frozen_trade_value=0.5))
    (ev,) = events()
    assert ev.event_type is EVENT.ORDER_UNSOLICITED_UPDATE
    assert (order.status, order.message, order.frozen_cash) == (ORDER_STATUS.REJECTED, reason, 0.5)
    assert ev.order.status is ORDER_STATUS.REJECTED


def test_unknown_status_and_unknown_order_are_only_logged(s, order, events, logs):
    before = copy.deepcopy(vars(order))
    s.on_order(report("Expired", counter_order_id=5))
    s.on_order(report(S.Filled, client_order_id="zz", last_match_qty=5, trade_qty=5))
    assert events() == [] and vars(order) == before
    assert [m for _, _, m in logs()] == [
        "on_order:c1, symbol: 000001, price:10.0, status:Expired, order_qty:1000, trade_qty:0, "
        "total_trade_value: 0.0, error_msg:, last_match_qty: 0",
        "on_order:zz, symbol: 000001, price:10.0, status:OrderStatusType.Filled, order_qty:1000, trade_qty:5, "
        "total_trade_value: 0.0, error_msg:, last_match_qty: 5"]


def test_order_lookup_goes_through_contains(s, order, lf, events, monkeypatch):
    class Orders(dict):
        def __contains__(self, key):
            return False

    monkeypatch.setattr(lf, "orders_dict", Orders(c1=order))
    s.on_order(report(S.Sended, counter_order_id=5))
    s.on_order_action_error(record(client_order_id="c1"))
    assert events() == [] and order.status is ORDER_STATUS.PENDING_NEW


def test_order_action_error(s, order, events):
    assert s.on_order_action_error(record(client_order_id="c1")) is None
    assert s.on_order_action_error(record(client_order_id="other")) is None
    (ev,) = events()
    assert ev.event_type is EVENT.ORDER_CANCELLATION_REJECT and list(ev.payload) == ["account", "order"]
    assert ev.order is not order and vars(ev.order) == vars(order)


def test_on_trade_does_nothing(s, events):
    assert s.on_trade(object()) is None and events() == []
    with pytest.raises(TypeError):
        s.on_trade()


# --- algorithmic orders -----------------------------------------------------------------

@pytest.mark.parametrize("method, res, event_type, payload", [
    ("on_algo_login", dict(client_seq_id=1, trader_id="T9", error_code=3, error_msg="denied"), EVENT.ALGO_LOGIN,
     [("req_id", 1), ("algo_account", "T9"), ("code", 3), ("msg", "denied")]),
    ("on_create_algo_parent_order_res", dict(client_seq_id=2, sys_quote_id="P1", error_code=0, error_msg=""),
     EVENT.PARENT_ORDER_CREATE, [("req_id", 2), ("parent_order_id", "P1"), ("code", 0), ("msg", "")]),
    ("on_cancel_algo_parent_order_res", dict(client_seq_id=3, sys_quote_id="P1", error_code=0, error_msg=""),
     EVENT.PARENT_ORDER_CANCEL, [("parent_order_id", "P1"), ("code", 0), ("msg", "")]),
    ("on_control_algo_parent_order_res", dict(control_type=AlgoControlType.Pause,
                                              algo_control_type=AlgoControlType.Resume, sys_quote_id="P1",
                                              error_code=0, error_msg=""),
     EVENT.PARENT_ORDER_PAUSE, [("parent_order_id", "P1"), ("code", 0), ("msg", "")]),
    ("on_control_algo_parent_order_res", dict(control_type=AlgoControlType.Resume,
                                              algo_control_type=AlgoControlType.Resume, sys_quote_id="P2",
                                              error_code=1, error_msg="x"),
     EVENT.PARENT_ORDER_RESUME, [("parent_order_id", "P2"), ("code", 1), ("msg", "x")]),
])
def test_algo_answers(s, events, method, res, event_type, payload):
    assert getattr(s, method)(record(**res)) is None
    (ev,) = events()
    assert ev.event_type is event_type and list(ev.payload.items()) == payload


def test_control_answer_of_another_kind_is_dropped(s, events):
    s.on_control_algo_parent_order_res(record(control_type=None, algo_control_type=None, sys_quote_id="P",
                                              error_code=0, error_msg=""))
    assert events() == []


def test_control_type_is_imported_at_each_call(s, events, monkeypatch):
    import pymach.enums

    class Other:
        Pause = "halt"
        Resume = "go"

    monkeypatch.setattr(pymach.enums, "AlgoControlType", Other)
    s.on_control_algo_parent_order_res(record(control_type="halt", sys_quote_id="P", error_code=0, error_msg=""))
    assert kinds(events) == [EVENT.PARENT_ORDER_PAUSE]
    monkeypatch.delattr(pymach.enums, "AlgoControlType")
    with pytest.raises(ImportError, match="cannot import name 'AlgoControlType' from 'pymach.enums'"):
        s.on_control_algo_parent_order_res(record(control_type="halt"))


@pytest.mark.parametrize("method, registry, model, keyword, event_type", [
    ("on_algo_parent_order_update", "algo_parent_orders", "AlgoParentOrder", "algo_parent_order",
     EVENT.PARENT_ORDER_UPDATE),
    ("on_algo_child_order_update", "algo_child_orders", "AlgoChildOrder", "algo_child_order",
     EVENT.CHILD_ORDER_UPDATE),
    ("on_algo_child_order_trade", "algo_child_trades", "AlgoChildTrade", "algo_child_trade",
     EVENT.CHILD_ORDER_TRADE),
])
def test_algo_updates_hand_on_the_stored_model(s, lf, events, monkeypatch, method, registry, model, keyword,
                                               event_type):
    given = []
    real = getattr(lf, model).from_mach

    def from_mach(report, existing):
        given.append(existing)
        return real(report, existing)

    monkeypatch.setattr(getattr(lf, model), "from_mach", from_mach)
    fields = dict(security_id="000001", order_qty=100, trade_qty=10, status="run", client_order_id="c9",
                  trade_price=10.0)
    getattr(s, method)(record(sys_quote_id="Q1", **fields))
    stored = getattr(lf, registry)["Q1"]
    getattr(s, method)(record(sys_quote_id="Q1", **dict(fields, trade_qty=30)))
    assert given == [None, stored] and getattr(lf, registry)["Q1"] is stored and stored.reports == 2
    first, second = events()
    assert first.event_type is second.event_type is event_type and list(first.payload) == [keyword]
    copies = [getattr(first, keyword), getattr(second, keyword)]
    assert all(c is not stored for c in copies) and [c.reports for c in copies] == [1, 2]
    assert copies[1].trade_qty == 30
    stored.trade_qty = 99
    assert copies[1].trade_qty == 30


def test_failing_converter_leaves_the_registry(s, lf, events, monkeypatch):
    def broken(report, existing):
        raise ValueError("bad report")

    monkeypatch.setattr(lf.AlgoParentOrder, "from_mach", broken)
    with pytest.raises(ValueError):
        s.on_algo_parent_order_update(record(sys_quote_id="Q"))
    assert lf.algo_parent_orders == {} and events() == []


@pytest.mark.parametrize("method", ["on_query_asset", "on_query_position"])
def test_query_answers_take_four_arguments(s, method):
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'msg'"):
        getattr(s, method)([], 1, 0)
    with pytest.raises(TypeError):
        getattr(s, method)([], 1, 0, "", 5)
