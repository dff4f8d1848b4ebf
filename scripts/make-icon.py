#!/usr/bin/env python3
"""Draws Tallyweb's icon and writes it as a Windows .ico file.

    python3 scripts/make-icon.py src/app/Tallyweb.ico

The design: a blue rounded square holding a tally mark, four white strokes
crossed by a fifth, for a program that counts up a list. Each image (16, 32,
48 and 256 pixels) is drawn at its own size from the same shapes, with 4x4
supersampling for smooth edges, so the small ones stay sharp instead of being
scaled down from the large one. The small images are 32-bit bitmaps, the
256-pixel one a PNG, as Windows expects. Only the standard library is used,
and the output depends on nothing but this file, so the icon kept in the
repository can be checked by running this again and comparing.
"""
import struct
import sys
import zlib

SIZES = (16, 32, 48, 256)
BLUE = (0x1f, 0x5f, 0xb4)
BLUE_EDGE = (0x14, 0x45, 0x88)
WHITE = (0xff, 0xff, 0xff)


def inside_rounded_square(x, y, inset, radius):
    """Whether (x, y), in units of the icon's side (0..1), is inside the square."""
    lo, hi = inset, 1 - inset
    if not (lo <= x <= hi and lo <= y <= hi):
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def near_segment(x, y, x0, y0, x1, y1, half_width):
    dx, dy = x1 - x0, y1 - y0
    t = ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    px, py = x0 + t * dx - x, y0 + t * dy - y
    return px * px + py * py <= half_width * half_width


def shade(x, y, side):
    """The colour and coverage (0 or 1) of one sample point."""
    if not inside_rounded_square(x, y, 0.03, 0.18):
        return None
    # Strokes get wider, relative to the icon, at small sizes to stay visible.
    half = max(0.045, 0.55 / side)
    strokes = [(0.26 + 0.14 * i, 0.24, 0.26 + 0.14 * i, 0.76) for i in range(4)]
    strokes.append((0.16, 0.68, 0.84, 0.32))
    for segment in strokes:
        if near_segment(x, y, *segment, half):
            return WHITE
    if not inside_rounded_square(x, y, 0.03 + 1.2 / side, 0.18):
        return BLUE_EDGE
    return BLUE


def render(side, samples=4):
    """Rows of (r, g, b, a) pixels, top row first."""
    rows = []
    for py in range(side):
        row = []
        for px in range(side):
            r = g = b = hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    colour = shade((px + (sx + 0.5) / samples) / side,
                                   (py + (sy + 0.5) / samples) / side, side)
                    if colour is not None:
                        r, g, b, hits = r + colour[0], g + colour[1], b + colour[2], hits + 1
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((r // hits, g // hits, b // hits, 255 * hits // (samples * samples)))
        rows.append(row)
    return rows


def bitmap(rows):
    """A 32-bit DIB as an icon stores it: bottom row first, then the AND mask."""
    side = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, side, side * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask_stride = ((side + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def png(rows):
    side = len(rows)
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def icon():
    images = [png(render(s)) if s >= 256 else bitmap(render(s)) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for side, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", side % 256, side % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make-icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as f:
        f.write(icon())
