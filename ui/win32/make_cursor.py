#!/usr/bin/env python3
"""Writes a monochrome Windows cursor (.cur) from raw RGBA pixels, as ImageMagick's
`convert PICTURE -depth 8 rgba:FILE` writes them:

    make_cursor.py PIXELS.rgba WIDTH HEIGHT HOTSPOT_X HOTSPOT_Y OUT.cur

A pixel at least half opaque is drawn: white where it is light, black where it is dark; the rest
is transparent (the screen shows through)."""
import struct
import sys


def main():
    src, width, height, hot_x, hot_y, out = sys.argv[1:7]
    width, height, hot_x, hot_y = int(width), int(height), int(hot_x), int(hot_y)
    data = open(src, "rb").read()
    if len(data) != width * height * 4:
        sys.exit(f"make_cursor: {src} holds {len(data)} bytes, not {width} x {height} RGBA")
    row_bytes = (width + 31) // 32 * 4  # 1-bit rows are padded to 32 bits
    xor_rows, and_rows = [], []
    for y in range(height - 1, -1, -1):  # bottom-up
        xor_bits = bytearray(row_bytes)
        and_bits = bytearray(row_bytes)
        for x in range(width):
            r, g, b, a = data[(y * width + x) * 4:(y * width + x) * 4 + 4]
            bit = 0x80 >> (x % 8)
            if a >= 128:
                if (r * 299 + g * 587 + b * 114) // 1000 >= 128:
                    xor_bits[x // 8] |= bit  # white
            else:
                and_bits[x // 8] |= bit  # transparent
        xor_rows.append(bytes(xor_bits))
        and_rows.append(bytes(and_bits))
    # BITMAPINFOHEADER (height counts both masks), the black and white palette, XOR, AND.
    image = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 1, 0,
                        row_bytes * height * 2, 0, 0, 2, 0)
    image += bytes([0, 0, 0, 0, 255, 255, 255, 0])
    image += b"".join(xor_rows) + b"".join(and_rows)
    header = struct.pack("<HHH", 0, 2, 1)  # reserved, type 2 = cursor, one image
    entry = struct.pack("<BBBBHHII", width % 256, height % 256, 2, 0, hot_x, hot_y,
                        len(image), 6 + 16)
    with open(out, "wb") as f:
        f.write(header + entry + image)


if __name__ == "__main__":
    main()
