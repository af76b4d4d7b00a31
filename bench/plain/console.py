"""The `velora` command line, in plain Python: the same behaviour as the native
velora.tavlo.sdk.console."""
import os
import sys
import click
from velora.tavlo.sdk.const import DEFAULT_BUNDLE_PATH, TAG_MAP, CONCERNED_PACKAGES
from velora.tavlo.sdk.credentials import get_license_info, set_to_environ

_ENVIRONMENTS = ["test", "inner", "dev", "uat"]


@click.group()
@click.help_option("-h", "--help")
def cli():
    """
    输入 velora [COMMAND] --help 查看命令详情
    例如：velora update-data --help
    """


@cli.command()
@click.option("-username", "-u", help="用户名")
@click.option("--password", "-p", help="密码", hide_input=True)
@click.option("--env", help="环境")
@click.option("--show", is_flag=True)
def license(username, password, show, env):
    """
    配置 velora 用户名和密码到环境变量

    velora license 进入交互模式
    velora license -u [USERNAME] -p [PASSWORD] 配置当前环境的用户名和密码
    velora license --show 显示配置的用户名和密码
    velora license --env 配置velora使用环境，互联网环境无需配置
    例如: velora license -u [user] -p [password]

    """
    if show:
        user, pw = get_license_info()
        if user and pw:
            click.echo("用户名: " + format(user))
            click.echo("密码: " + format(pw))
        ENV = os.getenv("velorasdk_env")
        if ENV and ENV in _ENVIRONMENTS:
            click.echo("当前环境: " + format(ENV))
        return
    if username is None:
        username = click.prompt("请输入用户名", type=str)
    if password is None:
        password = click.prompt("请输入密码", type=str, hide_input=True)
    # No credential without a user name or a password is ever written.
    if not username or not password:
        click.echo("用户名和密码均不能为空")
        return
    set_to_environ("VELORA_LICENSE", username + ":" + password)
    if env in _ENVIRONMENTS:
        set_to_environ("velorasdk_env", env)


@cli.command()
def shell():
    """打开 ipython 并执行 wux.init"""
    try:
        from IPython import embed
    except ImportError:
        click.echo("请安装ipython:pip install ipython")
        return
    embed()


@cli.command()
@click.option("-d", "--data-bundle-path", default=DEFAULT_BUNDLE_PATH, type=click.Path(file_okay=False),
              help="bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH))
@click.option("--base", default=False, is_flag=True, help="更新基础数据及日线，注意：任何回测都需要依赖基础数据")
@click.option("--minbar", multiple=True, type=click.STRING,
              help="更新分钟线数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code".format(", ".join(TAG_MAP)))
@click.option("--tick", multiple=True, type=click.STRING,
              help="更新tick数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code".format(", ".join(TAG_MAP)))
@click.option("--with-derivatives", default=False, is_flag=True, help="更新分钟线和 tick 时同时更新选择的合约的衍生品数据")
@click.option("-c", "--concurrency", type=click.INT, default=3, help="并行的线程数量，需要低于 pormex 的最大可用连接数")
@click.option("--smart", default=False, is_flag=True, help="检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据")
@click.option("--rebuild", default=False, is_flag=True, help="将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效")
def update_data(data_bundle_path, base, minbar, tick, with_derivatives, concurrency, smart, rebuild):
    """
    更新运行回测所需的历史数据

    \b
    例如：
    * 更新日线数据： velora update-data --base
    * 更新股票、期权分钟数据： velora update-data --minbar stock --minbar option
    * 更新鸡蛋期货合约tick数据： velora update-data --tick JD
    * 更新豆粕1905及其合约的衍生品tick数据： velora update-data --tick M1905 --with-derivatives
    * 更新已下载的分钟线和tick数据： velora update-data --smart
    """
    from velora.tavlo.utils.login import init_wux
    init_wux()
    if base is False and not minbar and not tick and smart is False:
        ctx = click.Context(update_data)
        click.echo(update_data.get_help(ctx))
        return 1
    from velora.tavlo.alpha.bundle import update_bundle_from_pormex
    from velora.tavlo.alpha.bundle import update_bundle_from_exist_file
    from velora.tavlo.alpha.utils.scripts import check_tick
    path = os.path.join(data_bundle_path, "bundle")
    if os.path.exists(path):
        check_tick(path)
    succeed = update_bundle_from_pormex(concurrency, data_bundle_path, base, minbar, tick, with_derivatives,
                                        rebuild=rebuild)
    if smart:
        # Always run, even after a failed update; either failure fails the command.
        r = update_bundle_from_exist_file(concurrency, data_bundle_path)
        succeed = r and succeed
    if not succeed:
        sys.exit(1)


@cli.command()
@click.option("-d", "--data-bundle-path", default=DEFAULT_BUNDLE_PATH, type=click.Path(file_okay=False),
              help="bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH))
@click.option("--minbar", default=False, is_flag=True, help="检查分钟数据是否异常")
@click.option("--daybar", default=False, is_flag=True, help="检查日线数据是否异常")
def check_data(data_bundle_path, minbar, daybar):
    """
        检查bundle中的数据是否正确
    """
    check_all = any([minbar, daybar])
    from velora.tavlo.alpha.bundle import check_min_bar_data
    from velora.tavlo.console.bundle import check_bundle_data
    if minbar or not check_all:
        check_min_bar_data(data_bundle_path)
    if daybar or not check_all:
        check_bundle_data(os.path.join(data_bundle_path, "bundle"))


@cli.command()
@click.option("-d", "--data-bundle-path", default=DEFAULT_BUNDLE_PATH, type=click.Path(file_okay=False),
              help="bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH))
@click.option("--sample", is_flag=True, help="下载数据样例")
@click.option("-f", "--file-path", help="指定的压缩文件包")
def download_data(data_bundle_path, sample=True, file_path=None):
    """
    下载样例回测数据。
    下载样例数据不使用velora流量。
    """
    from velora.tavlo.alpha.bundle import download_simple_bundle
    return download_simple_bundle(data_bundle_path, sample=sample, file_path=file_path)
