"""The binary wheel (scripts/wheels.sh): built from the sdist for manylinux2014, it
holds only the six stripped libraries, their stubs (beside them and in the
stub-only package velora-stubs), typing markers (and a .pth with its finder
module, if there is one); installed into a fresh virtual
environment with no compiler on the PATH (the package from the wheelhouse alone,
its dependencies from the index, all as binaries), it passes the module tests,
which import the libraries from that environment.

Run by the suite for this interpreter's wheel, which it builds; scripts/wheels.sh
--check runs it for the wheels it built (VELORA_WHEELS, separated by os.pathsep)."""
import glob
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src")
HOST = os.path.join(ROOT, "host")
# Every module folder of the source tree: src/velora/<package path>/<module>/
MODULES = sorted({os.path.relpath(os.path.dirname(p), SRC).replace(os.sep, ".")
                  for p in glob.glob(os.path.join(SRC, "velora", "**", "*.cpp"), recursive=True)})
# The module tests, run with the fresh environment's interpreter (the stubs are
# compared with the sources below: mypy's stubtest would find what it finds for
# the project's own build).
MODULE_TESTS = ["tests/velora", "tests/common/test_exports.py"]
# cc, c++, gcc-12, x86_64-linux-gnu-g++-12, clang++, zig, ...
COMPILER = re.compile(r"^(?:.*-)?(?:cc|c\+\+|cpp|gcc|g\+\+|clang|clang\+\+|c89|c99|zig)(?:-[0-9.]+)?$")
GIVEN = [w for w in os.environ.get("VELORA_WHEELS", "").split(os.pathsep) if w]
THIS = "cp%d%d" % sys.version_info[:2]

pytestmark = [
    pytest.mark.skipif(os.environ.get("VELORA_SANITIZE") == "1",
                       reason="the sanitizer run leaves out the wheel test: it builds and installs its own "
                              "uninstrumented wheel, which the normal run has tested"),
    pytest.mark.skipif(not GIVEN and os.environ.get("VELORA_QUICK") == "1",
                       reason="VELORA_QUICK=1 leaves out the wheel test (building the wheel takes minutes); "
                              "the full run or `bash scripts/wheels.sh --check` has it"),
]


def find_python(version):
    """The base interpreter for 'X.Y', looked up as scripts/setup.sh does."""
    pyenv = shutil.which("pyenv")
    if pyenv:
        proot = subprocess.run([pyenv, "root"], capture_output=True, text=True).stdout.strip()
        found = glob.glob(os.path.join(proot, "versions", version + ".*", "bin", "python"))
        key = lambda p: [int(x) if x.isdigit() else 0 for x in p.split(os.sep)[-3].split(".")]
        if found:
            return max(found, key=key)
    found = shutil.which("python" + version)
    if not found and version == "%d.%d" % sys.version_info[:2]:
        found = getattr(sys, "_base_executable", sys.executable)
    return found


@pytest.fixture(scope="module", params=GIVEN or [THIS], ids=os.path.basename)
def wheel(request):
    if GIVEN:
        return os.path.abspath(request.param)
    out = os.path.join(ROOT, "build", "wheel-test")
    result = subprocess.run(["bash", os.path.join(ROOT, "scripts", "wheels.sh"), "--python",
                             "%d.%d" % sys.version_info[:2], "--out", out],
                            capture_output=True, text=True, timeout=3600)
    assert result.returncode == 0, result.stdout + result.stderr
    [path] = glob.glob(os.path.join(out, "velora_native-*-%s-%s-*.whl" % (THIS, THIS)))
    return path


def elf_sections(data):
    """Section names of a 64-bit little-endian ELF image."""
    assert data[:6] == b"\x7fELF\x02\x01"
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
    headers = [struct.unpack_from("<IIQQQQ", data, shoff + i * shentsize) for i in range(shnum)]
    strtab = headers[shstrndx][4]
    return [data[strtab + h[0]:data.index(b"\0", strtab + h[0])].decode() for h in headers]


def test_contents_tag_and_stripped_libraries(wheel):
    name = os.path.basename(wheel)
    # auditwheel's tag and its manylinux2014 alias: glibc 2.17 on x86-64.
    match = re.fullmatch(r"velora_native-[^-]+-(cp3\d+)-\1-([\w.]+)\.whl", name)
    assert match and sorted(match[2].split(".")) == ["manylinux2014_x86_64", "manylinux_2_17_x86_64"], name
    with zipfile.ZipFile(wheel) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
        meta = {n for n in names if re.match(r"velora_native-[^/]+\.dist-info/", n)}
        payload = sorted(set(names) - meta)
        pth = [n for n in payload if "/" not in n and n.endswith(".pth")]
        path = {dotted: dotted.replace(".", "/") for dotted in MODULES}
        libraries = sorted("%s.cpython-%s-x86_64-linux-gnu.so" % (p, match[1][2:]) for p in path.values())
        assert sorted(n for n in payload if n.endswith(".so")) == libraries
        # The stubs beside the libraries and in the stub-only package velora-stubs.
        allowed = set(libraries) | {p + ".pyi" for p in path.values()}
        allowed |= {"velora-stubs" + p[len("velora"):] + ".pyi" for p in path.values()}
        allowed |= {n for n in payload if n.startswith(("velora/", "velora-stubs/")) and n.endswith("py.typed")}
        if pth:  # a .pth that makes the modules findable, and its pure-Python finder
            allowed |= set(pth) | {n for n in payload
                                   if n.endswith(".py") and not (n.startswith("velora/") and n.endswith("__init__.py"))}
        assert [n for n in payload if n not in allowed] == []
        for dotted, p in path.items():  # every stub, as in the sources
            with open(os.path.join(SRC, p, dotted.rsplit(".", 1)[1] + ".pyi"), "rb") as f:
                assert p + ".pyi" in payload and z.read(p + ".pyi") == f.read(), dotted
        for so in libraries:
            sections = elf_sections(z.read(so))
            assert [s for s in sections if s == ".symtab" or s.startswith(".debug")] == [], so


def no_compiler_path(tmp_path, venv):
    """The venv's bin, then every program of the PATH but the compilers and other
    venvs' (as links)."""
    tools = tmp_path / "no-compiler-bin"
    tools.mkdir()
    for d in os.environ.get("PATH", os.defpath).split(os.pathsep):
        if not os.path.isdir(d) or os.path.exists(os.path.join(d, os.pardir, "pyvenv.cfg")):
            continue
        try:
            entries = os.listdir(d)
        except OSError:
            continue
        for entry in entries:
            full = os.path.join(d, entry)
            if not COMPILER.match(entry) and os.access(full, os.X_OK) and not (tools / entry).exists():
                os.symlink(full, tools / entry)
    path = os.pathsep.join([os.path.join(venv, "bin"), str(tools)])
    assert [c for c in ("cc", "c++", "gcc", "g++", "clang", "clang++", "zig") if shutil.which(c, path=path)] == []
    return path


def run(args, env, **kw):
    result = subprocess.run(args, env=env, capture_output=True, text=True, timeout=1800, **kw)
    assert result.returncode == 0, " ".join(args) + "\n" + result.stdout[-20000:] + result.stderr[-20000:]
    return result.stdout


# pytest in the fresh venv, then where every velora module came from.
DRIVER = """
import json, sys, pytest
status = pytest.main(sys.argv[1:])
print("ORIGINS " + json.dumps({n: getattr(m, "__file__", None) for n, m in list(sys.modules.items())
                              if n == "velora" or n.startswith("velora.")}))
sys.exit(int(status))
"""


def test_installs_without_a_compiler_and_passes_the_module_tests(wheel, tmp_path):
    tag = re.search(r"-cp(3)(\d+)-", os.path.basename(wheel))
    base = find_python("%s.%s" % tag.groups())
    assert base, "no interpreter for " + wheel
    venv = str(tmp_path / "venv")
    env = {k: v for k, v in os.environ.items()
           if k not in ("CC", "CXX", "CPP", "LDSHARED", "CFLAGS", "CXXFLAGS", "LDFLAGS", "LD_PRELOAD",
                        "PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "VELORA_WHEELS")}
    subprocess.run([base, "-m", "venv", venv], check=True, env=env)
    env["PATH"] = no_compiler_path(tmp_path, venv)
    python = os.path.join(venv, "bin", "python")
    pip = [python, "-m", "pip", "--disable-pip-version-check", "install", "-q", "--only-binary", ":all:"]

    # The dependencies and the test extra's from the index, as wheels...
    with zipfile.ZipFile(wheel) as z:
        [metadata] = [n for n in z.namelist() if n.endswith(".dist-info/METADATA")]
        lines = z.read(metadata).decode().splitlines()
        records = {n: z.read(n) for n in z.namelist() if n.endswith(".so")}
    requirements = []
    for line in lines:
        if line.startswith("Requires-Dist:"):
            requirement, _, marker = line.split(":", 1)[1].strip().partition(";")
            if not marker.strip() or re.fullmatch(r"""extra\s*==\s*["']test["']""", marker.strip()):
                requirements.append(requirement.strip())
            else:
                assert "extra" in marker, line  # markers of another kind would need evaluating
    assert any(r.startswith("numpy") for r in requirements) and any(r.startswith("pytest") for r in requirements)
    (tmp_path / "requirements.txt").write_text("\n".join(requirements) + "\n")
    run(pip + ["-r", str(tmp_path / "requirements.txt")], env)
    # ...then the package from the wheel's folder only.
    version = os.path.basename(wheel).split("-")[1]
    run(pip + ["--no-index", "--find-links", os.path.dirname(wheel), "velora-native==" + version], env)

    platlib = run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"], env).strip()
    for member, data in records.items():  # the installed libraries are the wheel's
        with open(os.path.join(platlib, member), "rb") as f:
            assert f.read() == data, member

    out = run([python, "-c", DRIVER, "-p", "no:cacheprovider", "-q", *MODULE_TESTS],
              dict(env, PYTHONPATH=HOST), cwd=ROOT)
    origins = json.loads(out.rsplit("ORIGINS ", 1)[1])
    libraries = {n: f for n, f in origins.items() if f and f.endswith(".so")}
    assert sorted(libraries) == MODULES
    assert all(f.startswith(platlib + os.sep) for f in libraries.values()), libraries
    assert [f for f in origins.values() if f and not f.startswith((platlib + os.sep, HOST + os.sep))] == []
    print("module tests: " + out.rsplit("ORIGINS ", 1)[0].strip().splitlines()[-1])
