"""The installed `velora` script, run as a user runs it, against the stand-in
bundle tools: sample download, checks, updates and the credential commands."""
import csv
import importlib.util
import io
import os
import subprocess
import sys
import tarfile

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))
HOST = os.path.join(TESTS, *[os.pardir] * 4, "host")
SAMPLE = os.path.join(HOST, "samples", "sample_bundle.tar.gz")
VELORA = os.path.join(os.path.dirname(sys.executable), "velora")

pytestmark = pytest.mark.skipif(not os.path.exists(VELORA), reason="the velora script is not installed")


@pytest.fixture
def velora(tmp_path):
    """Run `velora ...` with a private home and no stored login."""
    home = tmp_path / "home"
    home.mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("VELORA_LICENSE", "velorasdk_env")}
    env.update(HOME=str(home), SHELL="/bin/bash", PYTHONPATH=os.path.abspath(HOST), PYTHONIOENCODING="utf-8")

    def run(*args, input=None, **extra_env):
        # A session of its own: no controlling terminal, so hidden prompts read stdin.
        return subprocess.run([VELORA, *args], env=dict(env, **extra_env), input=input,
                              stdin=subprocess.DEVNULL if input is None else None, capture_output=True,
                              encoding="utf-8", timeout=120, start_new_session=True)

    run.home = home
    return run


def rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))[1:]


def test_help_of_the_group(velora):
    short, long = velora("-h"), velora("--help")
    assert short.returncode == long.returncode == 0 and short.stdout == long.stdout
    for name in ("check-data", "download-data", "license", "shell", "update-data"):
        assert name in short.stdout


def test_update_data_without_options_prints_help_and_succeeds(velora):
    result = velora("update-data")
    assert result.returncode == 0
    assert result.stdout.startswith("Usage:  [OPTIONS]\n")
    unwrapped = "".join(result.stdout.split())  # the long path is wrapped over lines
    assert "bundle目录，默认为" + str(velora.home / ".velora") in unwrapped


def test_sample_download_check_and_update(velora, tmp_path):
    target = tmp_path / "data"
    day_bars = target / "bundle" / "day_bars" / "000001.XSHE.csv"
    minbar = target / "bundle" / "minbar" / "000001.XSHE.csv"

    assert velora("download-data", "-d", str(target), "--sample", "-f", SAMPLE).returncode == 0
    sample_days = [r[0] for r in rows(day_bars)]
    assert len(sample_days) == 5 and len(rows(minbar)) == 5 * 240

    checked = velora("check-data", "-d", str(target))
    assert checked.returncode == 0
    assert checked.stdout.index("minbar: 1 files checked, 0 with problems") < checked.stdout.index("day_bars: 10 files")

    # The data service needs a login.
    assert velora("update-data", "-d", str(target), "--base").returncode == 1
    assert velora("license", "-u", "bob", "-p", "pw").returncode == 0
    assert (velora.home / ".bashrc").read_text() == "export VELORA_LICENSE='bob:pw'\n"

    updated = velora("update-data", "-d", str(target), "--smart", "--tick", "JD", "-c", "2", VELORA_LICENSE="bob:pw")
    assert updated.returncode == 0, updated.stdout
    days = [r[0] for r in rows(day_bars)]
    assert days[:5] == sample_days and len(days) == 9 and days == sorted(days)
    assert len(rows(minbar)) == 9 * 240
    assert len(rows(target / "bundle" / "tick" / "JD2409.XDCE.csv")) == 9 * 480

    # The tick check runs before the next update and finds the ticks sound.
    again = velora("update-data", "-d", str(target), "--tick", "nonsense", VELORA_LICENSE="bob:pw")
    assert again.returncode == 1
    assert again.stdout.index("tick: 2 files checked, 0 with problems") < again.stdout.index("nonsense")


def test_check_data_reports_a_broken_day_bar_file(velora, tmp_path):
    velora("download-data", "-d", str(tmp_path), "-f", SAMPLE)
    broken = tmp_path / "bundle" / "day_bars" / "600000.XSHG.csv"
    broken.write_text(broken.read_text().replace("\n2024-01-03,", "\n2024-01-01,", 1))
    result = velora("check-data", "-d", str(tmp_path), "--daybar")
    assert result.returncode == 0
    assert "minbar" not in result.stdout
    assert "day_bars: 10 files checked, 1 with problems" in result.stdout


def test_download_refuses_members_outside_the_bundle(velora, tmp_path):
    archive = tmp_path / "evil.tar"
    with tarfile.open(archive, "w") as tar:
        for name in ("bundle/instruments.csv", "bundle/../../escaped.txt"):
            info = tarfile.TarInfo(name)
            info.size = 2
            tar.addfile(info, io.BytesIO(b"x\n"))
    target = tmp_path / "data"
    result = velora("download-data", "-d", str(target), "-f", str(archive))
    assert result.returncode == 0 and "outside the bundle" in result.stdout
    assert not (tmp_path / "escaped.txt").exists() and not (target / "bundle").exists()


def test_license_prompts_and_show(velora):
    interrupted = velora("license", "--env", "uat")
    assert interrupted.returncode == 1 and "Aborted" in interrupted.stderr
    assert not (velora.home / ".bashrc").exists()

    entered = velora("license", "--env", "uat", input="carl\nsecret\n")
    assert entered.returncode == 0
    assert entered.stdout.endswith("当前 velorasdk_env 已设置为 uat\n请重启当前的 terminal \n")
    assert (velora.home / ".bashrc").read_text() == "export VELORA_LICENSE='carl:secret'\nexport velorasdk_env='uat'\n"

    shown = velora("license", "--show", VELORA_LICENSE="ann:p:w", velorasdk_env="inner")
    assert shown.stdout.splitlines() == ["用户名: ann", "密码: p:w", "当前环境: inner"]


@pytest.mark.skipif(importlib.util.find_spec("IPython") is not None, reason="IPython is installed")
def test_shell_without_ipython(velora):
    result = velora("shell")
    assert result.returncode == 0 and result.stdout == "请安装ipython:pip install ipython\n"
