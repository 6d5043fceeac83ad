#!/usr/bin/env python3
"""Draws the HTTP service's icons (GIF89a, transparent background) with the standard
library only. Usage: scripts/draw-icons.py DIR  (writes icon20-folder.gif, icon20-file.gif,
icon20-qms.gif and icon40-qms.gif)."""

import math
import os
import struct
import sys

# Palette: 0 transparent, then the colours the pictures use.
PALETTE = [(255, 255, 255), (0x1F, 0x4E, 0x8C), (0xF2, 0xB7, 0x34), (0xC9, 0x8A, 0x12),
           (0xFF, 0xFF, 0xFF), (0x9A, 0xA5, 0xB1), (0x3A, 0x7B, 0xD5), (0x22, 0x22, 0x22)]
T, BLUE, GOLD, DARKGOLD, WHITE, GREY, LIGHTBLUE, INK = range(8)


def lzw(pixels, min_size=3):
    """LZW data that never grows its code table: a clear code before the table would grow."""
    clear, end = 1 << min_size, (1 << min_size) + 1
    width = min_size + 1
    codes, run = [clear], 0
    for p in pixels:
        if run == (1 << min_size) - 2:
            codes.append(clear)
            run = 0
        codes.append(p)
        run += 1
    codes.append(end)
    out, acc, bits = bytearray(), 0, 0
    for c in codes:
        acc |= c << bits
        bits += width
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    if bits:
        out.append(acc)
    return bytes(out)


def gif(size, pixels):
    head = b"GIF89a" + struct.pack("<HHBBB", size, size, 0xF2, 0, 0)
    head += b"".join(bytes(c) for c in PALETTE)
    gce = b"\x21\xF9\x04\x01\x00\x00\x00\x00"  # transparent index 0
    image = b"\x2C" + struct.pack("<HHHHB", 0, 0, size, size, 0)
    data = lzw(pixels)
    blocks = b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255]
                      for i in range(0, len(data), 255))
    return head + gce + image + b"\x03" + blocks + b"\x00\x3B"


def canvas(size):
    return [[T] * size for _ in range(size)]


def rect(c, x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            c[y][x] = colour


def folder():
    c = canvas(20)
    rect(c, 1, 4, 8, 6, DARKGOLD)      # tab
    rect(c, 1, 6, 18, 16, DARKGOLD)    # back
    rect(c, 2, 8, 17, 16, GOLD)        # front
    rect(c, 2, 8, 17, 8, WHITE)        # paper edge
    return c


def page():
    c = canvas(20)
    rect(c, 4, 1, 15, 18, GREY)
    rect(c, 5, 2, 14, 17, WHITE)
    for i in range(4):                 # folded corner
        rect(c, 11 + i, 1, 15, 1 + i, T)
        c[1 + i][11 + i] = GREY
    rect(c, 11, 5, 15, 5, GREY)
    for y in (8, 10, 12, 14):          # lines of text
        rect(c, 7, y, 12, y, LIGHTBLUE)
    return c


def logo(size):
    """A blue disc with a white "Q" ring and tail."""
    c = canvas(size)
    r = size / 2.0
    for y in range(size):
        for x in range(size):
            dx, dy = x + 0.5 - r, y + 0.5 - r
            d = math.hypot(dx, dy)
            if d <= r - 0.5:
                c[y][x] = BLUE
            ring = r * 0.55
            if abs(d - ring) <= max(1.0, size / 14.0):
                c[y][x] = WHITE
            # the tail of the Q, down to the right
            if 0.2 * r < dx < 0.75 * r and abs(dx - dy) <= max(0.8, size / 16.0):
                c[y][x] = GOLD
    return c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    pictures = {"icon20-folder.gif": (20, folder()), "icon20-file.gif": (20, page()),
                "icon20-qms.gif": (20, logo(20)), "icon40-qms.gif": (40, logo(40))}
    for name, (size, c) in pictures.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(gif(size, [p for row in c for p in row]))


if __name__ == "__main__":
    main()
