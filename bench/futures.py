"""The futures module's two computations: slicing a row sequence by dominant
period, and accumulating adjustment factors per product."""
import collections

import numpy as np
import pandas as pd

from common import calls, loop, modules, rebound
from harness import Path, Side


def slicing_paths(n_pairs):
    native, plain = modules("future")
    native_slice, plain_slice = native._slice_dominant_data, plain._slice_dominant_data
    consume = collections.deque

    # Rows in date order, a hundred contracts a day: each slice is one day.
    contracts = ["C%04d" % k for k in range(100)]
    by_day = [(code, day) for day in range(n_pairs // 100) for code in contracts]
    # The same contract on every row: each row is a slice of its own.
    by_row = [("C0000", i) for i in range(n_pairs)]

    def run(fn, data):
        def batch(fn=fn, data=data, consume=consume):
            consume(fn(data), maxlen=0)
        return batch

    def check(data):
        def run():
            a, b = list(native_slice(data)), list(plain_slice(data))
            if a != b:
                raise AssertionError("_slice_dominant_data: native and plain slices differ")
        return run

    for data, shape in ((by_day, "100 codes a slice"), (by_row, "one row a slice")):
        yield Path("_slice_dominant_data (%s)" % shape,
                   "%d (code, day) pairs in a list, %d slices, consumed as they come" % (
                       len(data), sum(1 for _ in plain_slice(data))),
                   Side(run(native_slice, data), 1),
                   Side(run(plain_slice, data), 1),
                   check=check(data),
                   note="per call: one whole pass over the pairs")


def factors_table(n_products, n_rolls):
    rng = np.random.default_rng(7)
    products = ["P%03d" % k for k in range(n_products)]
    dates = pd.date_range("2015-01-05", periods=n_rolls, freq="7D")
    index = pd.MultiIndex.from_product([products, dates], names=["underlying_symbol", "ex_date"])
    n = len(index)
    table = pd.DataFrame({
        "prev_close_spread": rng.normal(0, 5, n),
        "open_spread": rng.normal(0, 5, n),
        "prev_close_ratio": rng.uniform(0.95, 1.05, n),
        "open_ratio": rng.uniform(0.95, 1.05, n),
    }, index=index)
    return products, table


def factor_paths(n_products, n_rolls):
    native, plain = modules("future")
    products, table = factors_table(n_products, n_rolls)

    def served(rule=0, market="cn"):
        return table

    native._get_future_factors_df = served
    plain._get_future_factors_df = served
    native_fn = getattr(native, "__internal_get_ex_factor")
    plain_fn = getattr(plain, "__internal_get_ex_factor")

    def check():
        for method in ("prev_close_ratio", "open_spread"):
            pd.testing.assert_series_equal(native_fn(products, "pre", method), plain_fn(products, "pre", method))

    for method in ("prev_close_ratio", "prev_close_spread"):
        yield Path("cumulative factors (%s)" % method.split("_")[-1],
                   "%d products x %d rolls, adjust_type='pre', %s" % (n_products, n_rolls, method),
                   Side(lambda fn=native_fn, m=method: fn(products, "pre", m), 1),
                   Side(lambda fn=plain_fn, m=method: fn(products, "pre", m), 1),
                   check=check)


def declared_service_paths(n_calls):
    """A call of a declared service: the arguments bound (five defaults), the product
    checked, None returned."""
    native, plain = modules("future")
    symbols = ["IF"] * n_calls

    def check():
        assert native.get_dominant("IF") is None and plain.get_dominant("IF") is None

    yield Path("get_dominant('IF') (a declared service)", "one product code, the other parameters defaulted",
               Side(calls(native.get_dominant, symbols), n_calls, loop(symbols)),
               Side(calls(plain.get_dominant, symbols), n_calls, loop(symbols)),
               check=check)


def paths(quick=False):
    native, plain = modules("future")
    names = ["_get_future_factors_df"]
    with rebound(native, names), rebound(plain, names):
        if quick:
            yield from declared_service_paths(50)
            yield from slicing_paths(2000)
            yield from factor_paths(5, 4)
        else:
            yield from declared_service_paths(2000)
            yield from slicing_paths(1000000)
            yield from factor_paths(100, 50)
