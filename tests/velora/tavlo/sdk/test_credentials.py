import inspect
import os

import pytest

import velora.tavlo.sdk.credentials as credentials
from velora.tavlo.sdk.credentials import get_license_info, set_to_environ

from compiled_docs import compiled_doc

NOT_CONFIGURED = "当前环境未配置用户名和密码\n"


@pytest.fixture
def env(monkeypatch):
    monkeypatch.delenv("VELORA_LICENSE", raising=False)
    return monkeypatch


def test_module_surface():
    assert [k for k in vars(credentials) if not k.startswith("__")] == [
        "os", "sys", "click", "update_bash_file", "get_license_info", "set_to_environ"]
    assert get_license_info.__doc__ == "从license获取账户的相关信息"
    assert set_to_environ.__doc__ == compiled_doc("将变量设置到环境变量\n    :param variable_name: string\n    :param value: string\n    ")
    assert str(inspect.signature(get_license_info)) == "(license_name='VELORA_LICENSE')"
    assert str(inspect.signature(set_to_environ)) == "(variables, value)"


@pytest.mark.parametrize(
    "stored, expected",
    [
        ("alice:secret", ("alice", "secret")),
        ("alice:se:cr:et", ("alice", "se:cr:et")),
        ("alice:", ("alice", "")),
        (":secret", ("", "secret")),
    ],
)
def test_reads_user_and_password(env, capsys, stored, expected):
    env.setenv("VELORA_LICENSE", stored)
    assert get_license_info() == expected
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("stored", [None, "", "no-colon-at-all"])
def test_not_configured(env, capsys, stored):
    if stored is not None:
        env.setenv("VELORA_LICENSE", stored)
    assert get_license_info() == (None, None)
    assert capsys.readouterr().out == NOT_CONFIGURED


def test_other_variable_name(env):
    env.setenv("OTHER_LICENSE", "bob:pw")
    assert get_license_info("OTHER_LICENSE") == ("bob", "pw")
    assert get_license_info(license_name="OTHER_LICENSE") == ("bob", "pw")


@pytest.mark.parametrize("call", [lambda: get_license_info("A", "B"), lambda: set_to_environ("A"),
                                  lambda: set_to_environ("A", "b", "c"), lambda: get_license_info(name="A")])
def test_wrong_calls(call):
    with pytest.raises(TypeError):
        call()


@pytest.fixture
def windows(env):
    commands, runs = [], []
    env.setattr(credentials.sys, "platform", "win32")
    env.setattr(credentials.os, "popen", lambda command: commands.append(command))
    import subprocess

    env.setattr(subprocess, "run", lambda args, **kw: runs.append((args, kw)))
    return commands, runs


def test_windows_single_license(windows, env, capsys):
    commands, runs = windows
    env.delenv("VELORA_LICENSE", raising=False)
    assert set_to_environ("VELORA_LICENSE", "user:pw9") is None
    assert commands == ['setx VELORA_LICENSE "user:pw9" '] and runs == []
    assert os.environ["VELORA_LICENSE"] == "user:pw9"
    assert capsys.readouterr().out == "当前 velora license 已设置为 user:pw9\n请重启当前的 terminal \n"


def test_windows_list_of_names_in_order(windows, env, capsys):
    commands, _ = windows
    env.delenv("A_1", raising=False)
    env.delenv("B_2", raising=False)
    set_to_environ(["A_1", "B_2"], "v")
    assert commands == ['setx A_1 "v" ', 'setx B_2 "v" ']
    assert os.environ["A_1"] == os.environ["B_2"] == "v"
    assert capsys.readouterr().out.splitlines()[0] == "当前 ['A_1', 'B_2'] 已设置为 v"


@pytest.mark.parametrize("value", ['u:p"&calc', "u:p|x", "u:p>f", "u:p^%PATH%", "u: p"])
def test_windows_unsafe_values_bypass_the_shell(windows, env, value):
    commands, runs = windows
    env.delenv("VELORA_LICENSE", raising=False)
    set_to_environ("VELORA_LICENSE", value)
    assert commands == []
    assert [args for args, _ in runs] == [("setx", "VELORA_LICENSE", value)]
    assert os.environ["VELORA_LICENSE"] == value


def test_elsewhere_update_bash_file_once_with_the_list(env, capsys):
    calls = []
    env.setattr(credentials, "update_bash_file", lambda names, value: calls.append((names, value)))
    env.setattr(credentials.sys, "platform", "linux")
    env.delenv("velorasdk_env", raising=False)
    set_to_environ("velorasdk_env", "prod")
    assert calls == [(["velorasdk_env"], "prod")]
    assert os.environ["velorasdk_env"] == "prod"
    assert capsys.readouterr().out == "当前 velorasdk_env 已设置为 prod\n请重启当前的 terminal \n"


LONE_SURROGATE = b"\xe9".decode("utf-8", "surrogateescape")


# Whatever the str, the route to setx is chosen without an exception: ASCII letters,
# digits (and "_" in names, ":" in values) go through the command template, any
# other text as an argument list; the process environment is set either way.
@pytest.mark.parametrize(
    "name, value, through_shell",
    [
        ("VELORA_LICENSE", "user:pa" + LONE_SURROGATE + "ss", False),
        ("VELORA_LICENSE", "usér:pässwörd", False),
        ("VELORA_LICENSE", "user:٣²", False),
        ("VELORA_LICENSE", "", False),
        ("NAME_" + LONE_SURROGATE, "user:pw", False),
        ("NÄME", "user:pw", False),
        ("VELORA_LICENSE", "u:" + "p9" * 50000, True),
    ],
)
def test_windows_route_for_any_str(windows, env, name, value, through_shell):
    commands, runs = windows
    env.delenv(name, raising=False)
    set_to_environ(name, value)
    if through_shell:
        assert commands == ['setx %s "%s" ' % (name, value)] and runs == []
    else:
        assert commands == [] and [args for args, _ in runs] == [("setx", name, value)]
    assert os.environ[name] == value
