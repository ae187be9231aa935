#!/usr/bin/env python3
"""Writes the 2352-byte raw form of a 2048-byte-sector disc image.

Each raw sector is laid out as a PS2 CD's data sectors are (mode 2, form 1): the 12-byte
sync pattern 00 FF*10 00, a 4-byte header (minutes, seconds and frames of the sector's
address in BCD, counted from 00:02:00, then mode 2), an 8-byte subheader (form 1 data),
the 2048 bytes of user data at offset 24, and 280 bytes of error-detection and
-correction space, left zero here.

usage: make_raw_image.py IMAGE.iso RAW.bin
"""
import sys

SYNC = bytes([0x00] + [0xFF] * 10 + [0x00])


def bcd(value):
    return ((value // 10) << 4) | (value % 10)


def header(lsn):
    frames = lsn + 150  # the first data sector sits two seconds into the disc
    minutes, rest = divmod(frames, 75 * 60)
    seconds, frame = divmod(rest, 75)
    return bytes([bcd(minutes % 100), bcd(seconds), bcd(frame), 2])


def main():
    source, target = sys.argv[1], sys.argv[2]
    subheader = bytes([0, 0, 8, 0, 0, 0, 8, 0])
    tail = bytes(280)
    with open(source, "rb") as iso, open(target, "wb") as raw:
        lsn = 0
        while True:
            data = iso.read(2048)
            if len(data) < 2048:
                break
            raw.write(SYNC + header(lsn) + subheader + data + tail)
            lsn += 1


if __name__ == "__main__":
    main()
