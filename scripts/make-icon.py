#!/usr/bin/env python3
"""Draws the uninstaller's icon, res/appicon.ico: a box with a red cross over it, 32x32 and
16x16, 16 colours each. The picture is made here so that the .ico can be remade exactly."""
import struct
import sys

# The standard 16-colour palette (index: R, G, B).
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, DARK_CYAN, GREY, RED, CYAN, WHITE = 0, 6, 8, 9, 14, 15


def pixel(x, y, size):
    """Colour index at (x, y), or None where the icon is transparent."""
    u, v = (x + 0.5) / size, (y + 0.5) / size
    cross = abs(u - v) < 0.09 or abs(u + v - 1) < 0.09
    if 0.12 < u < 0.88 and 0.12 < v < 0.88 and cross:
        return RED
    edge = 1.0 / size
    if 0.08 <= u <= 0.92 and 0.2 <= v <= 0.36:  # lid
        inner = 0.08 + edge <= u <= 0.92 - edge and 0.2 + edge <= v <= 0.36 - edge
        return CYAN if inner else BLACK
    if 0.16 <= u <= 0.84 and 0.36 <= v <= 0.92:  # body
        inner = 0.16 + edge <= u <= 0.84 - edge and v <= 0.92 - edge
        if not inner:
            return BLACK
        return WHITE if abs(u - 0.5) < 0.08 and v < 0.6 else DARK_CYAN
    if 0.36 <= u <= 0.64 and 0.1 <= v < 0.2:  # handle
        return GREY
    return None


def image(size):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit colour rows and 1-bit mask, bottom-up."""
    xor_row, and_row = (size * 4 + 31) // 32 * 4, (size + 31) // 32 * 4
    colours, mask = bytearray(), bytearray()
    for y in reversed(range(size)):
        row = [pixel(x, y, size) for x in range(size)]
        nibbles = [0 if c is None else c for c in row]
        packed = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        colours += packed.ljust(xor_row, b"\0")
        bits = bytearray(and_row)
        for x, c in enumerate(row):
            if c is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(colours) + len(mask),
                         0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(colours) + bytes(mask)


def icon():
    images = [image(32), image(16)]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = len(data) + 16 * len(images)
    for size, img in zip((32, 16), images):
        data += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(img), offset)
        offset += len(img)
    return data + b"".join(images)


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "res/appicon.ico"
    with open(out, "wb") as f:
        f.write(icon())
