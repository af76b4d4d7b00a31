"""The futures service declarations: names, signatures, documentation, field
vocabularies, the deprecated aliases and the product check of get_dominant."""
import inspect
import sys
import types
import warnings

import pytest

import velora.tavlo.datac.services.future as future
from compiled_docs import compiled_doc
from future_docstrings import DOCUMENTED, UNDOCUMENTED

SIGNATURES = {
    "get_dominant_future": "(underlying_symbol, start_date=None, end_date=None, rule=0, rank=1, market='cn')",
    "get_dominant": "(underlying_symbol, start_date=None, end_date=None, rule=0, rank=1, market='cn')",
    "current_real_contract": "(ob, market)",
    "future_commission_margin": "(market_code=None, fields=None, hedge_flag='speculation')",
    "get_commission_margin": "(market_code=None, fields=None, hedge_flag='speculation')",
    "get_future_member_rank": "(market_code, trading_date=None, info_type='volume')",
    "get_member_rank": "(obj, trading_date=None, rank_by='volume', **kwargs)",
    "get_warehouse_stocks": "(underlying_symbols, start_date=None, end_date=None, market='cn')",
    "get_contract_multiplier": "(underlying_symbols, start_date=None, end_date=None, market='cn')",
    "get_current_basis": "(market_code, market='cn')",
    "get_basis": "(market_code, start_date=None, end_date=None, fields=None, frequency='1d', market='cn')",
    "_get_future_factors_df": "(rule=0, market='cn')",
    "get_ex_factor": "(underlying_symbols, start_date=None, end_date=None, adjust_method='prev_close_spread', "
    "rule=0, market='cn')",
    "__internal_get_ex_factor": "(underlying_symbols, adjust_type, adjust_method, rule=0)",
    "_slice_dominant_data": "(data)",
    "get_dominant_price": "(underlying_symbols, start_date=None, end_date=None, frequency='1d', fields=None, "
    "adjust_type='pre', adjust_method='prev_close_spread', rule=0)",
    "get_ob_datetime_multi_index": "(market_code, start_date, end_date, names=['market_code', 'trading_date'])",
    "get_trading_parameters": "(market_code, start_date=None, end_date=None, fields=None, market='cn')",
    "get_exchange_daily": "(market_code, start_date=None, end_date=None, fields=None, market='cn')",
}

CONSTANTS = {
    "_FIELDS": ["margin_type", "long_margin_ratio", "short_margin_ratio", "commission_type",
                "open_commission_ratio", "close_commission_ratio", "close_commission_today_ratio"],
    "VALID_FIELDS_MAP": {
        "1d": ["open_price", "high_price", "low_price", "close_price", "index", "close_index", "basis",
               "basis_rate", "basis_annual_rate", "settlement", "settle_basis", "settle_basis_rate",
               "settle_basis_annual_rate"],
        "1m": ["open_price", "high_price", "low_price", "close_price", "index", "close_index", "basis",
               "basis_rate", "basis_annual_rate"],
        "tick": ["index", "future_px", "index_px", "basis", "basis_rate", "basis_annual_rate"],
    },
    "FUTURE_PRICE_FIELDS_MAP": {
        "1d": ["close_price", "open_price", "high_price", "low_price", "settlement"],
        "1m": ["close_price", "open_price", "high_price", "low_price"],
        "tick": ["last_price"],
    },
    "VALID_ADJUST_METHODS": ["prev_close_spread", "open_spread", "prev_close_ratio", "open_ratio"],
    "DOMINANT_PRICE_ADJUST_FIELDS": ["open_price", "high_price", "low_price", "close_price", "last_price",
                                     "high_limited", "low_limited", "settlement", "prev_settlement", "prev_close",
                                     "a1", "a2", "a3", "a4", "a5", "b1", "b2", "b3", "b4", "b5"],
    "DOMINANT_PRICE_FIELDS": {
        "tick": ["trading_date", "open_price", "last_price", "high_price", "low_price", "prev_close", "volume",
                 "total_turnover", "high_limited", "low_limited", "a1", "a2", "a3", "a4", "a5", "b1", "b2", "b3",
                 "b4", "b5", "a1_v", "a2_v", "a3_v", "a4_v", "a5_v", "b1_v", "b2_v", "b3_v", "b4_v", "b5_v",
                 "change_rate", "open_interest", "prev_settlement"],
        "d": ["open_price", "close_price", "high_price", "low_price", "total_turnover", "volume", "prev_close",
              "settlement", "prev_settlement", "open_interest", "high_limited", "low_limited", "day_session_open"],
        "m": ["trading_date", "open_price", "close_price", "high_price", "low_price", "total_turnover", "volume",
              "open_interest"],
    },
    "TRADING_PARAMETERS_FIELDS": ["long_margin_ratio", "short_margin_ratio", "commission_type", "open_commission",
                                  "close_commission", "discount_rate", "close_commission_today",
                                  "non_member_limit_rate", "client_limit_rate", "non_member_limit", "client_limit",
                                  "min_order_quantity", "max_order_quantity", "min_margin_ratio"],
}

BODY_ORDER = [
    "six", "datetime", "warnings", "bisect", "pd", "np", "relativedelta",
    "get_dominant_future", "get_dominant", "current_real_contract", "_FIELDS", "future_commission_margin",
    "get_commission_margin", "get_future_member_rank", "get_member_rank", "get_warehouse_stocks",
    "get_contract_multiplier", "get_current_basis", "VALID_FIELDS_MAP", "FUTURE_PRICE_FIELDS_MAP", "get_basis",
    "VALID_ADJUST_METHODS", "_get_future_factors_df", "get_ex_factor", "__internal_get_ex_factor",
    "DOMINANT_PRICE_ADJUST_FIELDS", "DOMINANT_PRICE_FIELDS", "_slice_dominant_data", "get_dominant_price",
    "get_ob_datetime_multi_index", "TRADING_PARAMETERS_FIELDS", "get_trading_parameters", "get_exchange_daily",
]

# Services that only declare themselves, each with its required arguments.
DECLARED_CALLS = {
    "current_real_contract": ("IF", "cn"),
    "get_commission_margin": (),
    "get_member_rank": ("RB",),
    "get_warehouse_stocks": (["CU"],),
    "get_contract_multiplier": (["IF"],),
    "get_current_basis": ("IF2312",),
    "get_basis": ("IF2312",),
    "_get_future_factors_df": (),
    "get_ex_factor": ("IF",),
    "get_dominant_price": ("IF",),
    "get_ob_datetime_multi_index": ("IF", None, None),
    "get_trading_parameters": ("IF2312",),
    "get_exchange_daily": ("IF2312",),
}

# Every function with its required arguments.
MINIMAL_ARGS = dict(DECLARED_CALLS, get_dominant=("IF",), get_dominant_future=("IF",), future_commission_margin=(),
                    get_future_member_rank=("RB2005",), _slice_dominant_data=([],),
                    __internal_get_ex_factor=(["IF"], "pre", "open_ratio"))

ALIASES = [
    # alias, replacement, arguments, what the replacement receives, message
    ("get_dominant_future", "get_dominant", ("IF",), ("IF", None, None, 0, 1, "cn"),
     "'get_dominant_future' is deprecated, please use 'futures.get_dominant' instead"),
    ("future_commission_margin", "get_commission_margin", (), (None, None, "speculation"),
     "'future_commission_margin' is deprecated, please use 'futures.get_commission_margin' instead"),
    ("get_future_member_rank", "get_member_rank", ("RB2005",), ("RB2005", None, "volume"),
     "'get_future_member_rank' is deprecated, please use 'futures.get_member_rank' instead"),
]


def test_module_body_binds_names_in_order():
    names = [n for n in vars(future) if not (n.startswith("__") and n.endswith("__"))]
    assert names == BODY_ORDER
    assert future.pd is sys.modules["pandas"] and future.np is sys.modules["numpy"]
    assert future.relativedelta is sys.modules["dateutil.relativedelta"].relativedelta
    assert future.datetime is sys.modules["datetime"] and future.six is sys.modules["six"]


@pytest.mark.parametrize("name", sorted(DOCUMENTED))
def test_documentation_strings(name):
    assert getattr(future, name).__doc__ == compiled_doc(DOCUMENTED[name])


@pytest.mark.parametrize("name", UNDOCUMENTED)
def test_aliases_and_helpers_have_no_documentation(name):
    assert getattr(future, name).__doc__ is None


@pytest.mark.parametrize("name", sorted(CONSTANTS))
def test_constants(name):
    value = getattr(future, name)
    assert value == CONSTANTS[name]
    assert type(value) is type(CONSTANTS[name])
    if isinstance(value, dict):
        assert list(value) == list(CONSTANTS[name])
        assert all(type(v) is list for v in value.values())
    assert getattr(future, name) is value  # one shared object


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signature_and_module(name):
    fn = getattr(future, name)
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__name__ == name and fn.__qualname__ == name
    assert fn.__module__ == "velora.tavlo.datac.services.future"


@pytest.mark.parametrize("name", sorted(set(SIGNATURES) - {"get_member_rank"}))
def test_unknown_keyword_is_refused(name):
    with pytest.raises(TypeError, match="unexpected keyword argument 'foo'"):
        getattr(future, name)(*MINIMAL_ARGS[name], foo=1)


@pytest.mark.parametrize("name, args", sorted(DECLARED_CALLS.items()))
def test_declared_services_return_none(name, args):
    assert getattr(future, name)(*args) is None


def test_get_member_rank_accepts_any_keyword():
    assert future.get_member_rank("RB", start_date="2020-01-01", end_date="2020-02-01", foo=1) is None


@pytest.mark.parametrize("call", [
    lambda: future.current_real_contract("IF"),
    lambda: future.get_basis(),
    lambda: future.get_contract_multiplier(),
    lambda: future.get_commission_margin(1, 2, 3, 4),
    lambda: future.get_dominant("IF", underlying_symbol="IC"),
    lambda: future._slice_dominant_data(),
])
def test_wrong_argument_counts(call):
    with pytest.raises(TypeError):
        call()


def test_names_default_is_one_shared_list():
    fn = future.get_ob_datetime_multi_index
    names = fn.__defaults__[0]
    assert fn.__defaults__ == (["market_code", "trading_date"],)
    assert fn.__defaults__[0] is names
    names.append("extra")
    try:
        assert inspect.signature(fn).parameters["names"].default == ["market_code", "trading_date", "extra"]
    finally:
        names.remove("extra")


# --- get_dominant ------------------------------------------------------------------

@pytest.mark.parametrize("symbol", ["IF", "", "rb"])
def test_get_dominant_accepts_strings(symbol):
    assert future.get_dominant(symbol, rule=5, rank=9, market="hk") is None


@pytest.mark.parametrize("symbol, text", [
    (123, "123"), (None, "None"), (["IF"], "['IF']"), (b"IF", "b'IF'"), (1.5, "1.5"),
])
def test_get_dominant_refuses_other_values(symbol, text):
    with pytest.raises(ValueError) as info:
        future.get_dominant(symbol)
    assert info.value.args == ("invalid underlying_symbol: " + text,)


def test_get_dominant_reads_six_when_called(monkeypatch):
    monkeypatch.setattr(future, "six", types.SimpleNamespace(string_types=(int,)))
    assert future.get_dominant(5) is None
    with pytest.raises(ValueError, match="invalid underlying_symbol: IF"):
        future.get_dominant("IF")
    monkeypatch.delattr(future, "six")
    with pytest.raises(NameError, match="name 'six' is not defined"):
        future.get_dominant("IF")


# --- deprecated aliases ------------------------------------------------------------

def call_alias(alias, args):
    return getattr(future, alias)(*args)


ALIAS_CALL_LINE = call_alias.__code__.co_firstlineno + 1


@pytest.mark.parametrize("alias, replacement, args, forwarded, message", ALIASES)
def test_alias_warns_at_callers_line_then_delegates(monkeypatch, alias, replacement, args, forwarded, message):
    calls = []
    monkeypatch.setattr(future, replacement, lambda *a, **k: calls.append((a, k)) or "answer")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert call_alias(alias, args) == "answer"
    assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, message)]
    assert (caught[0].filename, caught[0].lineno) == (__file__, ALIAS_CALL_LINE)
    assert calls == [(forwarded, {})]


@pytest.mark.parametrize("alias, replacement, args, forwarded, message", ALIASES)
def test_alias_calls_warn_exactly_so(monkeypatch, alias, replacement, args, forwarded, message):
    seen = []

    def warn(*a, **k):
        seen.append((a, k, sys._getframe(2).f_code.co_name))

    monkeypatch.setattr(warnings, "warn", warn)
    call_alias(alias, args)
    assert seen == [((message,), {"category": DeprecationWarning, "stacklevel": 2}, "call_alias")]


@pytest.mark.parametrize("alias, replacement, args, forwarded, message", ALIASES)
def test_alias_warning_as_error_stops_before_replacement(monkeypatch, alias, replacement, args, forwarded, message):
    calls = []
    monkeypatch.setattr(future, replacement, lambda *a: calls.append(a))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match=message):
            call_alias(alias, args)
    assert calls == []


@pytest.mark.parametrize("alias", [a[0] for a in ALIASES])
def test_alias_wrong_call_raises_before_warning(alias):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            getattr(future, alias)("a", "b", "c", "d", "e", "f", "g")
    assert caught == []


def test_alias_forwards_every_argument_positionally(monkeypatch):
    calls = []
    for replacement in ("get_member_rank", "get_dominant", "get_commission_margin"):
        monkeypatch.setattr(future, replacement, lambda *a, **k: calls.append((a, k)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        future.get_future_member_rank("RB2005", info_type="long")
        future.get_dominant_future("IF", "2020-01-01", "2020-02-01", market="hk", rank=3, rule=2)
        future.future_commission_margin(fields=["margin_type"], hedge_flag="hedge")
    assert calls == [(("RB2005", None, "long"), {}),
                     (("IF", "2020-01-01", "2020-02-01", 2, 3, "hk"), {}),
                     ((None, ["margin_type"], "hedge"), {})]


def test_get_dominant_future_propagates_value_error_after_warning():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError, match=r"invalid underlying_symbol: \['IF'\]"):
            future.get_dominant_future(["IF"])
    assert [w.category for w in caught] == [DeprecationWarning]


def test_alias_looks_up_missing_replacement_at_call_time(monkeypatch):
    monkeypatch.delattr(future, "get_commission_margin")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(NameError, match="name 'get_commission_margin' is not defined"):
            future.future_commission_margin()
