"""The frame's promises, checked on the probe module against the same Python."""
import collections.abc
import contextlib
import copy
import functools
import gc
import inspect
import os
import sys
import traceback
import warnings
from collections import deque

import numpy as np
import pytest

from compiled_docs import compiled_doc

LIMIT = 10
PORTABLE = os.environ.get("VELORA_PORTABLE") == "1"


# The Python the probe stands for (same names, so messages can be compared).
def describe(a, b=LIMIT, *rest, **named):
    return (a, b, rest, named)


def pair(x, y):
    return (x, y)


def read_limit():
    return LIMIT


class Child:
    def get(self, extra=0):
        return extra


def _error(call):
    try:
        call()
    except TypeError as e:
        return str(e)
    raise AssertionError("no TypeError")


CALLS = [
    ("pair", (), {}),
    ("pair", (1,), {}),
    ("pair", (1, 2, 3), {}),
    ("pair", (1,), {"x": 2}),
    ("pair", (1,), {"z": 2}),
    ("pair", (1, 2), {"yy": 3}),
    ("pair", (), {"x": 1, "y": 2, "w": 3}),
    ("describe", (), {}),
    ("describe", (1,), {"a": 1}),
    ("read_limit", (1,), {}),
    ("read_limit", (), {"x": 1}),
]


@pytest.mark.parametrize("name, args, kwargs", CALLS)
def test_wrong_calls_raise_typeerror_worded_as_python(probe, name, args, kwargs):
    native = getattr(probe, name)
    python = globals()[name]
    assert _error(lambda: native(*args, **kwargs)) == _error(lambda: python(*args, **kwargs))


@pytest.mark.parametrize("args, kwargs", [((0, 1, 2), {}), ((0,), {"b": 5, "c": 6})])
def test_wrong_method_calls_match_python(probe, args, kwargs):
    obj = probe.Child(1)
    message = _error(lambda: obj.get(*args, **kwargs))
    assert message == _error(lambda: Child().get(*args, **kwargs))


def test_missing_arguments_are_named(probe):
    assert _error(lambda: probe.describe()) == "describe() missing 1 required positional argument: 'a'"
    assert _error(lambda: probe.pair()) == "pair() missing 2 required positional arguments: 'x' and 'y'"


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((1,), {}, (1, 10, (), {})),
        ((1, 2, 3, 4), {"k": 5}, (1, 2, (3, 4), {"k": 5})),
        ((), {"b": 2, "a": 1, "z": 0}, (1, 2, (), {"z": 0})),
    ],
)
def test_parameters_bind_like_python(probe, args, kwargs, expected):
    assert probe.describe(*args, **kwargs) == expected == describe(*args, **kwargs)


def test_function_attributes(probe):
    f = probe.describe
    assert (f.__name__, f.__qualname__, f.__module__) == ("describe", "describe", "frame_probe")
    assert f.__doc__ == "Describe the call."
    assert probe.pair.__doc__ is None
    # As a def gives it: from 3.13 on without its indentation (tabs expanded first).
    assert probe.read_limit.__doc__ == compiled_doc(" Read LIMIT.\n\tAs the module has it now.\n\n      (indented)\n    ")
    assert f.__defaults__ == (10,)
    assert f.__kwdefaults__ is None
    assert f.__globals__ is vars(probe)
    assert repr(f).startswith("<function describe at 0x")
    f.marker = [1]
    assert f.__dict__ == {"marker": [1]}
    del f.marker
    assert f.__dict__ == {}
    assert copy.deepcopy(f) is f


def test_signature_matches_python(probe):
    assert inspect.signature(probe.describe) == inspect.signature(describe)
    assert str(inspect.signature(probe.Child(1).get)) == "(extra=0)"
    assert str(inspect.signature(probe.shared)) == "(items=[])"


def test_wraps_and_writable_metadata(probe):
    @functools.wraps(probe.pair)
    def wrapper(*args, **kwargs):
        return probe.pair(*args, **kwargs)

    assert wrapper.__name__ == "pair" and wrapper.__wrapped__ is probe.pair
    assert str(inspect.signature(wrapper)) == "(x, y)"
    probe.pair.__doc__ = "new"
    probe.pair.__name__ = "renamed"
    assert (probe.pair.__doc__, probe.pair.__name__) == ("new", "renamed")
    with pytest.raises(TypeError):
        probe.pair.__name__ = 3
    with pytest.raises(TypeError):
        probe.pair.__defaults__ = [1]


def test_shared_mutable_default_is_one_object(probe):
    default = probe.shared.__defaults__[0]
    assert probe.shared() is default
    probe.shared()
    assert default == [0, 1]
    probe.shared.__defaults__ = ([7],)
    assert probe.shared() == [7, 1]


def test_methods_bind_and_super_runs(probe):
    obj = probe.Child(5)
    assert obj.base_ran is True and obj.get(1) == 6
    assert probe.Child.get.__qualname__ == "Child.get"
    bound = obj.get
    assert bound.__self__ is obj and bound.__func__ is probe.Child.get
    assert probe.Child.__module__ == "frame_probe" and probe.Child.__mro__[1] is probe.Base


def test_class_made_by_base_metaclass(probe):
    assert type(probe.Color).__name__ == "EnumMeta" or type(probe.Color).__name__ == "EnumType"
    assert [c.value for c in probe.Color] == ["r", "g"]
    assert probe.Color("g") is probe.Color.GREEN
    assert probe.Color.__qualname__ == "Color"


def test_globals_are_read_at_each_call(probe):
    assert probe.read_limit() == 10
    probe.LIMIT = 3
    assert probe.read_limit() == 3
    del probe.LIMIT
    with pytest.raises(NameError, match="name 'LIMIT' is not defined"):
        probe.read_limit()


def test_builtins_fallback(probe, monkeypatch):
    import builtins

    del probe.LIMIT
    monkeypatch.setattr(builtins, "LIMIT", "from builtins", raising=False)
    assert probe.read_limit() == "from builtins"


def literals(a=None, b=True, c=False, d=0, e=-12, f=123456789012345678901234567890,
             g='cn', h="two words", i='', j='中文', k='it\'s', l=(1, 'x'), m=-LIMIT):
    return None


def test_defaults_are_the_constants_the_compiler_makes(probe):
    ours, theirs = probe.literals.__defaults__, literals.__defaults__
    assert ours == theirs
    assert [type(v) for v in ours] == [type(v) for v in theirs]
    # Strings made of name characters are interned, as the compiler interns them.
    assert ours[6] is theirs[6] and ours[8] is theirs[8]


def test_remembered_globals_follow_every_rebinding(probe, new_probe, monkeypatch):
    # A call site remembers what it read; every change below must still be seen.
    import builtins

    seen = []
    for _ in range(2):
        seen.append(probe.read_limit())
    probe.LIMIT = 4
    seen.append(probe.read_limit())
    probe.__dict__["LIMIT"] = 5
    seen.append(probe.read_limit())
    monkeypatch.setattr(builtins, "LIMIT", "builtin", raising=False)
    del probe.LIMIT
    seen.append(probe.read_limit())
    builtins.LIMIT = "changed builtin"
    seen.append(probe.read_limit())
    probe.LIMIT = 6  # shadows the builtin again
    seen.append(probe.read_limit())
    probe.OTHER = 0  # any change to the module's namespace
    seen.append(probe.read_limit())
    assert seen == [10, 10, 4, 5, "builtin", "changed builtin", 6, 6]
    # Two instances of the module alternate through the same call site.
    other = new_probe()
    other.LIMIT = "other"
    assert [m.read_limit() for m in (probe, other, probe, other)] == [6, "other", 6, "other"]


def test_closure(probe):
    add2 = probe.make_adder(2)
    assert add2(3) == 5
    assert add2.__qualname__ == "make_adder.<locals>.adder" and add2.__name__ == "adder"
    assert add2.__closure__[0].cell_contents == 2
    assert probe.make_adder(10)(1) == 11 and add2(0) == 2


def test_generator_protocol(probe):
    seen = []

    def source():
        for item in [("a", 1), ("b", 2)]:
            seen.append(item)
            yield item

    g = probe.pairs_firsts(source())
    assert seen == [] and isinstance(g, collections.abc.Generator)
    assert iter(g) is g and g.__name__ == "pairs_firsts"
    with pytest.raises(TypeError, match="just-started"):
        g.send(1)
    assert g.send(None) == "a" and seen == [("a", 1)]
    assert g.send("ignored") == "b"
    with pytest.raises(StopIteration):
        next(g)
    with pytest.raises(StopIteration):
        g.send(None)


def test_generator_throw_and_close(probe):
    g = probe.pairs_firsts([("a", 1), ("b", 2)])
    assert next(g) == "a"
    with pytest.raises(KeyError):
        g.throw(KeyError("k"))
    assert list(g) == []
    g = probe.pairs_firsts([("a", 1)])
    next(g)
    assert g.close() is None
    assert list(g) == []


def python_firsts(data):
    """The Python of the probe's generator."""
    for first, _ in data:
        yield first


class OwnStop(StopIteration):
    pass


def _step(call):
    """What one generator operation gives: its value, or its exception with cause and
    context (type and text) and the DeprecationWarnings it issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("value", call())
        except BaseException as e:  # noqa: BLE001 - every outcome is compared
            result = ("raised", type(e), str(e), type(e.__cause__), str(e.__cause__), type(e.__context__),
                      e.__suppress_context__)
    return result, [(w.category, str(w.message)) for w in caught]


def _drive(make, prepare, operation):
    g = make([("a", 1), ("b", 2)])
    for _ in range(prepare):
        next(g)
    return [_step(lambda: operation(g)), _step(lambda: next(g))]


def _outer(inner):
    result = yield from inner
    yield ("returned", result)


# StopIteration thrown in, by class, with a value, as an instance or a subclass's:
# PEP 479 as the interpreter applies it (3.12 and later raise it unchanged from a
# generator that has not started), then the generator is finished.
THROWN = [
    lambda g: g.throw(StopIteration),
    lambda g: g.throw(StopIteration("stop")),
    lambda g: g.throw(StopIteration, "stop"),
    lambda g: g.throw(StopIteration, StopIteration("stop"), None),
    lambda g: g.throw(OwnStop("own")),
    lambda g: g.throw(KeyError("k")),
    lambda g: g.throw(GeneratorExit),
    lambda g: g.send(None),
    lambda g: g.close(),
    lambda g: list(_outer(g)),
    lambda g: _outer_thrown(g),
]


def _outer_thrown(g):
    outer = _outer(g)
    next(outer)
    return outer.throw(StopIteration("through"))


@pytest.mark.parametrize("prepare", [0, 1, 2], ids=["fresh", "started", "exhausted"])
@pytest.mark.parametrize("operation", THROWN)
def test_generator_protocol_matches_a_python_generator(probe, prepare, operation):
    assert _drive(probe.pairs_firsts, prepare, operation) == _drive(python_firsts, prepare, operation)


def test_thrown_stop_iteration_becomes_runtime_error(probe):
    g = probe.pairs_firsts([("a", 1), ("a", 2)])
    next(g)
    stop = StopIteration("stop")
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        g.throw(stop)
    assert info.value.__cause__ is stop and info.value.__suppress_context__


@pytest.mark.parametrize("data, error", [([("a", 1), (1,)], ValueError), ([("a", 1), 5], TypeError)])
def test_generator_errors_finish_it(probe, data, error):
    g = probe.pairs_firsts(data)
    assert next(g) == "a"
    with pytest.raises(error):
        next(g)
    assert list(g) == []


def test_exceptions_pass_through_with_a_traceback_entry(probe):
    original = ValueError("boom")

    def inner():
        try:
            raise KeyError("first")
        except KeyError:
            raise original

    with pytest.raises(ValueError) as info:
        probe.call(inner)
    assert info.value is original
    assert isinstance(info.value.__context__, KeyError)
    entries = traceback.extract_tb(info.value.__traceback__)
    names = [e.name for e in entries]
    assert names.index("call") < names.index("inner")
    assert entries[names.index("call")].filename.endswith("probe.cpp")


def test_method_traceback_names_qualified_name(probe):
    obj = probe.Child("text")
    with pytest.raises(TypeError) as info:
        obj.get(1)
    # A portable build's function runs its code object, whose frame has the code's name.
    assert ("get" if PORTABLE else "Child.get") in [e.name for e in traceback.extract_tb(info.value.__traceback__)]


def test_warning_from_a_native_frame_points_at_the_caller(probe):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = sys._getframe().f_lineno + 1
        probe.warn_caller("careful")
    assert [(w.category, str(w.message), w.filename, w.lineno) for w in caught] == [
        (UserWarning, "careful", __file__, line)
    ]


def _warned(probe):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = sys._getframe().f_lineno + 1
        probe.warn_caller("careful")
    return [(w.category, w.filename, w.lineno - line) for w in caught]


# Calls of every kind, each made directly and again while a profiler, a tracer or a
# monitoring tool watches, when the native functions run their code objects.
WATCHED = {
    "parameters": lambda p: p.describe(1, 2, 3, k=4),
    "defaults": lambda p: p.describe(1),
    "keywords": lambda p: p.pair(1, y=2),
    "wrong call": lambda p: p.pair(1, z=2),
    "global": lambda p: p.read_limit(),
    "closure": lambda p: (p.make_adder(2)(3), p.make_adder(2).__qualname__),
    "generator": lambda p: list(p.pairs_firsts([(1, 2), (3, 4)])),
    "generator raising": lambda p: list(p.pairs_firsts([(1, 2), 3])),
    "method and super()": lambda p: (p.Child(5).base_ran, p.Child(5).get(1)),
    "calling back": lambda p: p.call(p.pair, 1, 2),
    "raising": lambda p: p.call(int, "x"),
    "class call": lambda p: p.make(deque, [1]),
    "warning": _warned,
}


@contextlib.contextmanager
def _watching(kind, seen):
    if kind == "monitoring":
        monitoring = sys.monitoring
        tool = next(t for t in range(6) if monitoring.get_tool(t) is None)
        monitoring.use_tool_id(tool, "frame test")
        monitoring.register_callback(tool, monitoring.events.PY_START, lambda code, offset: seen.add(code.co_name))
        monitoring.set_events(tool, monitoring.events.PY_START)
        try:
            yield
        finally:
            monitoring.set_events(tool, 0)
            monitoring.free_tool_id(tool)
        return

    def hook(frame, event, arg):
        if event == "call":
            seen.add(frame.f_code.co_name)
        return hook

    install = getattr(sys, kind)
    install(hook)
    try:
        yield
    finally:
        install(None)


@pytest.mark.parametrize("kind", ["setprofile", "settrace"] + ["monitoring"] * (sys.version_info >= (3, 12)))
def test_watched_calls_give_what_direct_calls_give(probe, kind):
    direct = {name: _outcome(case, probe) for name, case in WATCHED.items()}
    seen = set()
    with _watching(kind, seen):
        watched = {name: _outcome(case, probe) for name, case in WATCHED.items()}
    assert watched == direct
    assert {"describe", "pair", "read_limit", "make_adder", "adder", "pairs_firsts", "__init__", "get", "call",
            "make", "warn_caller"} <= seen


def test_fresh_module_instances_are_independent(new_probe):
    one, two = new_probe(), new_probe()
    assert one is not two
    assert one.pair is not two.pair and one.pair.__code__ is not two.pair.__code__
    assert PORTABLE or type(one.pair) is not type(two.pair)  # a portable build's are the interpreter's
    one.LIMIT = 1
    assert two.read_limit() == 10 and one.read_limit() == 1
    assert one.Child is not two.Child


def test_no_reference_leaks(probe):
    arg, key, value = object(), "k", object()
    limit = probe.LIMIT = object()  # a module global read at every call
    adder = probe.make_adder(arg)
    before = [sys.getrefcount(x) for x in (arg, value, limit, probe.describe)]
    for _ in range(5000):
        probe.describe(arg, arg, arg, k=value)
        probe.pair(y=arg, x=value)
        probe.read_limit()
        try:
            adder(arg)
        except TypeError:
            pass
        try:
            probe.pair(arg, value, arg)
        except TypeError:
            pass
        list(probe.pairs_firsts([(arg, value)]))
        probe.Child(arg)
    gc.collect()
    assert [sys.getrefcount(x) for x in (arg, value, limit, probe.describe)] == before


class Int(int):
    def __add__(self, other):
        return "Int.__add__"

    def __eq__(self, other):
        return "truthy"

    __hash__ = int.__hash__


def _python_arithmetic(a, b):
    c = a
    c += b
    return (a + b, a - b, a * b, a / b, c, bool(a == b), bool(a != b), bool(a < b), bool(a > b))


def _outcome(fn, *args):
    try:
        return ("value", fn(*args))
    except Exception as e:  # the same exception type and message are expected
        return ("raised", type(e), str(e))


@pytest.mark.parametrize("a, b", [
    (7, 2), (-3, 3), (2 ** 70, 3), (7, 0), (2.5, 0.5), (1.5, 3), (3, 1.5), (0.0, 0),
    (float("nan"), float("nan")), (float("inf"), 2 ** 70), (True, 2), (2, True), (Int(5), 2), (2, Int(5)),
    ("a", 1), ([1], [2]),
])
def test_arithmetic_and_comparisons_match_python(probe, a, b):
    assert repr(_outcome(probe.arithmetic, a, b)) == repr(_outcome(_python_arithmetic, a, b))


@pytest.mark.parametrize("parts", [("000001", ".", "XSHE"), ("", "", ""), ("中", "-", "文"), ("a", "é", "😀"),
                                   ("x", str.__new__(type("S", (str,), {}), "y"), "z")])
def test_concatenation_matches_python(probe, parts):
    got = probe.joined(*parts)
    assert (type(got), got) == (type(parts[0] + parts[1] + parts[2]), parts[0] + parts[1] + parts[2])


# Each operator helper of the frame against the Python operator it stands for, on
# operands that take every turn of the protocol: the value (its type, and which
# operand it is), or the exception's type and text; the special methods called, in
# order; the operands afterwards; the warnings issued.  Operands are written as Python
# expressions, made afresh for each side (`+=` changes a list in place).

def _inplace_add(a, b):
    a += b
    return a


def _setitem(c, k, v):
    c[k] = v


OPERATORS = {
    "add": lambda a, b: a + b,
    "sub": lambda a, b: a - b,
    "mul": lambda a, b: a * b,
    "truediv": lambda a, b: a / b,
    "inplace_add": _inplace_add,
    "eq": lambda a, b: True if a == b else False,
    "ne": lambda a, b: True if a != b else False,
    "lt": lambda a, b: True if a < b else False,
    "gt": lambda a, b: True if a > b else False,
    "truth": lambda x: True if x else False,
    "neg": lambda x: -x,
    "to_int": lambda x: int(x),
    "str": lambda x: str(x),
    "format": lambda x: f"{x}",
    "len_of": lambda x: len(x),
    "getitem": lambda c, k: c[k],
    "setitem": _setitem,
    "getslice": lambda x, a, b: x[a:b],
    "slice": lambda x, a, b: x[a:b:2],
    "contains": lambda k, c: k in c,
    "contains_method": lambda c, k: True if c.__contains__(k) else False,
    "concat": lambda a, b, c: a + b + c,
}

JOURNAL = []


def journalled(name, base=object, **answers):
    """A class whose special methods in `answers` note (class, method, arguments) in
    JOURNAL, then give their answer: a value, or what a function of the instance and
    the arguments returns or raises."""
    def special(method, answer):
        def call(self, *args):
            JOURNAL.append((name, method) + tuple(map(repr, args)))
            return answer(self, *args) if callable(answer) else answer
        return call

    namespace = {m: special(m, a) for m, a in answers.items()}
    namespace["__hash__"] = base.__hash__
    if base is object:
        namespace["__repr__"] = lambda self: name
    return type(name, (base,), namespace)


def fails(self, *args):
    raise LookupError(type(self).__name__)


BINARY = ("__add__", "__sub__", "__mul__", "__truediv__", "__iadd__", "__eq__", "__ne__", "__lt__", "__gt__")
REFLECTED = ("__radd__", "__rsub__", "__rmul__", "__rtruediv__")
OTHERS = ("__bool__", "__neg__", "__int__", "__index__", "__str__", "__format__", "__len__", "__getitem__",
          "__setitem__", "__contains__", "__iter__")
Declines = journalled("Declines", **dict.fromkeys(BINARY, NotImplemented))
Reflects = journalled("Reflects", **{m: m for m in REFLECTED + BINARY[5:]})
Both = journalled("Both", __iadd__=lambda self, other: self, __add__="__add__", __radd__="__radd__")
Raises = journalled("Raises", **dict.fromkeys(BINARY + REFLECTED + OTHERS, fails))
# Comparisons answering with non-bools: one whose truth test fails, a falsy and a truthy list.
BadBool = journalled("BadBool", __bool__=2)
Odd = journalled("Odd", __eq__=lambda self, other: BadBool(), __ne__=[], __lt__=[0], __gt__=NotImplemented)
# Subclasses overriding operators (their reflected methods come first against their base).
RInt = journalled("RInt", int, __radd__="__radd__", __rsub__="__rsub__", __iadd__="__iadd__", __eq__="__eq__",
                  __lt__="", __gt__=0, __neg__="__neg__", __int__=7, __str__="__str__", __bool__=False,
                  __format__=lambda self, spec: "format %r" % spec)
RFloat = journalled("RFloat", float, __rmul__="__rmul__", __rtruediv__="__rtruediv__", __add__=NotImplemented,
                    __gt__=True, __ne__=NotImplemented, __int__=True, __neg__=NotImplemented)
RStr = journalled("RStr", str, __radd__="__radd__", __getitem__=lambda self, key: ("item", key), __contains__=1,
                  __len__=5, __format__="__format__")
Unary = journalled("Unary", __bool__=1, __neg__="__neg__", __int__=True, __str__=5, __len__=-1,
                   __format__=lambda self, spec: "format %r" % spec)
Sized = journalled("Sized", __len__=2 ** 70)
Index = journalled("Index", __index__=1)
Items = journalled("Items", __getitem__=lambda self, key: ("item", key), __setitem__=None, __contains__="yes",
                   __len__=3)
Iterable = journalled("Iterable", __iter__=lambda self: iter([1, 2]))
DictSub = journalled("DictSub", dict, __contains__=0)


def own_contains():
    """An object with a `__contains__` of its own, in its instance dictionary."""
    obj = Iterable()
    obj.__contains__ = lambda key: JOURNAL.append(("own", "__contains__", repr(key))) or ""
    return obj


BINARY_OPERANDS = [
    "7, 2", "-3, 3", "2 ** 70, 3", "7, 0", "2.5, 0.5", "1.5, 3", "3, 1.5", "1.0, 0", "float('nan'), float('nan')",
    "float('inf'), 2 ** 1100", "True, 2",
    "[1], [2]", "[1], (2,)", "[1], 2", "2, [1]", "(1,), (2,)", "deque([1]), deque([2])", "deque([1]), [2]",
    "deque([1]), 1", "'a', 'b'", "'a', 1", "[Odd()], [Odd()]",
    "Both(), 1", "1, Both()", "Declines(), Reflects()", "Reflects(), Declines()", "Declines(), Declines()",
    "Odd(), Odd()", "Odd(), 1", "Raises(), 1", "1, Raises()",
    "1, RInt(2)", "RInt(2), 1", "1.5, RFloat(2)", "RFloat(2), 1", "'a', RStr('b')",
    "np.float64(1.5), 2", "2, np.int64(3)", "np.float64(1), 0", "np.array([1, 2]), 1", "[1], np.array([2])",
]
UNARY_OPERANDS = [
    "0", "-7", "2.5", "float('nan')", "True", "None", "''", "'12'", "' 3 '", "'x'", "[]", "[0]", "deque()", "(1,)",
    "RInt(5)", "RFloat(2.5)", "RStr('7')", "Unary()", "Sized()", "Index()", "Raises()",
    "np.float64(2.5)", "np.int64(-3)", "np.array([1, 2])", "np.array([])",
]
OPERATIONS = (
    [(op, x) for op in ("add", "sub", "mul", "truediv", "inplace_add", "eq", "ne", "lt", "gt")
     for x in BINARY_OPERANDS]
    + [(op, x) for op in ("truth", "neg", "to_int", "str", "format", "len_of") for x in UNARY_OPERANDS]
    + [("getitem", x) for x in ("[1, 2], 0", "[1, 2], 5", "[1, 2], 'a'", "[1, 2], Index()", "deque([1, 2]), -1",
                                "deque([1, 2]), slice(0, 1)", "{}, 'k'", "{}, []", "RStr('abc'), 1", "Items(), 1",
                                "Raises(), 1", "np.array([1, 2]), 1", "1, 0")]
    + [("setitem", x) for x in ("[1], 0, 2", "[1], 5, 2", "{}, [], 1", "'abc', 0, 'x'", "Items(), 'k', 1",
                                "Raises(), 1, 2")]
    + [("getslice", x) for x in ("'abcdef', 1, 3", "'abc', None, 2", "'abc', -2, None", "'abc', None, None",
                                 "'abc', 5, 1", "'', None, None", "'abc', 0, 2 ** 70", "'abc', -2 ** 70, None",
                                 "'abc', True, 2", "'abc', 'a', 1", "'abc', Index(), None", "'中文字', 1, None",
                                 "RStr('abcd'), 1, 3", "[1, 2, 3], 1, None", "deque([1, 2]), 0, 1",
                                 "Items(), 1, None", "Raises(), 1, 2", "np.array([1, 2, 3]), 1, None")]
    + [("slice", x) for x in ("'abcdef', None, None", "[1, 2, 3, 4], 1, None", "Items(), 1, 3")]
    + [("contains", x) for x in ("1, [1]", "1, deque([0])", "'a', 'cab'", "1, 'abc'", "[], {}", "'k', DictSub(k=1)",
                                 "1, Items()", "1, Iterable()", "1, own_contains()", "Odd(), [1, Odd()]", "1, 1",
                                 "1, Raises()", "2, np.array([1, 2])", "'a', RStr('b')")]
    + [("contains_method", x) for x in ("{'k': 1}, 'k'", "{}, []", "DictSub(k=1), 'k'", "[1], 1", "deque(), 1",
                                        "Items(), 1", "Iterable(), 1", "own_contains(), 1", "1, 1", "Raises(), 1",
                                        "RStr('abc'), 'b'")]
    + [("concat", x) for x in ("'a', 'b', 'c'", "'', 'x', ''", "'x', '', ''", "'', '', ''", "'中', '-', '😀'",
                               "'a', 1, 'b'", "'a', RStr('b'), 'c'", "RStr('a'), 'b', 'c'", "'a', Reflects(), 'c'",
                               "'a', 'b', Raises()")]
)


def _apply(operation, operands):
    JOURNAL.clear()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            r = operation(*operands)
            result = ("value", type(r), repr(r), [i for i, x in enumerate(operands) if x is r])
        except Exception as e:  # the same exception type and message are expected
            result = ("raised", type(e), str(e))
    return result, JOURNAL[:], repr(operands), [(w.category, str(w.message)) for w in caught]


@pytest.mark.parametrize("name, operands", OPERATIONS)
def test_operators_match_python(probe, name, operands):
    native = _apply(functools.partial(probe.operate, name), eval("(%s,)" % operands))
    assert native == _apply(OPERATORS[name], eval("(%s,)" % operands))
