#!/usr/bin/env python3
"""Draws the viewer's pictures (flat white/red shapes that read well on a black window).

Pure Python (zlib only): each picture is a list of shapes rasterised with 4x4 supersampling.
Run from anywhere; writes into ../img beside this script.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "img")
SS = 4

WHITE = (240, 240, 240, 255)
GREY = (150, 150, 150, 255)
RED = (230, 50, 50, 255)
DARK = (40, 40, 40, 255)


def inside_circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_ring(cx, cy, r, w):
    return lambda x, y: (r - w) ** 2 <= (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_rect(x0, y0, x1, y1, rad=0.0):
    def f(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        if rad <= 0:
            return True
        cx = min(max(x, x0 + rad), x1 - rad)
        cy = min(max(y, y0 + rad), y1 - rad)
        return (x - cx) ** 2 + (y - cy) ** 2 <= rad * rad
    return f


def inside_line(xa, ya, xb, yb, w):
    dx, dy = xb - xa, yb - ya
    length2 = dx * dx + dy * dy

    def f(x, y):
        t = max(0.0, min(1.0, ((x - xa) * dx + (y - ya) * dy) / length2))
        px, py = xa + t * dx, ya + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (w / 2) ** 2
    return f


def inside_polygon(points):
    def f(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            xa, ya = points[i]
            xb, yb = points[(i + 1) % n]
            if (ya > y) != (yb > y) and x < (xb - xa) * (y - ya) / (yb - ya) + xa:
                hit = not hit
        return hit
    return f


# Seven-segment digits, segments a..g on a unit cell 0..1 x 0..2.
SEGMENTS = {
    "a": (0.1, 0.0, 0.9, 0.0), "b": (1.0, 0.1, 1.0, 0.9), "c": (1.0, 1.1, 1.0, 1.9),
    "d": (0.1, 2.0, 0.9, 2.0), "e": (0.0, 1.1, 0.0, 1.9), "f": (0.0, 0.1, 0.0, 0.9),
    "g": (0.1, 1.0, 0.9, 1.0),
}
DIGITS = {"0": "abcdef", "1": "bc", "2": "abged", "5": "afgcd"}


def digit_shapes(text, x, y, cell, w, colour):
    shapes = []
    for i, ch in enumerate(text):
        ox = x + i * cell * 1.6
        for seg in DIGITS[ch]:
            xa, ya, xb, yb = SEGMENTS[seg]
            shapes.append((inside_line(ox + xa * cell, y + ya * cell, ox + xb * cell, y + yb * cell, w), colour))
    return shapes


def render(width, height, shapes, background=(0, 0, 0, 0)):
    rows = []
    for py in range(height):
        row = bytearray()
        for px in range(width):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SS):
                for sx in range(SS):
                    x = px + (sx + 0.5) / SS
                    y = py + (sy + 0.5) / SS
                    colour = background
                    for test, c in shapes:
                        if test(x, y):
                            colour = c
                    a = colour[3] / 255.0
                    acc[0] += colour[0] * a
                    acc[1] += colour[1] * a
                    acc[2] += colour[2] * a
                    acc[3] += a
            n = SS * SS
            alpha = acc[3] / n
            if alpha > 0:
                row += bytes((int(acc[0] / acc[3]), int(acc[1] / acc[3]), int(acc[2] / acc[3]), int(alpha * 255 + 0.5)))
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


def png_bytes(width, height, rows):
    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + r for r in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def camera_body(s, colour, lens_colour=(0, 0, 0, 255)):
    """A camera outline scaled to an s x s square."""
    return [
        (inside_rect(0.30 * s, 0.22 * s, 0.50 * s, 0.34 * s, 0.03 * s), colour),
        (inside_rect(0.10 * s, 0.30 * s, 0.90 * s, 0.78 * s, 0.08 * s), colour),
        (inside_circle(0.50 * s, 0.54 * s, 0.17 * s), lens_colour),
        (inside_circle(0.50 * s, 0.54 * s, 0.11 * s), colour),
    ]


def timer(s, text):
    shapes = [(inside_ring(0.5 * s, 0.52 * s, 0.44 * s, 0.07 * s), WHITE),
              (inside_rect(0.42 * s, 0.0, 0.58 * s, 0.08 * s, 0.02 * s), WHITE)]
    if text == "0":
        shapes.append((inside_line(0.5 * s, 0.52 * s, 0.5 * s, 0.25 * s, 0.07 * s), WHITE))
        shapes.append((inside_line(0.5 * s, 0.52 * s, 0.68 * s, 0.52 * s, 0.07 * s), WHITE))
    else:
        cell = 0.16 * s if len(text) == 1 else 0.12 * s
        total = cell * (1.6 * (len(text) - 1) + 1)
        shapes += digit_shapes(text, 0.5 * s - total / 2, 0.52 * s - cell, cell, 0.06 * s, WHITE)
    return shapes


def pictures():
    s = 64
    yield "camera.png", s, s, camera_body(s, WHITE)
    yield "camera1.png", 100, 100, [(inside_circle(50, 50, 46), WHITE), (inside_circle(50, 50, 38), DARK)] + [
        (f, c) for f, c in camera_body(100, WHITE, DARK) if True][0:0] + [
        (inside_circle(50, 50, 30), WHITE)]
    yield "luxiang.png", s, s, [(inside_circle(32, 32, 14), RED), (inside_ring(32, 32, 28, 4), WHITE)]
    yield "luxiang1.png", 100, 100, [(inside_circle(50, 50, 46), WHITE), (inside_circle(50, 50, 38), DARK),
                                     (inside_circle(50, 50, 26), RED)]
    yield "stopluxiang.png", 100, 100, [(inside_circle(50, 50, 46), WHITE), (inside_circle(50, 50, 38), DARK),
                                        (inside_rect(34, 34, 66, 66, 4), RED)]
    yield "suspend.png", 50, 50, [(inside_circle(25, 25, 23), WHITE), (inside_circle(25, 25, 19), DARK),
                                  (inside_rect(17, 15, 22, 35, 1.5), WHITE), (inside_rect(28, 15, 33, 35, 1.5), WHITE)]
    yield "recover.png", 50, 50, [(inside_circle(25, 25, 23), WHITE), (inside_circle(25, 25, 19), DARK),
                                  (inside_polygon([(19, 14), (19, 36), (36, 25)]), WHITE)]
    yield "min.png", 35, 35, [(inside_rect(9, 16.5, 26, 19, 1), WHITE)]
    yield "close.png", 35, 35, [(inside_line(10, 10, 25, 25, 2.6), WHITE), (inside_line(25, 10, 10, 25, 2.6), WHITE)]
    yield "break.png", 35, 35, [(inside_polygon([(22, 8), (10, 17.5), (22, 27)]), (0, 0, 0, 0)),
                                (inside_line(22, 9, 12, 17.5, 2.8), WHITE), (inside_line(12, 17.5, 22, 26, 2.8), WHITE)]
    gear = [(inside_circle(25, 25, 15), WHITE)]
    for k in range(8):
        a = k * math.pi / 4
        gear.append((inside_line(25, 25, 25 + 20 * math.cos(a), 25 + 20 * math.sin(a), 6), WHITE))
    gear.append((inside_circle(25, 25, 7), (0, 0, 0, 255)))
    yield "set.png", 50, 50, gear
    for t in ("0", "2", "5", "10"):
        yield "time%s.png" % t, 40, 40, timer(40, t)
    # The no-camera picture fills the live view: a grey camera crossed out on black.
    w, h = 640, 480
    body = [(f, c) for f, c in camera_body(240, GREY, (0, 0, 0, 255))]
    shifted = [((lambda f: (lambda x, y: f(x - 200, y - 110)))(f), c) for f, c in body]
    yield "NoUSB.png", w, h, [(inside_rect(0, 0, w, h), (0, 0, 0, 255))] + shifted + [
        (inside_line(215, 135, 425, 345, 12), (0, 0, 0, 255)), (inside_line(215, 135, 425, 345, 6), RED)]


def ico_from_png(png, size):
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(png), 6 + 16)
    return header + entry + png


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, w, h, shapes in pictures():
        data = png_bytes(w, h, render(w, h, shapes))
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
        if name == "camera.png":
            with open(os.path.join(OUT, "camera.ico"), "wb") as f:
                f.write(ico_from_png(data, w))


if __name__ == "__main__":
    main()
