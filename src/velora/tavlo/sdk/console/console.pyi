# The `velora` command line: a click group and its five commands.
from collections.abc import Iterable
from typing import Any

import click

# From velora.tavlo.sdk.const: the default bundle directory and the market tags
# that --minbar and --tick name in their help.
DEFAULT_BUNDLE_PATH: str
TAG_MAP: Iterable[str]
CONCERNED_PACKAGES: Any

cli: click.Group
license: click.Command
shell: click.Command
update_data: click.Command
check_data: click.Command
download_data: click.Command

# The types of the module's native functions and generators (pickled by reference).
__velora_function__: type
__velora_generator__: type
