#!/usr/bin/env python3
"""Builds tessarin.ico (the Windows program's icon 128) from tessarin-256.png.

    python3 packaging/icons/make-ico.py        # rewrites packaging/icons/tessarin.ico

The .ico holds the 256 px picture as PNG (as Windows Vista and later read
it) and 16, 24, 32, 48 and 64 px pictures as 32-bit bitmaps with alpha,
scaled down by averaging (alpha-weighted). Only the standard library is
used, so any Python 3 builds it; the result is committed, and the build
itself needs no image tools.
"""
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SMALL_SIZES = (16, 24, 32, 48, 64)


def read_png_rgba(data):
    """Decodes an 8-bit RGBA, non-interlaced PNG into rows of (r, g, b, a)."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit("not a PNG file")
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or colour != 6 or interlace != 0:
                sys.exit("expected an 8-bit RGBA, non-interlaced PNG")
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    raw = zlib.decompress(idat)
    stride, bpp = width * 4, 4
    rows, prev, i = [], bytearray(stride), 0
    for _ in range(height):
        kind = raw[i]
        line = bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        for x in range(stride):
            left = line[x - bpp] if x >= bpp else 0
            up = prev[x]
            corner = prev[x - bpp] if x >= bpp else 0
            if kind == 1:
                line[x] = (line[x] + left) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + up) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + ((left + up) >> 1)) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                pred = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
                line[x] = (line[x] + pred) & 0xFF
        rows.append([tuple(line[x:x + 4]) for x in range(0, stride, 4)])
        prev = line
    return width, height, rows


def scale(rows, width, height, size):
    """Area-averaged downscale; colours weighted by alpha so edges keep no fringe."""
    out = []
    for ty in range(size):
        y0, y1 = ty * height // size, max(ty * height // size + 1, (ty + 1) * height // size)
        line = []
        for tx in range(size):
            x0, x1 = tx * width // size, max(tx * width // size + 1, (tx + 1) * width // size)
            r = g = b = a = 0
            for y in range(y0, y1):
                for x in range(x0, x1):
                    pr, pg, pb, pa = rows[y][x]
                    r += pr * pa
                    g += pg * pa
                    b += pb * pa
                    a += pa
            n = (y1 - y0) * (x1 - x0)
            line.append((r // a, g // a, b // a, a // n) if a else (0, 0, 0, 0))
        out.append(line)
    return out


def bitmap_entry(pixels, size):
    """A 32-bit DIB: header (height doubled for the mask), BGRA bottom-up, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    for line in reversed(pixels):
        for r, g, b, a in line:
            colour += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for line in reversed(pixels):
        row = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(line):
            if a == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    return header + bytes(colour) + bytes(mask)


def main():
    png = open(os.path.join(HERE, "tessarin-256.png"), "rb").read()
    width, height, rows = read_png_rgba(png)
    entries = [(size, bitmap_entry(scale(rows, width, height, size), size)) for size in SMALL_SIZES]
    entries.append((256, png))
    directory = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    body = b""
    for size, blob in entries:
        dim = 0 if size >= 256 else size  # 0 stands for 256
        directory += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
        body += blob
    with open(os.path.join(HERE, "tessarin.ico"), "wb") as out:
        out.write(directory + body)


if __name__ == "__main__":
    main()
