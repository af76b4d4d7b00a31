"""Wrong argument counts and keywords, for every function and method of the six
modules: each is compared with a Python function of the same signature and name,
which the interpreter binds.  Where the Python function refuses the call, the
native one must refuse it with the same TypeError message, before its body runs."""
import inspect
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from hardening_support import FUZZ, outcome, values
from velora.data.interface import event_codes
from velora.tavlo.datac.services import future
from velora.tavlo.mod.mod_quant_data import quote_cache
from velora.tavlo.sdk import console, credentials
from velora.tavlo.utils import live_feed


def is_native(value):
    """A function of the frame: a function whose code object stands for a C++ body."""
    return inspect.isfunction(value) and value.__code__.co_filename.endswith(".cpp")



def native_functions():
    found = []
    for module in (live_feed, future, console, quote_cache, credentials, event_codes):
        for name, value in sorted(vars(module).items()):
            if is_native(value):
                found.append(value)
            elif is_native(getattr(value, "callback", None)):
                found.append(value.callback)  # a click command: the function it wraps
            elif isinstance(value, type) and value.__module__ == module.__name__:
                found.extend(v for _, v in sorted(vars(value).items()) if is_native(v))
    return found


FUNCTIONS = native_functions()
BINDING = settings(FUZZ, max_examples=FUZZ.max_examples // 2)


def twin(fn):
    """A Python function with the signature, name and qualified name of ``fn``."""
    sig = inspect.signature(fn)
    namespace = {}
    defaults = [p.default for p in sig.parameters.values() if p.default is not p.empty]
    params = []
    for p in sig.parameters.values():
        if p.kind is p.VAR_POSITIONAL:
            params.append("*" + p.name)
        elif p.kind is p.VAR_KEYWORD:
            params.append("**" + p.name)
        elif p.default is not p.empty:
            params.append("%s=_d[%d]" % (p.name, len([x for x in params if "=_d[" in x])))
        else:
            params.append(p.name)
    exec("def %s(%s): return 'bound'" % (fn.__name__, ", ".join(params)), {"_d": defaults}, namespace)
    py = namespace[fn.__name__]
    py.__qualname__ = fn.__qualname__
    if sys.version_info >= (3, 11):
        py.__code__ = py.__code__.replace(co_qualname=fn.__qualname__)
    return py


def test_every_module_has_functions():
    modules = {f.__module__ for f in FUNCTIONS}
    assert modules == {"velora.tavlo.utils.live_feed", "velora.tavlo.datac.services.future",
                       "velora.tavlo.sdk.console", "velora.tavlo.mod.mod_quant_data.quote_cache",
                       "velora.tavlo.sdk.credentials"}
    assert len(FUNCTIONS) > 60


keywords = st.dictionaries(st.one_of(st.sampled_from(["self", "market_code", "count", "config", "args", "options",
                                                      "x", "data", "rule", "kwargs", "value", "variables", "bar",
                                                      "Market_code", "underlying_symbol", "ob", "market"]),
                                     st.text(min_size=1, max_size=6)), values, max_size=3)


@pytest.mark.parametrize("fn", FUNCTIONS, ids=[f.__module__.rsplit(".", 1)[-1] + "." + f.__qualname__
                                                for f in FUNCTIONS])
def test_binding_matches_python(fn):
    py = twin(fn)

    @BINDING
    @given(args=st.lists(values, max_size=10), kwargs=keywords)
    def run(args, kwargs):
        try:
            py(*args, **kwargs)
        except TypeError as expected:
            kind, got = outcome(fn, *args, **kwargs)
            assert kind == "raised" and type(got) is TypeError and str(got) == str(expected)
    run()


@pytest.mark.parametrize("fn", [future.get_dominant, future.get_member_rank, live_feed.history_ticks])
def test_binding_with_str_subclass_keywords(fn):
    class Key(str):
        def __eq__(self, other):
            raise ValueError("compared")

        __hash__ = str.__hash__

    with pytest.raises(Exception) as expected:
        twin(fn)(**{Key("nope"): 1})
    with pytest.raises(Exception) as got:
        fn(**{Key("nope"): 1})
    assert type(got.value) is type(expected.value) and str(got.value) == str(expected.value)


@FUZZ
@given(name=st.text(max_size=8), module=st.one_of(st.none(), st.text(max_size=8)), doc=values)
def test_function_attributes_take_any_value(name, module, doc):
    target = future.get_dominant
    saved = (target.__qualname__, target.__module__, target.__doc__)
    try:
        target.__qualname__ = name
        target.__doc__ = doc
        if module is None:
            del target.__module__
        else:
            target.__module__ = module
        kind, got = outcome(target, 1)
        assert kind == "raised" and type(got) is ValueError
        assert repr(target).startswith("<function ")
    finally:
        target.__qualname__, target.__module__, target.__doc__ = saved
