"""Plain-Python equivalents of the six native modules, for the benchmarks.

Each module here is what a Python developer would write for the same behaviour
as its native counterpart (the same calls into the framework, in the same order,
with the same results), as ordinary idiomatic Python.  They import the same
framework stand-ins from host/ and are never installed.
"""
