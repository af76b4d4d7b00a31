"""The futures module, the credential functions, the quote store, the command line
and the event codes, native against plain Python (bench/plain), on the same
stand-ins and inputs: generated arguments and records, odd values that journal
and raise, module globals deleted, warnings turned into errors.

Compared, in order: each step's return value or exception (type, text and cause),
the journal (calls into the stand-ins, attributes read from them, operations on
odd values), the warnings issued (category, text, file and line) and whatever
else the case shows (the environment written, the command's output and status).
Generators are driven step by step (next, send, throw, close) against the
Python generator of the plain module.

Run longer with VELORA_DIFFERENTIAL_CASES=<n> (random cases per test).
"""
import functools
import importlib
import os
import subprocess
import sys
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from click.testing import CliRunner

from common import modules
from differential_support import (CASES, CHANNELS, ODD_FAILS, Globals, Odd, Record, Spy, cases, delete_globals,
                                  differences, outcome, picture, report, rng_for)

SURROGATE = b"\xe9".decode("utf-8", "surrogateescape")


class Case:
    """One case: `steps(module, journal)` gives the outcomes; `spies(journal)` the module
    globals to replace; `deleted` the globals to remove; warnings shown or raised."""

    def __init__(self, label, steps, spies=None, deleted=(), warn="always", after=None):
        self.label, self.steps, self.spies, self.deleted, self.warn = label, steps, spies, tuple(deleted), warn
        self.after = after

    def __repr__(self):
        return "%s (deleted %r, warnings %s)" % (self.label, self.deleted, self.warn)


class Journal(list):
    """A side's journal; `original` holds its module's globals as they were."""

    def __init__(self, original):
        super().__init__()
        self.original = original


def run(module, case):
    saved = Globals(module)
    journal = Journal(saved.saved)
    try:
        vars(module).update(case.spies(journal) if case.spies else {})
        delete_globals(module, case.deleted)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter(case.warn)
            steps = case.steps(module, journal)
        result = {"outcomes": steps, "journal": journal,
                  "warnings": [(w.category.__name__, str(w.message), w.filename, w.lineno) for w in caught]}
        if case.after:
            result["after"] = case.after()
        return result
    finally:
        saved.restore()


def compare(short, make_cases):
    native, plain = modules(short)

    @functools.lru_cache(maxsize=None)
    def results():
        return [(case, run(native, case), run(plain, case)) for case in make_cases()]

    def check(channel):
        found = [report(repr(case), d) for case, n, p in results() for d in [differences(n, p, channel)] if d]
        if found:
            pytest.fail("%d of %d cases differ, e.g.\n%s" % (len(found), len(results()), "\n".join(found[:3])),
                        pytrace=False)

    return check


def odd_or(value, label, journal):
    return Odd(label, value[1], journal) if isinstance(value, tuple) and value[:1] == ("odd",) else value


# --- future ------------------------------------------------------------------------------------

DECLARED = ["get_dominant", "current_real_contract", "get_commission_margin", "get_member_rank",
            "get_warehouse_stocks", "get_contract_multiplier", "get_current_basis", "get_basis",
            "_get_future_factors_df", "get_ex_factor", "get_dominant_price", "get_ob_datetime_multi_index",
            "get_trading_parameters", "get_exchange_daily", "_slice_dominant_data", "__internal_get_ex_factor",
            "get_dominant_future", "future_commission_margin", "get_future_member_rank"]
ALIASES = {"get_dominant_future": "get_dominant", "future_commission_margin": "get_commission_margin",
           "get_future_member_rank": "get_member_rank"}
ARGUMENTS = [((), {}), (("IF",), {}), (("IF", "cn"), {}), (("IF",) * 9, {}), (("IF",), {"foo": 1}),
             (("IF",), {"market": "hk"}), ((), {"underlying_symbol": "IF"}), (("IF",), {"underlying_symbol": "IF"}),
             (("IF", None, None), {"rule": 5, "rank": 9}), ((123,), {}), ((["IF"],), {}),
             (("IF",), {"info_type": "long"}), (("IF",), {"names": ["x"]})]
SYMBOLS = ["IF", "", 123, None, ["IF"], b"IF", 1.5, ("odd", "format"), ("odd", None), np.str_("IF")]


def future_spies(journal, six_types=None):
    import six
    spies = {name: Spy(journal, name, journal.original[name]) for name in ALIASES.values()}
    target = six if six_types is None else types.SimpleNamespace(string_types=six_types)
    spies.update(six=Spy(journal, "six", target), isinstance=Spy(journal, "isinstance", isinstance))
    return spies


def future_calls():
    out = []
    for name in DECLARED:
        for args, kwargs in ARGUMENTS:
            for warn, deleted in (("always", ()), ("error", ()), ("always", ("six",)),
                                  ("always", (ALIASES.get(name, "six"),))):
                if (warn, deleted) != ("always", ()) and name not in ALIASES and name != "get_dominant":
                    continue
                out.append(Case("%s(*%r, **%r)" % (name, args, kwargs),
                                lambda m, j, name=name, args=args, kwargs=kwargs: [
                                    outcome(getattr(m, name), *args, **kwargs)],
                                future_spies, deleted, warn))
    for symbol in SYMBOLS:
        for six_types in (None, (bytes,), ()):
            out.append(Case("get_dominant(%r), six.string_types %r" % (symbol, six_types),
                            lambda m, j, symbol=symbol: [outcome(m.get_dominant, odd_or(symbol, "symbol", j))],
                            lambda j, t=six_types: future_spies(j, t)))
    return out


def factors_table(rng):
    rows = []
    for product in rng.sample(["A", "B", "C"], rng.randint(1, 3)):
        for k in range(rng.randint(1, 4)):
            rows.append(((product, pd.Timestamp(2021, 1 + k, 4)),
                         [rng.choice([1, -2, 3.5, 0]), rng.choice([10, 20]), rng.choice([2.0, 0.5, 4.0, 0.0]),
                          rng.choice([3.0, 1.5])]))
    index = pd.MultiIndex.from_tuples([r[0] for r in rows], names=["underlying_symbol", "ex_date"])
    return pd.DataFrame([r[1] for r in rows], index=index,
                        columns=["prev_close_spread", "open_spread", "prev_close_ratio", "open_ratio"])


def ex_factor_cases():
    rng = rng_for("ex_factor")
    out = []
    for n in range(cases(40)):
        table = factors_table(rng)
        symbols = rng.choice([["A"], ["A", "B"], ["B", "C"], ["Z"], "A", ("odd", None)])
        adjust_type = rng.choice(["pre", "post", None, "none", ("odd", None), ("odd", "eq")])
        method = rng.choice(["prev_close_spread", "open_spread", "prev_close_ratio", "open_ratio", "close", 5])
        rule = rng.choice([0, 1, 2])
        deleted = ("_get_future_factors_df",) if n % 10 == 9 else ()

        def steps(m, j, symbols=symbols, adjust_type=adjust_type, method=method, rule=rule):
            call = getattr(m, "__internal_get_ex_factor")
            return [outcome(call, odd_or(symbols, "symbols", j), odd_or(adjust_type, "adjust_type", j), method, rule)]

        out.append(Case("__internal_get_ex_factor(%r, %r, %r) of\n%s" % (symbols, adjust_type, method, table),
                        steps, lambda j, table=table: {"_get_future_factors_df": Spy(
                            j, "_get_future_factors_df", lambda *a, **k: table.copy())}, deleted))
    return out


# One element of the data to slice: pairs of every kind, and what does not unpack.
ELEMENTS = [("A", 1), ("B", 2), ("C", 3), ["A", 4], (1, 0), (True, 0), (1.0, 0), (np.int64(1), 0), "AB",
            (("t",), 0), ("A",), ("A", 1, 2), 5, ([1], 0), {"k": 1, "l": 2}, (("odd", None), 0),
            (("odd", "hash"), 0), (("odd", "eq"), 0)]
OPERATIONS = {
    "next": lambda g: next(g),
    "send None": lambda g: g.send(None),
    "send 1": lambda g: g.send(1),
    "throw StopIteration": lambda g: g.throw(StopIteration),
    "throw StopIteration('stop')": lambda g: g.throw(StopIteration("stop")),
    "throw ValueError": lambda g: g.throw(ValueError("v")),
    "close": lambda g: g.close(),
    "list": lambda g: list(g),
}


def feed(items, journal):
    """The data, as an iterator that journals how far it was read."""
    for i, item in enumerate(items):
        journal.append(("feed", i))
        yield item


def make_element(element, i, journal):
    if isinstance(element, tuple) and element and isinstance(element[0], tuple) and element[0][:1] == ("odd",):
        return (Odd("key%d" % (i % 2), element[0][1], journal),) + element[1:]
    return element


def slicing_cases():
    rng = rng_for("slicing")
    out = [Case("the thrown StopIteration: %s" % ops, lambda m, j, ops=ops: drive(
        m._slice_dominant_data([("A", 1), ("A", 2)]), ops)) for ops in (
        ["throw StopIteration('stop')"], ["next", "throw StopIteration('stop')", "next"], ["next", "throw StopIteration"])]
    for _ in range(cases(60)):
        items = [rng.choice(ELEMENTS[:8] if rng.random() < 0.8 else ELEMENTS) for _ in range(rng.randint(0, 7))]
        ops = [rng.choice(list(OPERATIONS)) for _ in range(rng.randint(1, 5))]
        out.append(Case("_slice_dominant_data(%r), then %s" % (items, ops), lambda m, j, items=items, ops=ops: drive(
            m._slice_dominant_data(feed([make_element(e, i, j) for i, e in enumerate(items)], j)), ops)))
    return out


def drive(generator, ops):
    return [outcome(OPERATIONS[op], generator) for op in ops]


check_future_calls = compare("future", future_calls)
check_ex_factor = compare("future", ex_factor_cases)
check_slicing = compare("future", slicing_cases)


# --- credentials -------------------------------------------------------------------------------

class Environ(dict):
    """os.environ's stand-in: str names and values only, as the real one takes."""

    def __setitem__(self, name, value):
        for x in (name, value):
            if not isinstance(x, str):
                raise TypeError("str expected, not %s" % type(x).__name__)
        dict.__setitem__(self, name, value)


NAMES = ["VELORA_LICENSE", "velorasdk_env", ["A_1", "B_2"], "N" + SURROGATE, "NÄME", "", ("A_1",), 5,
         ("odd", None), ("odd", "eq")]
VALUES = ["user:pw9", "user:pa" + SURROGATE + "ss", "usér:pässwörd", "u:٣²", "", "u:" + "p" * 3000, 'u:p"&calc',
          "u: p", None, 5]
STORED = [None, "alice:secret", "alice:se:cr:et", "alice:", ":secret", "", "no-colon", "a" + SURROGATE + ":b"]


def credentials_case(label, steps, platform, environ, deleted=()):
    def spies(journal):
        environ.clear()
        environ.update(dict(stored))
        os_ = types.SimpleNamespace(environ=environ, popen=lambda command: None)
        return {"os": Spy(journal, "os", os_), "sys": Spy(journal, "sys", types.SimpleNamespace(platform=platform)),
                "click": Spy(journal, "click", types.SimpleNamespace(echo=lambda *a, **k: None)),
                "update_bash_file": Spy(journal, "update_bash_file", lambda *a: None)}

    stored = list(environ.items())
    return Case(label, steps, spies, deleted, after=lambda: picture(dict(environ)))


def credentials_cases():
    rng = rng_for("credentials")
    out = []
    for stored in STORED:
        for name in (None, "VELORA_LICENSE", "OTHER", 5):
            environ = Environ({} if stored is None else {"VELORA_LICENSE": stored, "OTHER": "bob:pw"})
            args = () if name is None else (name,)
            out.append(credentials_case("get_license_info%r with %r" % (args, stored),
                                        lambda m, j, args=args: [outcome(m.get_license_info, *args)],
                                        "linux", environ))
    for i in range(cases(80)):
        name, value = rng.choice(NAMES), rng.choice(VALUES)
        platform = rng.choice(["win32", "linux", "cygwin"])
        deleted = (rng.choice(["os", "sys", "click", "update_bash_file"]),) if i % 8 == 7 else ()

        def steps(m, j, name=name, value=value):
            runs = []
            saved_run, subprocess.run = subprocess.run, lambda args, **kw: (j.append(("run", picture(args))),
                                                                            runs.append(args))
            try:
                return [outcome(m.set_to_environ, odd_or(name, "name", j), value)]
            finally:
                subprocess.run = saved_run

        out.append(credentials_case("set_to_environ(%.40r, %.40r) on %s" % (name, value, platform), steps, platform,
                                    Environ(), deleted))
    return out


check_credentials = compare("credentials", credentials_cases)


# --- quote_cache -------------------------------------------------------------------------------

class Client:
    """The Redis client's stand-in: each command answers `answer`."""

    def __init__(self, answer):
        self.answer = answer

    def lindex(self, *args):
        return self.answer

    lrange = hget = get = lindex


ANSWERS = [None, b'{"a": 1}', b'[1, 2]', b"not json", b"\xff", '{"a": 1}', [b'{"x": 1}', b'{"y": 2}'], [],
           b"12.5", b"x", b'{"ask": [1], "bids": [2], "bid_vol": [3]}', [b"1", None]]
CODES = ["000001.XSHE", "", 5, ("odd", None), ("odd", "add")]
COUNTS = [2, 0, -1, "x", ("odd", None), ("odd", "neg")]
STORE_CALLS = [("get_current_bar", False), ("get_settle_price", False), ("history", True), ("get_snapshot", False),
               ("history_ticks", True)]


def store_case(label, steps, deleted=()):
    def spies(journal):
        import simplejson
        return {"json": Spy(journal, "json", simplejson), "np": Spy(journal, "np", np),
                "float": Spy(journal, "float", float)}

    return Case(label, steps, spies, deleted)


def new_store(cls, journal, read_journaled):
    """A store without a client; with `read_journaled`, one whose attribute reads are journaled."""
    if not read_journaled:
        return object.__new__(cls)

    class Store(cls):
        def __getattribute__(self, name):
            journal.append(("read", "store", name))
            return object.__getattribute__(self, name)

    return object.__new__(Store)


def store_cases():
    rng = rng_for("quote_cache")
    out = []
    for i in range(cases(120)):
        method, counted = rng.choice(STORE_CALLS)
        answer, code, count = rng.choice(ANSWERS), rng.choice(CODES), rng.choice(COUNTS)
        deleted = (rng.choice(["json", "np", "RedisStore", "float"]),) if i % 8 == 7 else ()

        def steps(m, j, method=method, counted=counted, answer=answer, code=code, count=count, read_journaled=i % 2):
            store = new_store(j.original["RedisStore"], j, read_journaled)
            store._redis = Spy(j, "_redis", Client(answer))
            args = (odd_or(code, "code", j),) + ((odd_or(count, "count", j),) if counted else ())
            return [outcome(getattr(store, method), *args)]

        out.append(store_case("%s(%r, %r) answered %r" % (method, code, count, answer), steps, deleted))
    # No client: what a method reads before it asks the client decides the outcome.
    for method, counted in STORE_CALLS:
        for code in CODES:
            out.append(store_case("%s(%r, 2) on a store without a client" % (method, code),
                                  lambda m, j, method=method, counted=counted, code=code: [outcome(
                                      getattr(new_store(j.original["RedisStore"], j, True), method),
                                      odd_or(code, "code", j), *((2,) if counted else ()))]))
    return out + retry_cases()


class Pool:
    """A connection pool and its one connection, failing as scripted."""

    def __init__(self, journal, script):
        self.journal, self.script = journal, {k: list(v) for k, v in script.items()}

    def _step(self, name, *args, **kwargs):
        self.journal.append((name, picture(args), picture(kwargs)))
        failures = self.script.get(name)
        if failures:
            failure = failures.pop(0)
            if failure is not None:
                raise failure
        return "answer to %s" % (args[1:2] or args[:1],) if name == "parse_response" else None

    def get_connection(self, *args, **kwargs):
        self._step("get_connection", *args, **kwargs)
        return self

    def release(self, connection):
        self._step("release")

    def send_command(self, *args):
        self._step("send_command", *args)

    def disconnect(self):
        self._step("disconnect")

    def parse_response(self, *args, **kwargs):
        return self._step("parse_response", *args[1:], **kwargs)


def retry_cases():
    import redis
    failures = [None, ConnectionError("c"), TimeoutError("t"), redis.exceptions.RedisError("r"),
                redis.exceptions.TimeoutError("rt"), ValueError("v")]
    rng = rng_for("retry")
    out = []
    for i in range(cases(60)):
        script = {name: [rng.choice(failures) for _ in range(2)]
                  for name in ("get_connection", "send_command", "parse_response", "disconnect", "release")
                  if rng.random() < 0.5}
        args = rng.choice([("GET", "k"), ("LRANGE", "k", 0, -1), ()])
        options = rng.choice([{}, {"keys": ["k"]}])
        deleted = ("redis",) if i % 6 == 5 else ()

        def steps(m, j, script=script, args=args, options=options):
            pool = Pool(j, script)
            client = types.SimpleNamespace(connection_pool=pool, parse_response=pool.parse_response)
            return [outcome(j.original["Redis"].execute_command, client, *args, **options)]

        out.append(store_case("execute_command(*%r, **%r) scripted %r" % (args, options, script), steps, deleted))
    return out


check_quote_cache = compare("quote_cache", store_cases)


# --- console -----------------------------------------------------------------------------------

WORKERS = [("velora.tavlo.utils.login", "init_wux"), ("velora.tavlo.alpha.bundle", "update_bundle_from_pormex"),
           ("velora.tavlo.alpha.bundle", "update_bundle_from_exist_file"),
           ("velora.tavlo.alpha.bundle", "check_min_bar_data"), ("velora.tavlo.alpha.bundle", "download_simple_bundle"),
           ("velora.tavlo.alpha.utils.scripts", "check_tick"), ("velora.tavlo.console.bundle", "check_bundle_data")]
COMMANDS = [
    (["license", "--show"], ""), (["license", "-u", "a", "-p", "b"], ""), (["license", "-u", "a", "-p", "b", "--env",
                                                                            "dev"], ""),
    (["license", "-u", "", "-p", "b"], ""), (["license"], "a\nb\n"), (["license", "-u", "a"], "b\n"),
    (["license", "--env", "x", "-u", "a", "-p", "b"], ""), (["license", "--show", "-u", "a"], ""),
    (["update-data"], ""), (["update-data", "--base"], ""), (["update-data", "--smart"], ""),
    (["update-data", "--minbar", "stock", "--minbar", "option", "-c", "5"], ""), (["update-data", "--with-derivatives"], ""),
    (["update-data", "--tick", "JD", "--rebuild", "-d", "BUNDLE"], ""), (["update-data", "-c", "x"], ""),
    (["check-data"], ""), (["check-data", "--minbar"], ""), (["check-data", "--daybar", "-d", "BUNDLE"], ""),
    (["check-data", "--minbar", "--daybar"], ""), (["download-data"], ""), (["download-data", "--sample", "-f", "x.tar"], ""),
    (["shell"], ""), (["--help"], ""), (["-h"], ""), (["update-data", "--help"], ""),
]
LICENSES = [("u", "p"), (None, None), ("", "p"), ("u",), 5, (("odd", None), ("odd", "format")), ("u", ("odd", "bool"))]
RESULTS = [True, False, None, "x", ValueError("worker failed")]


def console_cases(bundle_dir):
    rng = rng_for("console")
    out = []
    for i in range(cases(120)):
        args, text = COMMANDS[i % len(COMMANDS)] if i < 2 * len(COMMANDS) else rng.choice(COMMANDS)
        args = [bundle_dir if a == "BUNDLE" else a for a in args]
        results = {name: rng.choice(RESULTS) for _, name in WORKERS}
        licence, env, ipython = rng.choice(LICENSES), rng.choice([None, "dev", "prod"]), rng.random() < 0.5
        deleted = (rng.choice(["os", "sys", "click", "set_to_environ", "get_license_info", "update_data"]),) \
            if i % 6 == 5 else ()

        def spies(j, licence=licence, env=env):
            import click
            os_ = types.SimpleNamespace(path=os.path, getenv=lambda name: env if name == "velorasdk_env" else None)
            return {"click": Spy(j, "click", click), "os": Spy(j, "os", os_), "sys": Spy(j, "sys", sys),
                    "get_license_info": Spy(j, "get_license_info", lambda: tuple(
                        odd_or(x, "licence%d" % k, j) for k, x in enumerate(licence))
                        if isinstance(licence, tuple) else licence),
                    "set_to_environ": Spy(j, "set_to_environ", lambda *a: None)}

        def steps(m, j, args=args, text=text, results=results, ipython=ipython):
            saved = [(importlib.import_module(mod), name, getattr(importlib.import_module(mod), name))
                     for mod, name in WORKERS]
            fake = types.SimpleNamespace(embed=lambda: j.append(("embed",)))
            saved_ipython = sys.modules.get("IPython", "absent")
            try:
                for module, name, _ in saved:
                    setattr(module, name, Spy(j, name, functools.partial(worker, results[name])))
                sys.modules["IPython"] = fake if ipython else None
                r = CliRunner().invoke(m.cli, args, input=text)
            finally:
                for module, name, value in saved:
                    setattr(module, name, value)
                if saved_ipython == "absent":
                    sys.modules.pop("IPython", None)
                else:
                    sys.modules["IPython"] = saved_ipython
            exc = None if r.exception is None or isinstance(r.exception, SystemExit) else r.exception
            return [r.output, r.exit_code, picture(exc), picture(r.return_value)]

        out.append(Case("velora %s (input %r, workers %r, licence %r, env %r, IPython %s)"
                        % (args, text, results, licence, env, ipython), steps, spies, deleted))
    return out


def worker(result, *args, **kwargs):
    if isinstance(result, BaseException):
        raise result
    return result


@pytest.fixture(scope="module")
def check_console(tmp_path_factory):
    bundle = tmp_path_factory.mktemp("data")
    (bundle / "bundle").mkdir()
    return compare("console", lambda: console_cases(str(bundle)))


# --- event_codes -------------------------------------------------------------------------------

def event_code_cases():
    values = ["01", "20", "40", "15", "1", 1, "99", None, "", ("odd", None), ("odd", "hash")]
    names = ["RISE_7", "DAY_VOL_10", "rise_7", "X", 1]
    out = [Case("members", lambda m, j: [outcome(lambda: [(e.name, e.value) for e in m.StockEvents]),
                                         outcome(len, m.StockEvents)])]
    out += [Case("StockEvents(%r)" % (v,), lambda m, j, v=v: [outcome(m.StockEvents, odd_or(v, "value", j))])
            for v in values]
    out += [Case("StockEvents[%r]" % (n,), lambda m, j, n=n: [outcome(lambda: m.StockEvents[n]),
                                                            outcome(getattr, m.StockEvents, str(n))]) for n in names]
    return out


check_event_codes = compare("event_codes", event_code_cases)


# --- the tests ----------------------------------------------------------------------------------

# Where a native module is accepted to differ from its Python: (check, channel) ->
# the reason.  None at present; an entry makes its test a strict expected failure.
KNOWN = {}

CHECKS = {
    "future_calls": lambda request: check_future_calls,
    "future_ex_factor": lambda request: check_ex_factor,
    "future_slicing": lambda request: check_slicing,
    "credentials": lambda request: check_credentials,
    "quote_cache": lambda request: check_quote_cache,
    "console": lambda request: request.getfixturevalue("check_console"),
    "event_codes": lambda request: check_event_codes,
}


def params():
    out = []
    for name in CHECKS:
        for channel in CHANNELS:
            reason = KNOWN.get((name, channel))
            marks = [pytest.mark.xfail(strict=not CASES, reason=reason)] if reason else []
            out.append(pytest.param(name, channel, marks=marks, id="%s-%s" % (name, channel)))
    return out


@pytest.mark.parametrize("name, channel", params())
def test_native_matches_plain_python(request, name, channel):
    CHECKS[name](request)(channel)
