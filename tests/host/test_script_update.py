import os
import subprocess

import pytest

from velora.tavlo.sdk.script_update import update_bash_file


def read_in_shell(path, name):
    out = subprocess.run(["bash", "-c", '. "$1"; printf %s "${!2}"', "-", path, name],
                         capture_output=True, text=True, check=True)
    return out.stdout


@pytest.mark.parametrize("value", ["plain", "it's", 'a"b$HOME`x`\\n', "u:p&|<>^%"])
def test_value_survives_a_shell(tmp_path, value):
    rc = tmp_path / ".bashrc"
    update_bash_file(["VELORA_LICENSE"], value, path=str(rc))
    assert read_in_shell(str(rc), "VELORA_LICENSE") == value


def test_replaces_earlier_line_and_keeps_the_rest(tmp_path):
    rc = tmp_path / ".bashrc"
    rc.write_text("alias ll='ls -l'\nexport VELORA_LICENSE='old'\n")
    update_bash_file(["VELORA_LICENSE", "velorasdk_env"], "new", path=str(rc))
    update_bash_file(["VELORA_LICENSE"], "newer", path=str(rc))
    lines = rc.read_text().splitlines()
    assert lines[0] == "alias ll='ls -l'"
    assert sum(line.startswith("export VELORA_LICENSE=") for line in lines) == 1
    assert read_in_shell(str(rc), "VELORA_LICENSE") == "newer"
    assert read_in_shell(str(rc), "velorasdk_env") == "new"
    assert [p.name for p in tmp_path.iterdir()] == [".bashrc"]


def test_default_file_follows_home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("SHELL", "/bin/bash")
    assert update_bash_file("X_Y", "1") == os.path.join(str(tmp_path), ".bashrc")


def test_rejects_bad_names(tmp_path):
    with pytest.raises(ValueError):
        update_bash_file(["A;rm"], "v", path=str(tmp_path / "rc"))
