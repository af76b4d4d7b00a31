"""Installing into a framework's environment, as the README tells: the package's
wheel goes into a fresh virtual environment (its dependencies from the package
index); there the six modules import beside a framework stand-in whose `velora`
packages are namespace packages (host/) or regular packages with __init__.py on
another path, and mypy and pyright check a user's script against the installed
stubs in both layouts."""
import glob
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import venv

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "host")
SRC = os.path.join(ROOT, "src")
_found = importlib.util.spec_from_file_location("finder_source", os.path.join(SRC, "_velora_native_finder.py"))
finder = importlib.util.module_from_spec(_found)
_found.loader.exec_module(finder)
MODULES = finder.MODULES

# The instrumented build is tested by the rest of the suite; this one builds and installs a normal wheel.
pytestmark = pytest.mark.skipif(os.environ.get("VELORA_SANITIZE") == "1", reason="packaging is not instrumented")


def run(args, **kwargs):
    kwargs.setdefault("timeout", 900)
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


@pytest.fixture(scope="module")
def fresh_python(tmp_path_factory):
    """The interpreter of a new venv with the built wheel installed."""
    tmp = tmp_path_factory.mktemp("install")
    # The build reuses the CMake build directory of scripts/setup.sh (build/<wheel tag>).
    built = run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
                 "-w", str(tmp / "dist"), ROOT])
    assert built.returncode == 0, built.stderr
    wheel, = (tmp / "dist").glob("velora_native-*.whl")
    venv.create(tmp / "venv", with_pip=True)
    python = str(tmp / "venv" / "bin" / "python")
    installed = run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel)])
    assert installed.returncode == 0, installed.stderr
    return python


@pytest.fixture(scope="module", params=["namespace", "regular"])
def framework(request, tmp_path_factory):
    """(layout, folder) of a framework stand-in: host/ itself, or a copy whose
    every velora folder is a regular package."""
    if request.param == "namespace":
        return request.param, HOST
    folder = tmp_path_factory.mktemp("framework")
    shutil.copytree(HOST, folder, dirs_exist_ok=True, ignore=shutil.ignore_patterns("__pycache__"))
    for parent, _, _ in os.walk(folder / "velora"):
        open(os.path.join(parent, "__init__.py"), "w").close()
    return request.param, str(folder)


IMPORT_ALL = """
import importlib, json, os, sys, sysconfig
import velora, velora.tavlo.utils.logger
os.environ["VELORA_LICENSE"] = "demo:pass:word"
out = {"velora": list(velora.__path__), "origins": {}}
for name in sys.argv[1:]:
    out["origins"][name] = os.path.relpath(importlib.import_module(name).__file__, sysconfig.get_paths()["platlib"])
from velora.data.interface.event_codes import StockEvents
from velora.tavlo.sdk.credentials import get_license_info
from velora.tavlo.utils import live_feed
out["calls"] = [StockEvents("20").name, get_license_info(), live_feed.history_bars("000001.XSHE", 5)]
print(json.dumps(out))
"""


def test_every_module_imports_beside_the_framework(fresh_python, framework):
    layout, folder = framework
    # the finder knows every module folder of the source tree
    assert sorted(MODULES) == sorted({os.path.relpath(os.path.dirname(p), SRC).replace(os.sep, ".") for p in
                                      glob.glob(os.path.join(SRC, "velora", "**", "*.cpp"), recursive=True)})
    result = run([fresh_python, "-c", IMPORT_ALL, *MODULES], env=dict(os.environ, PYTHONPATH=folder), cwd="/")
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout)
    # regular: `velora` is the framework's package alone; namespace: the two folders merge
    assert len(out["velora"]) == (1 if layout == "regular" else 2) and out["velora"][0].startswith(folder)
    for name, origin in out["origins"].items():
        assert re.fullmatch(re.escape(name.replace(".", os.sep)) + r"\.cpython-.*\.so", origin), (name, origin)
    assert out["calls"] == ["RISK_WARN_TRADING", ["demo", "pass:word"], None]


USER_SCRIPT = """\
from velora.data.interface.event_codes import StockEvents
from velora.tavlo.datac.services import future
from velora.tavlo.mod.mod_quant_data.quote_cache import RedisStore
from velora.tavlo.sdk.console import cli
from velora.tavlo.sdk.credentials import get_license_info
from velora.tavlo.utils import live_feed

user, password = get_license_info()
name: str = cli.name or ""
code: int = StockEvents.DAY_VOL_10.value  # error
live_feed.history_bars("000001.XSHE", "5")  # error
RedisStore(6379)  # error
future.get_dominant_price("IF", frequency=1)  # error
"""
EXPECTED = [number for number, line in enumerate(USER_SCRIPT.splitlines(), 1) if line.endswith("# error")]


def mypy_errors(python, folder, tmp):
    result = run([sys.executable, "-m", "mypy", "--python-executable", python, "--config-file", os.devnull,
                  "--cache-dir", str(tmp / ".mypy_cache"), "user.py"],
                 cwd=tmp, env=dict(os.environ, PYTHONPATH=folder, MYPYPATH=folder))
    return result, sorted({int(n) for n in re.findall(r"^user\.py:(\d+): error:", result.stdout, re.M)})


def pyright_errors(python, folder, tmp):
    result = run([sys.executable, "-m", "pyright", "--pythonpath", python, "--outputjson", "user.py"],
                 cwd=tmp, env=dict(os.environ, PYTHONPATH=folder))
    diagnostics = json.loads(result.stdout)["generalDiagnostics"]
    return result, sorted({d["range"]["start"]["line"] + 1 for d in diagnostics if d["severity"] == "error"})


@pytest.mark.parametrize("checker", [mypy_errors, pyright_errors], ids=["mypy", "pyright"])
def test_type_checkers_read_the_installed_stubs(fresh_python, framework, checker, tmp_path):
    """The wrong calls of a user's script are found (so the stubs were read), and nothing else."""
    (tmp_path / "user.py").write_text(USER_SCRIPT)
    result, lines = checker(fresh_python, framework[1], tmp_path)
    assert lines == EXPECTED, result.stdout + result.stderr
