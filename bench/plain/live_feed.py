"""The live trading bridge, in plain Python: the same behaviour as the native
velora.tavlo.utils.live_feed, written as a Python developer would write it."""
from velora.tavlo.environment import Environment
from velora.tavlo.core.events import EVENT, Event
from velora.tavlo.model.tick import TickObject
from velora.tavlo.model.trade import Trade
from velora.tavlo.model.l2_order import L2Order
from velora.tavlo.model.l2_transaction import L2Transaction
from velora.tavlo.utils.datetime_func import convert_int_to_whole_date, convert_int_to_datetime
from velora.tavlo.utils.trade_func import (get_exchane_from_mach_mdtype, get_mach_tdtype,
                                           get_side_from_mach_l2_order, get_order_type_from_mach_l2_order,
                                           get_trade_type_from_mach, get_l2order_type_from_mach)
from velora.tavlo.utils.logger import system_log, user_system_log
from velora.tavlo.model.algo_parent_order import AlgoParentOrder
from velora.tavlo.model.algo_child_order import AlgoChildOrder
from velora.tavlo.model.algo_child_trade import AlgoChildTrade
from velora.tavlo.const import ORDER_STATUS, POSITION_DIRECTION, SIDE
from velora.tavlo.portfolio.account import Asset
from velora.tavlo.portfolio.position import Position
from numpy_ringbuffer import RingBuffer as RB
import numpy as np
from collections import deque
import copy
from datetime import datetime, time, timedelta
import pymach.strategy as strategy
from pymach.enums import *

mach_params = {}
event_queue = RB(capacity=1000000, dtype=object)
history_bar = {}
history_tick = {}
orders_dict = {}
algo_parent_orders = {}
algo_child_orders = {}
algo_child_trades = {}


def get_current_bar(market_code):
    if history_bar.__contains__(market_code):
        bars = history_bar[market_code]
        if bars:  # a code's deque is created, then appended to
            return bars[-1]
    return None


def get_current_tick(market_code):
    if history_tick.__contains__(market_code):
        ticks = history_tick[market_code]
        if ticks:
            return ticks[-1]
    return None


def history_ticks(market_code, count):
    if not history_tick.__contains__(market_code):
        return None
    return list(history_tick[market_code])[count * -1:]


def history_bars(market_code, count):
    if not history_bar.__contains__(market_code):
        return None
    return list(history_bar[market_code])[count * -1:]


def _record_name(pos):
    """The name a skipped position record is logged under (the warning itself must not fail)."""
    try:
        return pos.security_id
    except Exception:
        return None


class MachStrategy(strategy.MachStrategy):
    def __init__(self, config):
        super().__init__()
        self.logged_in = False
        self.order_num = 0
        self.bar_cnt = 0
        self.current_trade_dt = 0
        self.first_dt = datetime.now().date()
        self.config = config

    def initialize(self, config):
        system_log.info("MachStrategy initialize...")
        if hasattr(self.config.base, "md_type") and self.config.base.md_type == "MaMD":
            self.context.add_md_broker(MDType.MaMD)
            mach_params["mach_md"] = MDType.MaMD
        else:
            self.context.add_md_broker(MDType.AMD)
            mach_params["mach_md"] = MDType.AMD
        if hasattr(self.config.base, "order_way"):
            self.context.set_order_way(self.config.base.order_way)
        for key, value in self.config.base.accounts.items():
            ac, dest = value.split("_")
            self.context.add_td_broker(get_mach_tdtype(dest.upper()))
            mach_params["mach_td"] = get_mach_tdtype(dest.upper())
        if hasattr(self.config.base, "algo_account") and self.config.base.algo_account is not None:
            ac, dest = self.config.base.algo_account.split("_")
            if dest.upper() == "ATX":
                self.context.add_algo_broker(AlgoType.ATX)
        mach_params["mach_context"] = self.context
        self.context.subscribe(mach_params["mach_md"], MarketType.SZSE, SubscribeDataType.Bar, [], "1m")
        self.set_timer()

    def on_initialize(self):
        pass

    def on_switch_day(self):
        orders_dict.clear()
        history_bar.clear()
        history_tick.clear()
        algo_parent_orders.clear()
        algo_child_orders.clear()
        algo_child_trades.clear()

    def on_snapshot(self, snapshot):
        dt = convert_int_to_datetime(snapshot.orig_time / 1000)
        market_code = snapshot.security_id + "." + get_exchane_from_mach_mdtype(snapshot.market_type)
        tick = {
            "market_code": market_code,
            "datetime": dt,
            "open_price": snapshot.open_price,
            "close_price": snapshot.close_price,
            "high_price": snapshot.high_price,
            "low_price": snapshot.low_price,
            "total_turnover": snapshot.total_value_trade,
            "volume": snapshot.total_volume_trade,
            "prev_close": snapshot.pre_close_price,
            "ask_vols": snapshot.ask_volume,
            "asks": snapshot.ask_price,
            "bid_vols": snapshot.bid_volume,
            "bids": snapshot.bid_price,
            "high_limited": snapshot.high_limited,
            "last_price": snapshot.last_price,
            "low_limited": snapshot.low_limited,
            "open_interest": snapshot.open_interest,
            "prev_settlement": snapshot.prev_settlement,
            "iopv": snapshot.iopv,
            "trading_phase_code": snapshot.trading_phase_code,
        }
        if market_code not in history_tick:
            history_tick[market_code] = deque(maxlen=60)
        history_tick[market_code].append(tick)
        event_queue.append(Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt, tick=TickObject(
            Environment.get_instance().data_proxy.instruments(market_code), tick)))

    def on_tick_order(self, tick_order):
        dt = convert_int_to_datetime(tick_order.order_time / 1000)
        market_code = tick_order.security_id + "." + get_exchane_from_mach_mdtype(tick_order.market_type)
        side = get_side_from_mach_l2_order(chr(tick_order.side), tick_order.market_type)
        l2_order = L2Order.__from_create__(
            tick_order.biz_index, market_code, dt, side, tick_order.order_price, tick_order.order_volume,
            get_order_type_from_mach_l2_order(chr(tick_order.order_type), tick_order.market_type),
            tick_order.orig_order_no,
            get_l2order_type_from_mach(chr(tick_order.order_type), tick_order.market_type))
        event_queue.append(Event(EVENT.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=l2_order))

    def on_tick_trade(self, tick_trade):
        dt = convert_int_to_datetime(tick_trade.trade_time / 1000)
        market_code = tick_trade.security_id + "." + get_exchane_from_mach_mdtype(tick_trade.market_type)
        side = SIDE.BUY if tick_trade.bid_appl_seq_num > tick_trade.offer_appl_seq_num else SIDE.SELL
        l2_transaction = L2Transaction.__from_create__(
            tick_trade.biz_index, market_code, dt, side, tick_trade.trade_price, tick_trade.trade_volume,
            tick_trade.value_trade, get_trade_type_from_mach(chr(tick_trade.trade_type)),
            tick_trade.bid_appl_seq_num, tick_trade.offer_appl_seq_num)
        event_queue.append(Event(EVENT.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt,
                                 l2_transaction=l2_transaction))

    def on_bar(self, bar):
        market_code = bar.security_id + "." + get_exchane_from_mach_mdtype(bar.market_type)
        bar_dict = {
            "market_code": market_code,
            "orig_time": convert_int_to_datetime(bar.end_time / 1000),
            "open_price": bar.open,
            "close_price": bar.close,
            "high_price": bar.high,
            "low_price": bar.low,
            "total_turnover": bar.amount,
            "volume": bar.volume,
            "prev_close": bar.prev_close,
        }
        if market_code not in history_bar:
            history_bar[market_code] = deque()
        history_bar[market_code].append(bar_dict)
        bar_time = bar.end_time / 1000
        if self.current_trade_dt == 0 or self.current_trade_dt == bar_time:
            self.bar_cnt += 1
        else:
            self.bar_cnt = 1
        self.current_trade_dt = bar_time
        if self.bar_cnt == len(Environment.get_instance().get_universe()):
            calendar_dt = convert_int_to_whole_date(int(self.current_trade_dt))
            event_queue.append(Event(EVENT.BAR, calendar_dt=calendar_dt, trading_dt=calendar_dt))
            self.bar_cnt = 0

    def on_login(self, login_res):
        system_log.info("on_login fund_account_id:" + str(login_res.fund_account_id)
                        + ", error_code:" + str(login_res.error_code))
        event_queue.append(Event(EVENT.LOGIN, rid=login_res.client_seq_id, account_id=login_res.fund_account_id,
                                 code=login_res.error_code, msg=login_res.error_msg))
        if login_res.error_code == 0:
            self.logged_in = True
            self.context.query_asset(login_res.fund_account_id)
            self.context.query_position(login_res.fund_account_id)

    def on_query_asset(self, asset_res, request_id, code, msg):
        system_log.info(f"on_query_asset, {asset_res.fund_account_id}, leaves_value:{asset_res.leaves_value}"
                        f" code {code}  ms {msg}")
        if code != 0:
            event_queue.append(Event(EVENT.QUERY_ACCOUNT, rid=request_id, account_id=asset_res.fund_account_id,
                                     code=code, msg=msg))
            return
        asset = Asset(asset_res.fund_account_id, asset_res.available_t1, asset_res.frozen_all,
                      asset_res.market_value, asset_res.total_asset, asset_res.leaves_value,
                      asset_res.init_leaves_value)
        event_queue.append(Event(EVENT.QUERY_ACCOUNT, rid=request_id, account_id=asset_res.fund_account_id,
                                 asset=asset))

    def on_query_position(self, query_position_res, request_id, code, msg):
        system_log.info("on_query_position: code:" + str(code) + ", msg:" + str(msg))
        if code != 0:
            event_queue.append(Event(EVENT.QUERY_POSITION, rid=request_id, code=code, msg=msg))
            return
        if not type(query_position_res) == list:
            return
        if len(query_position_res) < 1:
            return
        positions = []
        for pos in query_position_res:
            try:
                position = Position(pos.security_id + "." + get_exchane_from_mach_mdtype(pos.market_id),
                                    POSITION_DIRECTION.LONG, pos.init_qty)
                position.set_state({
                    "quantity": pos.leaves_qty,
                    "available_qty": pos.available_qty,
                    "avg_price": pos.cost_price,
                    "last_price": pos.last_price,
                    "market_value": pos.market_value,
                    "daily_pnl": pos.profit_loss,
                })
            except Exception as e:
                user_system_log.warning("on_query_position position do not add: " + str(_record_name(pos))
                                        + "  exception: " + str(e))
                continue
            positions.append(position)
        event_queue.append(Event(EVENT.QUERY_POSITION, rid=request_id, positions=positions))

    def on_order(self, order):
        system_log.info(f"on_order:{order.client_order_id}, symbol: {order.security_id}, price:{order.order_price}"
                        f", status:{order.order_status}, order_qty:{order.order_qty}, trade_qty:{order.trade_qty}"
                        f", total_trade_value: {order.total_trade_value}, error_msg:{order.error_msg}"
                        f", last_match_qty: {order.last_match_qty}")
        if not orders_dict.__contains__(order.client_order_id):
            return
        vl_order = orders_dict[order.client_order_id]
        account = Environment.get_instance().get_account(vl_order.market_code)
        status = order.order_status
        if status == OrderStatusType.UnSend or status == OrderStatusType.Sended:
            vl_order.secondary_order_id = order.counter_order_id
            vl_order.set_frozen_cash(order.frozen_trade_value)
            if order.counter_order_id and order.counter_order_id > 0 and vl_order.status != ORDER_STATUS.ACTIVE:
                vl_order.status = ORDER_STATUS.ACTIVE
                event_queue.append(Event(EVENT.ORDER_CREATION_PASS, account=account, order=copy.deepcopy(vl_order)))
        elif (status == OrderStatusType.PartiallyFilled or status == OrderStatusType.Filled
              or status == OrderStatusType.PartiallyFilledPartiallyCancelled or status == OrderStatusType.WaitCancelled
              or status == OrderStatusType.PartiallyFilledWaitCancelled or status == OrderStatusType.Cancelled):
            if order.last_match_qty > 0:
                trade = Trade.__from_create__(order_id=vl_order.order_id, price=order.last_match_price,
                                              amount=order.last_match_qty, side=vl_order.side,
                                              position_effect=vl_order.position_effect,
                                              market_code=vl_order.market_code, frozen_price=vl_order.price)
                # No cumulative quantity, no average price: it keeps its value.
                if order.trade_qty != 0:
                    vl_order.avg_price = order.total_trade_value / order.trade_qty
                vl_order.filled_quantity = order.trade_qty
                vl_order.unfilled_quantity = order.order_qty - order.trade_qty
                if order.order_status == OrderStatusType.Filled:
                    vl_order.status = ORDER_STATUS.FILLED
                elif order.order_status == OrderStatusType.PartiallyFilled:
                    vl_order.status = ORDER_STATUS.PARTIALLY_FILLED
                event_queue.append(Event(EVENT.TRADE, account=account, trade=trade, order=copy.deepcopy(vl_order)))
            if status == OrderStatusType.PartiallyFilledPartiallyCancelled or status == OrderStatusType.Cancelled:
                vl_order.status = ORDER_STATUS.CANCELLED
                event_queue.append(Event(EVENT.ORDER_CANCELLATION_PASS, account=account,
                                         order=copy.deepcopy(vl_order)))
            elif status == OrderStatusType.PartiallyFilledWaitCancelled or status == OrderStatusType.WaitCancelled:
                if vl_order.filled_quantity > 0:
                    vl_order.status = ORDER_STATUS.PARTIALLY_FILLED
                event_queue.append(Event(EVENT.ORDER_PENDING_CANCEL, account=account, order=copy.deepcopy(vl_order)))
        elif status == OrderStatusType.Reject:
            # The reason is "<code>_<message>", whatever type the broker gave the message.
            vl_order.mark_rejected(str(order.error_code) + "_" + str(order.error_msg))
            vl_order.set_frozen_cash(order.frozen_trade_value)
            event_queue.append(Event(EVENT.ORDER_UNSOLICITED_UPDATE, account=account, order=copy.deepcopy(vl_order)))

    def on_trade(self, trade):
        pass

    def on_order_action_error(self, order_action_error):
        if not orders_dict.__contains__(order_action_error.client_order_id):
            return
        vl_order = orders_dict[order_action_error.client_order_id]
        account = Environment.get_instance().get_account(vl_order.market_code)
        event_queue.append(Event(EVENT.ORDER_CANCELLATION_REJECT, account=account, order=copy.deepcopy(vl_order)))

    def on_algo_login(self, algo_login_res):
        event_queue.append(Event(EVENT.ALGO_LOGIN, req_id=algo_login_res.client_seq_id,
                                 algo_account=algo_login_res.trader_id, code=algo_login_res.error_code,
                                 msg=algo_login_res.error_msg))

    def on_create_algo_parent_order_res(self, create_parent_order_res):
        res = create_parent_order_res
        event_queue.append(Event(EVENT.PARENT_ORDER_CREATE, req_id=res.client_seq_id,
                                 parent_order_id=res.sys_quote_id, code=res.error_code, msg=res.error_msg))

    def on_cancel_algo_parent_order_res(self, cancel_parent_order_res):
        res = cancel_parent_order_res
        event_queue.append(Event(EVENT.PARENT_ORDER_CANCEL, parent_order_id=res.sys_quote_id,
                                 code=res.error_code, msg=res.error_msg))

    def on_control_algo_parent_order_res(self, control_parent_order_res):
        from pymach.enums import AlgoControlType
        res = control_parent_order_res
        if res.control_type == AlgoControlType.Pause:
            event_queue.append(Event(EVENT.PARENT_ORDER_PAUSE, parent_order_id=res.sys_quote_id,
                                     code=res.error_code, msg=res.error_msg))
        elif res.algo_control_type == AlgoControlType.Resume:
            event_queue.append(Event(EVENT.PARENT_ORDER_RESUME, parent_order_id=res.sys_quote_id,
                                     code=res.error_code, msg=res.error_msg))

    def on_algo_parent_order_update(self, parent_order):
        if algo_parent_orders.__contains__(parent_order.sys_quote_id):
            existing = algo_parent_orders.get(parent_order.sys_quote_id)
        else:
            existing = None
        obj = AlgoParentOrder.from_mach(parent_order, existing)
        algo_parent_orders[parent_order.sys_quote_id] = obj
        event_queue.append(Event(EVENT.PARENT_ORDER_UPDATE, algo_parent_order=copy.deepcopy(obj)))

    def on_algo_child_order_update(self, child_order):
        if algo_child_orders.__contains__(child_order.sys_quote_id):
            existing = algo_child_orders.get(child_order.sys_quote_id)
        else:
            existing = None
        obj = AlgoChildOrder.from_mach(child_order, existing)
        algo_child_orders[child_order.sys_quote_id] = obj
        event_queue.append(Event(EVENT.CHILD_ORDER_UPDATE, algo_child_order=copy.deepcopy(obj)))

    def on_algo_child_order_trade(self, child_trade):
        if algo_child_trades.__contains__(child_trade.sys_quote_id):
            existing = algo_child_trades.get(child_trade.sys_quote_id)
        else:
            existing = None
        obj = AlgoChildTrade.from_mach(child_trade, existing)
        algo_child_trades[child_trade.sys_quote_id] = obj
        event_queue.append(Event(EVENT.CHILD_ORDER_TRADE, algo_child_trade=copy.deepcopy(obj)))

    def create_time_listener(self):
        current_date = np.datetime64("today", "D")
        if current_date not in self.config.base.trading_calendar:
            system_log.info(str(current_date) + " not trade day... " + str(self.config.base.trading_calendar))
            return
        now = datetime.now()
        current_time = now.time()
        if current_time < time(9, 0, 0):
            dt = datetime.combine(now.date(), time(9, 0, 0))
            self.context.add_timer_interval(int((dt - now).total_seconds() * 1000000000),
                                            self.send_before_trading_event)
        else:
            self.context.add_timer_interval(3000000000, self.send_before_trading_event)
        if current_time < time(9, 27, 0):
            # Scheduled for 09:24 but still wanted until 09:27: a start in between is sent at once.
            dt = datetime.combine(now.date(), time(9, 24, 0))
            self.context.add_timer_interval(max(int((dt - now).total_seconds() * 1000000000), 0),
                                            self.send_open_auction_event)
        if current_time < time(15, 30, 0):
            dt = datetime.combine(now.date(), time(15, 30, 0))
            self.context.add_timer_interval(int((dt - now).total_seconds() * 1000000000),
                                            self.send_after_trading_event)
        else:
            self.context.add_timer_interval(20000000000, self.send_after_trading_event)

    def send_day_event(self, event_type, dt):
        event_queue.append(Event(event_type, calendar_dt=dt, trading_dt=dt))

    def send_before_trading_event(self):
        self.send_day_event(EVENT.BEFORE_TRADING, datetime.now())

    def send_after_trading_event(self):
        self.send_day_event(EVENT.AFTER_TRADING, datetime.now())
        orders_dict.clear()

    def send_open_auction_event(self):
        self.send_day_event(EVENT.OPEN_AUCTION, datetime.now())

    def set_timer(self):
        self.create_time_listener()
        tomorrow_8am = datetime.now().replace(hour=8, minute=0, second=0, microsecond=0) + timedelta(days=1)
        time_diff = tomorrow_8am - datetime.now()
        self.context.add_timer_interval(int(time_diff.total_seconds() * 1000000000), self.set_timer)
