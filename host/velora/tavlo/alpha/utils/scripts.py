"""Maintenance scripts for the data bundle."""
import os

from velora.tavlo.alpha.bundle import check_files


def check_tick(bundle_path):
    """Check the tick files below `bundle_path` (the bundle's "bundle" directory)
    before an update: prints each file's span and problems, returns
    {market_code: [problems]}."""
    directory = os.path.join(bundle_path, "tick")
    if not os.path.isdir(directory):
        print("tick: no ticks in %s" % directory)
        return {}
    return check_files(directory, "tick")
