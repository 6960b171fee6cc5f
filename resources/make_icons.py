#!/usr/bin/env python3
"""Draws the web interface's icons: a sun above a charging plug's bolt.

Writes favicon.ico (16x16 and 32x32, 32-bit BMP images) and
apple-touch-icon.png (180x180) next to this script. The server sends at most
the first 10240 bytes of a binary file, so every file stays below that.
Run it again after changing the drawing; the outputs are committed.
"""
import math
import os
import struct
import zlib

SKY = (23, 64, 110)
SUN = (255, 196, 32)
BOLT = (255, 255, 255)


def pixel(x, y):
    """Colour (r, g, b, a) at the unit-square point (x, y), y downwards."""
    # rounded square background
    r = 0.18
    cx, cy = min(max(x, r), 1 - r), min(max(y, r), 1 - r)
    if math.hypot(x - cx, y - cy) > r:
        return (0, 0, 0, 0)
    # lightning bolt: two triangles
    if in_triangle(x, y, (0.58, 0.18), (0.30, 0.60), (0.52, 0.56)) or \
       in_triangle(x, y, (0.48, 0.44), (0.72, 0.42), (0.42, 0.86)):
        return BOLT + (255,)
    # sun in the upper left with short rays
    d = math.hypot(x - 0.30, y - 0.30)
    if d < 0.13:
        return SUN + (255,)
    ang = math.atan2(y - 0.30, x - 0.30)
    if 0.17 < d < 0.24 and (ang * 8 / math.pi) % 2 < 0.8:
        return SUN + (255,)
    return SKY + (255,)


def in_triangle(px, py, a, b, c):
    def side(p1, p2):
        return (px - p2[0]) * (p1[1] - p2[1]) - (p1[0] - p2[0]) * (py - p2[1])
    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def render(size, samples=4):
    """Rows top to bottom of (r, g, b, a), supersampled."""
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            acc = [0, 0, 0, 0]
            for sj in range(samples):
                for si in range(samples):
                    p = pixel((i + (si + 0.5) / samples) / size, (j + (sj + 0.5) / samples) / size)
                    for k in range(3):
                        acc[k] += p[k] * p[3]
                    acc[3] += p[3]
            n = samples * samples
            a = acc[3] / n
            rgb = [int(acc[k] / acc[3]) if acc[3] else 0 for k in range(3)]
            row.append((rgb[0], rgb[1], rgb[2], int(round(a))))
        rows.append(row)
    return rows


def bmp_image(size):
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)  # the alpha channel decides; the AND mask is all opaque
    return header + pixels + mask


def ico(sizes):
    images = [bmp_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    return out + b"".join(images)


def png(size):
    rows = render(size, samples=2)
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, data in (("favicon.ico", ico([16, 32])), ("apple-touch-icon.png", png(180))):
        assert len(data) <= 10240, name
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
