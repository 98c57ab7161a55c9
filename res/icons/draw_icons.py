#!/usr/bin/env python3
"""Draws Postern's icons: the program icon, and the tray's idle and active icons,
each at the sizes trays and menus use (16, 22, 24, 32, 48 and 64 pixels), plus
.ico files for a Windows build.

Every size is drawn on its own pixel grid, not shrunk from a larger picture, so the
outlines fall on whole pixels and stay sharp. Idle is a light grey envelope with a
dark outline, which shows on light and on dark panels; active is a yellow envelope
with a green dot, so the two tell apart at a glance even at 16 pixels. Standard
library only; run it from any folder, it writes next to itself.
"""
import math
import os
import struct
import zlib

SIZES = (16, 22, 24, 32, 48, 64)
ICO_SIZES = (16, 24, 32, 48)
LOOKS = {
    "postern": {"body": (70, 130, 220), "flap": (255, 255, 255), "outline": (25, 55, 120)},
    "idle": {"body": (200, 200, 200), "flap": (70, 70, 70), "outline": (70, 70, 70)},
    "active": {"body": (255, 200, 40), "flap": (150, 95, 0), "outline": (60, 60, 60),
               "dot": (30, 170, 60)},
}


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def geometry(size):
    """The envelope's edges on whole pixels, and its line width, for one size."""
    line = max(1, round(size / 24))
    height = int(size * 0.6875 + 0.5)
    top = (size - height) // 2
    return 0, top, size, top + height, line


def colour_at(look, size, x, y):
    """Colour (r, g, b, a) at point x, y, in pixels from the top left corner."""
    left, top, right, bottom, line = geometry(size)
    if look.get("dot"):
        radius = size * 0.27
        cx, cy = size - radius, bottom - radius * 0.8
        distance = math.hypot(x - cx, y - cy)
        if distance <= radius:
            return look["dot"] + (255,) if distance <= radius - line else (255, 255, 255, 255)
    if not (left <= x < right and top <= y < bottom):
        return (0, 0, 0, 0)
    if x < left + line or x >= right - line or y < top + line or y >= bottom - line:
        return look["outline"] + (255,)
    middle = (size / 2, top + (bottom - top) * 0.58)
    if min(segment_distance(x, y, left, top, *middle),
           segment_distance(x, y, right, top, *middle)) < line * 0.75:
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
                    r, g, b, a = colour_at(look, size, px + (sx + 0.5) / samples,
                                           py + (sy + 0.5) / samples)
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
        for size in SIZES:
            image = png(render(look, size), size)
            if size in ICO_SIZES:
                images.append((size, image))
            with open(os.path.join(here, f"{name}-{size}.png"), "wb") as out:
                out.write(image)
        with open(os.path.join(here, f"{name}.ico"), "wb") as out:
            out.write(ico(images))


if __name__ == "__main__":
    main()
