"""Conversions of the SDK's numeric times (YYYYMMDDHHMMSS, at the scale of seconds)."""
import datetime


def _split(whole):
    year, rest = divmod(whole, 10000000000)
    month, rest = divmod(rest, 100000000)
    day, rest = divmod(rest, 1000000)
    hour, rest = divmod(rest, 10000)
    minute, second = divmod(rest, 100)
    return year, month, day, hour, minute, second


def convert_int_to_datetime(dt_int):
    """YYYYMMDDHHMMSS with an optional fraction of a second (milliseconds) to a datetime."""
    whole = int(dt_int)
    millis = int(round((dt_int - whole) * 1000))
    return datetime.datetime(*_split(whole), millis * 1000)


def convert_int_to_whole_date(dt_int):
    """The date of an integer YYYYMMDDHHMMSS, as a datetime at midnight."""
    if not isinstance(dt_int, int):
        raise TypeError("expected an int, got %r" % (dt_int,))
    year, month, day = _split(dt_int)[:3]
    return datetime.datetime(year, month, day)
