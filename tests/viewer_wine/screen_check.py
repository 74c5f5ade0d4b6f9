#!/usr/bin/env python3
"""Pixel checks on screenshots of the Windows program (binary PPM files, as FFmpeg writes them).

  screen_check.py picture SCREEN.ppm REFERENCE.rgba WIDTH HEIGHT
      the reference picture (raw RGBA, laid over black as the window's black view shows it) appears
      somewhere on the screen at its own size; prints where and how much of it matches
  screen_check.py changed FIRST.ppm SECOND.ppm X Y WIDTH HEIGHT
      the two screenshots differ inside the rectangle (live video moves)
"""
import sys


def read_ppm(path):
    with open(path, 'rb') as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b'#':
            pos = data.index(b'\n', pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b'P6' or int(fields[3]) != 255:
        raise SystemExit(f'{path}: not an 8-bit binary PPM')
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos + 1:pos + 1 + width * height * 3]


def close(a, b, tolerance=12):
    return abs(a[0] - b[0]) <= tolerance and abs(a[1] - b[1]) <= tolerance and abs(a[2] - b[2]) <= tolerance


def picture(screen_path, ref_path, ref_w, ref_h):
    sw, sh, screen = read_ppm(screen_path)
    with open(ref_path, 'rb') as f:
        rgba = f.read()
    if len(rgba) != ref_w * ref_h * 4:
        raise SystemExit('reference size does not match')

    def ref(x, y):
        i = (y * ref_w + x) * 4
        a = rgba[i + 3]
        return tuple(rgba[i + c] * a // 255 for c in range(3))

    def scr(x, y):
        i = (y * sw + x) * 3
        return screen[i], screen[i + 1], screen[i + 2]

    # Sample points where the reference is not plain black, spread over the picture.
    samples = [(x, y, ref(x, y)) for y in range(5, ref_h, 23) for x in range(7, ref_w, 29) if sum(ref(x, y)) > 60]
    if len(samples) < 20:
        raise SystemExit('reference has too little to match')
    coarse = samples[::max(1, len(samples) // 24)]
    best = (0.0, None)
    for oy in range(0, sh - ref_h + 1):
        for ox in range(0, sw - ref_w + 1):
            hits = 0
            for n, (x, y, colour) in enumerate(coarse):
                if close(colour, scr(ox + x, oy + y)):
                    hits += 1
                elif hits < n // 2:
                    break
            if hits >= len(coarse) * 0.8:
                full = sum(1 for (x, y, colour) in samples if close(colour, scr(ox + x, oy + y))) / len(samples)
                if full > best[0]:
                    best = (full, (ox, oy))
    ratio, where = best
    print(f'picture match {ratio:.3f} at {where}')
    return 0 if ratio >= 0.9 else 1


def changed(first_path, second_path, x0, y0, w, h):
    w1, h1, a = read_ppm(first_path)
    w2, h2, b = read_ppm(second_path)
    if (w1, h1) != (w2, h2):
        raise SystemExit('screenshots differ in size')
    differing = total = 0
    for y in range(y0, min(y0 + h, h1), 3):
        for x in range(x0, min(x0 + w, w1), 3):
            i = (y * w1 + x) * 3
            total += 1
            if not close(a[i:i + 3], b[i:i + 3], 24):
                differing += 1
    share = differing / max(total, 1)
    print(f'{share:.3f} of the area changed')
    return 0 if share >= 0.02 else 1


if __name__ == '__main__':
    args = sys.argv[1:]
    if len(args) == 5 and args[0] == 'picture':
        sys.exit(picture(args[1], args[2], int(args[3]), int(args[4])))
    if len(args) == 7 and args[0] == 'changed':
        sys.exit(changed(args[1], args[2], *map(int, args[3:])))
    sys.exit(__doc__)
