#!/usr/bin/env python3
"""Draws the tray icon: a blue rounded tile with a white play triangle and,
from 32 px up, two broadcast arcs (a media server streaming). Writes an .ico
with five 32-bit images (16, 32, 48, 64 and 128 px), each a BMP with alpha
and an AND mask, which every Windows from Vista on reads.

Usage: make_icon.py [out.ico]   (default: kovarel_tray.ico beside this script)
"""
import math
import os
import struct
import sys

SIZES = (16, 32, 48, 64, 128)
SUPERSAMPLE = 4

TOP = (0x3A, 0x8D, 0xE8)     # tile gradient, top
BOTTOM = (0x17, 0x4A, 0x9A)  # tile gradient, bottom
EDGE = (0x0E, 0x33, 0x6E)    # tile outline
WHITE = (0xFF, 0xFF, 0xFF)


def in_rounded_rect(x, y, lo, hi, radius):
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    return (d1 >= 0 and d2 >= 0 and d3 >= 0) or (d1 <= 0 and d2 <= 0 and d3 <= 0)


def in_arc(x, y, centre, radius, width, half_angle):
    dx, dy = x - centre[0], y - centre[1]
    if dx <= 0 or abs(math.atan2(dy, dx)) > half_angle:
        return False
    return abs(math.hypot(dx, dy) - radius) <= width / 2


def layout(size):
    """The glyph in unit coordinates; small sizes drop the arcs and use a
    bigger triangle so it stays readable."""
    margin = 1.0 / 16
    if size < 32:
        triangle = ((0.33, 0.24), (0.33, 0.76), (0.75, 0.5))
        arcs = ()
    else:
        triangle = ((0.22, 0.27), (0.22, 0.73), (0.55, 0.5))
        arcs = ((0.13, 0.07), (0.25, 0.07))  # (radius, width) around the tip
    return margin, triangle, arcs


def shade(size, x, y):
    """Colour and coverage (0..1) of one unit-square sample."""
    margin, triangle, arcs = layout(size)
    lo, hi, radius = margin, 1 - margin, 0.22
    if not in_rounded_rect(x, y, lo, hi, radius):
        return (0, 0, 0), 0.0
    if in_triangle(x, y, *triangle):
        return WHITE, 1.0
    tip = triangle[2]
    for r, w in arcs:
        if in_arc(x, y, (tip[0] - 0.02, tip[1]), r, w, math.radians(50)):
            return WHITE, 1.0
    edge = 1.2 / size  # about one pixel of outline at every size
    if not in_rounded_rect(x, y, lo + edge, hi - edge, radius - edge):
        return EDGE, 1.0
    t = (y - lo) / (hi - lo)
    return tuple(round(TOP[i] + (BOTTOM[i] - TOP[i]) * t) for i in range(3)), 1.0


def render(size):
    """Rows top to bottom of (r, g, b, a), alpha premultiplied away."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            cover = 0.0
            for sy in range(n):
                for sx in range(n):
                    colour, a = shade(size, (px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    for i in range(3):
                        acc[i] += colour[i] * a
                    cover += a
            if cover == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(acc[i] / cover) for i in range(3)) + (round(255 * cover / (n * n)),))
        rows.append(row)
    return rows


def bmp_image(size, rows):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(struct.pack("<BBBB", b, g, r, a) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:  # transparent where a system ignores alpha
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def ico(sizes):
    images = [bmp_image(s, render(s)) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "kovarel_tray.ico")
    with open(path, "wb") as f:
        f.write(ico(SIZES))


if __name__ == "__main__":
    main()
