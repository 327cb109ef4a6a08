#!/usr/bin/env python3
"""Builds the application icon from its editable sources.

The sources are pvr-launch-32.xpm and pvr-launch-16.xpm beside this script:
plain-text pixel art, one character a pixel, that any text editor or XPM
editor changes. This script writes pvr-launch.ico (both images, 8-bit
palette, 256 colours) and, with --png DIR, pvr-launch-32.png and
pvr-launch-16.png into DIR.

    python3 resources/make-icon.py            # rewrites resources/pvr-launch.ico
    python3 resources/make-icon.py --ico FILE --png DIR   # elsewhere, and PNGs
"""
import argparse
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (32, 16)


def read_xpm(path):
    """Returns (width, height, palette [(r, g, b)], rows of palette indexes)."""
    with open(path) as source:
        strings = [line.split('"')[1] for line in source if line.count('"') >= 2]
    width, height, colours, per_pixel = map(int, strings[0].split()[:4])
    keys, palette = [], []
    for entry in strings[1:1 + colours]:
        key, rest = entry[:per_pixel], entry[per_pixel:].split()
        value = rest[rest.index("c") + 1]
        keys.append(key)
        palette.append(tuple(int(value[i:i + 2], 16) for i in (1, 3, 5)))
    rows = []
    for line in strings[1 + colours:1 + colours + height]:
        rows.append([keys.index(line[i:i + per_pixel])
                     for i in range(0, width * per_pixel, per_pixel)])
    if len(palette) > 256 or len(rows) != height:
        sys.exit(f"{path}: not a {width}x{height} image of at most 256 colours")
    return width, height, palette, rows


def ico_image(width, height, palette, rows):
    """One icon image: a bottom-up 8-bit DIB with its AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 8, 0,
                         0, 0, 0, 256, 0)
    colours = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in palette)
    colours += b"\0" * (4 * (256 - len(palette)))
    pixels = b"".join(bytes(row) for row in reversed(rows))
    mask_row = ((width + 31) // 32) * 4
    mask = b"\0" * (mask_row * height)  # every pixel opaque
    return header + colours + pixels + mask


def write_ico(images, path):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for width, height, blob in images:
        entries += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0,
                               1, 8, len(blob), offset + len(data))
        data += blob
    with open(path, "wb") as out:
        out.write(directory + entries + data)


def write_png(width, height, palette, rows, path):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(row) for row in rows)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" +
                  chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 3,
                                             0, 0, 0)) +
                  chunk(b"PLTE", b"".join(bytes(c) for c in palette)) +
                  chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ico", default=os.path.join(HERE, "pvr-launch.ico"))
    parser.add_argument("--png", metavar="DIR")
    arguments = parser.parse_args()
    images, sources = [], {}
    for size in SIZES:
        source = read_xpm(os.path.join(HERE, f"pvr-launch-{size}.xpm"))
        if source[:2] != (size, size):
            sys.exit(f"pvr-launch-{size}.xpm is not {size}x{size}")
        sources[size] = source
        images.append((size, size, ico_image(*source)))
    os.makedirs(os.path.dirname(os.path.abspath(arguments.ico)), exist_ok=True)
    write_ico(images, arguments.ico)
    if arguments.png:
        os.makedirs(arguments.png, exist_ok=True)
        for size, source in sources.items():
            write_png(*source, os.path.join(arguments.png,
                                            f"pvr-launch-{size}.png"))


if __name__ == "__main__":
    main()
