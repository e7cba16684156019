#!/usr/bin/env python3
"""Converts the uncompressed 24-bit BMP the embedding test draws into a PNG.

    bmp_to_png.py IN.bmp OUT.png

Fails (exit 1) when the input is missing or not such a BMP, so a test that
wrote no picture or a malformed one shows.
"""
import struct
import sys
import zlib


def read_bmp(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 54 or data[:2] != b"BM":
        raise ValueError("not a BMP file")
    offset, = struct.unpack_from("<I", data, 10)
    header_size, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    if header_size < 40 or planes != 1 or bits != 24 or compression != 0 or width <= 0 or height == 0:
        raise ValueError("not an uncompressed 24-bit BMP")
    row_bytes = (width * 3 + 3) & ~3
    rows = abs(height)
    if offset + row_bytes * rows > len(data):
        raise ValueError("BMP pixel data cut short")
    out = []
    for y in range(rows):
        source = rows - 1 - y if height > 0 else y  # positive height: bottom-up
        start = offset + source * row_bytes
        row = bytearray()
        for x in range(width):
            b, g, r = data[start + 3 * x:start + 3 * x + 3]
            row += bytes((r, g, b))
        out.append(bytes(row))
    return width, rows, out


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def main():
    if len(sys.argv) != 3:
        print("usage: bmp_to_png.py IN.bmp OUT.png", file=sys.stderr)
        return 2
    try:
        width, height, rows = read_bmp(sys.argv[1])
    except (OSError, ValueError) as e:
        print(f"bmp_to_png: {sys.argv[1]}: {e}", file=sys.stderr)
        return 1
    write_png(sys.argv[2], width, height, rows)
    print(f"wrote {sys.argv[2]} ({width} x {height})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
