"""Each installed library exports PyInit_<name> and nothing else, and no
__init__.py is installed above the modules."""
import glob
import importlib.util
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SRC = os.path.join(ROOT, "src")
# Every module folder in the source tree: src/velora/<package path>/<module>/*.cpp
MODULES = sorted(
    os.path.relpath(os.path.dirname(p), SRC).replace(os.sep, ".")
    for p in glob.glob(os.path.join(SRC, "velora", "**", "*.cpp"), recursive=True)
)
MODULES = sorted(set(MODULES))


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@pytest.mark.parametrize("dotted", MODULES)
def test_only_pyinit_is_exported(dotted):
    path = importlib.util.find_spec(dotted).origin
    assert "site-packages" in path
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + dotted.rsplit(".", 1)[1]]
    # Whatever the library uses of pybind11 and the frame is inside it (their
    # headers are split between units; a piece compiled nowhere fails only at import).
    out = subprocess.run(["nm", "-D", "--undefined-only", path], capture_output=True, text=True, check=True).stdout
    assert [s for s in out.split() if "pybind11" in s or "5frame" in s] == []


def test_no_init_files_above_the_modules():
    import velora

    roots = [r for r in velora.__path__ if "site-packages" in r]
    assert roots
    for root in roots:
        assert glob.glob(os.path.join(root, "**", "__init__.py"), recursive=True) == []
