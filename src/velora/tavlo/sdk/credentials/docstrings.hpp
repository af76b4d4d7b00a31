// Documentation strings of velora.tavlo.sdk.credentials, as users read them.
#pragma once

namespace credentials_doc {

inline constexpr const char *get_license_info = "从license获取账户的相关信息";

inline constexpr const char *set_to_environ =
    "将变量设置到环境变量\n"
    "    :param variable_name: string\n"
    "    :param value: string\n"
    "    ";

}  // namespace credentials_doc
