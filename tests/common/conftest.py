"""Builds the frame's probe module (tests/common/probe) for the frame's own tests."""
import glob
import importlib.util
import os
import subprocess
import sys
import sysconfig

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def _build_probe():
    # Under scripts/sanitize.sh (VELORA_SANITIZE=1) the probe is instrumented too,
    # in a build directory of its own; the build tools run without the preloaded
    # sanitizer runtime.
    sanitize = os.environ.get("VELORA_SANITIZE") == "1"
    portable = os.environ.get("VELORA_PORTABLE") == "1"
    build = os.path.join(ROOT, "build", "%s%sprobe-%d.%d" % ("sanitize-" if sanitize else "",
                                                             "portable-" if portable else "",
                                                             sys.version_info[0], sys.version_info[1]))
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    bindir = os.path.dirname(sys.executable)
    cmake = os.path.join(bindir, "cmake")
    if not os.path.exists(cmake):
        cmake = "cmake"
    import pybind11

    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        flags = "-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
        subprocess.run(
            [cmake, "-S", os.path.join(HERE, "probe"), "-B", build, "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=" + ("RelWithDebInfo" if sanitize else "Release"),
             "-DCMAKE_MAKE_PROGRAM=" + os.path.join(bindir, "ninja"),
             "-Dpybind11_DIR=" + pybind11.get_cmake_dir(),
             "-DPython_EXECUTABLE=" + sys.executable,
             "-DVELORA_PORTABLE=" + ("ON" if portable else "OFF")]
            + (["-DCMAKE_CXX_FLAGS=" + flags, "-DCMAKE_MODULE_LINKER_FLAGS=" + flags,
                "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"] if sanitize else []),
            check=True, stdout=subprocess.DEVNULL, env=env)
    subprocess.run([cmake, "--build", build], check=True, stdout=subprocess.DEVNULL, env=env)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    return glob.glob(os.path.join(build, "frame_probe" + suffix))[0]


@pytest.fixture(scope="session")
def probe_path():
    # One build at a time: the suite's workers (pytest -n) share the build directory.
    import fcntl

    os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    with open(os.path.join(ROOT, "build", ".probe.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        return _build_probe()


def load_probe(path, name="frame_probe"):
    """A fresh instance of the probe module, executed from the shared library."""
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def probe(probe_path):
    return load_probe(probe_path)


@pytest.fixture
def new_probe(probe_path):
    """Makes a further fresh instance of the probe module at each call.  (A fixture
    rather than an import of this file: pytest runs with other test directories'
    conftest files, and `import conftest` would find whichever came first.)"""
    return lambda: load_probe(probe_path)
