#!/usr/bin/env python3
"""Makes the sample images in this folder and the outputs pixdelta must give.

  frame16.img - dark16.img + 100  ->  expected16.img   (16-bit, 16 x 8)
  frame64.img - dark64.img + 100  ->  expected64.img   (binary64, 8 x 4)

The expected outputs are computed here, independently of the tool.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OFFSET = 100


def header(comment, x, y, file_type, filler):
    fields = struct.pack("<2sHHH4sH", b"IM", len(comment), x, y, filler[:4], file_type)
    return fields + filler[4:54]


def image(comment, x, y, file_type, values, filler):
    code = "H" if file_type == 2 else "d"
    return header(comment, x, y, file_type, filler) + comment + struct.pack("<%d%s" % (len(values), code), *values)


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def main():
    x, y = 16, 8
    frame = [1000 + 37 * i + (i * i) % 91 for i in range(x * y)]
    dark = [90 + (i * 13) % 40 for i in range(x * y)]
    dark[5] = 65000  # a hot pixel in the dark frame: the result wraps
    comment = b"sample frame, exposure 2.5 s"
    filler = bytes(range(1, 55))
    write("frame16.img", image(comment, x, y, 2, frame, filler))
    write("dark16.img", image(b"dark, 2.5 s", x, y, 2, dark, bytes(54)))
    out = [(a + OFFSET - b) % 65536 for a, b in zip(frame, dark)]
    write("expected16.img", image(comment, x, y, 2, out, filler))

    x, y = 8, 4
    frame = [1.5 * i - 3.25 for i in range(x * y)]
    dark = [0.125 * (i % 5) for i in range(x * y)]
    comment = b"sample binary64 frame"
    write("frame64.img", image(comment, x, y, 10, frame, filler))
    write("dark64.img", image(b"", x, y, 10, dark, bytes(54)))
    out = [(a + OFFSET) - b for a, b in zip(frame, dark)]
    write("expected64.img", image(comment, x, y, 10, out, filler))


if __name__ == "__main__":
    main()
