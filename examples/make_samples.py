#!/usr/bin/env python3
"""Makes the sample images in this folder and the outputs pixdelta must give.

  frame16.img - dark16.img + 100  ->  expected16.img   (16-bit, 16 x 8)
  frame64.img - dark64.img + 100  ->  expected64.img   (binary64, 8 x 4)
  darks/dark-01.img ... dark-09.img: nine 64 x 32 dark frames of one
  camera, for a master dark: a bias with read noise, a warm column, glow in
  one corner, and in each a few cosmic-ray hits at random places.
  frames/night-1.img ... night-3.img: three exposures of that camera, the
  same dark signal under a sky with stars.
  biases/bias-1.img ... bias-5.img: five bias frames (0 s) of that camera,
  its level and read noise, and a cosmic-ray hit each.
  flats/flat-1.img ... flat-5.img: five twilight flats (2 s) through its
  optics: vignetting, two dust shadows, three hot pixels, the dark signal
  of 2 s and a few cosmic-ray hits, the sky fading from one to the next.
  lights/light-1.img ... light-3.img: three night exposures of 30 s
  through the same optics, for calibrating with all of the above: a sky
  bright enough (2000 ADU) that its vignetting and dust shadows show, half
  the darks' dark signal, the hot pixels, eight stars, cosmic-ray hits.
  The darks above hold no hot pixels: they were taken before these
  appeared.

The expected outputs are computed here, independently of the tool.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "python"))
import pixdelta  # noqa: E402  (its header layout, which needs no numpy)

OFFSET = 100


def image(comment, x, y, file_type, values, filler):
    """The file's bytes; `filler`, 54 bytes, fills the header's uninterpreted ones."""
    code = "H" if file_type == 2 else "d"
    return (pixdelta.header(x, y, file_type, len(comment), filler) + comment +
            struct.pack("<%d%s" % (len(values), code), *values))


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

    os.makedirs(os.path.join(HERE, "darks"), exist_ok=True)
    seed = 12345
    def uniform():  # a fixed generator, so that the files never change
        nonlocal seed
        seed = (seed * 1103515245 + 12345) % 2**31
        return seed / 2**31
    x, y = 64, 32

    def camera():  # what every exposure of the camera holds
        values = []
        for row in range(y):
            for col in range(x):
                glow = 400 * 0.93 ** (row + (x - 1 - col))
                noise = sum(uniform() for _ in range(4)) * 10 - 20
                values.append(100 + glow + (25 if col == 20 else 0) + noise)
        return values

    for n in range(1, 10):
        dark = [int(v) for v in camera()]
        for _ in range(3):
            dark[int(uniform() * x * y)] = 4000 + int(uniform() * 60000)
        write("darks/dark-%02d.img" % n, image(b"dark %d of 9, 60 s" % n, x, y, 2, dark, bytes(54)))
    os.makedirs(os.path.join(HERE, "frames"), exist_ok=True)
    stars = [(int(uniform() * x), int(uniform() * y), 500 + 3000 * uniform()) for _ in range(12)]
    for n in range(1, 4):
        night = camera()
        for i in range(x * y):
            night[i] += 300
            for sx, sy, flux in stars:
                d2 = (i % x - sx) ** 2 + (i // x - sy) ** 2
                night[i] += flux * 0.5 ** d2
        write("frames/night-%d.img" % n, image(b"night %d, 60 s" % n, x, y, 2,
                                               [min(int(v), 65535) for v in night], bytes(54)))

    # Made after the files above, the generator going on from where they
    # left it, so that those stay as they were.
    cx, cy = (x - 1) / 2, (y - 1) / 2
    dust = [(18, 10, 4.0, 0.25), (47, 22, 3.0, 0.18)]  # column, row, radius, depth at the rim
    hot = [(5, 7, 25.0), (40, 3, 12.0), (58, 27, 40.0)]  # column, row, ADU a second

    def response(col, row):  # the share of light that reaches a pixel
        v = 1 - 0.35 * ((col - cx) ** 2 + (row - cy) ** 2) / (cx ** 2 + cy ** 2)
        for dx, dy, radius, depth in dust:
            d = ((col - dx) ** 2 + (row - dy) ** 2) ** 0.5
            if d < radius:  # a ring, darker at its rim than at its middle
                v *= 1 - depth * (0.5 + 0.5 * d / radius)
        return v

    def exposure(seconds, light, hits):  # light(col, row) before the optics
        values = []
        for row in range(y):
            for col in range(x):
                dark = (400 * 0.93 ** (row + (x - 1 - col)) + (25 if col == 20 else 0)) * seconds / 60
                signal = light(col, row) * response(col, row)
                noise = (sum(uniform() for _ in range(4)) - 2) * (100 + 3 * signal) ** 0.5  # read and photon
                values.append(100 + dark + signal + noise)
        for col, row, rate in hot:
            values[row * x + col] += rate * seconds
        for _ in range(hits):
            values[int(uniform() * x * y)] = 4000 + int(uniform() * 60000)
        return [min(max(int(v), 0), 65535) for v in values]

    for folder in ("biases", "flats", "lights"):
        os.makedirs(os.path.join(HERE, folder), exist_ok=True)
    for n in range(1, 6):
        write("biases/bias-%d.img" % n, image(b"bias %d of 5, 0 s" % n, x, y, 2,
                                              exposure(0, lambda col, row: 0, 1), bytes(54)))
    for n in range(1, 6):
        level = 24000 * 0.93 ** n
        write("flats/flat-%d.img" % n, image(b"flat %d of 5, 2 s, twilight" % n, x, y, 2,
                                             exposure(2, lambda col, row: level, 2), bytes(54)))
    stars = [(int(uniform() * x), int(uniform() * y), 200 + 1500 * uniform()) for _ in range(8)]

    def sky(col, row):
        return 2000 + sum(flux * 0.5 ** ((col - sx) ** 2 + (row - sy) ** 2) for sx, sy, flux in stars)

    for n in range(1, 4):
        write("lights/light-%d.img" % n, image(b"light %d, 30 s" % n, x, y, 2, exposure(30, sky, 3), bytes(54)))


if __name__ == "__main__":
    main()
