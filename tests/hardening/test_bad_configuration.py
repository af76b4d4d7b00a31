"""Bad configurations of the live bridge: each fails with the exception type the
bridge documents and with the interpreter's own message (here obtained by running
the same Python expression on the same configuration), and the brokers
registered before the failing step stay registered."""
import sys
from types import SimpleNamespace

import numpy as np
import pytest

from pymach.enums import AlgoType, MDType, TDType

CALENDAR = [np.datetime64("2024-01-05", "D")]


def python_error(expression):
    """The exception the interpreter raises for ``expression()``."""
    try:
        expression()
    except Exception as e:  # noqa: BLE001
        return e
    raise AssertionError("the expression did not fail")


def unpack_two(text):
    ac, dest = text.split("_")
    return ac, dest


class Slotted:
    """A configuration section that is not a SimpleNamespace (its own type name in messages)."""
    __slots__ = ("trading_calendar", "md_type")

    def __init__(self):
        self.trading_calendar = CALENDAR


CASES = [
    # (id, base attributes or a base object, the Python expression that fails the same way, calls before it)
    ("no accounts", dict(trading_calendar=CALENDAR), lambda b: b.accounts, ["add_md_broker"]),
    ("accounts None", dict(accounts=None, trading_calendar=CALENDAR), lambda b: b.accounts.items, ["add_md_broker"]),
    ("accounts a list", dict(accounts=["F001_ma"], trading_calendar=CALENDAR), lambda b: b.accounts.items,
     ["add_md_broker"]),
    ("no separator", dict(accounts={"m": "F001ma"}, trading_calendar=CALENDAR), lambda b: unpack_two("F001ma"),
     ["add_md_broker"]),
    ("two separators", dict(accounts={"m": "F0_01_ma"}, trading_calendar=CALENDAR),
     lambda b: unpack_two("F0_01_ma"), ["add_md_broker"]),
    ("second account bad", dict(accounts={"m": "F001_ma", "n": "F002"}, trading_calendar=CALENDAR),
     lambda b: unpack_two("F002"), ["add_md_broker", "add_td_broker"]),
    ("account not a str", dict(accounts={"m": 1001}, trading_calendar=CALENDAR), lambda b: (1001).split,
     ["add_md_broker"]),
    ("unknown destination", dict(accounts={"m": "F001_xx"}, trading_calendar=CALENDAR), None, ["add_md_broker"]),
    ("algo account bad", dict(accounts={"m": "F001_ma"}, algo_account="A001", trading_calendar=CALENDAR),
     lambda b: unpack_two("A001"), ["add_md_broker", "add_td_broker"]),
    ("no calendar", dict(accounts={"m": "F001_ma"}), lambda b: b.trading_calendar,
     ["add_md_broker", "add_td_broker", "subscribe"]),
    ("calendar None", dict(accounts={"m": "F001_ma"}, trading_calendar=None),
     lambda b: np.datetime64("2024-01-05", "D") in b.trading_calendar, ["add_md_broker", "add_td_broker", "subscribe"]),
    ("slotted section", Slotted(), lambda b: b.accounts, ["add_md_broker"]),
]


@pytest.mark.parametrize("base, expression, before", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_initialize_reports_what_is_wrong(lf, base, expression, before):
    if isinstance(base, dict):
        base = SimpleNamespace(**base)
    strategy = lf.MachStrategy(SimpleNamespace(base=base))
    with pytest.raises(Exception) as raised:
        strategy.initialize(None)
    if expression is None:  # the framework's converter refuses the destination
        assert type(raised.value) is ValueError and "XX" in str(raised.value)
    else:
        expected = python_error(lambda: expression(base))
        assert type(raised.value) is type(expected) and str(raised.value) == str(expected)
        if sys.version_info >= (3, 10) and isinstance(expected, AttributeError):
            assert raised.value.name == expected.name
    calls = [c[0] for c in strategy.context.calls]
    assert calls == before
    assert lf.mach_params.get("mach_md") is MDType.AMD
    if "add_td_broker" in before:
        assert strategy.context.td_brokers == [TDType.MaTD]
    assert AlgoType.ATX not in strategy.context.algo_brokers


def test_missing_config_section(lf):
    strategy = lf.MachStrategy(SimpleNamespace())
    with pytest.raises(AttributeError, match="^'types.SimpleNamespace' object has no attribute 'base'$"):
        strategy.initialize(None)
    strategy = lf.MachStrategy(None)
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'base'$"):
        strategy.initialize(None)
    assert strategy.context.calls == []


def test_attribute_errors_propagate_from_a_configuration_property(lf):
    class Base:
        trading_calendar = CALENDAR

        @property
        def accounts(self):
            raise KeyError("accounts are kept elsewhere")

    strategy = lf.MachStrategy(SimpleNamespace(base=Base()))
    with pytest.raises(KeyError, match="accounts are kept elsewhere"):
        strategy.initialize(None)


def test_day_timer_without_calendar_registers_nothing_further(lf):
    strategy = lf.MachStrategy(SimpleNamespace(base=SimpleNamespace(accounts={"m": "F001_ma"})))
    with pytest.raises(AttributeError, match="has no attribute 'trading_calendar'"):
        strategy.set_timer()
    assert [c for c in strategy.context.calls if c[0] == "add_timer_interval"] == []
