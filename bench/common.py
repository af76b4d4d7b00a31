"""What the benchmark groups share: loops, comparisons of results, the two sides' modules."""
import contextlib
import enum
import importlib

# Native module -> its plain-Python equivalent in bench/plain.
MODULES = {
    "live_feed": ("velora.tavlo.utils.live_feed", "plain.live_feed"),
    "future": ("velora.tavlo.datac.services.future", "plain.future"),
    "console": ("velora.tavlo.sdk.console", "plain.console"),
    "quote_cache": ("velora.tavlo.mod.mod_quant_data.quote_cache", "plain.quote_cache"),
    "credentials": ("velora.tavlo.sdk.credentials", "plain.credentials"),
    "event_codes": ("velora.data.interface.event_codes", "plain.event_codes"),
}


def modules(short_name):
    """(native module, plain module) for a module's short name."""
    native, plain = MODULES[short_name]
    return importlib.import_module(native), importlib.import_module(plain)


_MISSING = object()


@contextlib.contextmanager
def rebound(namespace, names):
    """Whatever a benchmark rebinds in a module (or any object) is put back afterwards."""
    saved = {name: getattr(namespace, name, _MISSING) for name in names}
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is _MISSING:
                if hasattr(namespace, name):
                    delattr(namespace, name)
            else:
                setattr(namespace, name, value)


def calls(fn, items):
    """A batch: fn(x) for each x of items."""
    def run(fn=fn, items=items):
        for x in items:
            fn(x)
    return run


def calls2(fn, items):
    """A batch: fn(a, b) for each (a, b) of items."""
    def run(fn=fn, items=items):
        for a, b in items:
            fn(a, b)
    return run


def loop(items):
    """The skeleton of `calls`: the same loop, no call."""
    def run(items=items):
        for x in items:
            pass
    return run


def loop2(items):
    def run(items=items):
        for a, b in items:
            pass
    return run


def repeat(fn, n):
    """A batch: fn() n times."""
    def run(fn=fn, r=range(n)):
        for _ in r:
            fn()
    return run


def empty(n):
    def run(r=range(n)):
        for _ in r:
            pass
    return run


# Attributes that differ by construction between two otherwise equal results
# (serial numbers drawn from a process-wide counter).
VOLATILE = {"trade_id", "order_id"}


def describe(obj, depth=0):
    """A comparable picture of a result: containers, enumeration members and plain
    values as they are, other objects as their type name and attributes."""
    if depth > 8:
        return repr(obj)
    if isinstance(obj, (str, bytes, int, float, type(None), enum.Enum)):
        return obj
    if isinstance(obj, dict):
        return {k: describe(v, depth + 1) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [describe(v, depth + 1) for v in obj]
    if hasattr(obj, "__dict__") or hasattr(type(obj), "__slots__"):
        names = list(getattr(obj, "__dict__", {})) or list(getattr(type(obj), "__slots__", ()))
        return (type(obj).__name__, {k: describe(getattr(obj, k), depth + 1) for k in names if k not in VOLATILE})
    return obj


def same(a, b, what):
    da, db = describe(a), describe(b)
    if da != db:
        raise AssertionError("%s: native and plain results differ:\n  native: %r\n  plain:  %r" % (what, da, db))
