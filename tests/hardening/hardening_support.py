"""Hostile values, SDK records and checks shared by the hardening tests.

The values are what a broker SDK, a caller or a Redis server can hand the native
modules: numbers of every kind (huge, NaN, numpy scalars), text and bytes, empty
and nested containers, and objects whose ``__str__``, ``__eq__``, ``__hash__``,
``__bool__``, ``__format__`` or attribute access raise.  Every call with them
must end in a return or an ordinary Python exception; a SystemError means the
native side returned an error without setting one, or set one it did not mean.
"""
import math
import os
import sys
from types import SimpleNamespace

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from pymach.enums import AlgoControlType, MarketType, OrderStatusType
from velora.tavlo.const import DEFAULT_ACCOUNT_TYPE
from velora.tavlo.environment import DataProxy, Environment
from velora.tavlo.model.instrument import Instrument
from velora.tavlo.portfolio.account import Account
from velora.tavlo.utils import live_feed as _live_feed

# The suite's profile is quick, for the edit loop; VELORA_DEEP=1 (which CI runs)
# tries ten times the examples.
DEEP = os.environ.get("VELORA_DEEP") == "1"
settings.register_profile("hardening", max_examples=600 if DEEP else 60, deadline=None, derandomize=True,
                          database=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                                                 HealthCheck.function_scoped_fixture])
FUZZ = settings.get_profile("hardening")


class Boom(Exception):
    """What the hostile objects raise."""


# Hostile objects raise only while a call under test runs (see `outcome`): the test
# machinery itself hashes, compares and prints the values it generates.
ARMED = [False]


class Hostile:
    """An object one of whose operations raises ``Boom`` (while armed)."""

    def __init__(self, op):
        self.op = op

    def _maybe(self, op):
        if ARMED[0] and (self.op == op or self.op == "all"):
            raise Boom(op)

    def __str__(self):
        self._maybe("str")
        return "hostile-%s" % self.op

    def __repr__(self):
        self._maybe("repr")
        return "Hostile(%r)" % self.op

    def __format__(self, spec):
        self._maybe("format")
        return str(self)

    def __eq__(self, other):
        self._maybe("eq")
        return self is other

    def __ne__(self, other):
        self._maybe("eq")
        return self is not other

    def __lt__(self, other):
        self._maybe("cmp")
        return NotImplemented

    __gt__ = __le__ = __ge__ = __lt__

    def __hash__(self):
        self._maybe("hash")
        return id(self) >> 4

    def __bool__(self):
        self._maybe("bool")
        return True

    def __len__(self):
        self._maybe("len")
        return 1

    def __iter__(self):
        self._maybe("iter")
        return iter(())

    def __index__(self):
        self._maybe("index")
        return 1

    def __add__(self, other):
        self._maybe("add")
        return NotImplemented

    __radd__ = __mul__ = __rmul__ = __truediv__ = __rtruediv__ = __sub__ = __rsub__ = __add__

    def __neg__(self):
        self._maybe("neg")
        return self

    def __deepcopy__(self, memo):
        self._maybe("copy")
        return self

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        self._maybe("getattr")
        raise AttributeError(name)


HOSTILE_OPS = ["str", "repr", "format", "eq", "cmp", "hash", "bool", "len", "iter", "index", "add", "neg",
               "copy", "getattr", "all"]


class StrWithHostileEq(str):
    """A str subclass (passes isinstance checks) whose comparison and hash raise."""

    def __eq__(self, other):
        if ARMED[0]:
            raise Boom("eq")
        return str.__eq__(self, other)

    def __hash__(self):
        if ARMED[0]:
            raise Boom("hash")
        return str.__hash__(self)


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-10, max_value=10),
    st.integers(),
    st.sampled_from([2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 30, -10 ** 30, sys.maxsize, -sys.maxsize - 1]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e308, 5e-324]),
    st.text(max_size=12),
    st.sampled_from(["", "0", "nan", "\x00", "\udc80", "平安", "a_b", "a_b_c", "_", "ma", "x_atx", "ATX"]),
    st.binary(max_size=12),
    st.sampled_from([np.int64(3), np.float64("nan"), np.int32(-1), np.bool_(True), np.datetime64("2024-01-05")]),
    st.sampled_from(list(MarketType) + list(OrderStatusType) + list(AlgoControlType)),
)

hostile = st.one_of(st.builds(Hostile, st.sampled_from(HOSTILE_OPS)),
                    st.just(StrWithHostileEq("000001")), st.just(object()))

values = st.recursive(
    st.one_of(scalars, hostile),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner),
                            st.dictionaries(st.text(max_size=4), inner, max_size=3)),
    max_leaves=6,
)


def record_of(plausible):
    """SDK records: every attribute of ``plausible`` present with its plausible value,
    replaced by a generated value, or missing."""
    names = sorted(plausible)
    choice = st.sampled_from(["keep", "keep", "value", "missing"])

    @st.composite
    def build(draw):
        fields = {}
        for name in names:
            how = draw(choice)
            if how == "keep":
                fields[name] = plausible[name]
            elif how == "value":
                fields[name] = draw(values)
        return SimpleNamespace(**fields)

    return build()


def ordinary_exception(exc):
    """An exception a native call may end with: any Exception but SystemError."""
    assert isinstance(exc, Exception), repr(exc)
    assert not isinstance(exc, SystemError), repr(exc)


def outcome(call, *args, **kwargs):
    """('ok', result) or ('raised', exception) of a call with the hostile values armed,
    checking that an exception is an ordinary one."""
    ARMED[0] = True
    try:
        return "ok", call(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - every exception is examined
        ARMED[0] = False
        ordinary_exception(e)
        return "raised", e
    finally:
        ARMED[0] = False


# --- The live bridge with fresh module state, and a framework environment ---------
# (Here rather than in conftest.py: pytest may have loaded another test
# directory's conftest first, and `from conftest import ...` would find that one.)

CODES = ("000001.XSHE", "000002.XSHE", "600000.XSHG")
STATE = ("mach_params", "history_bar", "history_tick", "orders_dict",
         "algo_parent_orders", "algo_child_orders", "algo_child_trades")


# The bridge's own event queue type (a ring buffer whose operations are atomic).
QUEUE_TYPE = type(_live_feed.event_queue)


def reset_bridge(module, capacity=100000):
    """Empty caches and registries and a fresh event queue (the module globals are rebound)."""
    module.event_queue = QUEUE_TYPE(capacity=capacity, dtype=object)
    for name in STATE:
        setattr(module, name, {})


def make_env():
    account = Account(DEFAULT_ACCOUNT_TYPE.STOCK, "F001")
    return Environment(DataProxy([Instrument(c) for c in CODES]), universe=CODES,
                       accounts={DEFAULT_ACCOUNT_TYPE.STOCK: account})
