#!/usr/bin/env python3
"""A second, independent reading of a qelsim run: rebuilds the whole Qel.log of a
run with a working server from the port list and the flight, with exact
arithmetic for the unit conversions, and compares it with the log byte for byte.

usage: oracle.py LOG PORTS.ini FLIGHT.csv [SECONDS]
"""
import csv
import math
import sys
from fractions import Fraction

PI = 3.14159265358979
LAT_SCALE = 42957189152768000


def port_lines(ini_bytes):
    text = ini_bytes.split(b"\x1a")[0].replace(b"\r\n", b"\n").decode("latin-1")
    ports, lines = [], []
    for line in text.split("\n"):
        line = line.split("\0")[0]
        if line.count(";") < 3:
            continue
        parts = line.split(";", 4)
        fields = parts + [""] * (5 - len(parts))
        fields[4] = fields[4][:4]
        n = len(ports) + 1
        lat, lon = number(fields[0]), number(fields[1])
        thr, rng = f32(number(fields[2])), f32(number(fields[3]))
        ports.append((lat, lon, thr, rng))
        lines.append("INIT: %d  - s1-%s s2-%s s3-%s s4-%s s5-%s\n" % (n, *fields))
        lines.append("INIT: Lat - %f; Lon - %f; Qelmarin - %f; Range - %f\n" % (lat, lon, thr, rng))
    return ports, lines


def number(text):
    import re
    m = re.match(r"\s*([+-]?(\d+\.?\d*|\.\d+)([eEdD][+-]?\d+)?)", text)
    return float(m.group(1).replace("d", "e").replace("D", "e")) if m else 0.0


def f32(x):
    import struct
    return struct.unpack("f", struct.pack("f", x))[0]


def lat_raw(deg):
    return round(Fraction(deg) * LAT_SCALE / 90)


def lon_raw(deg):
    units = round(Fraction(deg) / 360 * 2**64)
    return units - 2**64 if units >= 2**63 else units


def distance(lat1, lon1, lat2, lon2):
    # The law of cosines' angle, taken through the haversine: the same angle in
    # exact arithmetic, and free of arccos's loss of digits near 0.
    p1, p2 = lat1 * PI / 180, lat2 * PI / 180
    dp = (lat2 - lat1) * PI / 180
    dl = (lon2 - lon1) * PI / 180
    h = math.sin(dp / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2) ** 2
    return 2 * math.asin(math.sqrt(min(1.0, h))) * 6372795.0 / 1000.0


def main():
    log_path, ini_path, flight_path = sys.argv[1:4]
    rows = list(csv.DictReader(open(flight_path)))
    seconds = int(sys.argv[4]) if len(sys.argv) > 4 else int(rows[-1]["time"]) + 16
    ports, out = port_lines(open(ini_path, "rb").read())
    out.insert(0, "Module init OK!\n")
    light = 0
    for k in range(16, seconds + 1, 16):
        row = [r for r in rows if int(r["time"]) <= k][-1] if int(rows[0]["time"]) <= k else rows[0]
        if "clock" in row:
            h, m, s = (int(x) for x in row["clock"].split(":"))
        else:
            t = (12 * 3600 + k) % 86400
            h, m, s = t // 3600, t // 60 % 60, t % 60
        sb = lambda b: b - 256 if b > 127 else b
        out.append("Sys_1Hz: Click! Time: FS clock = %02d:%02d:%02d \n" % (sb(h), sb(m), sb(s)))
        vis_raw = int(row["vis_raw"]) if "vis_raw" in row else round(float(row["vis_sm"]) * 100)
        vis = (vis_raw // 100) * 1609 / 1000.0
        la = float(Fraction(int(row["lat_raw"]) if "lat_raw" in row else lat_raw(float(row["lat"]))) * 90 / LAT_SCALE)
        lo = float(Fraction(int(row["lon_raw"]) if "lon_raw" in row else lon_raw(float(row["lon"]))) * 360 / 2**64)
        for p, (plat, plon, thr, rng) in enumerate(ports, 1):
            d = distance(plat, plon, la, lo)
            if not d < rng:
                continue
            on = vis < thr
            out.append("LIGHTS %s: Port %d, Visibility - %f km: lat: %f, lon: %f, Aircraft lat: %f, lon: %f, Range:  %f km\n"
                       % ("ON" if on else "OFF", p, vis, plat, plon, la, lo, d))
    out.append("Module deinit OK!\n")
    expected = "".join(out).replace("\n", "\r\n").encode("latin-1")
    actual = open(log_path, "rb").read()
    if expected != actual:
        exp, act = expected.split(b"\r\n"), actual.split(b"\r\n")
        for i, (a, b) in enumerate(zip(exp, act)):
            if a != b:
                print("line %d differs:\n  expected %r\n  actual   %r" % (i + 1, a, b))
                break
        else:
            print("lengths differ: expected %d lines, got %d" % (len(exp), len(act)))
        sys.exit(1)
    print("the log agrees line for line (%d lines)" % len(out))


if __name__ == "__main__":
    main()
