#!/usr/bin/env python3
"""Draws the program's two icons: a serial wave on a rounded blue tile.

  python3 ui/resources/make_icons.py   (writes main_icon.ico, main_icon_small.ico)
  python3 ui/resources/make_icons.py --png SIZE FILE   (the same picture as a PNG)

Each .ico holds one 32-bit image (48 x 48 and 16 x 16), drawn with 4 x 4
supersampling so that the edges stay smooth at both sizes.
"""
import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TILE = (0x1E, 0x6F, 0xC8)   # blue
WAVE = (0xFF, 0xFF, 0xFF)


def coverage(size, x, y):
    """(tile, wave) coverage of the unit-square pixel at x, y, each 0..1."""
    samples = 4
    tile = wave = 0
    radius = size * 0.22
    stroke = max(size * 0.085, 1.1)
    for sy in range(samples):
        for sx in range(samples):
            px = x + (sx + 0.5) / samples
            py = y + (sy + 0.5) / samples
            # rounded square with a one-pixel margin
            lo, hi = 0.5, size - 0.5
            cx = min(max(px, lo + radius), hi - radius)
            cy = min(max(py, lo + radius), hi - radius)
            if (px - cx) ** 2 + (py - cy) ** 2 <= radius ** 2 and lo <= px <= hi and lo <= py <= hi:
                tile += 1
                # a square wave softened into a sine: the bits on the line
                u = (px - size * 0.16) / (size * 0.68)
                if 0 <= u <= 1:
                    wy = size * 0.5 - size * 0.2 * math.sin(u * 2 * math.pi * 1.5)
                    if abs(py - wy) <= stroke:
                        wave += 1
    n = samples * samples
    return tile / n, wave / n


def rgba_rows(size):
    """The picture, top row first, as straight (not premultiplied) RGBA."""
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            tile, wave = coverage(size, x, y)
            colour = [t + (w - t) * (wave / tile if tile else 0) for t, w in zip(TILE, WAVE)]
            row += bytes(int(round(c)) for c in colour)
            row.append(int(round(tile * 255)))
        rows.append(bytes(row))
    return rows


def image(size):
    rows = []
    for row in reversed(rgba_rows(size)):   # DIBs are stored bottom-up, in BGRA
        swapped = bytearray(row)
        swapped[0::4], swapped[2::4] = row[2::4], row[0::4]
        rows.append(bytes(swapped))
    pixels = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4   # AND mask: all zero, alpha decides
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + mask_row * size, 0, 0, 0, 0)
    return header + pixels + bytes(mask_row * size)


def png(size):
    """The same picture as a PNG, for desktops that want their icons so."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))
    raw = b"".join(b"\0" + row for row in rgba_rows(size))   # filter: none
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)   # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_icon(name, size):
    data = image(size)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), 6 + 16)
    with open(os.path.join(HERE, name), "wb") as out:
        out.write(directory + entry + data)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--png":
        with open(sys.argv[3], "wb") as out:
            out.write(png(int(sys.argv[2])))
    else:
        write_icon("main_icon.ico", 48)
        write_icon("main_icon_small.ico", 16)
