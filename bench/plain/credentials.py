"""The user's data-service login in environment variables, in plain Python: the
same behaviour as the native velora.tavlo.sdk.credentials."""
import os
import subprocess
import sys
import click
from velora.tavlo.sdk.script_update import update_bash_file

_NAME_CHARS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")
_VALUE_CHARS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789:")


def get_license_info(license_name="VELORA_LICENSE"):
    """从license获取账户的相关信息"""
    license = os.environ.get(license_name)
    if license:
        colon = license.find(":")
        # A value without a colon was never written by `velora license`.
        if colon != -1:
            user = license[:colon]
            pw = license[license.find(":") + 1:]
            return user, pw
    click.echo("当前环境未配置用户名和密码")
    return None, None


def _plain(text, allowed):
    return isinstance(text, str) and bool(text) and all(c in allowed for c in text)


def set_to_environ(variables, value):
    """将变量设置到环境变量
    :param variable_name: string
    :param value: string
    """
    var_name = "velora license" if variables == "VELORA_LICENSE" else variables
    if not isinstance(variables, list):
        variables = [variables]
    if sys.platform.startswith("win"):
        for name in variables:
            # Through the command interpreter only when it cannot read the text as syntax.
            if _plain(name, _NAME_CHARS) and _plain(value, _VALUE_CHARS):
                os.popen('setx {variable_name} "{value}" '.format(variable_name=name, value=value))
            else:
                subprocess.run(("setx", name, value), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    else:
        update_bash_file(variables, value)
    for name in variables:
        os.environ[name] = value
    click.echo("当前 {var_name} 已设置为 {value}".format(var_name=var_name, value=value))
    click.echo("请重启当前的 terminal ")
