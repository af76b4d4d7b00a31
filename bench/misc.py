"""The credentials reader, the StockEvents lookup and the import of every module."""
import gc
import importlib.util
import os
import py_compile

from common import MODULES, calls, loop, modules
from harness import Path, Side


def credential_paths(n_calls):
    native, plain = modules("credentials")
    names = ["VELORA_LICENSE"] * n_calls

    def floor(items=names, get=os.environ.get):
        for name in items:
            get(name)

    def check():
        assert native.get_license_info() == plain.get_license_info() == ("trader01", "pass:word")

    saved = os.environ.get("VELORA_LICENSE")
    os.environ["VELORA_LICENSE"] = "trader01:pass:word"
    try:
        yield Path("get_license_info", "VELORA_LICENSE set to user:password",
                   Side(calls(native.get_license_info, names), n_calls, loop(names)),
                   Side(calls(plain.get_license_info, names), n_calls, loop(names)),
                   Side(floor, n_calls, loop(names)),
                   check=check,
                   note="floor: os.environ.get")
    finally:
        if saved is None:
            del os.environ["VELORA_LICENSE"]
        else:
            os.environ["VELORA_LICENSE"] = saved


def event_code_paths(n_calls):
    native, plain = modules("event_codes")
    values = ["20"] * n_calls

    def check():
        assert native.StockEvents("20").name == plain.StockEvents("20").name == "RISK_WARN_TRADING"
        assert [m.value for m in native.StockEvents] == [m.value for m in plain.StockEvents]

    yield Path("StockEvents('20')", "lookup by value",
               Side(calls(native.StockEvents, values), n_calls, loop(values)),
               Side(calls(plain.StockEvents, values), n_calls, loop(values)),
               check=check,
               note="both classes are made by the standard enum metaclass, which alone runs at the call")


def collect_young():
    gc.collect(0)


def import_paths():
    """Executing each module afresh (its dependencies already imported), as `import` does
    the first time: a new module object from what the import system found, then its body."""
    for short, (native_name, plain_name) in MODULES.items():
        native_module, plain_module = modules(short)
        native_found = importlib.util.find_spec(native_name)
        plain_found = importlib.util.find_spec(plain_name)
        # The plain module is read from its compiled bytecode, as an installed module is.
        py_compile.compile(plain_found.origin, cfile=importlib.util.cache_from_source(plain_found.origin),
                           doraise=True)

        def load(found):
            def run(found=found):
                module = importlib.util.module_from_spec(found)
                found.loader.exec_module(module)
            return run

        def check(native_module=native_module, plain_module=plain_module):
            public = {k for k in vars(native_module) if not k.startswith("__")}
            missing = public - set(vars(plain_module))
            assert not missing, "plain module lacks %s" % sorted(missing)

        # Each import leaves a module in reference cycles: collected (young
        # generation only, which is cheap) before the next batch, untimed.
        yield Path("import %s" % short, "module body, dependencies loaded",
                   Side(load(native_found), 1, setup=collect_young),
                   Side(load(plain_found), 1, setup=collect_young),
                   check=check)


def paths(quick=False):
    yield from credential_paths(50 if quick else 2000)
    yield from event_code_paths(50 if quick else 2000)
    yield from import_paths()
