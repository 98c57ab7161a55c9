#!/usr/bin/env python3
"""Draws Postern's icons: the program icon, and the tray's idle, active and
not-listening icons, each at the sizes trays and menus use (16, 22, 24, 32, 48
and 64 pixels), as SVG, and as .ico files for a Windows build.

Every size is drawn on its own pixel grid, not shrunk from a larger picture, so the
outlines fall on whole pixels and stay sharp. Idle is a light grey envelope with a
dark outline, which shows on light and on dark panels; active is a yellow envelope
with a green dot, so the two tell apart at a glance even at 16 pixels;
not-listening is the idle envelope with a red bar sign where active has its
dot, for a port that cannot be had or a server not set. Standard
library only; run it from any folder, it writes next to itself.
"""
import math
import os
import struct
import zlib

SIZES = (16, 22, 24, 32, 48, 64)
ICO_SIZES = (16, 22, 24, 32, 48)
LOOKS = {
    "postern": {"body": (70, 130, 220), "flap": (255, 255, 255), "outline": (25, 55, 120)},
    "idle": {"body": (200, 200, 200), "flap": (70, 70, 70), "outline": (70, 70, 70)},
    "active": {"body": (255, 200, 40), "flap": (150, 95, 0), "outline": (60, 60, 60),
               "dot": (30, 170, 60)},
    "not-listening": {"body": (200, 200, 200), "flap": (70, 70, 70), "outline": (70, 70, 70),
                      "dot": (215, 30, 30), "bar": (255, 255, 255)},
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


def dot_geometry(look, size):
    """Centre and radius of the dot, and for a bar sign the bar's box (left,
    top, right, bottom) on whole pixels, so that its edges stay sharp."""
    _, _, _, bottom, line = geometry(size)
    if look.get("bar"):
        # Larger than the active dot, so that the bar reads at 16 pixels.
        radius = max(4.5, size * 0.3)
        cx, cy = round(size - radius), round(bottom - radius * 0.8)
        height = max(1, round(size / 16))
        bar_top = cy - (height + 1) // 2 if height % 2 else cy - height // 2
        half_width = round(radius * 0.6)
        return cx, cy, radius, (cx - half_width, bar_top, cx + half_width, bar_top + height)
    radius = size * 0.27
    return size - radius, bottom - radius * 0.8, radius, None


def colour_at(look, size, x, y):
    """Colour (r, g, b, a) at point x, y, in pixels from the top left corner."""
    left, top, right, bottom, line = geometry(size)
    if look.get("dot"):
        cx, cy, radius, bar = dot_geometry(look, size)
        distance = math.hypot(x - cx, y - cy)
        if distance <= radius:
            if distance > radius - line:
                return (255, 255, 255, 255)
            if bar and bar[0] <= x < bar[2] and bar[1] <= y < bar[3]:
                return look["bar"] + (255,)
            return look["dot"] + (255,)
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


def svg(look, size=32):
    """The same picture as SVG, on the grid of one size."""
    left, top, right, bottom, line = geometry(size)

    def hex_colour(rgb):
        return "#%02x%02x%02x" % rgb
    half = line / 2
    middle = (size / 2, top + (bottom - top) * 0.58)
    parts = [
        f'<rect x="{left + half}" y="{top + half}" width="{right - left - line}" '
        f'height="{bottom - top - line}" fill="{hex_colour(look["body"])}" '
        f'stroke="{hex_colour(look["outline"])}" stroke-width="{line}"/>',
        f'<polyline points="{left},{top} {middle[0]},{middle[1]:.2f} {right},{top}" fill="none" '
        f'stroke="{hex_colour(look["flap"])}" stroke-width="{line * 1.5}"/>',
    ]
    if look.get("dot"):
        cx, cy, radius, bar = dot_geometry(look, size)
        parts.append(f'<circle cx="{cx:.2f}" cy="{cy:.2f}" r="{radius - line / 2:.2f}" '
                     f'fill="{hex_colour(look["dot"])}" stroke="#ffffff" stroke-width="{line}"/>')
        if bar:
            parts.append(f'<rect x="{bar[0]}" y="{bar[1]}" width="{bar[2] - bar[0]}" '
                         f'height="{bar[3] - bar[1]}" fill="{hex_colour(look["bar"])}"/>')
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
            f'viewBox="0 0 {size} {size}">\n  ' + "\n  ".join(parts) + "\n</svg>\n")


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
        with open(os.path.join(here, f"{name}.svg"), "w") as out:
            out.write(svg(look))


if __name__ == "__main__":
    main()
