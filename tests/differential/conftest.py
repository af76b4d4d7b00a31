"""The differential tests import the plain-Python modules of bench/plain (as the
benchmarks do) and the live bridge's test helpers."""
import os
import sys

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for path in (os.path.join(os.path.dirname(TESTS), "bench"), os.path.join(TESTS, "velora", "tavlo", "utils")):
    if path not in sys.path:
        sys.path.append(path)
