#!/usr/bin/env python3
"""Writes pixconvert's fuzzer seeds to seeds-convert/ (layout: see
convert_main.cpp): small .img files, and FITS, TIFF and PNG files that
pixconvert made from them. png_huge_chunk_length, a PNG whose damaged chunk
length once made libpng allocate 1.9 GB, was found by the fuzzer and is kept
beside them.

Usage: fuzz/make_convert_seeds.py PIXCONVERT
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def image(x, y, file_type, values=b"", comment=b"", magic=b"IM", filler=0):
    head = struct.pack("<2sHHH4sH", magic, len(comment), x, y, bytes([filler]) * 4, file_type)
    return head + bytes([filler]) * 50 + comment + values


IMAGES = {
    "u16_3x2": image(3, 2, 2, struct.pack("<6H", 0, 1, 2, 65535, 32768, 7), b"comment"),
    "f64_2x2": image(2, 2, 10, struct.pack("<4d", float("nan"), -0.0, float("inf"), 1.5), b"\0\xff"),
    "u16_empty": image(0, 4, 2),
    "u16_short": image(4, 4, 2, b"\1\2\3"),
    "bad_type": image(1, 1, 3, b"\0\0"),
    "bad_magic": image(1, 1, 2, b"\0\0", magic=b"MI"),
}


def main():
    tool = os.path.abspath(sys.argv[1])
    out = os.path.join(HERE, "seeds-convert")
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        for name, data in IMAGES.items():
            with open(os.path.join(out, "img_" + name), "wb") as f:
                f.write(b"\0" + data)
        for name in ("u16_3x2", "f64_2x2"):
            src = os.path.join(work, name + ".img")
            with open(src, "wb") as f:
                f.write(IMAGES[name])
            for mode, ext in ((1, "fits"), (2, "tif"), (3, "png")):
                dst = os.path.join(work, name + "." + ext)
                if subprocess.run([tool, src, dst], capture_output=True).returncode != 0:
                    continue
                with open(dst, "rb") as f, open(os.path.join(out, ext + "_" + name), "wb") as s:
                    s.write(bytes([mode]) + f.read())


if __name__ == "__main__":
    main()
