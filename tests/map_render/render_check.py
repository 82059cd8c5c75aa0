#!/usr/bin/env python3
# Renders the sample dry-run map in headless Chromium and checks the screenshot:
# the track in both light colours, the port circles and the switch marks must show.
"""Usage: render_check.py MAP_SAMPLE_PROGRAM CHROMIUM

Exits 0 when the map renders, 1 when it does not, 77 (skipped) without Chromium.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

SKIPPED = 77
WIDTH, HEIGHT = 800, 600

# The map's colours, and how many pixels of each a correct render shows at least.
# Edges blend into the background, so a colour counts within a small distance.
EXPECTED = {
    "track, light on (amber)": ((0xF0, 0xA0, 0x00), 200),
    "track, light off (grey)": ((0x8C, 0x8C, 0x8C), 200),
    "port circle (blue)": ((0x2A, 0x6F, 0xDB), 100),
    "switch mark (red)": ((0xD0, 0x02, 0x1B), 50),
}
TOLERANCE = 40


def read_png(path):
    """Returns (width, height, rows of (r, g, b) tuples) of an 8-bit RGB or RGBA PNG."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    at, idat, header = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        raise ValueError(f"unexpected PNG format: depth {depth}, colour type {colour}")
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            upper_left = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - upper_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upper_left)
                pred = left if pa <= pb and pa <= pc else up if pb <= pc else upper_left
                line[i] = (line[i] + pred) & 0xFF
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, channels)])
        previous = line
    return width, height, rows


def near(a, b):
    return sum((x - y) ** 2 for x, y in zip(a, b)) <= TOLERANCE ** 2


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 1
    sample, chromium = sys.argv[1], sys.argv[2]
    if not (os.path.isfile(chromium) and os.access(chromium, os.X_OK)):
        print(f"{chromium} is not installed: render test skipped")
        return SKIPPED

    work = tempfile.mkdtemp(prefix="qel-map-render-")
    try:
        svg = os.path.join(work, "map.svg")
        png = os.path.join(work, "map.png")
        subprocess.run([sample, svg], check=True, timeout=30)
        command = [
            chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--user-data-dir=" + os.path.join(work, "profile"),
            "--screenshot=" + png, f"--window-size={WIDTH},{HEIGHT}", "file://" + svg,
        ]
        result = subprocess.run(command, capture_output=True, text=True, timeout=100)
        if not os.path.isfile(png):
            print("Chromium wrote no screenshot; it said:\n" + result.stdout + result.stderr)
            return 1
        size = os.path.getsize(png)
        if size < 2000:
            print(f"the screenshot holds only {size} bytes")
            return 1

        width, height, rows = read_png(png)
        if (width, height) != (WIDTH, HEIGHT):
            print(f"the screenshot is {width}x{height}, not {WIDTH}x{HEIGHT}")
            return 1
        colours = {}
        for row in rows:
            for pixel in row:
                colours[pixel] = colours.get(pixel, 0) + 1
        print(f"{len(colours)} colours in the screenshot")
        failed = False
        for name, (rgb, least) in EXPECTED.items():
            count = sum(n for pixel, n in colours.items() if near(pixel, rgb))
            print(f"{name}: {count} pixels (at least {least} expected)")
            failed = failed or count < least
        if failed:
            print("the map did not render as drawn; the screenshot is kept at " + png)
            work = None
            return 1
        return 0
    finally:
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
