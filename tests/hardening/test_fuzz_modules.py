"""The futures declarations, the credential functions, the command line and the
stock event codes under generated input: only ordinary exceptions, and the
module-level constants and defaults unchanged by any call."""
import copy
import os
import sys
import warnings

import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from hardening_support import FUZZ, Hostile, outcome, values
from velora.data.interface import event_codes
from velora.tavlo.datac.services import future
from velora.tavlo.sdk import console, credentials

CONSTANTS = ["_FIELDS", "VALID_FIELDS_MAP", "FUTURE_PRICE_FIELDS_MAP", "VALID_ADJUST_METHODS",
             "DOMINANT_PRICE_ADJUST_FIELDS", "DOMINANT_PRICE_FIELDS", "TRADING_PARAMETERS_FIELDS"]
SERVICES = ["get_dominant_future", "get_dominant", "current_real_contract", "future_commission_margin",
            "get_commission_margin", "get_future_member_rank", "get_member_rank", "get_warehouse_stocks",
            "get_contract_multiplier", "get_current_basis", "get_basis", "_get_future_factors_df", "get_ex_factor",
            "get_dominant_price", "get_ob_datetime_multi_index", "get_trading_parameters", "get_exchange_daily"]


@pytest.fixture(scope="module")
def pristine():
    return {name: copy.deepcopy(getattr(future, name)) for name in CONSTANTS}


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@FUZZ
@given(name=st.sampled_from(SERVICES), args=st.lists(values, max_size=6))
def test_services(pristine, name, args):
    fn = getattr(future, name)
    kind, result = outcome(fn, *args)
    if kind == "ok":
        assert result is None
    elif name in ("get_dominant", "get_dominant_future") and args:
        assert isinstance(result, (ValueError, TypeError)) or type(result).__name__ == "Boom"
    for constant, value in pristine.items():
        assert getattr(future, constant) == value
    assert future.get_ob_datetime_multi_index.__defaults__ == (["market_code", "trading_date"],)


@FUZZ
@given(data=st.one_of(values, st.lists(st.one_of(st.tuples(values, values), values), max_size=8),
                      st.lists(st.tuples(st.sampled_from("ABC"), st.integers()), max_size=12)),
       steps=st.lists(st.sampled_from(["next", "send", "throw", "close"]), max_size=6))
def test_slicing_generator(data, steps):
    gen = future._slice_dominant_data(data)
    for step in steps:
        if step == "next":
            kind, result = outcome(next, gen)
        elif step == "send":
            kind, result = outcome(gen.send, None)
        elif step == "throw":
            kind, result = outcome(gen.throw, KeyError("thrown"))
        else:
            kind, result = outcome(gen.close)
        if kind == "ok" and step in ("next", "send"):
            assert type(result) is slice
    kind, rest = outcome(list, gen)
    if kind == "ok":
        assert all(type(s) is slice for s in rest)


def test_slicing_generator_survives_reentry_from_the_data():
    gen = None

    def rows():
        yield ("A", 1)
        yield ("B", next(gen))  # asks the running generator for more

    gen = future._slice_dominant_data(rows())
    with pytest.raises(ValueError, match="generator already executing"):
        list(gen)


@FUZZ
@given(table_kind=st.sampled_from(["none", "frame", "hostile"]), symbols=values, adjust_type=values,
       adjust_method=st.one_of(values, st.sampled_from(future.VALID_ADJUST_METHODS)), rule=values)
def test_factor_accumulation(monkeypatch, table_kind, symbols, adjust_type, adjust_method, rule):
    index = pd.MultiIndex.from_tuples([("A", 1), ("A", 2), ("B", 1)], names=["underlying_symbol", "ex_date"])
    table = {"none": None, "hostile": Hostile("all"),
             "frame": pd.DataFrame({m: [2.0, 0.5, 3.0] for m in future.VALID_ADJUST_METHODS}, index=index)}[table_kind]
    with monkeypatch.context() as patch:
        patch.setattr(future, "_get_future_factors_df", lambda rule: table)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            kind, result = outcome(future.__internal_get_ex_factor, symbols, adjust_type, adjust_method, rule)
    if kind == "ok":
        assert isinstance(result, pd.Series) and result.name == "ex_cum_factor"


@FUZZ
@given(stored=st.one_of(st.none(), st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"),
                                           max_size=12)),
       name=st.one_of(st.just("VELORA_LICENSE"), values))
def test_get_license_info(monkeypatch, capsys, stored, name):
    with monkeypatch.context() as patch:
        patch.delenv("VELORA_LICENSE", raising=False)
        if stored is not None:
            patch.setenv("VELORA_LICENSE", stored)
        kind, result = outcome(credentials.get_license_info, name)
    capsys.readouterr()
    if kind == "ok":
        user, pw = result
        assert (user is None) == (pw is None)
        if user is not None and name == "VELORA_LICENSE":
            assert user + ":" + pw == stored


@FUZZ
@given(variables=st.one_of(values, st.lists(st.sampled_from(["VELORA_FUZZ_A", "VELORA_FUZZ_B"]), max_size=2)),
       value=st.one_of(st.text(alphabet="ab:1", max_size=6), values),
       platform=st.sampled_from(["linux", "win32"]))
def test_set_to_environ(monkeypatch, capsys, variables, value, platform):
    persisted = []
    with monkeypatch.context() as patch:
        for name in ("VELORA_FUZZ_A", "VELORA_FUZZ_B", "VELORA_LICENSE"):
            patch.delenv(name, raising=False)
        environ_before = dict(os.environ)
        patch.setattr(credentials, "update_bash_file", lambda names, value: persisted.append((list(names), value)))
        patch.setattr(credentials, "sys", type("S", (), {"platform": platform}))
        patch.setattr(credentials.os, "popen", lambda command: persisted.append(command))
        patch.setitem(sys.modules, "subprocess", type("P", (), {"DEVNULL": -3, "run": staticmethod(
            lambda *a, **k: persisted.append(a))}))
        kind, result = outcome(credentials.set_to_environ, variables, value)
        changed = {k for k in set(os.environ) | set(environ_before) if os.environ.get(k) != environ_before.get(k)}
    capsys.readouterr()
    names = variables if isinstance(variables, list) else [variables]
    if kind == "ok":
        assert result is None and changed <= set(n for n in names if isinstance(n, str))
    for k in changed:
        assert k in names


COMMANDS = [
    ("license", 4), ("shell", 0), ("update_data", 8), ("check_data", 3), ("download_data", 3),
]


@pytest.mark.parametrize("command, nargs", COMMANDS, ids=[c for c, _ in COMMANDS])
def test_command_bodies(monkeypatch, capsys, command, nargs):
    import velora.tavlo.alpha.bundle as bundle
    import velora.tavlo.alpha.utils.scripts as scripts
    import velora.tavlo.console.bundle as console_bundle
    import velora.tavlo.utils.login as login

    calls = []
    record = lambda name, result=True: (lambda *a, **k: calls.append(name) or result)  # noqa: E731
    for module, name in [(login, "init_wux"), (bundle, "update_bundle_from_pormex"),
                         (bundle, "update_bundle_from_exist_file"), (bundle, "check_min_bar_data"),
                         (bundle, "download_simple_bundle"), (scripts, "check_tick"),
                         (console_bundle, "check_bundle_data")]:
        monkeypatch.setattr(module, name, record(name))
    monkeypatch.setattr(console, "set_to_environ", record("set_to_environ"))
    monkeypatch.setattr(console, "get_license_info", lambda: ("u", "p"))
    monkeypatch.setattr(console.click, "prompt", lambda *a, **k: "typed")
    monkeypatch.setitem(sys.modules, "IPython", None)  # the shell reports a missing IPython
    body = getattr(console, command).callback

    def call(*args):
        try:
            return body(*args)
        except SystemExit as e:  # update-data's failure: an exit status, by design
            assert command == "update_data" and e.code == 1
            return "exit"

    @FUZZ
    @given(args=st.lists(values, min_size=nargs, max_size=nargs))
    def run(args):
        calls.clear()
        outcome(call, *args)
        capsys.readouterr()
    run()


@FUZZ
@given(value=values)
def test_stock_events_lookup(value):
    kind, result = outcome(event_codes.StockEvents, value)
    if kind == "ok":
        assert result in list(event_codes.StockEvents)
    assert len(event_codes.StockEvents) == 41
