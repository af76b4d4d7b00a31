"""The frame's promises, checked on the probe module against the same Python."""
import collections.abc
import copy
import functools
import gc
import inspect
import sys
import traceback
import warnings

import pytest

LIMIT = 10


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
    assert "Child.get" in [e.name for e in traceback.extract_tb(info.value.__traceback__)]


def test_warning_from_a_native_frame_points_at_the_caller(probe):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = sys._getframe().f_lineno + 1
        probe.warn_caller("careful")
    assert [(w.category, str(w.message), w.filename, w.lineno) for w in caught] == [
        (UserWarning, "careful", __file__, line)
    ]


def test_fresh_module_instances_are_independent(new_probe):
    one, two = new_probe(), new_probe()
    assert one is not two
    assert one.pair is not two.pair and type(one.pair) is not type(two.pair)
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
