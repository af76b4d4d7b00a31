"""The frame's attribute caches against the interpreter.

Each scenario builds its classes afresh and runs twice: once through the probe's
`read_x`, `write_x` and `call_x` (`obj.x`, `obj.x = v`, `obj.x()` through the
frame's cached paths) and once through the same Python.  Every operation is done
twice in a row (the first fills a cache entry, the second uses it), with changes to
the objects and their classes in between, and everything seen must be the same.
"""
import types

import pytest


def shape(value):
    """What a value is, comparable between the two runs (which make their own classes)."""
    if isinstance(value, types.MethodType):
        return ("bound", shape(value.__func__), shape(value.__self__))
    if isinstance(value, (types.FunctionType, type)):
        return (type(value).__name__, value.__qualname__)
    if isinstance(value, (tuple, list)):
        return type(value)([shape(v) for v in value])
    if isinstance(value, dict):
        return {k: shape(v) for k, v in value.items()}
    if isinstance(value, (int, float, str, type(None))):
        return value
    return ("object", type(value).__qualname__)


def outcome(call):
    try:
        return "value", shape(call())
    except Exception as e:  # noqa: BLE001 - the exception is what is compared
        return "raised", type(e), str(e)


def python_write(obj, value):
    obj.x = value


def run(scenario, read, write, call):
    seen = []

    def twice(operation):
        def step(*args):
            seen.extend(outcome(lambda: operation(*args)) for _ in range(2))
        return step

    scenario(twice(read), twice(write), twice(call), lambda look: seen.append(outcome(look)))
    return seen


SCENARIOS = []


def scenario(fn):
    SCENARIOS.append(pytest.param(fn, id=fn.__name__))
    return fn


@scenario
def instance_attribute(r, w, c, see):
    class C:
        pass

    o = C()
    r(o), w(o, 1), r(o)
    o.x = 2
    r(o)
    del o.x
    r(o), w(o, 3), r(o), see(lambda: vars(o))
    o.x = list
    c(o)


@scenario
def class_attribute_shadowed(r, w, c, see):
    class C:
        x = "class"

    o = C()
    r(o), w(o, "instance"), r(o), see(lambda: C.x)
    del o.x
    r(o)
    C.x = "rebound"
    r(o)
    del C.x
    r(o), r(C())


@scenario
def property_and_descriptors(r, w, c, see):
    class D:
        def __get__(self, obj, owner):
            return "data", obj is None, owner.__name__

        def __set__(self, obj, value):
            obj.__dict__["stored"] = value

    class N:
        def __get__(self, obj, owner):
            return "non-data", obj is None

    class C:
        x = D()

        @property
        def p(self):
            return self.__dict__.get("stored")

    o = C()
    o.__dict__["x"] = "in the dict"
    r(o), w(o, 5), see(lambda: vars(o)), r(C)
    C.x = N()
    r(o)
    del o.x
    r(o), w(o, 6), r(o), r(C)
    C.x = property(lambda self: ("property", self.p), lambda self, v: self.__dict__.update(stored=v))
    r(o), w(o, 7), r(o)
    C.x = property(lambda self: self.missing)  # its AttributeError
    r(o), w(o, 8)
    del C.x
    r(o)


@scenario
def slot_members(r, w, c, see):
    class S:
        __slots__ = ("x", "y")

    class T(S):
        __slots__ = ()

    o, t = S(), T()
    r(o), w(o, 1), r(o)
    del o.x
    r(o), r(t), w(t, "sub"), r(t), w(o, list), c(o)
    o.y = 2
    r(o)


@scenario
def descriptors_of_other_types(r, w, c, see):
    # A slot's or a C getter's descriptor placed on a class it does not belong to.
    class A:
        __slots__ = ("x",)

    class B:
        x = A.__dict__["x"]

    class F:
        x = types.FunctionType.__dict__["__name__"]

    class G:
        __slots__ = ("pad", "more")
        x = types.FunctionType.__dict__["__code__"]

    a, b = A(), B()
    a.x, b.y = "a", "b"
    r(b), w(b, 1), r(F()), w(F(), "n"), r(G()), r(a)


@scenario
def getattr_fallback(r, w, c, see):
    class G:
        def __getattr__(self, name):
            return "fallback", name

    class H:
        pass

    o, h = G(), H()
    r(o), w(o, 1), r(o)
    del o.x
    r(o), r(h)
    H.__getattr__ = lambda self, name: (lambda: "late " + name)
    r(h), c(h)
    del H.__getattr__
    r(h)


@scenario
def getattribute_override(r, w, c, see):
    class A:
        x = 1

        def __getattribute__(self, name):
            return "always", name

    class B:
        x = 1

    b = B()
    r(A()), r(b)
    B.__getattribute__ = lambda self, name: ("late", name)
    r(b), w(b, 2), r(b)
    del B.__getattribute__
    r(b)


@scenario
def setattr_override(r, w, c, see):
    class S:
        def __setattr__(self, name, value):
            object.__setattr__(self, name, ("wrapped", value))

    class T:
        pass

    o, t = S(), T()
    w(o, 1), r(o), w(t, 1), w(t, 2), r(t)
    T.__setattr__ = lambda self, name, value: object.__setattr__(self, name, ("late", value))
    w(t, 3), r(t)
    T.__setattr__ = lambda self, name, value: (_ for _ in ()).throw(AttributeError("frozen"))
    w(t, 4), r(t)
    del T.__setattr__
    w(t, 5), r(t), see(lambda: vars(t))


@scenario
def class_changes_between_calls(r, w, c, see):
    class B:
        x = "base"

    class C(B):
        pass

    class B2:
        x = "other base"

    o = C()
    r(o)
    B.x = "base rebound"
    r(o)
    C.x = "own"
    r(o)
    del C.x
    r(o)
    o.x = "instance"
    r(o)
    C.x = property(lambda self: "property")
    r(o), w(o, 1)
    del C.x
    r(o)
    del o.x
    B.x = staticmethod(lambda: "static")
    r(o), c(o)
    C.__bases__ = (B2,)
    r(o), w(o, 2), r(o)


@scenario
def class_reassigned(r, w, c, see):
    class A:
        x = "a"

    class B:
        x = "b"

    class P:
        x = property(lambda self: "property")

    o = A()
    r(o)
    o.__class__ = B
    r(o), w(o, "instance"), r(o)
    o.__class__ = A
    r(o)
    o.__class__ = P
    r(o), w(o, 1)
    o.__class__ = A
    del o.x
    r(o), w(o, 2), r(o)


@scenario
def many_instances(r, w, c, see):
    class C:
        def __init__(self, i):
            if i % 2:
                self.y = i
            self.x = i

    objs = [C(i) for i in range(12)]
    for o in objs[::3]:
        vars(o)  # a dictionary made for the attributes
    for o in objs[1::4]:
        for k in range(40):  # more attributes than the instances' shared keys hold
            setattr(o, "a%d" % k, k)
    objs[5].__dict__ = {"x": "replaced"}
    del objs[7].x
    objs[8].__dict__.clear()
    for o in objs:
        r(o)
    for i, o in enumerate(objs):
        w(o, ("written", i)), r(o)
    vars(objs[0])["x"] = "through the dictionary"
    r(objs[0]), see(lambda: [vars(o).get("x") for o in objs])
    for o in objs:
        del o.x
        r(o)
        w(o, "again")
    see(lambda: [(o.x, sorted(vars(o))[:3]) for o in objs])


@scenario
def module_object(r, w, c, see):
    class WithProperty(types.ModuleType):
        x = property(lambda self: "module property")

    m, other = types.ModuleType("m"), types.ModuleType("m")
    r(m)
    m.x = 1
    r(m)
    m.x = 2
    r(m), w(m, 3), r(m)
    other.x = "other"
    r(other), r(m)
    del m.x
    r(m)
    m.__getattr__ = lambda name: ("module __getattr__", name)
    r(m)
    m.x = list
    c(m)
    m.__class__ = WithProperty
    r(m), w(m, 4)
    m.__class__ = types.ModuleType
    r(m)


@scenario
def class_object(r, w, c, see):
    class K:
        x = classmethod(lambda cls: ("classmethod", cls.__name__))

    class L(K):
        pass

    class Meta(type):
        x = property(lambda cls: "metaclass property")

    class M(metaclass=Meta):
        x = "own"

    class Meta2(type):
        x = "metaclass value"

    class N(metaclass=Meta2):
        pass

    class Meta3(type):
        def __getattr__(cls, name):
            return "metaclass __getattr__", name

    class O(metaclass=Meta3):
        pass

    r(K), c(K), c(L), r(L)
    K.x = staticmethod(lambda: "staticmethod")
    c(K), c(L), r(K)
    K.x = lambda: "function"
    c(K), r(K), c(L)
    del K.x
    r(K), r(L), c(K)
    r(M), r(N)
    N.x = "own"
    r(N)
    del N.x
    Meta2.x = "metaclass value rebound"
    r(N), w(N, 5), r(N), r(O)
    O.x = "own"
    r(O)


@scenario
def calls(r, w, c, see):
    class C:
        def x(self):
            return "method", type(self).__name__

    class Slotted:
        __slots__ = ()

        def x(self):
            return "slotted"

    class L(list):
        x = list.copy

    class CM:
        x = classmethod(lambda cls: cls.__name__)

    class SM:
        x = staticmethod(lambda: "static")

    class NotCallable:
        x = 5

    o = C()
    c(o)
    o.x = lambda: "instance function"
    c(o)
    del o.x
    c(o), c(C), r(o)
    C.x = lambda self: "rebound method"
    c(o), c(Slotted()), c(L([1, 2])), c(CM()), c(SM()), c(NotCallable())


@scenario
def records_made_alike(r, w, c, see):
    # Instance dictionaries with the same keys in the same order (the name is read
    # where it was last found), and every way that position can stop being right.
    class Key(str):
        pass

    class C:
        pass

    ns = types.SimpleNamespace
    a, b = ns(p=1, x="a"), ns(p=2, x="b")
    r(a), r(b), r(ns(x="first", p=0)), r(a)
    del a.x
    r(a)
    a.x = "added again, last"
    r(a), r(b)
    b.x = "replaced"
    r(b)
    odd = ns(p=3)
    odd.__dict__[Key("x")] = "an equal key of another type"
    r(odd), r(ns(**{"f%d" % i: i for i in range(60)}, x="far")), r(b)
    o1, o2, o3 = C(), C(), C()
    o1.p = o2.p = 0
    o1.x, o2.x, o3.x = 1, 2, 3
    r(o1), r(o2), r(o3)
    del o1.p
    r(o1), r(o2)
    o2.__dict__ = {"x": "a dict of its own"}
    r(o2), w(o2, "written"), r(o2)


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_cached_attribute_access_matches_python(probe, scenario):
    native = run(scenario, probe.read_x, probe.write_x, probe.call_x)
    assert native == run(scenario, lambda o: o.x, python_write, lambda o: o.x())


def _plain_classes():
    """Classes called by the frame's `cls(a)` and `cls(a, key=b)`, each with its twist."""
    class Plain:
        def __init__(self, a, key=None):
            self.a, self.key = a, key

    class ReturnsValue(Plain):
        def __init__(self, a, key=None):
            return 1

    class Raises(Plain):
        def __init__(self, a, key=None):
            raise ValueError(a)

    class OwnNew(Plain):
        def __new__(cls, a, key=None):
            return "made by __new__"

    class Slotted:
        __slots__ = ("a", "key")

        def __init__(self, a, key=None):
            self.a, self.key = a, key

    class NoKey:
        def __init__(self, a):
            self.a = a

    class ListChild(list):
        def __init__(self, a, key=None):
            super().__init__([a, key])

    class Rebound(Plain):
        pass

    Rebound.__init__ = lambda self, a, key=None: setattr(self, "a", ("rebound", a))
    return [Plain, ReturnsValue, Raises, OwnNew, Slotted, NoKey, ListChild, Rebound]


def _made(value):
    slots = getattr(type(value), "__slots__", ())
    state = {k: getattr(value, k) for k in slots} if slots else getattr(value, "__dict__", None)
    return type(value).__name__, list(value) if isinstance(value, list) else value if isinstance(value, str) else state


@pytest.mark.parametrize("index", range(len(_plain_classes())))
@pytest.mark.parametrize("keyword", [False, True])
def test_class_calls_match_python(probe, index, keyword):
    cls = _plain_classes()[index]
    native = (lambda: probe.make_kw(cls, 7, 8)) if keyword else (lambda: probe.make(cls, 7))
    python = (lambda: cls(7, key=8)) if keyword else (lambda: cls(7))
    for _ in range(2):
        expected, got = outcome(lambda: _made(python())), outcome(lambda: _made(native()))
        assert got == expected
