"""The data bundle: download, update and check.

Layout below a bundle directory ``<root>``::

    <root>/bundle/instruments.csv          market_code,symbol,name,type,underlying_symbol
    <root>/bundle/day_bars/<code>.csv      date,open,high,low,close,volume
    <root>/bundle/minbar/<code>.csv        datetime,open,high,low,close,volume
    <root>/bundle/tick/<code>.csv          datetime,last,volume

The data service behind the updates is simulated here: a fixed instrument
catalogue whose prices are a deterministic random walk per instrument over the
trading days of ``SERVICE_DAYS`` (so a bundle made from the shipped sample archive,
which stops earlier, has something to catch up on).  Updates need the session that
``velora.tavlo.utils.login.init_wux`` opens.
"""
import csv
import datetime as dt
import functools
import math
import os
import random
import shutil
import tarfile
import tempfile
import zipfile
import zlib
from concurrent.futures import ThreadPoolExecutor

from velora.tavlo.sdk.const import TAG_MAP
from velora.tavlo.utils import login

HOST = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
SAMPLE_ARCHIVE = os.path.join(HOST, "samples", "sample_bundle.tar.gz")

# market_code, symbol, name, type, underlying_symbol
CATALOGUE = [
    ("000001.XSHE", "000001", "平安银行", "CS", ""),
    ("600000.XSHG", "600000", "浦发银行", "CS", ""),
    ("600519.XSHG", "600519", "贵州茅台", "CS", ""),
    ("510050.XSHG", "510050", "50ETF", "ETF", ""),
    ("000300.XSHG", "000300", "沪深300", "INDX", ""),
    ("JD2405.XDCE", "JD2405", "鸡蛋2405", "Future", "JD"),
    ("JD2409.XDCE", "JD2409", "鸡蛋2409", "Future", "JD"),
    ("M2405.XDCE", "M2405", "豆粕2405", "Future", "M"),
    ("M2405-C-3000.XDCE", "M2405-C-3000", "豆粕购2405-3000", "Option", "M2405"),
    ("M2405-P-3000.XDCE", "M2405-P-3000", "豆粕沽2405-3000", "Option", "M2405"),
]
INSTRUMENT_FIELDS = ["market_code", "symbol", "name", "type", "underlying_symbol"]
FIELDS = {
    "day_bars": ["date", "open", "high", "low", "close", "volume"],
    "minbar": ["datetime", "open", "high", "low", "close", "volume"],
    "tick": ["datetime", "last", "volume"],
}


def _weekdays(first, last):
    day = first
    while day <= last:
        if day.weekday() < 5:
            yield day
        day += dt.timedelta(days=1)


SERVICE_DAYS = list(_weekdays(dt.date(2024, 1, 2), dt.date(2024, 1, 12)))


def _session_minutes(day):
    """End times of the day's 240 one-minute bars (09:31-11:30, 13:01-15:00)."""
    for start in (dt.datetime.combine(day, dt.time(9, 30)), dt.datetime.combine(day, dt.time(13, 0))):
        for i in range(1, 121):
            yield start + dt.timedelta(minutes=i)


# --- the simulated data service --------------------------------------------------

@functools.lru_cache(maxsize=None)
def _minute_bars(market_code):
    """Every one-minute bar of the service window: tuples (datetime, o, h, l, c, volume)."""
    rng = random.Random(zlib.crc32(market_code.encode()))
    price = rng.uniform(3000, 4000) if market_code.startswith("000300") else rng.uniform(5, 100)
    bars = []
    for day in SERVICE_DAYS:
        for end in _session_minutes(day):
            open_ = round(price, 2)
            price = max(0.01, price * math.exp(rng.gauss(0, 0.0015)))
            close = round(price, 2)
            high = round(max(open_, close) * (1 + abs(rng.gauss(0, 0.0005))), 2)
            low = round(min(open_, close) * (1 - abs(rng.gauss(0, 0.0005))), 2)
            bars.append((end, open_, high, low, close, rng.randint(1, 100) * 100))
    return tuple(bars)


def service_rows(kind, market_code):
    """The rows the service has for one instrument, as strings, oldest first."""
    bars = _minute_bars(market_code)
    if kind == "minbar":
        return [[end.strftime("%Y-%m-%d %H:%M:%S"), "%.2f" % o, "%.2f" % h, "%.2f" % l, "%.2f" % c, str(v)]
                for end, o, h, l, c, v in bars]
    if kind == "tick":
        rows = []
        for end, o, h, l, c, v in bars:
            rows.append([(end - dt.timedelta(seconds=30)).strftime("%Y-%m-%d %H:%M:%S"), "%.2f" % o, str(v // 2)])
            rows.append([end.strftime("%Y-%m-%d %H:%M:%S"), "%.2f" % c, str(v - v // 2)])
        return rows
    if kind == "day_bars":
        rows = []
        for day in SERVICE_DAYS:
            of_day = [b for b in bars if b[0].date() == day]
            rows.append([day.isoformat(), "%.2f" % of_day[0][1], "%.2f" % max(b[2] for b in of_day),
                         "%.2f" % min(b[3] for b in of_day), "%.2f" % of_day[-1][4], str(sum(b[5] for b in of_day))])
        return rows
    raise ValueError("unknown data set: %r" % (kind,))


def resolve(item, with_derivatives=False):
    """Market codes named by a market tag, an underlying symbol, a symbol or a market code."""
    if item in TAG_MAP:
        codes = [c[0] for c in CATALOGUE if c[3] == TAG_MAP[item]]
    else:
        codes = [c[0] for c in CATALOGUE if item in (c[0], c[1]) or (c[4] and c[4] == item and c[3] == "Future")]
    if with_derivatives:
        symbols = {c[1] for c in CATALOGUE if c[0] in codes}
        codes += [c[0] for c in CATALOGUE if c[3] == "Option" and c[4] in symbols and c[0] not in codes]
    return codes


# --- bundle files ------------------------------------------------------------------

def data_dir(data_bundle_path, kind):
    return os.path.join(data_bundle_path, "bundle", kind)


def read_rows(path, kind):
    """The rows of a bundle file; ValueError if its header or a row is malformed."""
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    if not rows or rows[0] != FIELDS[kind]:
        raise ValueError("%s: unexpected header" % path)
    for number, row in enumerate(rows[1:], start=2):
        if len(row) != len(FIELDS[kind]):
            raise ValueError("%s:%d: expected %d fields" % (path, number, len(FIELDS[kind])))
    return rows[1:]


def row_problems(rows, kind):
    """What is wrong with parsed rows: order of time stamps, prices and volumes."""
    problems = []
    previous = None
    for row in rows:
        try:
            numbers = [float(x) for x in row[1:]]
        except ValueError:
            problems.append("%s: not a number" % row[0])
            continue
        if previous is not None and row[0] <= previous:
            problems.append("%s: time stamp not after %s" % (row[0], previous))
        previous = row[0]
        if numbers[-1] < 0:
            problems.append("%s: negative volume" % row[0])
        prices = numbers[:-1]
        if any(p <= 0 for p in prices):
            problems.append("%s: price not positive" % row[0])
        elif len(prices) == 4:
            o, h, l, c = prices
            if h < max(o, c) or l > min(o, c):
                problems.append("%s: high/low do not contain open and close" % row[0])
    return problems


def check_files(directory, kind):
    """Check every file of a data set; prints and returns {market_code: [problems]}."""
    found = {}
    names = sorted(n for n in os.listdir(directory) if n.endswith(".csv"))
    for name in names:
        code = name[:-4]
        try:
            rows = read_rows(os.path.join(directory, name), kind)
            problems = row_problems(rows, kind)
            span = "%s ~ %s" % (rows[0][0], rows[-1][0]) if rows else "empty"
        except (OSError, ValueError, UnicodeDecodeError) as e:
            problems, span = [str(e)], "unreadable"
        print("%s %s: %s%s" % (kind, code, span, "" if problems else " OK"))
        for p in problems[:5]:
            print("    " + p)
        if len(problems) > 5:
            print("    ... %d more" % (len(problems) - 5))
        if problems:
            found[code] = problems
    print("%s: %d files checked, %d with problems" % (kind, len(names), len(found)))
    return found


def _write(path, kind, rows):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".part-", dir=os.path.dirname(path))
    try:
        with os.fdopen(fd, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(FIELDS[kind] if kind in FIELDS else INSTRUMENT_FIELDS)
            writer.writerows(rows)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def sync(data_bundle_path, kind, market_code, rebuild=False):
    """Bring one file up to the service: rewritten when asked or missing, else the
    newer rows appended.  Returns (market_code, rows added, error or None)."""
    path = os.path.join(data_dir(data_bundle_path, kind), market_code + ".csv")
    rows = service_rows(kind, market_code)
    if rebuild or not os.path.exists(path):
        _write(path, kind, rows)
        return market_code, len(rows), None
    try:
        have = read_rows(path, kind)
    except (ValueError, UnicodeDecodeError) as e:
        return market_code, 0, "%s (use --rebuild)" % e
    last = have[-1][0] if have else ""
    newer = [r for r in rows if r[0] > last]
    if newer:
        _write(path, kind, have + newer)
    return market_code, len(newer), None


def _run(concurrency, jobs):
    """Run (kind, market_code, rebuild) jobs on `concurrency` threads; True if all succeeded."""
    ok = True
    with ThreadPoolExecutor(max_workers=concurrency) as pool:
        for kind, (code, added, error) in pool.map(lambda job: (job[1], sync(*job)), jobs):
            if error:
                ok = False
                print("%s %s: %s" % (kind, code, error))
            else:
                print("%s %s: %d rows added" % (kind, code, added))
    return ok


def _logged_in():
    try:
        login.current_session()
    except login.NotLoggedIn as e:
        print("data service: %s" % e)
        return False
    return True


def update_bundle_from_pormex(concurrency, data_bundle_path, base, minbar, tick, with_derivatives, rebuild=False):
    """Fetch what is asked (base data and day bars, minute bars, ticks) into the bundle.
    Returns True when everything asked was written."""
    if concurrency < 1:
        print("concurrency must be at least 1, not %d" % concurrency)
        return False
    if not (base or minbar or tick):
        return True
    if not _logged_in():
        return False
    ok = True
    jobs = []
    if base:
        _write(os.path.join(data_bundle_path, "bundle", "instruments.csv"), "instruments", [list(c) for c in CATALOGUE])
        print("instruments: %d written" % len(CATALOGUE))
        jobs += [(data_bundle_path, "day_bars", c[0], True) for c in CATALOGUE]
    for kind, items in (("minbar", minbar), ("tick", tick)):
        for item in items:
            codes = resolve(item, with_derivatives)
            if not codes:
                print("%s: unknown market tag, underlying symbol or market code: %s" % (kind, item))
                ok = False
            jobs += [(data_bundle_path, kind, code, rebuild) for code in codes]
    return _run(concurrency, jobs) and ok


def update_bundle_from_exist_file(concurrency, data_bundle_path):
    """Append the newer rows to every day-bar, minute-bar and tick file already in the bundle."""
    if concurrency < 1:
        print("concurrency must be at least 1, not %d" % concurrency)
        return False
    if not os.path.isdir(os.path.join(data_bundle_path, "bundle")):
        print("no bundle below %s" % data_bundle_path)
        return False
    if not _logged_in():
        return False
    known = {c[0] for c in CATALOGUE}
    ok = True
    jobs = []
    for kind in ("day_bars", "minbar", "tick"):
        directory = data_dir(data_bundle_path, kind)
        if not os.path.isdir(directory):
            continue
        for name in sorted(os.listdir(directory)):
            if not name.endswith(".csv"):
                continue
            if name[:-4] not in known:
                print("%s %s: not served by the data service" % (kind, name[:-4]))
                ok = False
                continue
            jobs.append((data_bundle_path, kind, name[:-4], False))
    return _run(concurrency, jobs) and ok


def check_min_bar_data(data_bundle_path):
    """Check the minute bars of the bundle below `data_bundle_path`."""
    directory = data_dir(data_bundle_path, "minbar")
    if not os.path.isdir(directory):
        print("minbar: no minute bars in %s" % directory)
        return {}
    return check_files(directory, "minbar")


# --- unpacking an archive -------------------------------------------------------

def _read_archive(archive):
    """(name, is_dir, data) of every member of a tar or zip archive, all read before
    anything is written, so that a broken archive leaves the bundle as it was.
    Links and special files are refused."""
    members = []
    if zipfile.is_zipfile(archive):
        with zipfile.ZipFile(archive) as z:
            for info in z.infolist():
                members.append((info.filename, info.is_dir(), None if info.is_dir() else z.read(info)))
        return members
    with tarfile.open(archive) as t:
        for info in t:
            if not (info.isfile() or info.isdir()):
                raise ValueError("archive member is not a file or directory: %s" % info.name)
            members.append((info.name, info.isdir(), None if info.isdir() else t.extractfile(info).read()))
    return members


def _safe_name(name):
    parts = [p for p in name.replace("\\", "/").split("/") if p not in ("", ".")]
    if name.startswith(("/", "\\")) or ".." in parts or (parts and ":" in parts[0]):
        raise ValueError("archive member outside the bundle directory: %s" % name)
    return parts


def download_simple_bundle(data_bundle_path, sample=True, file_path=None):
    """Unpack a bundle archive into `data_bundle_path`: the one named by `file_path`,
    else the sample bundle that the data service hands out.  Every member must lie
    below "bundle/".  Returns True when the bundle was unpacked."""
    archive = file_path or SAMPLE_ARCHIVE
    if not os.path.isfile(archive):
        print("archive not found: %s" % archive)
        return False
    try:
        members = [(_safe_name(name), is_dir, data) for name, is_dir, data in _read_archive(archive)]
        if not members or any(parts and parts[0] != "bundle" for parts, _, _ in members):
            raise ValueError("not a bundle archive (members must lie below bundle/): %s" % archive)
        staging = tempfile.mkdtemp(prefix=".unpack-", dir=_make_dir(data_bundle_path))
        try:
            files = 0
            for parts, is_dir, data in members:
                target = os.path.join(staging, *parts)
                if is_dir:
                    os.makedirs(target, exist_ok=True)
                else:
                    os.makedirs(os.path.dirname(target), exist_ok=True)
                    with open(target, "wb") as f:
                        f.write(data)
                    files += 1
            if not files:
                raise ValueError("the archive holds no files")
            _merge(os.path.join(staging, "bundle"), os.path.join(data_bundle_path, "bundle"))
        finally:
            shutil.rmtree(staging, ignore_errors=True)
    except (OSError, ValueError, tarfile.TarError, zipfile.BadZipFile) as e:
        print("cannot unpack %s: %s" % (archive, e))
        return False
    print("bundle: %d files from %s unpacked into %s" % (files, archive, os.path.join(data_bundle_path, "bundle")))
    return True


def _make_dir(path):
    os.makedirs(path, exist_ok=True)
    return path


def _merge(source, target):
    """Move the unpacked files over the bundle, replacing files of the same name."""
    for directory, _, names in os.walk(source):
        into = os.path.join(target, os.path.relpath(directory, source))
        os.makedirs(into, exist_ok=True)
        for name in names:
            os.replace(os.path.join(directory, name), os.path.join(into, name))
