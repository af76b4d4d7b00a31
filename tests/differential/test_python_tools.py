"""What Python's own tools make of the native modules' functions, against the same
functions written in plain Python (bench/plain): inspect, mock's autospec, pydoc,
pickle and copy, the profilers and tracers (cProfile, sys.setprofile,
sys.settrace, sys.monitoring), and assigning a function's attributes.  Every
function of the plain modules that the native module also has is compared: at
module level, in classes, behind a click command."""
import builtins
import copy
import cProfile
import inspect
import os
import pickle
import pstats
import pydoc
import sys
import types
from unittest import mock

import pytest

from common import modules

SHORT_NAMES = ("live_feed", "future", "console", "quote_cache", "credentials", "event_codes")


def resolve(module, path):
    value = module
    for part in path.split("."):
        value = getattr(value, part) if part != "callback" else value.callback
    return value


def plain_functions(plain):
    """The paths of the functions a plain module defines."""
    for name, value in vars(plain).items():
        if inspect.isfunction(value) and value.__module__ == plain.__name__:
            yield name
        elif inspect.isfunction(getattr(value, "callback", None)):
            yield name + ".callback"
        elif inspect.isclass(value) and value.__module__ == plain.__name__:
            yield from (name + "." + a for a, v in vars(value).items()
                        if inspect.isfunction(v) and v.__module__ == plain.__name__)


def pairs():
    found = []
    for short in SHORT_NAMES:
        native, plain = modules(short)
        for path in plain_functions(plain):
            try:
                resolve(native, path)
            except AttributeError:
                continue  # a helper of the plain module alone
            found.append((short, path))
    return found


PAIRS = pairs()


def test_every_native_function_is_compared():
    native_paths = set()
    for short in SHORT_NAMES:
        native, _ = modules(short)
        for name, value in vars(native).items():
            candidates = [(name, value), (name + ".callback", getattr(value, "callback", None))]
            if inspect.isclass(value) and value.__module__ == native.__name__:
                candidates += [(name + "." + a, v) for a, v in vars(value).items()]
            native_paths.update((short, p) for p, v in candidates
                                if getattr(v, "__module__", None) == native.__name__ and
                                getattr(getattr(v, "__code__", None), "co_filename", "").endswith(".cpp"))
    # The queue's own methods have no plain counterpart (plain Python uses numpy_ringbuffer's).
    assert all(path.startswith("RingBuffer.") for _, path in native_paths - set(PAIRS))
    assert len(PAIRS) > 60


def both(short, path):
    native, plain = modules(short)
    return (native, resolve(native, path)), (plain, resolve(plain, path))


# --- inspect --------------------------------------------------------------------------

# (Not CO_NOFREE, 3.9 and 3.10's: a Python function making a closure has cell
# variables, which a native function's code object does not declare.)
CODE_FLAGS = (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS | inspect.CO_VARARGS | inspect.CO_VARKEYWORDS |
              inspect.CO_NESTED | inspect.CO_GENERATOR | inspect.CO_COROUTINE | inspect.CO_ASYNC_GENERATOR |
              getattr(inspect, "CO_METHOD", 0))


def facts(module, fn):
    """What inspect and a function's attributes say of `fn`, apart from which module it is in."""
    code = fn.__code__
    nparams = code.co_argcount + code.co_kwonlyargcount + bool(code.co_flags & inspect.CO_VARARGS) + \
        bool(code.co_flags & inspect.CO_VARKEYWORDS)
    closure = fn.__closure__
    return {
        "kinds": (inspect.isfunction(fn), isinstance(fn, types.FunctionType), inspect.isroutine(fn),
                  inspect.isgeneratorfunction(fn), inspect.iscoroutinefunction(fn), inspect.ismethod(fn)),
        "signature": [(p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()],
        "names": (fn.__name__, fn.__qualname__, fn.__module__ == module.__name__),
        "doc": (fn.__doc__, inspect.getdoc(fn)),
        "defaults": (fn.__defaults__, fn.__kwdefaults__, fn.__annotations__, fn.__dict__),
        "closure": closure and [c.cell_contents.__qualname__ for c in closure],
        "globals": (fn.__globals__ is vars(module), getattr(fn, "__builtins__", builtins.__dict__) is builtins.__dict__,
                    getattr(fn, "__type_params__", ())),
        "code": (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount, code.co_varnames[:nparams],
                 code.co_flags & CODE_FLAGS, code.co_name, getattr(code, "co_qualname", None), code.co_freevars),
        "method": isinstance(fn.__get__(object()), types.MethodType) and fn.__get__(None, object) is fn,
    }


@pytest.mark.parametrize("short, path", PAIRS)
def test_inspect_sees_the_python_function(short, path):
    (native, fn), (plain, py) = both(short, path)
    assert facts(native, fn) == facts(plain, py)


# --- mock -----------------------------------------------------------------------------

def verdict(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
        return "accepted"
    except TypeError as e:
        return str(e)


@pytest.mark.parametrize("short, path", PAIRS)
def test_autospec_checks_calls_as_for_python(short, path):
    (_, fn), (_, py) = both(short, path)
    params = inspect.signature(py).parameters.values()
    required = [p.name for p in params if p.default is p.empty and p.kind is p.POSITIONAL_OR_KEYWORD]
    calls = [((), {}), ((0,) * (len(params) + 1), {}), (tuple(required), {"no_such_parameter": 0}),
             (tuple(required), {}), ((), dict.fromkeys(required, 0))]
    for args, kwargs in calls:
        assert verdict(mock.create_autospec(fn), args, kwargs) == verdict(mock.create_autospec(py), args, kwargs)


def test_patching_with_autospec_checks_the_calls():
    native, _ = modules("live_feed")
    with mock.patch.object(native, "history_bars", autospec=True) as patched:
        with pytest.raises(TypeError, match="missing a required argument: 'count'"):
            native.history_bars("000001.XSHE")
        native.history_bars("000001.XSHE", 5)
    patched.assert_called_once_with("000001.XSHE", 5)


# --- pydoc, pickle, copy ----------------------------------------------------------------

@pytest.mark.parametrize("short, path", PAIRS)
def test_pydoc_renders_a_python_function(short, path):
    (native, fn), (plain, py) = both(short, path)
    text = pydoc.render_doc(fn, renderer=pydoc.plaintext).replace(native.__name__, "<module>")
    assert text == pydoc.render_doc(py, renderer=pydoc.plaintext).replace(plain.__name__, "<module>")
    assert text.splitlines()[0] == "Python Library Documentation: function %s in module <module>" % fn.__name__


def copies(module, fn):
    """What pickling (each protocol) and copying `fn` give: itself, or the error."""
    seen = []
    for make in [lambda p=p: pickle.loads(pickle.dumps(fn, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)] + \
            [lambda: copy.copy(fn), lambda: copy.deepcopy(fn)]:
        try:
            seen.append(make() is fn)
        except pickle.PicklingError as e:  # a click command's function: its name is the command's
            seen.append(str(e).replace(module.__name__, "<module>").split(" at 0x")[0])
    return seen


@pytest.mark.parametrize("short, path", PAIRS)
def test_pickled_and_copied_by_reference(short, path):
    (native, fn), (plain, py) = both(short, path)
    assert copies(native, fn) == copies(plain, py)
    assert copies(native, fn)[-2:] == [True, True]


# --- profilers and tracers ------------------------------------------------------------

# Calls that need no set-up: a path and its arguments; generators are run to their end.
CALLS = [
    ("live_feed", "history_bars", ("000001.XSHE", 5)),
    ("live_feed", "get_current_tick", ("000001.XSHE",)),
    ("live_feed", "MachStrategy.on_initialize", (object(),)),
    ("credentials", "get_license_info", ("VELORA_TOOLS_TEST",)),
    ("future", "_slice_dominant_data", ([("a", 1), ("b", 2), ("a", 3), ("c", 4), ("c", 5)],)),
]


@pytest.fixture
def license_set(monkeypatch):
    for name in ("VELORA_TOOLS_TEST", "VELORA_LICENSE"):
        monkeypatch.setenv(name, "user:secret")
    monkeypatch.setenv("VELORA_TOOLS_OTHER", "other:pass")


def call(fn, args):
    result = fn(*args)
    return list(result) if hasattr(result, "__next__") else result


def caller(fn, args, times):
    for _ in range(times):
        result = fn(*args)
        if hasattr(result, "__next__"):
            list(result)


class Clock:
    """A profiler's timer that ticks once per reading: times are counts of events."""

    def __init__(self):
        self.now = 0

    def __call__(self):
        self.now += 1
        return self.now


def profile_of(fn, args, times=20):
    """ncalls, primitive calls, and the callers' names of `fn`'s entry; and whether the
    caller's own time leaves out `fn`'s."""
    profile = cProfile.Profile(Clock())
    profile.runcall(caller, fn, args, times)
    stats = pstats.Stats(profile).stats
    name = fn.__code__.co_name
    (entry,) = [v for (_, _, n), v in stats.items() if n == name]
    (outer,) = [v for (_, _, n), v in stats.items() if n == "caller"]
    cc, nc, tt, ct, callers = entry
    return nc, cc, sorted(n for (_, _, n) in callers), tt > 0, outer[2] + ct <= outer[3]


@pytest.mark.parametrize("short, path, args", CALLS)
def test_cprofile_lists_each_call_with_its_own_time(short, path, args, license_set):
    (_, fn), (_, py) = both(short, path)
    assert profile_of(fn, args) == profile_of(py, args)
    nc, cc, callers, own_time, caller_without = profile_of(fn, args)
    assert nc >= 20 and callers and own_time and caller_without


def events_of(fn, args, install):
    """The call and return events a tracer or profiler sees of `fn`'s code."""
    seen = []

    def hook(frame, event, arg):
        if frame.f_code is fn.__code__ and event in ("call", "return"):
            seen.append(event)
        return hook

    install(hook)
    try:
        call(fn, args)
    finally:
        install(None)
    return seen


@pytest.mark.parametrize("install", [sys.settrace, sys.setprofile], ids=["settrace", "setprofile"])
@pytest.mark.parametrize("short, path, args", CALLS)
def test_tracers_see_each_call(short, path, args, install, license_set):
    (_, fn), (_, py) = both(short, path)
    seen = events_of(fn, args, install)
    assert seen == events_of(py, args, install) and seen


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is 3.12's")
@pytest.mark.parametrize("short, path, args", CALLS)
def test_a_monitoring_tool_sees_each_call(short, path, args, license_set):
    monitoring = sys.monitoring
    tool = next(t for t in range(6) if monitoring.get_tool(t) is None)

    def events(fn):
        seen = []
        events = monitoring.events
        monitoring.use_tool_id(tool, "velora test")
        try:
            for event, name in ((events.PY_START, "start"), (events.PY_RETURN, "return")):
                monitoring.register_callback(
                    tool, event, lambda code, *rest, name=name: seen.append(name) if code is fn.__code__ else None)
            monitoring.set_events(tool, events.PY_START | events.PY_RETURN)
            call(fn, args)
        finally:
            monitoring.set_events(tool, 0)
            monitoring.free_tool_id(tool)
        return seen

    (_, fn), (_, py) = both(short, path)
    assert events(fn) == events(py) and events(fn)


# --- assigning attributes ---------------------------------------------------------------

def assigned(fn, name, value):
    """`fn.<name> = value`, then a call: its result and what the attribute reads, or
    the error either raised."""
    saved = getattr(fn, name)
    try:
        setattr(fn, name, value)
        return "set", getattr(fn, name) == value, call(fn, ())
    except (TypeError, ValueError, AttributeError) as e:
        return type(e).__name__, str(e)
    finally:
        try:
            setattr(fn, name, saved)
        except (TypeError, AttributeError):
            pass


def replacement(license_name="VELORA_TOOLS_TEST"):
    return "replaced", license_name


ASSIGNMENTS = [
    ("__defaults__", ("VELORA_TOOLS_OTHER",)),
    ("__defaults__", ()),
    ("__defaults__", ["VELORA_TOOLS_OTHER"]),
    ("__kwdefaults__", {"license_name": "VELORA_TOOLS_OTHER"}),
    ("__code__", replacement.__code__),
    ("__code__", (lambda: 0).__code__),
    ("__code__", (lambda: (yield)).__code__),
    ("__code__", None),
    ("__globals__", {}),
    ("__closure__", ()),
    ("__name__", "renamed"),
    ("__qualname__", 3),
    ("__annotations__", {"license_name": str}),
    ("__module__", None),
]


@pytest.mark.parametrize("name, value", ASSIGNMENTS, ids=[a[0] for a in ASSIGNMENTS])
def test_assigning_an_attribute_does_what_it_does_in_python(name, value, license_set, recwarn):
    (_, fn), (_, py) = both("credentials", "get_license_info")
    assert assigned(fn, name, value) == assigned(py, name, value)
    assert fn() == ("user", "secret")  # as it was, once put back
