// Documentation strings of velora.tavlo.datac.services.future, as users read them
// through help().  Every byte counts: leading blanks, full-width punctuation, the
// tab-separated columns of get_current_basis and the trailing "\n    " that the
// indented source of each string leaves behind.
#pragma once

namespace future_doc {

inline constexpr const char *get_dominant =
    "获取指定期货品种当日对应的主力合约\n"
    "\n"
    "    :param underlying_symbol: 如'IF' 'IC'\n"
    "    :param start_date: 如 '2015-01-07' (Default value = None)\n"
    "    :param end_date: 如 '2015-01-08' (Default value = None)\n"
    "    :param market:  (Default value = \"cn\")\n"
    "    :param rule:  主力合约规则 (Default value = 0)\n"
    "        0：在rule=1的规则上，增加约束(曾做过主力合约的合约，一旦被换下来后，不会再被选上)\n"
    "        1：合约首次上市时，以当日收盘同品种持仓量最大者作为从第二个交易日开始的主力合约，当同品种其他合约持仓量在收盘后\n"
    "           超过当前主力合约1.1倍时，从第二个交易日开始进行主力合约的切换。日内不会进行主力合约的切换\n"
    "        2: 前一交易日持仓量与成交量均为最大的合约\n"
    "    :param rank:  (Default value = 1):\n"
    "        1: 主力合约\n"
    "        2: 次主力合约\n"
    "        3：次次主力合约\n"
    "    :returns: pandas.Series\n"
    "        返回参数指定的具体主力合约名称\n"
    "\n"
    "    ";

inline constexpr const char *current_real_contract = "获取指定期货品种当日对应的真实合约";

inline constexpr const char *get_commission_margin =
    "获取期货保证金和手续费数据\n"
    "\n"
    "    :param market_code: 期货合约, 支持 market_code 或 market_code list,\n"
    "        若不指定则默认获取所有合约 (Default value = None)\n"
    "    :param fields: str 或 list, 可选字段有： 'margin_type', 'long_margin_ratio', 'short_margin_ratio',\n"
    "            'commission_type', 'open_commission_ratio', 'close_commission_ratio',\n"
    "            'close_commission_today_ratio', 若不指定则默认获取所有字段 (Default value = None)\n"
    "    :param hedge_flag: str, 账户对冲类型, 可选字段为: 'speculation', 'hedge',\n"
    "            'arbitrage', 默认为'speculation', 目前仅支持'speculation' (Default value = \"speculation\")\n"
    "    :returns: pandas.DataFrame\n"
    "\n"
    "    ";

inline constexpr const char *get_member_rank =
    "获取指定日期最近的期货会员排名数据\n"
    "    :param obj： 期货合约或品种代码\n"
    "    :param trading_date: 日期\n"
    "    :param rank_by: 排名依据字段\n"
    "    :keyword start_date\n"
    "    :keyword end_date\n"
    "    :returns pandas.DataFrame or None\n"
    "    ";

inline constexpr const char *get_warehouse_stocks =
    "获取时间区间内期货的注册仓单\n"
    "\n"
    "    :param underlying_symbols: 期货品种, 支持列表查询\n"
    "    :param start_date: 如'2015-01-01', 如果不填写则为去年的当日日期\n"
    "    :param end_date: 如'2015-01-01', 如果不填写则为当日日期\n"
    "    :param market: 市场, 默认为\"cn\"\n"
    "    :return: pd.DataFrame\n"
    "\n"
    "    ";

inline constexpr const char *get_contract_multiplier =
    "获取时间区间内期货的合约乘数\n"
    "\n"
    "    :param underlying_symbols: 期货品种, 支持列表查询\n"
    "    :param start_date: 开始日期, 如'2015-01-01', 如果不填写则取underlying_symbols对应实际数据最早范围\n"
    "    :param end_date: 结束日期, 如'2015-01-01', 如果不填写则为当日前一天\n"
    "    :param market: 市场, 默认为\"cn\", 当前仅支持中国市场\n"
    "    :return: pd.DataFrame\n"
    "\n"
    "    ";

// Columns are separated by single tabs; the "basis" row has a tab and a blank before "float".
inline constexpr const char *get_current_basis =
    "获取股指期货的实时基差指标\n"
    "\n"
    "    :param market_code: str or str list\t合约代码\n"
    "    :param market: str\t默认是中国内地市场('cn') 。可选'cn' - 中国内地市场；\n"
    "    :return: DataFrame with below fields:\n"
    "        字段\t类型\t说明\n"
    "        market_code\tstr\t合约代码\n"
    "        datetime\tdatetime\t时间戳\n"
    "        index\tstr\t指数合约\n"
    "        index_px\tfloat\t指数最新价格\n"
    "        future_px\tfloat\t期货最新价格\n"
    "        basis\t float\t升贴水， 等于期货合约收盘价- 对应指数收盘价\n"
    "        basis_rate\tfloat\t升贴水率(%)，（期货合约收盘价- 对应指数收盘价）/对应指数收盘价*100\n"
    "        basis_annual_rate\tfloat\t年化升贴水率（%), basis_rate *(250/合约到期剩余交易日）\n"
    "    ";

inline constexpr const char *get_basis =
    " 获取股指期货升贴水信息.\n"
    "\n"
    "    :param market_code: 期货合约, 支持 market_code 或 market_code list.\n"
    "    :param start_date: 开始时间, 若不传, 为 end_date 前3个月.\n"
    "    :param end_date: 结束时间, 若不传, 为 start_date 后3个月, 如果 start_date 也不传, 则默认为最近3个月.\n"
    "    :param fields: 需要返回的字段, 若不传则返回所有字段, 支持返回的字段包括\n"
    "        open_price, high_price, low_price, close_price, index, close_index, basis, basis_rate, basis_annual_rate.\n"
    "    :param frequency: 数据频率, 默认 '1d', 其他可选 {'1m', 'tick'}\n"
    "        frequency=tick时, fields为index, future_px, index_px, basis, basis_rate, basis_annual_rate\n"
    "    :param market: 市场, 默认'cn'\n"
    "    :return: MultiIndex DataFrame.\n"
    "    ";

inline constexpr const char *_get_future_factors_df = " 获取所有复权因子表 ";

inline constexpr const char *get_ex_factor =
    " 获取期货复权因子\n"
    "\n"
    "    :param underlying_symbols: 期货合约品种，str or list\n"
    "    :param start_date: 开始日期\n"
    "    :param end_date: 结束日期\n"
    "    :param adjust_method: 复权方法，prev_close_spread, prev_close_ratio, open_spread, open_ratio,\n"
    "    默认为‘prev_close_spread'\n"
    "    :param rule: 主力合约规则\n"
    "    :param market: 默认是中国内地市场('cn') 。可选'cn' - 中国内地市场\n"
    "    :return: DataFrame\n"
    "    ";

inline constexpr const char *internal_get_ex_factor =
    " 内部使用，获取复权因子，提供给get_dominant_price进行复权计算用\n"
    "    :return: pd.Series\n"
    "    ";

inline constexpr const char *get_dominant_price =
    " 获取主力合约行情数据\n"
    "\n"
    "    :param underlying_symbols: 期货合约品种，可传入 underlying_symbol, underlying_symbol list\n"
    "    :param start_date: 开始日期, 最小日期为 20210104\n"
    "    :param end_date: 结束日期\n"
    "    :param frequency: 历史数据的频率。 支持/日/分钟/tick 级别的历史数据，默认为'1d'。\n"
    "        1m- 分钟线，1d-日线，分钟可选取不同频率，例如'5m'代表 5 分钟线\n"
    "    :param fields: 字段名称列表\n"
    "    :param adjust_type: 复权方式，不复权 - none，前复权 - pre，后复权 - post\n"
    "    :param adjust_method: 复权方法 ，prev_close_spread/open_spread:基于价差复权因子进行复权，\n"
    "        prev_close_ratio/open_ratio:基于比例复权因子进行复权，\n"
    "        默认为‘prev_close_spread',adjust_type为None 时，adjust_method 复权方法设置无效\n"
    "    :param rule: 主力合约规则，参考get_dominant\n"
    "    :return: MultiIndex DataFrame\n"
    "    ";

inline constexpr const char *get_trading_parameters =
    " 获取期货交易参数信息\n"
    "\n"
    "    :param market_code: 期货合约代码或代码列表\n"
    "    :param start_date: 开始日期，如 '2019-01-01'，若不指定，默认为当前交易日\n"
    "                       未指定时，若查询时间在 T 日 8.40pm 前，返回 T 日数据，否则返回 T+1 日数据\n"
    "    :param end_date: 结束日期，如 '2023-01-01'，若不指定，默认为当前交易日\n"
    "                     开始日期和结束日期需同时传入或同时不传入\n"
    "    :param fields: 所需字段或字段列表，不指定则返回全部字段，可选:\n"
    "        [ 'long_margin_ratio', 'short_margin_ratio', 'commission_type', 'open_commission',\n"
    "          'close_commission', 'discount_rate, 'close_commission_today',\n"
    "          'non_member_limit_rate', 'client_limit_rate', 'non_member_limit', 'client_limit',\n"
    "          'min_order_quantity', 'max_order_quantity', 'min_margin_ratio',\n"
    "        ]\n"
    "        min_margin_ratio: 最低保证金\n"
    "    :param market: 目前只支持中国市场，默认为 'cn'\n"
    "\n"
    "    :return: DataFrame(MultiIndex(market_code, trading_date)) or None\n"
    "\n"
    "    ";

inline constexpr const char *get_exchange_daily =
    "获取交易所日线数据\n"
    "\n"
    "    :param market_code: 期货合约代码或代码列表\n"
    "    :param start_date: 开始日期\n"
    "    :param end_date: 结束日期\n"
    "    :param fields: 所需字段或字段列表，不指定则返回全部字段，可选:\n"
    "        [\n"
    "            \"open_price\", \"close_price\", \"high_price\", \"low_price\", \"total_turnover\",\n"
    "            \"volume\", \"settlement\", \"prev_settlement\", \"open_interest\"\n"
    "        ]\n"
    "    :param market: 目前只支持中国市场，默认为 'cn'\n"
    "    :return: DataFrame(MultiIndex(market_code, trading_date)) or None\n"
    "    ";

}  // namespace future_doc
