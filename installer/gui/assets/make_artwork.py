#!/usr/bin/env python3
"""Draws the installer's artwork: the left panel picture and the window icon.

Run by hand when the artwork should change; the build embeds the committed outputs.
    python3 make_artwork.py && cjpeg -quality 88 -optimize LeftPanelImage.ppm > LeftPanelImage.jpg
(cjpeg is in Debian's libjpeg-turbo-progs.) The icon is written as PNG directly.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def lerp(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def ridge(x, base, amp, seed):
    return base - amp * (0.55 * math.sin(x * 0.021 + seed) + 0.3 * math.sin(x * 0.057 + 2 * seed)
                         + 0.15 * math.sin(x * 0.131 + 3 * seed))


def panel_pixel(x, y, w, h):
    horizon = 360
    if y < horizon:
        col = lerp((28, 44, 92), (242, 170, 120), (y / horizon) ** 1.4)
        d = math.hypot(x - 210, y - 250)
        if d < 38:
            col = lerp((255, 236, 190), col, (d / 38) ** 3)
        far = ridge(x, 300, 40, 1.3)
        near = ridge(x, 335, 55, 4.1)
        if y > near:
            col = lerp((34, 52, 60), (22, 36, 44), (y - near) / 80)
        elif y > far:
            col = lerp((86, 92, 126), (64, 72, 104), (y - far) / 80)
        return col
    # lake: a darker, rippled reflection of the sky
    my = 2 * horizon - y + 4 * math.sin(y * 0.9 + x * 0.05)
    my = max(0, min(horizon - 1, my))
    sky = panel_pixel(x, int(my), w, h)
    return lerp(sky, (10, 24, 40), 0.45 + 0.4 * (y - horizon) / (h - horizon))


def quill(img, w, h, cx, cy, length, scale):
    # a feather: a slanted spindle with a dark shaft
    ang = math.radians(-55)
    ca, sa = math.cos(ang), math.sin(ang)
    for y in range(h):
        for x in range(w):
            u = (x - cx) * ca + (y - cy) * sa
            v = -(x - cx) * sa + (y - cy) * ca
            t = u / length
            if -0.5 <= t <= 0.5:
                half = scale * math.sqrt(max(0.0, 0.25 - t * t)) * (1.2 if t > 0 else 0.8)
                if abs(v) < half:
                    shade = 0.75 + 0.25 * math.cos(v / max(half, 1e-6) * 1.5)
                    img[y][x] = lerp((120, 120, 130), (250, 248, 240), shade)
                if abs(v) < max(0.7, scale * 0.04):
                    img[y][x] = (60, 40, 30)
            elif -0.62 <= t < -0.5 and abs(v) < max(0.6, scale * 0.03):
                img[y][x] = (60, 40, 30)


def write_ppm(path, img):
    h, w = len(img), len(img[0])
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (w, h))
        f.write(bytes(c for row in img for px in row for c in px))


def write_png(path, img):
    h, w = len(img), len(img[0])
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in img)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def main():
    w, h = 325, 550
    img = [[panel_pixel(x, y, w, h) for x in range(w)] for y in range(h)]
    quill(img, w, h, 160, 470, 150, 34)
    write_ppm(os.path.join(HERE, "LeftPanelImage.ppm"), img)

    n = 48
    icon = []
    for y in range(n):
        row = []
        for x in range(n):
            d = math.hypot(x - n / 2 + 0.5, y - n / 2 + 0.5)
            if d < n / 2 - 1:
                c = lerp((40, 70, 140), (20, 30, 70), d / (n / 2))
                row.append(c + (255,))
            elif d < n / 2:
                row.append((20, 30, 70, int(255 * (n / 2 - d))))
            else:
                row.append((0, 0, 0, 0))
        icon.append(row)
    rgb = [[px[:3] for px in row] for row in icon]
    quill(rgb, n, n, n / 2, n / 2, n * 0.8, n * 0.22)
    icon = [[rgb[y][x] + (icon[y][x][3],) for x in range(n)] for y in range(n)]
    write_png(os.path.join(HERE, "icon.png"), icon)


if __name__ == "__main__":
    main()
