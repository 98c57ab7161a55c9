#!/usr/bin/env python3
"""Draws Postern's icons: the program icon, and the tray's idle and active icons,
each at 16x16 and 32x32, plus postern.ico for a Windows build.

Idle is a grey envelope; active is a yellow envelope with a green dot, so the two
tell apart at a glance even at 16 pixels. Standard library only; run it from any
folder, it writes next to itself.
"""
import math
import os
import struct
import zlib

OUTLINE = (60, 60, 60)
LOOKS = {
    "postern": {"body": (70, 130, 220), "flap": (255, 255, 255), "outline": (25, 55, 120)},
    "idle": {"body": (200, 200, 200), "flap": (110, 110, 110), "outline": (90, 90, 90)},
    "active": {"body": (255, 200, 40), "flap": (150, 95, 0), "outline": OUTLINE,
               "dot": (30, 170, 60)},
}


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def colour_at(look, size, x, y):
    """Colour (r, g, b, a) at point x, y of the unit square."""
    line = 1.0 / size  # one pixel, whatever the size
    left, top, right, bottom = 0.0, 0.1875, 1.0, 0.8125  # on pixel edges at both sizes
    if look.get("dot"):
        cx, cy, radius = 0.74, 0.70, 0.26
        distance = math.hypot(x - cx, y - cy)
        if distance <= radius:
            return look["dot"] + (255,) if distance <= radius - line else (255, 255, 255, 255)
    if not (left <= x <= right and top <= y <= bottom):
        return (0, 0, 0, 0)
    if x < left + line or x > right - line or y < top + line or y > bottom - line:
        return look["outline"] + (255,)
    middle = (0.5, 0.56)
    if min(segment_distance(x, y, left, top, *middle),
           segment_distance(x, y, right, top, *middle)) < line * 0.6:
        return look["flap"] + (255,)
    return look["body"] + (255,)


def render(look, size):
    samples = 4
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            total = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    r, g, b, a = colour_at(look, size, (px + (sx + 0.5) / samples) / size,
                                           (py + (sy + 0.5) / samples) / size)
                    total[0] += r * a
                    total[1] += g * a
                    total[2] += b * a
                    total[3] += a
            alpha = total[3]
            if alpha == 0:
                row += bytes(4)
            else:
                row += bytes(round(c / alpha) for c in total[:3])
                row.append(round(alpha / samples ** 2))
        rows.append(bytes(row))
    return rows


def png(rows, size):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(images):
    """A .ico holding PNG images (Windows Vista and later read these)."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, data = b"", b""
    for size, image in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image),
                               offset + len(data))
        data += image
    return header + entries + data


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, look in LOOKS.items():
        images = []
        for size in (16, 32):
            image = png(render(look, size), size)
            images.append((size, image))
            with open(os.path.join(here, f"{name}-{size}.png"), "wb") as out:
                out.write(image)
        with open(os.path.join(here, f"{name}.ico"), "wb") as out:
            out.write(ico(images))


if __name__ == "__main__":
    main()
