// Documentation strings, option help texts and messages of the `velora` command
// line, as users read them.
#pragma once

namespace console_text {

// --- documentation strings (click shows them as the command help) ------------

inline constexpr const char *cli_doc =
    "\n"
    "    输入 velora [COMMAND] --help 查看命令详情\n"
    "    例如：velora update-data --help\n"
    "    ";

inline constexpr const char *license_doc =
    "\n"
    "    配置 velora 用户名和密码到环境变量\n"
    "\n"
    "    velora license 进入交互模式\n"
    "    velora license -u [USERNAME] -p [PASSWORD] 配置当前环境的用户名和密码\n"
    "    velora license --show 显示配置的用户名和密码\n"
    "    velora license --env 配置velora使用环境，互联网环境无需配置\n"
    "    例如: velora license -u [user] -p [password]\n"
    "\n"
    "    ";

inline constexpr const char *shell_doc = "打开 ipython 并执行 wux.init";

// "\b" alone on a line keeps click from re-wrapping the example lines after it.
inline constexpr const char *update_data_doc =
    "\n"
    "    更新运行回测所需的历史数据\n"
    "\n"
    "    \b\n"
    "    例如：\n"
    "    * 更新日线数据： velora update-data --base\n"
    "    * 更新股票、期权分钟数据： velora update-data --minbar stock --minbar option\n"
    "    * 更新鸡蛋期货合约tick数据： velora update-data --tick JD\n"
    "    * 更新豆粕1905及其合约的衍生品tick数据： velora update-data --tick M1905 --with-derivatives\n"
    "    * 更新已下载的分钟线和tick数据： velora update-data --smart\n"
    "    ";

inline constexpr const char *check_data_doc =
    "\n"
    "        检查bundle中的数据是否正确\n"
    "    ";

inline constexpr const char *download_data_doc =
    "\n"
    "    下载样例回测数据。\n"
    "    下载样例数据不使用velora流量。\n"
    "    ";

// --- option help texts ---------------------------------------------------------

inline constexpr const char *username_help = "用户名";
inline constexpr const char *password_help = "密码";
inline constexpr const char *env_help = "环境";

// formatted with the default bundle directory
inline constexpr const char *bundle_path_help = "bundle 目录，默认为 {}";
inline constexpr const char *base_help = "更新基础数据及日线，注意：任何回测都需要依赖基础数据";
// formatted with the market tags joined by ", "
inline constexpr const char *minbar_update_help =
    "更新分钟线数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code";
inline constexpr const char *tick_update_help = "更新tick数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code";
inline constexpr const char *with_derivatives_help = "更新分钟线和 tick 时同时更新选择的合约的衍生品数据";
inline constexpr const char *concurrency_help = "并行的线程数量，需要低于 pormex 的最大可用连接数";
inline constexpr const char *smart_help = "检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据";
inline constexpr const char *rebuild_help = "将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效";

inline constexpr const char *minbar_check_help = "检查分钟数据是否异常";
inline constexpr const char *daybar_check_help = "检查日线数据是否异常";

inline constexpr const char *sample_help = "下载数据样例";
inline constexpr const char *file_path_help = "指定的压缩文件包";

// --- messages --------------------------------------------------------------------

inline constexpr const char *user_line = "用户名: ";
inline constexpr const char *password_line = "密码: ";
inline constexpr const char *environment_line = "当前环境: ";
inline constexpr const char *ask_username = "请输入用户名";
inline constexpr const char *ask_password = "请输入密码";
inline constexpr const char *both_required = "用户名和密码均不能为空";
inline constexpr const char *install_ipython = "请安装ipython:pip install ipython";

}  // namespace console_text
