"""Constants of the command line: where the data bundle lives, the market tags
that `velora update-data --minbar/--tick` accepts, and the distributions whose
versions the framework reports."""
import os

# The data bundle of the current user: instruments, day bars, minute bars and ticks
# below "<DEFAULT_BUNDLE_PATH>/bundle".
DEFAULT_BUNDLE_PATH = os.path.join(os.path.expanduser("~"), ".velora")

# Market tag -> instrument type in the instrument catalogue.
TAG_MAP = {
    "stock": "CS",
    "fund": "ETF",
    "index": "INDX",
    "futures": "Future",
    "option": "Option",
}

CONCERNED_PACKAGES = ["velora-native", "click", "numpy", "pandas"]
