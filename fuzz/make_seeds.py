#!/usr/bin/env python3
"""Writes the fuzzer's seed inputs to seeds/ (layout: see split_main.cpp)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def image(x, y, file_type, values=b"", comment=b"", magic=b"IM", comment_length=None, filler=0):
    length = len(comment) if comment_length is None else comment_length
    head = struct.pack("<2sHHH4sH", magic, length, x, y, bytes([filler]) * 4, file_type)
    return head + bytes([filler]) * 50 + comment + values


def u16(*v):
    return struct.pack("<%dH" % len(v), *v)


def f64(*v):
    return struct.pack("<%dd" % len(v), *v)


def seed(file1, file2=b"", offset=0, same=False):
    return struct.pack("<BhH", 1 if same else 0, offset, len(file1)) + file1 + file2


SEEDS = {
    "u16_pair": seed(image(2, 2, 2, u16(1000, 200, 0, 65535), b"c1"), image(2, 2, 2, u16(200, 1000, 1, 0), b"c22"), 100),
    "f64_pair": seed(image(2, 1, 10, f64(1.5, float("inf"))), image(2, 1, 10, f64(0.25, float("inf"))), -1),
    "same_file": seed(image(3, 1, 2, u16(1, 2, 3), b"x"), b"", -32768, same=True),
    "types_differ": seed(image(1, 1, 2, u16(7)), image(1, 1, 10, f64(7.0))),
    "file1_smaller": seed(image(1, 1, 2, u16(7)), image(2, 1, 2, u16(1, 2))),
    "file1_larger": seed(image(3, 1, 2, u16(1, 2, 3), filler=0xEE), image(1, 1, 2, u16(9))),
    "empty_image": seed(image(0, 5, 2, comment=b"only comment"), image(5, 0, 2)),
    "comment_past_end": seed(image(1, 1, 2, comment_length=40), image(1, 1, 2, u16(1))),
    "short_block": seed(image(4, 3, 2, u16(*range(11)) + b"\x01"), image(4, 3, 2, u16(*range(12)))),
    "huge_header": seed(image(65535, 65535, 10, f64(1.0)), image(65535, 65535, 10)),
    "bad_magic_2": seed(image(1, 1, 2, u16(1)), image(1, 1, 2, u16(1), magic=b"MI")),
    "unknown_type": seed(image(1, 1, 3, u16(1)), image(1, 1, 2, u16(1))),
    "trailing_bytes": seed(image(1, 1, 10, f64(2.0) + b"tail"), image(1, 1, 10, f64(1.0) + b"more")),
}


def main():
    out = os.path.join(HERE, "seeds")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
