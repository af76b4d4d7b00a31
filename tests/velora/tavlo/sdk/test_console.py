"""The `velora` command group, driven through click's test runner.

The framework workers are replaced by recorders, so these tests see exactly what
each command calls, in which order and with which arguments."""
import os
import sys
import types

import click
import pytest
from click.testing import CliRunner

from velora.tavlo.alpha import bundle
from velora.tavlo.alpha.utils import scripts
from velora.tavlo.console import bundle as console_bundle
from velora.tavlo.sdk import console, const
from velora.tavlo.utils import login

from compiled_docs import compiled_doc

SET = "当前 {} 已设置为 {}"
RESTART = "请重启当前的 terminal "


@pytest.fixture(autouse=True)
def isolated(tmp_path, monkeypatch):
    """A private home and environment: nothing reaches the user's own."""
    saved = dict(os.environ)
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("SHELL", "/bin/bash")
    for name in ("VELORA_LICENSE", "velorasdk_env"):
        os.environ.pop(name, None)
    yield home
    os.environ.clear()
    os.environ.update(saved)


class Workers:
    """Records every call of the framework functions the data commands import."""

    def __init__(self, monkeypatch):
        self.calls = []
        self.results = {}
        for module, name in [
            (login, "init_wux"),
            (bundle, "update_bundle_from_pormex"),
            (bundle, "update_bundle_from_exist_file"),
            (bundle, "check_min_bar_data"),
            (bundle, "download_simple_bundle"),
            (scripts, "check_tick"),
            (console_bundle, "check_bundle_data"),
        ]:
            monkeypatch.setattr(module, name, self._recorder(name))

    def _recorder(self, name):
        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            result = self.results.get(name)
            if isinstance(result, BaseException):
                raise result
            return result

        return record

    def names(self):
        return [name for name, _, _ in self.calls]


@pytest.fixture
def workers(monkeypatch):
    return Workers(monkeypatch)


def run(args, **kwargs):
    return CliRunner().invoke(console.cli, args, **kwargs)


# --- the group, the module body and the help texts ------------------------------

def test_commands_are_registered_in_order_as_module_attributes():
    assert isinstance(console.cli, click.Group)
    assert list(console.cli.commands) == ["license", "shell", "update-data", "check-data", "download-data"]
    for name in ("license", "shell", "update_data", "check_data", "download_data"):
        command = getattr(console, name)
        assert isinstance(command, click.Command)
        assert console.cli.commands[name.replace("_", "-")] is command
        assert command.callback.__name__ == name
    assert console.DEFAULT_BUNDLE_PATH is const.DEFAULT_BUNDLE_PATH
    assert console.CONCERNED_PACKAGES is const.CONCERNED_PACKAGES


def test_group_answers_h_and_help_but_commands_only_help():
    short, long = run(["-h"]), run(["--help"])
    assert short.exit_code == long.exit_code == 0
    assert short.output == long.output
    assert "输入 velora [COMMAND] --help 查看命令详情" in short.output
    assert "-h, --help" in short.output
    assert run(["download-data", "-h"]).exit_code == 2
    assert run(["download-data", "--help"]).exit_code == 0


@pytest.mark.parametrize("name, doc", [
    ("cli", "\n    输入 velora [COMMAND] --help 查看命令详情\n    例如：velora update-data --help\n    "),
    ("shell", "打开 ipython 并执行 wux.init"),
    ("check_data", "\n        检查bundle中的数据是否正确\n    "),
    ("download_data", "\n    下载样例回测数据。\n    下载样例数据不使用velora流量。\n    "),
    ("update_data", "\n    更新运行回测所需的历史数据\n\n    \b\n    例如：\n"
                    "    * 更新日线数据： velora update-data --base\n"
                    "    * 更新股票、期权分钟数据： velora update-data --minbar stock --minbar option\n"
                    "    * 更新鸡蛋期货合约tick数据： velora update-data --tick JD\n"
                    "    * 更新豆粕1905及其合约的衍生品tick数据： velora update-data --tick M1905 --with-derivatives\n"
                    "    * 更新已下载的分钟线和tick数据： velora update-data --smart\n    "),
    ("license", "\n    配置 velora 用户名和密码到环境变量\n\n    velora license 进入交互模式\n"
                "    velora license -u [USERNAME] -p [PASSWORD] 配置当前环境的用户名和密码\n"
                "    velora license --show 显示配置的用户名和密码\n"
                "    velora license --env 配置velora使用环境，互联网环境无需配置\n"
                "    例如: velora license -u [user] -p [password]\n\n    "),
])
def test_documentation_strings(name, doc):
    assert getattr(console, name).callback.__doc__ == compiled_doc(doc)


def declared_default(param):
    # Newer click marks "no default given" with a sentinel instead of None.
    return None if param.default is None or repr(param.default).endswith("UNSET") else param.default


def options(command):
    return [(p.name, p.opts, p.is_flag, p.multiple, declared_default(p), p.help) for p in command.params]


def test_option_tables():
    bundle_path = "bundle 目录，默认为 " + const.DEFAULT_BUNDLE_PATH
    tags = "[" + ", ".join(const.TAG_MAP) + "]"
    assert options(console.update_data) == [
        ("data_bundle_path", ["-d", "--data-bundle-path"], False, False, const.DEFAULT_BUNDLE_PATH, bundle_path),
        ("base", ["--base"], True, False, False, "更新基础数据及日线，注意：任何回测都需要依赖基础数据"),
        ("minbar", ["--minbar"], False, True, None, "更新分钟线数据，可选的参数值有 " + tags + " 或 underlying_symbol 或 market_code"),
        ("tick", ["--tick"], False, True, None, "更新tick数据，可选的参数值有 " + tags + " 或 underlying_symbol 或 market_code"),
        ("with_derivatives", ["--with-derivatives"], True, False, False, "更新分钟线和 tick 时同时更新选择的合约的衍生品数据"),
        ("concurrency", ["-c", "--concurrency"], False, False, 3, "并行的线程数量，需要低于 pormex 的最大可用连接数"),
        ("smart", ["--smart"], True, False, False, "检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据"),
        ("rebuild", ["--rebuild"], True, False, False, "将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效"),
    ]
    assert options(console.check_data) == [
        ("data_bundle_path", ["-d", "--data-bundle-path"], False, False, const.DEFAULT_BUNDLE_PATH, bundle_path),
        ("minbar", ["--minbar"], True, False, False, "检查分钟数据是否异常"),
        ("daybar", ["--daybar"], True, False, False, "检查日线数据是否异常"),
    ]
    assert [o[:3] + o[5:] for o in options(console.download_data)] == [
        ("data_bundle_path", ["-d", "--data-bundle-path"], False, bundle_path),
        ("sample", ["--sample"], True, "下载数据样例"),
        ("file_path", ["-f", "--file-path"], False, "指定的压缩文件包"),
    ]
    assert [o[:3] + o[5:] for o in options(console.license)] == [
        ("username", ["-username", "-u"], False, "用户名"),
        ("password", ["--password", "-p"], False, "密码"),
        ("env", ["--env"], False, "环境"),
        ("show", ["--show"], True, None),
    ]
    assert console.license.params[1].hide_input is True
    assert [p.type for p in console.update_data.params[2:4]] == [click.STRING, click.STRING]
    assert console.update_data.params[5].type is click.INT
    path_type = console.update_data.params[0].type
    assert isinstance(path_type, click.Path) and not path_type.file_okay and path_type.dir_okay


def test_update_data_help_lists_options_in_order_and_keeps_examples_unwrapped():
    result = run(["update-data", "--help"], terminal_width=400, max_content_width=400)
    assert result.exit_code == 0
    lines = result.output.splitlines()
    starts = [line.split()[0] for line in lines if line.startswith("  -")]
    assert starts == ["-d,", "--base", "--minbar", "--tick", "--with-derivatives", "-c,", "--smart", "--rebuild", "--help"]
    assert any(line.endswith("bundle 目录，默认为 " + const.DEFAULT_BUNDLE_PATH) for line in lines)
    assert sum(("[" + ", ".join(const.TAG_MAP) + "]") in line for line in lines) == 2
    examples = [line.strip() for line in lines if line.strip().startswith("* ")]
    assert len(examples) == 5
    assert examples[0] == "* 更新日线数据： velora update-data --base"


def test_data_commands_load_and_show_help_without_the_framework(monkeypatch, workers, tmp_path):
    monkeypatch.setitem(sys.modules, "velora.tavlo.alpha.bundle", None)
    assert run(["download-data", "--help"]).exit_code == 0
    result = run(["download-data", "-d", str(tmp_path)])
    assert isinstance(result.exception, ImportError)


# --- update-data -------------------------------------------------------------------

@pytest.mark.parametrize("args", [[], ["--with-derivatives"], ["--rebuild", "-c", "5"], ["-d", "somewhere"]])
def test_update_data_with_nothing_to_update_shows_help(workers, args):
    runner = CliRunner()
    result = runner.invoke(console.cli, ["update-data"] + args, standalone_mode=False)
    assert result.exit_code == 0 and result.return_value == 1
    assert workers.names() == ["init_wux"]
    assert workers.calls[0][1:] == ((), {})
    with runner.isolation():  # the same help width as inside the run
        expected = console.update_data.get_help(click.Context(console.update_data))
    assert expected.startswith("Usage:  [OPTIONS]\n")
    assert result.output == expected + "\n"


def test_update_data_help_path_logs_in_first(workers):
    workers.results["init_wux"] = RuntimeError("no service")
    result = run(["update-data"])
    assert isinstance(result.exception, RuntimeError) and result.output == ""


def test_update_data_finds_its_command_through_the_module(monkeypatch, workers):
    command = console.update_data
    monkeypatch.setattr(console, "update_data", click.Command("replacement", help="the replacement's help"))
    result = CliRunner().invoke(command, [])
    assert "the replacement's help" in result.output
    assert "更新运行回测所需的历史数据" not in result.output


@pytest.mark.parametrize("args, positional, rebuild", [
    (["--minbar", "stock", "--minbar", "option"], (3, False, ("stock", "option"), (), False), False),
    (["--base"], (3, True, (), (), False), False),
    (["--tick", "JD", "--with-derivatives", "--rebuild", "-c", "7"], (7, False, (), ("JD",), True), True),
])
def test_update_data_arguments(workers, tmp_path, args, positional, rebuild):
    workers.results["update_bundle_from_pormex"] = True
    result = run(["update-data", "-d", str(tmp_path)] + args)
    assert result.exit_code == 0, result.output
    concurrency, base, minbar, tick, derivatives = positional
    assert workers.calls == [
        ("init_wux", (), {}),
        ("update_bundle_from_pormex", (concurrency, str(tmp_path), base, minbar, tick, derivatives), {"rebuild": rebuild}),
    ]


def test_update_data_checks_ticks_first_when_the_bundle_exists(workers, tmp_path):
    (tmp_path / "bundle").mkdir()
    workers.results["update_bundle_from_pormex"] = True
    assert run(["update-data", "-d", str(tmp_path), "--base"]).exit_code == 0
    assert workers.names() == ["init_wux", "check_tick", "update_bundle_from_pormex"]
    assert workers.calls[1][1] == (os.path.join(str(tmp_path), "bundle"),)


@pytest.mark.parametrize("updated, refreshed, exit_code", [
    (True, True, 0), (False, True, 1), (True, False, 1), (False, False, 1), (True, None, 1), ("yes", 1, 0),
])
def test_update_data_smart_fails_when_either_update_fails(workers, tmp_path, updated, refreshed, exit_code):
    workers.results.update(update_bundle_from_pormex=updated, update_bundle_from_exist_file=refreshed)
    result = run(["update-data", "-d", str(tmp_path), "--smart"])
    assert result.exit_code == exit_code
    assert workers.calls[1:] == [
        ("update_bundle_from_pormex", (3, str(tmp_path), False, (), (), False), {"rebuild": False}),
        ("update_bundle_from_exist_file", (3, str(tmp_path)), {}),
    ]


@pytest.mark.parametrize("result_value", [False, None, 0, ""])
def test_update_data_failure_exits_with_status_1(workers, tmp_path, result_value):
    workers.results["update_bundle_from_pormex"] = result_value
    result = run(["update-data", "-d", str(tmp_path), "--base"])
    assert result.exit_code == 1 and result.output == ""
    assert "update_bundle_from_exist_file" not in workers.names()


def test_update_data_worker_exceptions_propagate(workers, tmp_path):
    workers.results["update_bundle_from_pormex"] = KeyError("boom")
    result = run(["update-data", "-d", str(tmp_path), "--base", "--smart"])
    assert isinstance(result.exception, KeyError)
    assert "update_bundle_from_exist_file" not in workers.names()


@pytest.mark.parametrize("args", [["-c", "three", "--base"], ["--unknown"], ["-d", __file__, "--base"]])
def test_update_data_option_errors_stop_before_the_command(workers, args):
    assert run(["update-data"] + args).exit_code == 2
    assert workers.calls == []


# --- check-data and download-data ----------------------------------------------

@pytest.mark.parametrize("flags, checks", [
    ([], ["check_min_bar_data", "check_bundle_data"]),
    (["--minbar"], ["check_min_bar_data"]),
    (["--daybar"], ["check_bundle_data"]),
    (["--daybar", "--minbar"], ["check_min_bar_data", "check_bundle_data"]),
])
def test_check_data(workers, tmp_path, flags, checks):
    workers.results["check_bundle_data"] = False
    result = run(["check-data", "-d", str(tmp_path)] + flags)
    assert result.exit_code == 0
    arguments = {"check_min_bar_data": (str(tmp_path),), "check_bundle_data": (os.path.join(str(tmp_path), "bundle"),)}
    assert workers.calls == [(name, arguments[name], {}) for name in checks]


@pytest.mark.parametrize("flags, sample, file_path", [
    ([], False, None),
    (["--sample", "-f", "data/sample.tar.gz"], True, "data/sample.tar.gz"),
    (["--file-path", "x.zip"], False, "x.zip"),
])
def test_download_data_returns_what_the_worker_returns(workers, tmp_path, flags, sample, file_path):
    workers.results["download_simple_bundle"] = marker = object()
    result = run(["download-data", "-d", str(tmp_path)] + flags, standalone_mode=False)
    assert result.return_value is marker
    assert workers.calls == [("download_simple_bundle", (str(tmp_path),), {"sample": sample, "file_path": file_path})]


def test_download_data_function_defaults(workers):
    console.download_data.callback("somewhere")
    assert workers.calls == [("download_simple_bundle", ("somewhere",), {"sample": True, "file_path": None})]
    with pytest.raises(TypeError):
        console.download_data.callback()


# --- license -------------------------------------------------------------------------

def test_license_stores_credential_then_environment(isolated):
    result = run(["license", "-u", "bob", "-p", "s3cret", "--env", "dev"])
    assert result.exit_code == 0
    assert result.output.splitlines() == [
        SET.format("velora license", "bob:s3cret"), RESTART, SET.format("velorasdk_env", "dev"), RESTART]
    assert os.environ["VELORA_LICENSE"] == "bob:s3cret" and os.environ["velorasdk_env"] == "dev"
    bashrc = (isolated / ".bashrc").read_text().splitlines()
    assert bashrc == ["export VELORA_LICENSE='bob:s3cret'", "export velorasdk_env='dev'"]


@pytest.mark.parametrize("env_args, stored", [
    ([], None), (["--env", "prod"], None), (["--env", "DEV"], None), (["--env", ""], None),
    (["--env", "test"], "test"), (["--env", "inner"], "inner"), (["--env", "uat"], "uat"),
])
def test_license_stores_only_known_environments(monkeypatch, env_args, stored):
    written = []
    monkeypatch.setattr(console, "set_to_environ", lambda name, value: written.append((name, value)))
    result = run(["license", "-username", "ann", "--password", "pw"] + env_args)
    assert result.exit_code == 0 and result.output == ""
    assert written == [("VELORA_LICENSE", "ann:pw")] + ([("velorasdk_env", stored)] if stored else [])


def test_license_prompts_for_what_is_missing():
    both = run(["license"], input="bob\nsecret\n")
    assert both.output.splitlines() == [
        "请输入用户名: bob", "请输入密码: ", SET.format("velora license", "bob:secret"), RESTART]
    password_only = run(["license", "-u", "ann"], input="pw\n")
    assert password_only.output.splitlines() == ["请输入密码: ", SET.format("velora license", "ann:pw"), RESTART]
    assert os.environ["VELORA_LICENSE"] == "ann:pw"


@pytest.mark.parametrize("args", [["-u", "", "-p", "x"], ["-u", "bob", "-p", ""], ["-u", "", "-p", "", "--env", "dev"]])
def test_license_refuses_empty_user_or_password(isolated, args):
    result = run(["license"] + args)
    assert result.exit_code == 0
    assert result.output == "用户名和密码均不能为空\n"
    assert "VELORA_LICENSE" not in os.environ and "velorasdk_env" not in os.environ
    assert not (isolated / ".bashrc").exists()


@pytest.mark.parametrize("license, env, lines", [
    (None, None, ["当前环境未配置用户名和密码"]),
    (None, "dev", ["当前环境未配置用户名和密码", "当前环境: dev"]),
    ("", "prod", ["当前环境未配置用户名和密码"]),
    ("bob:se:cret", "uat", ["用户名: bob", "密码: se:cret", "当前环境: uat"]),
    ("bob:pw", "", ["用户名: bob", "密码: pw"]),
    ("bob:", "test", ["当前环境: test"]),
    (":pw", None, []),
])
def test_license_show(license, env, lines):
    for name, value in (("VELORA_LICENSE", license), ("velorasdk_env", env)):
        if value is not None:
            os.environ[name] = value
    result = run(["license", "--show"], input="")
    assert result.exit_code == 0
    assert result.output.splitlines() == lines


def test_license_show_ignores_values_and_writes_nothing(isolated):
    os.environ["VELORA_LICENSE"] = "bob:pw"
    result = run(["license", "--show", "-u", "eve", "-p", "x", "--env", "dev"])
    assert result.output.splitlines() == ["用户名: bob", "密码: pw"]
    assert os.environ["VELORA_LICENSE"] == "bob:pw" and "velorasdk_env" not in os.environ
    assert not (isolated / ".bashrc").exists()


def test_license_failed_store_writes_no_environment(monkeypatch):
    written = []

    def failing(name, value):
        written.append(name)
        raise OSError("read-only")

    monkeypatch.setattr(console, "set_to_environ", failing)
    result = run(["license", "-u", "bob", "-p", "pw", "--env", "dev"])
    assert isinstance(result.exception, OSError) and written == ["VELORA_LICENSE"]


# --- shell ---------------------------------------------------------------------------

def fake_ipython(monkeypatch, embed=None):
    module = types.ModuleType("IPython")
    if embed is not None:
        module.embed = embed
    monkeypatch.setitem(sys.modules, "IPython", module)


def test_shell_embeds_ipython_in_the_module_namespace(monkeypatch):
    seen = []

    def embed(*args, **kwargs):
        seen.append((args, kwargs, sys._getframe(1).f_globals is vars(console)))

    fake_ipython(monkeypatch, embed)
    result = run(["shell"])
    assert result.exit_code == 0 and result.output == ""
    assert seen == [((), {}, True)]


@pytest.mark.parametrize("without", ["package", "embed"])
def test_shell_without_ipython(monkeypatch, without):
    if without == "package":
        monkeypatch.setitem(sys.modules, "IPython", None)
    else:
        fake_ipython(monkeypatch)
    result = run(["shell"])
    assert result.exit_code == 0
    assert result.output == "请安装ipython:pip install ipython\n"


def test_shell_honours_a_replaced_import(monkeypatch):
    real_import = __import__

    def refuse(name, *args, **kwargs):
        if name == "IPython":
            raise ImportError("blocked")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr("builtins.__import__", refuse)
    assert run(["shell"]).output == "请安装ipython:pip install ipython\n"


def test_shell_lets_other_errors_through(monkeypatch):
    def embed():
        raise RuntimeError("shell crashed")

    fake_ipython(monkeypatch, embed)
    result = run(["shell"])
    assert isinstance(result.exception, RuntimeError)
    broken = types.ModuleType("IPython")
    broken.__getattr__ = lambda name: 1 / 0
    monkeypatch.setitem(sys.modules, "IPython", broken)
    assert isinstance(run(["shell"]).exception, ZeroDivisionError)
