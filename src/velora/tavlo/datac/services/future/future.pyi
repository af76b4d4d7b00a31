"""The futures section of the data API.

The services are declared here (names, parameters, defaults, documentation);
the serving layer answers them, so called on this module alone they return None.
"""
import datetime
from typing import Any, Union

import pandas as pd  # type: ignore  # typed where pandas-stubs is installed

# A date as the services accept it: "2015-01-07", 20150107, a date or a datetime.
_Date = Union[str, int, datetime.date, datetime.datetime]
_Names = Union[str, list[str]]

def get_dominant_future(
    underlying_symbol: str,
    start_date: _Date | None = None,
    end_date: _Date | None = None,
    rule: int = 0,
    rank: int = 1,
    market: str = "cn",
) -> pd.Series | None:
    """Deprecated alias of get_dominant (warns with DeprecationWarning)."""

def get_dominant(
    underlying_symbol: str,
    start_date: _Date | None = None,
    end_date: _Date | None = None,
    rule: int = 0,
    rank: int = 1,
    market: str = "cn",
) -> pd.Series | None:
    """获取指定期货品种当日对应的主力合约; ValueError for an underlying_symbol that is not a string."""

def current_real_contract(ob: str, market: str) -> str | None: ...
def future_commission_margin(
    market_code: _Names | None = None, fields: _Names | None = None, hedge_flag: str = "speculation"
) -> pd.DataFrame | None:
    """Deprecated alias of get_commission_margin (warns with DeprecationWarning)."""

def get_commission_margin(
    market_code: _Names | None = None, fields: _Names | None = None, hedge_flag: str = "speculation"
) -> pd.DataFrame | None: ...
def get_future_member_rank(
    market_code: str, trading_date: _Date | None = None, info_type: str = "volume"
) -> pd.DataFrame | None:
    """Deprecated alias of get_member_rank (warns with DeprecationWarning)."""

def get_member_rank(
    obj: str, trading_date: _Date | None = None, rank_by: str = "volume", **kwargs: Any
) -> pd.DataFrame | None: ...
def get_warehouse_stocks(
    underlying_symbols: _Names, start_date: _Date | None = None, end_date: _Date | None = None, market: str = "cn"
) -> pd.DataFrame | None: ...
def get_contract_multiplier(
    underlying_symbols: _Names, start_date: _Date | None = None, end_date: _Date | None = None, market: str = "cn"
) -> pd.DataFrame | None: ...
def get_current_basis(market_code: _Names, market: str = "cn") -> pd.DataFrame | None: ...

# Fields of get_basis by frequency ("1d", "1m", "tick").
VALID_FIELDS_MAP: dict[str, list[str]]
FUTURE_PRICE_FIELDS_MAP: dict[str, list[str]]

def get_basis(
    market_code: _Names,
    start_date: _Date | None = None,
    end_date: _Date | None = None,
    fields: _Names | None = None,
    frequency: str = "1d",
    market: str = "cn",
) -> pd.DataFrame | None: ...

VALID_ADJUST_METHODS: list[str]

def get_ex_factor(
    underlying_symbols: _Names,
    start_date: _Date | None = None,
    end_date: _Date | None = None,
    adjust_method: str = "prev_close_spread",
    rule: int = 0,
    market: str = "cn",
) -> pd.DataFrame | None: ...

DOMINANT_PRICE_ADJUST_FIELDS: list[str]
# Fields of get_dominant_price by frequency kind ("tick", "d", "m").
DOMINANT_PRICE_FIELDS: dict[str, list[str]]

def get_dominant_price(
    underlying_symbols: _Names,
    start_date: _Date | None = None,
    end_date: _Date | None = None,
    frequency: str = "1d",
    fields: _Names | None = None,
    adjust_type: str = "pre",
    adjust_method: str = "prev_close_spread",
    rule: int = 0,
) -> pd.DataFrame | None: ...
def get_ob_datetime_multi_index(
    market_code: _Names, start_date: _Date, end_date: _Date, names: list[str] = ...
) -> pd.MultiIndex | None: ...

TRADING_PARAMETERS_FIELDS: list[str]

def get_trading_parameters(
    market_code: _Names,
    start_date: _Date | None = None,
    end_date: _Date | None = None,
    fields: _Names | None = None,
    market: str = "cn",
) -> pd.DataFrame | None: ...
def get_exchange_daily(
    market_code: _Names,
    start_date: _Date | None = None,
    end_date: _Date | None = None,
    fields: _Names | None = None,
    market: str = "cn",
) -> pd.DataFrame | None: ...

# The types of the module's native functions and generators (pickled by reference).
__velora_function__: type
__velora_generator__: type
