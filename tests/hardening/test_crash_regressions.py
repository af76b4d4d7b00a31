"""Crashes found by the hardening tests, each kept as a regression test (each of
these used to end the interpreter with a segmentation fault)."""
import os
import subprocess
import sys
import textwrap
import types

import pytest

from velora.tavlo.datac.services import future

HOST = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "host")


def run_isolated(code):
    """Run ``code`` in a fresh interpreter (a crash must not take the test run down)."""
    prelude = "import sys; sys.path.insert(0, %r)\n" % HOST
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


@pytest.mark.parametrize("qualname", ["\ud800", "a\x00b", "平安"])
def test_a_function_with_any_qualname_can_raise(qualname):
    out = run_isolated("""
        import traceback
        from collections import deque
        from velora.tavlo.utils import live_feed
        from velora.tavlo.datac.services import future
        live_feed.history_bar["x"] = deque([{}])
        live_feed.history_bars.__qualname__ = %r
        try:
            live_feed.history_bars("x", 1.5)
        except TypeError as e:
            traceback.format_exception(type(e), e, e.__traceback__)
            print("TypeError")
        future._slice_dominant_data.__qualname__ = %r
        try:
            list(future._slice_dominant_data([1]))
        except TypeError:
            print("TypeError")
    """ % (qualname, qualname))
    assert out.split() == ["TypeError", "TypeError"]


def test_deleted_module_name_reads_none_and_calls_still_work():
    out = run_isolated("""
        import warnings
        import pandas as pd
        from velora.tavlo.datac.services import future
        del future.__internal_get_ex_factor.__module__
        del future.get_dominant_future.__module__
        print(future.get_dominant_future.__module__)
        idx = pd.MultiIndex.from_tuples([("A", 1), ("A", 2)], names=["underlying_symbol", "ex_date"])
        future._get_future_factors_df = lambda rule: pd.DataFrame({"open_ratio": [2.0, 0.5]}, index=idx)
        print(list(future.__internal_get_ex_factor(["A"], "pre", "open_ratio")))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            print(future.get_dominant_future("IF"))
    """)
    assert out.split("\n")[:3] == ["None", "[2.0, 1.0]", "None"]


@pytest.mark.parametrize("make", [lambda: type(future.get_dominant), lambda: type(future._slice_dominant_data([]))],
                         ids=["function", "generator"])
def test_native_types_cannot_be_instantiated(make):
    if make() is types.FunctionType:
        pytest.skip("a portable build's functions are the interpreter's own")
    with pytest.raises(TypeError, match="cannot create"):
        make()()


@pytest.mark.parametrize("case", ["method", "attribute"])
def test_endless_recursion_through_native_code_is_a_recursion_error(case):
    out = run_isolated("""
        from velora.tavlo.utils import live_feed
        from velora.tavlo.datac.services import future

        class Strategy(live_feed.MachStrategy):
            create_time_listener = live_feed.MachStrategy.set_timer  # set_timer calls itself

        class Six:
            def __getattr__(self, name):  # get_dominant reads six.string_types
                return future.get_dominant(1)

        try:
            if %r == "method":
                Strategy(None).set_timer()
            else:
                future.six = Six()
                future.get_dominant(1)
        except RecursionError:
            print("RecursionError")
    """ % case)
    assert out.split() == ["RecursionError"]
