"""Rebuild sample_bundle.tar.gz, the sample bundle that `velora download-data` unpacks.

It holds the instrument catalogue, the day bars of every instrument and the minute
bars of 000001.XSHE for the first five trading days that the simulated data
service knows, so that `velora update-data --smart` has days to catch up on.
Run with host/ on sys.path:  PYTHONPATH=host python host/samples/make_sample.py
"""
import csv
import gzip
import io
import os
import tarfile

from velora.tavlo.alpha import bundle

DAYS = 5
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample_bundle.tar.gz")


def csv_bytes(header, rows):
    text = io.StringIO()
    writer = csv.writer(text)
    writer.writerow(header)
    writer.writerows(rows)
    return text.getvalue().encode("utf-8")


def main():
    last_day = bundle.SERVICE_DAYS[DAYS - 1].isoformat()
    files = {"bundle/instruments.csv": csv_bytes(bundle.INSTRUMENT_FIELDS, [list(c) for c in bundle.CATALOGUE])}
    for code, *_ in bundle.CATALOGUE:
        rows = [r for r in bundle.service_rows("day_bars", code) if r[0] <= last_day]
        files["bundle/day_bars/%s.csv" % code] = csv_bytes(bundle.FIELDS["day_bars"], rows)
    rows = [r for r in bundle.service_rows("minbar", "000001.XSHE") if r[0][:10] <= last_day]
    files["bundle/minbar/000001.XSHE.csv"] = csv_bytes(bundle.FIELDS["minbar"], rows)
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for name in sorted(files):
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime = len(files[name]), 0o644, 0
            tar.addfile(info, io.BytesIO(files[name]))
    with open(OUT, "wb") as f:
        f.write(gzip.compress(raw.getvalue(), mtime=0))
    print("%s: %d files" % (OUT, len(files)))


if __name__ == "__main__":
    main()
