"""What the build chooses for the interpreter it builds for, read off CMake's
configure step alone (a few seconds): an interpreter newer than the newest one
the fast paths were verified on gets the portable build and a line saying so; a
free-threaded interpreter gets no build at all, and a message naming one that is
supported."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
THIS = "%d.%d" % sys.version_info[:2]
# Makes the interpreter report itself free-threaded to the build's check.
FAKE_FREE_THREADED = """import sysconfig
_real = sysconfig.get_config_var
sysconfig.get_config_var = lambda name: 1 if name == "Py_GIL_DISABLED" else _real(name)
"""


def configure(build, *defines, env=None):
    import pybind11

    bindir = os.path.dirname(sys.executable)
    tool = lambda name: os.path.join(bindir, name) if os.path.exists(os.path.join(bindir, name)) else name
    result = subprocess.run(
        [tool("cmake"), "-S", ROOT, "-B", str(build), "-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=" + tool("ninja"),
         "-DPython_EXECUTABLE=" + sys.executable, "-Dpybind11_DIR=" + pybind11.get_cmake_dir(), *defines],
        capture_output=True, text=True, timeout=300, env=env)
    return result.returncode, " ".join((result.stdout + result.stderr).split())


@pytest.mark.parametrize("case, defines, fake_free_threaded, status, says", [
    ("verified", [], False, 0, None),
    ("newer than verified", ["-DVELORA_NEWEST_VERIFIED=3.8"], False, 0,
     "CPython %s is newer than 3.8, the newest release its fast paths were verified on: building the "
     "portable modules" % sys.version.split()[0]),
    ("portable on request", ["-DVELORA_PORTABLE=ON"], False, 0, "portable build (no interpreter-specific fast paths)"),
    ("free-threaded", [], True, 1, "does not support free-threaded CPython"),
])
def test_configure_chooses_the_build(tmp_path, case, defines, fake_free_threaded, status, says):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    if fake_free_threaded:
        (tmp_path / "fake").mkdir()
        (tmp_path / "fake" / "sitecustomize.py").write_text(FAKE_FREE_THREADED)
        env["PYTHONPATH"] = str(tmp_path / "fake")
    code, out = configure(tmp_path / "build", *defines, env=env)
    assert code == status, out
    if says:
        assert says in out
    if case == "free-threaded":
        assert "python%s, not python%st" % (THIS, THIS) in out
    else:
        assert ("portable build" in out) == (case != "verified"), out
