#!/usr/bin/env python3
"""Converts a TrueColor XWD screenshot of 32 or 24 bits per pixel (as written by xwd; 24 when
windows of several visuals are on screen, as Wine's are) to PNG.

Usage: xwd2png.py in.xwd out.png
"""
import struct
import sys
import zlib


def shift_of(mask):
    s = 0
    while mask and not mask & 1:
        mask >>= 1
        s += 1
    return s


def main(src, dst):
    d = open(src, "rb").read()
    f = struct.unpack(">25I", d[:100])
    header_size, width, height, byte_order = f[0], f[4], f[5], f[7]
    bpp, bpl, masks, ncolors = f[11], f[12], f[14:17], f[19]
    if bpp not in (24, 32):
        sys.exit("only 32 or 24 bits per pixel are supported")
    size = bpp // 8
    off = header_size + ncolors * 12
    order = "little" if byte_order == 0 else "big"
    shifts = [shift_of(m) for m in masks]
    rows = []
    for y in range(height):
        line = d[off + y * bpl: off + y * bpl + width * size]
        px = bytearray()
        for x in range(width):
            v = int.from_bytes(line[size * x: size * x + size], order)
            px += bytes(((v & m) >> s) & 0xFF for m, s in zip(masks, shifts))
        rows.append(b"\0" + bytes(px))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(dst, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(b"".join(rows))))
        out.write(chunk(b"IEND", b""))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
