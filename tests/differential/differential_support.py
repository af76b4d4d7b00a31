"""Running the same steps on a native module and on its plain-Python equivalent
(bench/plain), and comparing everything a caller and the stand-ins can see.

Each side runs with its own *journal*: SDK records (`Record`) note every
attribute asked of them, odd values (`Odd`) every operation asked of them, and
the module globals that stand for the framework are wrapped (`Spy`) so that
every call through them is noted with a picture of its arguments.  A side's
result is then the outcome of each step (its value, or its exception's type and
text), the journal in order, and whatever state the test pictures afterwards
(queued events, caches, registries, the SDK context's calls).  `picture` turns
values into plain comparable data: objects by type and attributes, records and
odd values by label, floats with NaN equal to itself.
"""
import datetime as _datetime
import collections.abc
import enum
import itertools
import math
import os
import random
import types
from collections import deque

import numpy as np

# Generated cases per test: a few seconds in the normal suite; VELORA_DEEP=1 (which
# CI runs) 1,000 random cases per test, VELORA_DIFFERENTIAL_CASES=<n> n of them.
CASES = int(os.environ.get("VELORA_DIFFERENTIAL_CASES") or (1000 if os.environ.get("VELORA_DEEP") == "1" else 0))


def cases(default):
    return CASES or default


class Boom(Exception):
    """What records and odd values raise when told to."""


# --- pictures ------------------------------------------------------------------------

# Serial numbers drawn from process-wide counters: the two sides draw different ones.
VOLATILE = {"trade_id"}
_SCALARS = (int, float, complex, bytes, np.generic, _datetime.date, _datetime.time, _datetime.timedelta)


def picture(x, depth=0):
    """Plain, comparable data showing `x`; never runs an operation of a record or odd value."""
    if depth > 8:
        return "..."
    if isinstance(x, Spy):
        return picture(object.__getattribute__(x, "_target"), depth)
    if isinstance(x, (Record, Odd)):
        return (type(x).__name__, object.__getattribute__(x, "_label"))
    if isinstance(x, enum.Enum):  # by class name: each module defines its own enumerations
        return ("enum", type(x).__qualname__, x.name, picture(x.value, depth + 1))
    if x is None or isinstance(x, (str, bool)):
        return x
    if isinstance(x, float) and math.isnan(x):
        return ("float", "nan")
    if isinstance(x, _SCALARS):
        return (type(x).__name__, repr(x))
    if isinstance(x, BaseException):
        return ("exception", type(x).__name__, str(x))
    if isinstance(x, dict):
        return ("dict", [(picture(k, depth + 1), picture(v, depth + 1)) for k, v in x.items()])
    if isinstance(x, (list, tuple, deque, set, frozenset)):
        extra = (x.maxlen,) if isinstance(x, deque) else ()
        return (type(x).__name__,) + extra + (tuple(picture(v, depth + 1) for v in x),)
    if isinstance(x, type):
        return ("class", x.__qualname__)
    if isinstance(x, slice):
        return ("slice", picture(x.start), picture(x.stop), picture(x.step))
    if str(getattr(type(x), "__module__", "")).startswith("click"):  # a command by its name (its help
        return (type(x).__name__, getattr(x, "name", None))           # text is compared as output)
    if str(getattr(type(x), "__module__", "")).startswith("pandas"):
        return (type(x).__name__, getattr(x, "name", None), tuple(getattr(x.index, "names", ())),
                repr(x.to_dict()))
    if isinstance(x, types.MethodType):
        return ("method", type(x.__self__).__name__, x.__func__.__name__)
    if isinstance(x, (types.FunctionType, types.BuiltinFunctionType)) or \
            type(x).__name__ == "velora native function":
        return ("function", x.__qualname__)  # Python's, the interpreter's or the frame's
    if isinstance(x, collections.abc.Generator):  # Python's or the frame's
        return ("generator", x.__qualname__)
    if isinstance(x, types.ModuleType):
        return ("module", x.__name__)
    names = list(getattr(x, "__dict__", {})) or list(getattr(type(x), "__slots__", ()))
    if names:
        return (type(x).__name__, tuple((k, picture(getattr(x, k, None), depth + 1)) for k in names
                                        if k not in VOLATILE))
    if callable(x):
        return ("callable", getattr(x, "__qualname__", type(x).__name__))
    return (type(x).__name__,)


def outcome(call, *args, **kwargs):
    """("ok", picture of the result) or ("raised", type name, text, the cause's type name)."""
    try:
        return ("ok", picture(call(*args, **kwargs)))
    except Exception as e:  # noqa: BLE001 - every outcome is compared
        cause = type(e.__cause__).__name__ if e.__cause__ is not None else None
        return ("raised", type(e).__name__, str(e), cause)


# --- what journals ----------------------------------------------------------------------

class Record:
    """An SDK record: `fields` by attribute; every attribute asked is journaled; a name
    in `raising` raises Boom; a name in neither raises the interpreter's AttributeError."""

    __slots__ = ("_label", "_fields", "_raising", "_journal")

    def __init__(self, label, fields, journal, raising=()):
        for name, value in (("_label", label), ("_fields", dict(fields)), ("_raising", frozenset(raising)),
                            ("_journal", journal)):
            object.__setattr__(self, name, value)

    def __getattribute__(self, name):
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        get = object.__getattribute__
        get(self, "_journal").append(("read", get(self, "_label"), name))
        if name in get(self, "_raising"):
            raise Boom("reading %s" % name)
        try:
            return get(self, "_fields")[name]
        except KeyError:
            raise AttributeError("'Record' object has no attribute '%s'" % name) from None

    def __setattr__(self, name, value):
        get = object.__getattribute__
        get(self, "_journal").append(("write", get(self, "_label"), name))
        get(self, "_fields")[name] = value

    def __repr__(self):
        return "Record(%s)" % object.__getattribute__(self, "_label")


class Odd:
    """A value that journals every operation asked of it and raises Boom at `fails`."""

    def __init__(self, label, fails, journal):
        self._label, self._fails, self._journal = label, fails, journal

    def _op(self, op):
        self._journal.append(("op", self._label, op))
        if op == self._fails:
            raise Boom("%s of %s" % (op, self._label))

    def __repr__(self):
        return "Odd(%s)" % self._label

    def __str__(self):
        self._op("str")
        return "odd " + self._label

    def __format__(self, how):
        self._op("format")
        return "odd " + self._label

    def __eq__(self, other):
        self._op("eq")
        return self is other

    def __ne__(self, other):
        self._op("ne")
        return self is not other

    def __lt__(self, other):
        self._op("lt")
        return NotImplemented

    def __gt__(self, other):
        self._op("gt")
        return NotImplemented

    def __le__(self, other):
        self._op("le")
        return NotImplemented

    def __ge__(self, other):
        self._op("ge")
        return NotImplemented

    def __hash__(self):
        self._op("hash")
        return hash(self._label)

    def __bool__(self):
        self._op("bool")
        return True

    def __index__(self):
        self._op("index")
        return 1

    def __neg__(self):
        self._op("neg")
        return self

    def __truediv__(self, other):
        self._op("truediv")
        return NotImplemented

    def __rtruediv__(self, other):
        self._op("rtruediv")
        return NotImplemented

    def __add__(self, other):
        self._op("add")
        return NotImplemented

    def __radd__(self, other):
        self._op("radd")
        return NotImplemented

    def __sub__(self, other):
        self._op("sub")
        return NotImplemented

    def __rsub__(self, other):
        self._op("rsub")
        return NotImplemented

    def __mul__(self, other):
        self._op("mul")
        return NotImplemented

    def __rmul__(self, other):
        self._op("rmul")
        return NotImplemented

    def __deepcopy__(self, memo):
        self._op("deepcopy")
        return self


ODD_FAILS = [None, "eq", "gt", "lt", "bool", "str", "format", "hash", "truediv", "add", "index", "deepcopy"]


class Spy:
    """A module global standing for the framework: attributes read from it and calls
    through it (and through the callables and `wrapped` objects reached from it) are
    journaled, then made."""

    __slots__ = ("_name", "_target", "_journal", "_wrapped")

    def __init__(self, journal, name, target, wrapped=()):
        for key, value in (("_name", name), ("_target", target), ("_journal", journal), ("_wrapped", wrapped)):
            object.__setattr__(self, key, value)

    def _wrap(self, name, value):
        if callable(value) or isinstance(value, self._wrapped):
            return Spy(self._journal, name, value, self._wrapped)
        return value

    def __getattr__(self, attr):
        name = self._name + "." + attr
        self._journal.append(("get", name))
        return self._wrap(name, getattr(self._target, attr))

    def __setattr__(self, attr, value):
        setattr(self._target, attr, value)

    def __call__(self, *args, **kwargs):
        self._journal.append(("call", self._name, picture(args), picture(kwargs)))
        return self._wrap(self._name + "()", self._target(*args, **kwargs))

    def __len__(self):
        return len(self._target)

    def __iter__(self):
        return iter(self._target)

    def __repr__(self):
        return "Spy(%s)" % self._name


# --- running both sides ------------------------------------------------------------------

class Globals:
    """A module's globals, put back as they were after each side has run."""

    def __init__(self, module):
        self.module = module
        self.saved = dict(vars(module))

    def restore(self):
        space = vars(self.module)
        space.clear()  # and in their order (a module's namespace lists its names in definition order)
        space.update(self.saved)


def delete_globals(module, names):
    for name in names:
        vars(module).pop(name, None)


def global_names(function, module):
    """The module globals a plain function may read (its code's names, nested code included)."""
    names, codes = set(), [getattr(function, "__code__", None)]
    while codes:
        code = codes.pop()
        if code is None:
            continue
        names.update(code.co_names)
        codes.extend(c for c in code.co_consts if isinstance(c, types.CodeType))
    return sorted(n for n in names if n in vars(module) and not n.startswith("__"))


def single_and_pairs(items):
    return [(x,) for x in items] + list(itertools.combinations(items, 2))


# What each channel of a comparison takes from a side's result: everything the caller
# and the framework see (behaviour); the order of record reads, operations on odd values
# and calls into the framework (order); the same with the attributes read from the
# framework's objects (lookups: a method is looked up before its arguments are evaluated).
CHANNELS = {
    "behaviour": lambda r: {k: v for k, v in r.items() if k != "journal"},
    "order": lambda r: {"journal": [e for e in r["journal"] if e[0] != "get"]},
    "lookups": lambda r: {"journal": r["journal"]},
}


def differences(native, plain, channel=None):
    """Where two sides' results differ: (part, native part, plain part), first difference of each."""
    if channel is not None:
        native, plain = CHANNELS[channel](native), CHANNELS[channel](plain)
    found = []
    for channel in native:
        a, b = native[channel], plain[channel]
        if a == b:
            continue
        if isinstance(a, list) and isinstance(b, list):
            i = next((k for k, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            a, b = a[max(0, i - 1):i + 3], b[max(0, i - 1):i + 3]
            channel = "%s from entry %d" % (channel, i)
        found.append((channel, a, b))
    return found


def report(label, found):
    lines = ["%s:" % label]
    for channel, a, b in found:
        lines.append("  %s\n    native: %r\n    plain:  %r" % (channel, a, b))
    return "\n".join(lines)


def rng_for(*parts):
    return random.Random(repr(parts))
