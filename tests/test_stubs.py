"""The typed interface: each module's .pyi is installed beside its library, and
mypy's stubtest finds the stubs consistent with the built modules (names,
parameters, defaults, kinds, class members)."""
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
def test_stub_is_installed_beside_the_library(dotted):
    stub = installed_stub(dotted)
    assert "site-packages" in stub and os.path.isfile(stub)
    with open(stub, encoding="utf-8") as installed, \
            open(os.path.join(SRC, *dotted.split("."), dotted.rsplit(".", 1)[1] + ".pyi"), encoding="utf-8") as source:
        assert installed.read() == source.read()


def stubtest(tmp_path, modules, stubs):
    """Run stubtest on `modules` with the stub files `stubs` ({dotted: path}) as
    the only stubs of the package; the runtime side imports the installed modules."""
    root = tmp_path / "stubs"
    for dotted, path in stubs.items():
        target = root.joinpath(*dotted.split(".")[:-1])
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy(path, target / (dotted.rsplit(".", 1)[1] + ".pyi"))
    # host/ provides the framework and pymach, which the modules import at load
    # (and which live_feed's stub names as the base of MachStrategy).
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(root), HOST]), PYTHONPATH=HOST)
    return subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull, *modules],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)


def test_stubtest_passes_for_all_modules(tmp_path):
    result = stubtest(tmp_path, MODULES, {m: installed_stub(m) for m in MODULES})
    assert result.returncode == 0, result.stdout + result.stderr
    assert "no issues found in 6 modules" in result.stdout


def test_stubtest_catches_a_wrong_stub(tmp_path):
    """The check has teeth: a renamed parameter and a wrong default are reported."""
    dotted = "velora.tavlo.utils.live_feed"
    with open(installed_stub(dotted), encoding="utf-8") as f:
        text = f.read()
    assert "def history_bars(market_code: str, count: int)" in text
    wrong = tmp_path / "live_feed.pyi"
    wrong.write_text(text.replace("def history_bars(market_code: str, count: int)",
                                  "def history_bars(code: str, count: int = 1)"), encoding="utf-8")
    result = stubtest(tmp_path, [dotted], {dotted: wrong})
    assert result.returncode == 1
    assert 'stub parameter "code" differs from runtime parameter "market_code"' in result.stdout
    assert 'stub parameter "count" has a default value but runtime parameter does not' in result.stdout
