#!/usr/bin/env python3
"""Draws korvell.ico: a receipt leaving a cash-register printer on a blue tile.

Run by hand when the design changes; the .ico it writes is kept in the tree
so that the build needs no Python. Images: 16, 24, 32, 48 (BMP) and 256 (PNG).
"""
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 256)
SAMPLES = 4  # per axis; anti-aliasing by supersampling


def rounded_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def shade(x, y):
    """Colour (r, g, b, a) at a point of the unit square, later layers on top."""
    colour = (0, 0, 0, 0)
    # tile: blue, lighter towards the top
    if rounded_rect(x, y, 0.03, 0.03, 0.97, 0.97, 0.18):
        t = y
        colour = (int(47 - 20 * t), int(111 - 40 * t), int(191 - 50 * t), 255)
    # receipt: white paper with a torn (saw-tooth) top edge
    if 0.28 <= x <= 0.72 and 0.10 <= y <= 0.62:
        tooth = 0.055
        phase = ((x - 0.28) % tooth) / tooth
        edge = 0.10 + 0.045 * abs(phase - 0.5) * 2
        if y >= edge:
            colour = (250, 250, 246, 255)
            # printed lines
            for ly, lx1 in ((0.24, 0.64), (0.33, 0.58), (0.42, 0.64)):
                if ly <= y <= ly + 0.045 and 0.35 <= x <= lx1:
                    colour = (70, 80, 96, 255)
    # printer body
    if rounded_rect(x, y, 0.12, 0.55, 0.88, 0.88, 0.08):
        colour = (222, 226, 232, 255)
        if 0.22 <= x <= 0.78 and 0.60 <= y <= 0.655:
            colour = (48, 54, 64, 255)  # paper slot
        if (x - 0.76) ** 2 + (y - 0.77) ** 2 <= 0.052 ** 2:
            colour = (40, 190, 80, 255)  # power lamp
    return colour


def render(size):
    rows = []
    n = SAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    r, g, b, a = shade((px + (sx + 0.5) / n) / size,
                                       (py + (sy + 0.5) / n) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            a = acc[3]
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((acc[0] // a, acc[1] // a, acc[2] // a, a // (n * n)))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def bmp(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def main(path):
    images = [(s, png(render(s)) if s >= 256 else bmp(render(s))) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in images:
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "korvell.ico")
