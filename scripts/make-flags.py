#!/usr/bin/env python3
"""Writes the flag images of the language files (language/<name>.png), 24x16 pixels."""
import struct
import sys
import zlib

W, H = 24, 16
RED, WHITE, GREEN = (206, 17, 38), (255, 255, 255), (0, 146, 70)


def english(x, y):
    # St George's cross: red on white.
    return RED if 10 <= x <= 13 or 6 <= y <= 9 else WHITE


def italiano(x, y):
    # Green, white and red in vertical bands.
    return GREEN if x < 8 else WHITE if x < 16 else RED


def png(pixel):
    rows = b"".join(b"\0" + bytes(c for x in range(W) for c in pixel(x, y)) for y in range(H))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


folder = sys.argv[1] if len(sys.argv) > 1 else "language"
for name, pixel in (("English", english), ("Italiano", italiano)):
    with open(f"{folder}/{name}.png", "wb") as f:
        f.write(png(pixel))
