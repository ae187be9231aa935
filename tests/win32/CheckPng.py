#!/usr/bin/env python3
"""Checks a PNG file the player saved: the signature, every chunk's CRC, an 8-bit RGB
header, image data that inflates to exactly one filter byte and width * 3 bytes a row, and
a picture that is not one flat colour (a blank capture).

    CheckPng.py FILE        exits 0 when it holds, 1 with the reason otherwise
"""
import struct
import sys
import zlib


def check(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return "no PNG signature"
    at, chunks = 8, []
    while at < len(data):
        if at + 8 > len(data):
            return "a chunk is cut short"
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if zlib.crc32(kind + body) != crc:
            return "bad CRC in " + kind.decode("latin-1")
        chunks.append((kind, body))
        at += 12 + length
    kinds = [kind for kind, _ in chunks]
    if kinds[0] != b"IHDR" or kinds[-1] != b"IEND":
        return "chunks out of order: %r" % kinds
    width, height, depth, colour = struct.unpack(">IIBB", chunks[0][1][:10])
    if depth != 8 or colour != 2 or width == 0 or height == 0:
        return "not 8-bit RGB: %r" % (chunks[0][1],)
    rows = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    if len(rows) != height * (1 + 3 * width):
        return "image data of %d bytes for %dx%d" % (len(rows), width, height)
    pixels = {rows[y * (1 + 3 * width) + 1:(y + 1) * (1 + 3 * width)] for y in range(height)}
    if len({bytes(row[i:i + 3]) for row in pixels for i in range(0, len(row), 3)}) < 2:
        return "one flat colour: nothing was captured"
    return None


if __name__ == "__main__":
    why = check(sys.argv[1])
    if why:
        print("FAILED: %s: %s" % (sys.argv[1], why))
        sys.exit(1)
    print("ok: %s" % sys.argv[1])
