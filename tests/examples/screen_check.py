#!/usr/bin/env python3
"""Checks pixels of a screen PNG written by ks318-term (8-bit RGB, not interlaced).

    screen_check.py FILE CHECK...

A CHECK is X,Y=R,G,B[~TOLERANCE] (the pixel's colour, each channel within the
tolerance, 0 unless given) or X0,Y0,X1,Y1=white (some pixel of the box, ends
excluded, has every channel at 200 or above: a white text is drawn there).
Exits 1 and says which check failed.
"""
import struct
import sys
import zlib


def read_png(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit(f"{path}: not a PNG")
    offset, idat, header = 8, b"", None
    while offset < len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        body = data[offset + 8:offset + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        offset += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if (depth, colour, interlace) != (8, 2, 0):
        sys.exit(f"{path}: not 8-bit RGB without interlace")
    raw, stride, rows, previous = zlib.decompress(idat), width * 3, [], bytearray(width * 3)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 3] if i >= 3 else 0
            up, corner = previous[i], previous[i - 3] if i >= 3 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(line)
        previous = line
    return width, height, rows


def main():
    path, checks = sys.argv[1], sys.argv[2:]
    width, height, rows = read_png(path)
    pixel = lambda x, y: tuple(rows[y][x * 3:x * 3 + 3])
    for check in checks:
        place, _, want = check.partition("=")
        numbers = [int(n) for n in place.split(",")]
        if want == "white":
            x0, y0, x1, y1 = numbers
            if not any(min(pixel(x, y)) >= 200 for y in range(y0, y1) for x in range(x0, x1)):
                sys.exit(f"{path}: no white pixel in {place}")
            continue
        colour, _, tolerance = want.partition("~")
        expected, got = [int(n) for n in colour.split(",")], pixel(*numbers)
        if any(abs(g - e) > int(tolerance or 0) for g, e in zip(got, expected)):
            sys.exit(f"{path}: pixel {place} is {got}, not {colour}" + (f" within {tolerance}" if tolerance else ""))
    print(f"{path}: {width} x {height}, {len(checks)} checks passed")


main()
