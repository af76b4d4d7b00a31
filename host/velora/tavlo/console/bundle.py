"""Checks of the day-bar bundle."""
import csv
import os

from velora.tavlo.alpha.bundle import INSTRUMENT_FIELDS, check_files


def check_bundle_data(bundle_path):
    """Check the instruments and day bars below `bundle_path` (the bundle's "bundle"
    directory): every listed instrument has day bars, every day-bar file is sound.
    Prints what it finds; returns {name: [problems]}."""
    found = {}
    instruments = os.path.join(bundle_path, "instruments.csv")
    codes = []
    try:
        with open(instruments, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
        if not rows or rows[0] != INSTRUMENT_FIELDS:
            raise ValueError("unexpected header")
        codes = [row[0] for row in rows[1:] if row]
        print("instruments: %d listed" % len(codes))
    except (OSError, ValueError, UnicodeDecodeError) as e:
        print("instruments: %s: %s" % (instruments, e))
        found["instruments"] = [str(e)]
    directory = os.path.join(bundle_path, "day_bars")
    if not os.path.isdir(directory):
        print("day_bars: no day bars in %s" % directory)
        found["day_bars"] = ["missing"]
        return found
    missing = [code for code in codes if not os.path.exists(os.path.join(directory, code + ".csv"))]
    for code in missing:
        print("day_bars %s: listed but has no day bars" % code)
        found[code] = ["no day bars"]
    found.update(check_files(directory, "day_bars"))
    return found
