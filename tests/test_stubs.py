"""The typed interface: each module's .pyi is installed beside its library and in
the stub package velora-stubs, carries exactly the module's docstrings, and
mypy's stubtest finds the stubs consistent with the built modules (names,
parameters, defaults, kinds, class members)."""
import ast
import glob
import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "host")
SRC = os.path.join(ROOT, "src")
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import stub_docs  # noqa: E402
sys.path.pop(0)
# Every module folder of the source tree: src/velora/<package path>/<module>/
MODULES = sorted({os.path.relpath(os.path.dirname(p), SRC).replace(os.sep, ".")
                  for p in glob.glob(os.path.join(SRC, "velora", "**", "*.cpp"), recursive=True)})


def installed_stub(dotted):
    """The .pyi installed next to the module's shared library."""
    origin = importlib.util.find_spec(dotted).origin
    return os.path.join(os.path.dirname(origin), dotted.rsplit(".", 1)[1] + ".pyi")


def test_every_module_has_a_stub():
    assert len(MODULES) == 6
    for dotted in MODULES:
        name = dotted.rsplit(".", 1)[1]
        assert os.path.isfile(os.path.join(SRC, *dotted.split("."), name + ".pyi")), dotted


@pytest.mark.parametrize("dotted", MODULES)
def test_stub_is_installed_beside_the_library_and_in_the_stub_package(dotted):
    stub = installed_stub(dotted)
    assert "site-packages" in stub and os.path.isfile(stub)
    site = stub[:stub.index("site-packages") + len("site-packages")]
    in_package = os.path.join(site, "velora-stubs", os.path.relpath(stub, os.path.join(site, "velora")))
    with open(os.path.join(SRC, *dotted.split("."), dotted.rsplit(".", 1)[1] + ".pyi"), encoding="utf-8") as f:
        source = f.read()
    for path in (stub, in_package):
        with open(path, encoding="utf-8") as installed:
            assert installed.read() == source, path
    with open(os.path.join(site, "velora-stubs", "py.typed"), encoding="utf-8") as marker:
        assert marker.read() == "partial\n"


# The futures services and credentials functions that carry long documentation at run time.
DOCUMENTED = [("velora.tavlo.datac.services.future", name) for name in (
    "get_dominant", "get_dominant_price", "get_basis", "get_ex_factor", "get_trading_parameters",
    "get_exchange_daily", "get_commission_margin", "get_member_rank", "get_warehouse_stocks",
    "get_contract_multiplier", "get_current_basis", "current_real_contract")] + [
    ("velora.tavlo.sdk.credentials", "get_license_info"), ("velora.tavlo.sdk.credentials", "set_to_environ")]


def test_stub_docstrings_are_the_modules_own():
    """Every docstring of every stub (module, functions, classes, methods) is
    the built module's __doc__ of that object, and there is none where it has
    none; scripts/stub_docs.py rewrites the stubs when they differ."""
    assert {dotted: stub_docs.differences(dotted, installed_stub(dotted)) for dotted in MODULES} == \
        {dotted: [] for dotted in MODULES}
    for dotted, name in DOCUMENTED:
        with open(installed_stub(dotted), encoding="utf-8") as f:
            node = next(n for n in ast.parse(f.read()).body if getattr(n, "name", None) == name)
        doc = getattr(importlib.import_module(dotted), name).__doc__
        assert doc and stub_docs.stub_doc(node) == doc, name


def test_a_drifted_stub_docstring_is_found_and_rewritten(tmp_path):
    """A changed, a missing and an extra docstring are each reported, and the
    rewrite gives back the stub as it was."""
    dotted = "velora.tavlo.datac.services.future"
    with open(installed_stub(dotted), encoding="utf-8") as f:
        text = f.read()
    alias = 'info_type: str = "volume"\n) -> pd.DataFrame | None:'
    edits = [("获取股指期货升贴水信息", "获取股指期货升水信息"),                              # get_basis
             ('\n    """获取指定期货品种当日对应的真实合约"""', " ..."),                     # current_real_contract
             (alias + " ...", alias + '\n    """Forwards to get_member_rank."""')]   # get_future_member_rank
    drifted = text
    for old, new in edits:
        assert drifted.count(old) == 1, old
        drifted = drifted.replace(old, new)
    path = tmp_path / "future.pyi"
    path.write_text(drifted, encoding="utf-8")
    assert sorted(name for _, name, _, _ in stub_docs.differences(dotted, path)) == [
        "current_real_contract", "get_basis", "get_future_member_rank"]
    assert stub_docs.rewrite(drifted, importlib.import_module(dotted)) == text
