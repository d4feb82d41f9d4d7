#!/usr/bin/env python3
"""Draws Ostrel's lady bug (32 x 32, 32-bit with alpha) and writes it as a Windows icon.

    tools/make_ladybug.py OUT.ico
"""
import math
import struct
import sys

SIZE = 32


def pixel(x, y):
    """The colour (r, g, b, a) at the centre of pixel x, y (y grows downwards)."""
    px, py = x + 0.5, y + 0.5
    # Antennae: two short lines from the head.
    for side in (-1, 1):
        ax, ay = 16 + side * 3, 7.5
        bx, by = 16 + side * 7, 2.5
        t = max(0.0, min(1.0, ((px - ax) * (bx - ax) + (py - ay) * (by - ay)) /
                         ((bx - ax) ** 2 + (by - ay) ** 2)))
        if math.hypot(px - (ax + t * (bx - ax)), py - (ay + t * (by - ay))) < 0.8:
            return (20, 20, 20, 255)
    # Head: a black half disc above the body.
    if math.hypot(px - 16, py - 10) < 5.5 and py < 12:
        if math.hypot(px - 13.5, py - 8) < 1.2 or math.hypot(px - 18.5, py - 8) < 1.2:
            return (250, 250, 250, 255)  # eyes
        return (20, 20, 20, 255)
    # Body: a red ellipse with a black edge, a black line down the middle and seven spots.
    ex, ey = (px - 16) / 12.5, (py - 19.5) / 11.0
    d = math.hypot(ex, ey)
    if d < 1.0:
        if d > 0.9 or abs(px - 16) < 0.7:
            return (20, 20, 20, 255)
        for cx, cy, r in ((11, 15, 2.4), (21, 15, 2.4), (9.5, 22, 2.2), (22.5, 22, 2.2),
                          (13, 27, 1.8), (19, 27, 1.8), (16, 12.5, 2.0)):
            if math.hypot(px - cx, py - cy) < r:
                return (20, 20, 20, 255)
        shade = int(40 * max(0.0, 1 - math.hypot(px - 12, py - 14) / 10))
        return (min(255, 215 + shade), 30 + shade, 30 + shade, 255)
    return (0, 0, 0, 0)


def icon():
    rows = []
    for y in range(SIZE - 1, -1, -1):  # bottom-up
        rows.append(b"".join(struct.pack("BBBB", b, g, r, a)
                             for r, g, b, a in (pixel(x, y) for x in range(SIZE))))
    colour = b"".join(rows)
    mask = bytes(4 * SIZE)  # all visible: the alpha channel decides
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(colour) + len(mask),
                         0, 0, 0, 0)
    image = header + colour + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32,
                                                           len(image), 6 + 16)
    return directory + image


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as out:
        out.write(icon())
