# The user's data-service login, kept in environment variables.
# Docstrings here are exactly the module's own (__doc__); other notes are comments.

def get_license_info(license_name: str = "VELORA_LICENSE") -> tuple[str, str] | tuple[None, None]:
    """从license获取账户的相关信息"""

def set_to_environ(variables: str | list[str], value: str) -> None:
    """将变量设置到环境变量
    :param variable_name: string
    :param value: string
    """

# The types of the module's native functions and generators (pickled by reference).
__velora_function__: type
__velora_generator__: type
