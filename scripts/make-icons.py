#!/usr/bin/env python3
"""Draws the program's icons and writes them as .ico files (32 bits per pixel with alpha).

The picture: an orange rounded tile (the marketplace's orange) holding a white photo card with a
green hill and a sun, and a white arrow leaving it to the lower right, for "images moving out".
Everything is drawn from the shapes below at 8x8 supersampling, so each size is crisp on its own
pixel grid. Run it again after changing a shape:

    python3 scripts/make-icons.py            # writes ui/icons/vedo.ico and ui/icons/vedo-big.ico

Icon 101 (vedo.ico) holds 48, 32, 24 and 16 pixels; icon 102 (vedo-big.ico) 32 and 16 pixels.
"""
import os
import struct
import sys

ORANGE = (255, 80, 0)
ORANGE_DARK = (214, 62, 0)
WHITE = (255, 255, 255)
GREEN = (46, 170, 90)
SUN = (255, 196, 0)
SKY = (214, 236, 255)


def rounded_rect(x, y, left, top, right, bottom, radius):
    if x < left or x > right or y < top or y > bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def colour_at(x, y):
    """The colour of the point (x, y) of the unit square, or None where the icon is clear."""
    if not rounded_rect(x, y, 0.02, 0.02, 0.98, 0.98, 0.2):
        return None
    # The photo card, tilted a little by its offset shadow.
    card = (0.16, 0.18, 0.74, 0.70)
    if rounded_rect(x, y, card[0], card[1], card[2], card[3], 0.05):
        inner = (card[0] + 0.05, card[1] + 0.05, card[2] - 0.05, card[3] - 0.05)
        if inner[0] <= x <= inner[2] and inner[1] <= y <= inner[3]:
            # The sun, then a hill whose top is a parabola.
            if (x - 0.57) ** 2 + (y - 0.33) ** 2 <= 0.06 ** 2:
                return SUN
            hill = 0.42 + 2.2 * (x - 0.38) ** 2
            if y >= hill:
                return GREEN
            return SKY
        return WHITE
    if rounded_rect(x, y, card[0] + 0.04, card[1] + 0.04, card[2] + 0.04, card[3] + 0.04, 0.05):
        return ORANGE_DARK
    # The arrow: a shaft along the diagonal and a triangular head at the lower right.
    u = (x + y) / 2 ** 0.5          # along the diagonal
    v = (x - y) / 2 ** 0.5          # across it
    shaft = 0.86 <= u <= 1.06 and abs(v) <= 0.045
    head = 1.02 <= u <= 1.24 and abs(v) <= (1.24 - u) * 0.75
    if shaft or head:
        return WHITE
    return ORANGE


def render(size, samples=8):
    pixels = []
    for row in range(size):
        line = []
        for col in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((col + (sx + 0.5) / samples) / size, (row + (sy + 0.5) / samples) / size)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            n = samples * samples
            if a:
                line.append((r // a, g // a, b // a, 255 * a // n))
            else:
                line.append((0, 0, 0, 0))
        pixels.append(line)
    return pixels


def bmp_entry(size, pixels):
    """A 32-bit DIB as an icon image: header with double height, bottom-up BGRA rows, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b""
    for row in reversed(pixels):
        rows += b"".join(struct.pack("BBBB", p[2], p[1], p[0], p[3]) for p in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for col, p in enumerate(row):
            if p[3] == 0:
                bits[col // 8] |= 0x80 >> (col % 8)
        mask += bytes(bits)
    return header + rows + mask


def write_ico(path, sizes):
    images = [bmp_entry(s, render(s)) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ui", "icons")
    os.makedirs(root, exist_ok=True)
    write_ico(os.path.join(root, "vedo.ico"), [48, 32, 24, 16])
    write_ico(os.path.join(root, "vedo-big.ico"), [32, 16])
    return 0


if __name__ == "__main__":
    sys.exit(main())
