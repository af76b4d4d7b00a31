import enum

import pytest

import velora.data.interface.event_codes as event_codes
from velora.data.interface.event_codes import StockEvents

ORDER = (
    "RISE_7 01 FLUC_7 02 AMP_15 03 VOL_20 04 CONT3_FLUC_20 05 CONT3_FLUC_15_ST 06 "
    "CONT3_VOL_30X_PRE5_VOL_20 07 DAILY_DISC 08 NO_PRICE_LIMIT 09 OTHER_ABN_FLUC 10 "
    "CONT3_STOCK_LIMIT_ST 11 CONT3_ST_STOCK_LIMIT 12 CONT2_LIMIT_BROKER 13 CONT3_FLUC_12_ST 14 "
    "RISK_VOL_30 18 DAY_AMP_30 21 CONT10_4POS_FLUC 40 SELECT3_FLUC_40 35 DAY_CLOSE_FALL_20 38 "
    "CONT10_3POS_FLUC 23 CONT10_CLOSE_FALL_50 26 CONT3_CLOSE_FLUC_30 31 INNOV3_FLUC_120_60 34 "
    "CONT30_CLOSE_RISE_200 27 MARGIN_BUY_SELL_50 16 CONT10_4NEG_FLUC 41 VOL_30 30 "
    "DAY_CLOSE_RISE_20 37 DAY_VOL_10 22 WITHDRAWAL_STOCK 19 CONT10_3NEG_FLUC 24 "
    "CONT10_CLOSE_RISE_100 25 CONT30_CLOSE_FALL_70 28 RISE_15 29 LAST3_FLUC_40 39 "
    "FOUND3_FLUC_200_70 33 DAY_AMP_40 36 NO_LIMIT_FLOAT_30 15 SPECIAL_HALT 32 "
    "NO_LIMIT_ABN_HALT 17 RISK_WARN_TRADING 20"
).split()


def test_members_in_definition_order():
    expected = list(zip(ORDER[::2], ORDER[1::2]))
    assert [(m.name, m.value) for m in StockEvents] == expected
    assert len(StockEvents) == 41
    assert sorted(m.value for m in StockEvents) == ["%02d" % i for i in range(1, 42)]


def test_class_is_a_plain_enum():
    assert StockEvents.__bases__ == (enum.Enum,) and type(StockEvents) is type(enum.Enum)
    assert (StockEvents.__module__, StockEvents.__qualname__) == ("velora.data.interface.event_codes", "StockEvents")
    assert StockEvents.__doc__ in (None, "An enumeration.") or StockEvents.__doc__.startswith("An enumeration")
    assert event_codes.Enum is enum.Enum
    assert [k for k in vars(event_codes) if not k.startswith("__")] == ["Enum", "StockEvents"]


@pytest.mark.parametrize("value, member", [("20", "RISK_WARN_TRADING"), ("40", "CONT10_4POS_FLUC"), ("15", "NO_LIMIT_FLOAT_30")])
def test_lookup_by_value_and_name(value, member):
    assert StockEvents(value) is StockEvents[member] is getattr(StockEvents, member)


@pytest.mark.parametrize("value", ["99", "1", 1, 20])
def test_unknown_values_raise_valueerror(value):
    with pytest.raises(ValueError):
        StockEvents(value)


def test_unknown_names():
    with pytest.raises(KeyError):
        StockEvents["NOPE"]
    with pytest.raises(AttributeError):
        StockEvents.NOPE
