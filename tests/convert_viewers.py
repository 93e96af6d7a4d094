#!/usr/bin/env python3
"""pixconvert's files where people open them: every kind it writes passes
its format's own validator (fitsverify, tiffinfo, pngcheck -v) with nothing
to say, comments of every byte value included, and opens in ImageJ with the
right size and values.

Usage: convert_viewers.py PIXCONVERT SOURCE_DIR
Exits 77 (skipped) with the reason when a program is missing, or 1 instead
where PIXDELTA_NO_SKIPS is set.
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from imagej_open import IJ_JAR, open_in_imagej  # noqa: E402

NEEDED = {"fitsverify": "fitsverify", "tiffinfo": "libtiff-tools", "pngcheck": "pngcheck",
          "xvfb-run": "xvfb", "java": "imagej"}
missing = [p for c, p in NEEDED.items() if not shutil.which(c)]
if missing or not os.path.exists(IJ_JAR):
    print("skipped: missing %s (apt-get install %s)" % (" ".join(missing) or IJ_JAR,
                                                        " ".join(missing) or "imagej"))
    sys.exit(1 if os.environ.get("PIXDELTA_NO_SKIPS") else 77)
try:
    import numpy as np
except ImportError:
    print("skipped: no numpy (apt-get install python3-numpy)")
    sys.exit(1 if os.environ.get("PIXDELTA_NO_SKIPS") else 77)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
import pixdelta  # noqa: E402

TOOL = os.path.abspath(sys.argv[1])
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def velkin(values, comment=b""):
    return pixdelta.to_bytes(values, comment=comment)


def make(name, values, comment, ext, *options):
    with open(name + ".img", "wb") as f:
        f.write(velkin(values, comment))
    out = name + "." + ext
    r = subprocess.run([TOOL, *options, name + ".img", out], capture_output=True, text=True)
    check(r.returncode == 0, "write %s: %s" % (out, r.stderr))
    return out


def validate(path):
    ext = path.rsplit(".", 1)[1]
    if ext in ("fits", "fz"):
        r = subprocess.run(["fitsverify", path], capture_output=True, text=True)
        ok = "Verification found 0 warning(s) and 0 error(s)" in r.stdout
    elif ext == "tif":
        r = subprocess.run(["tiffinfo", path], capture_output=True, text=True)
        ok = r.returncode == 0 and "Warning" not in r.stdout + r.stderr and \
            "Error" not in r.stdout + r.stderr
    else:
        r = subprocess.run(["pngcheck", "-v", path], capture_output=True, text=True)
        ok = r.returncode == 0 and "No errors detected" in r.stdout and \
            "discouraged" not in r.stdout
    check(ok, "%s does not validate:\n%s%s" % (path, r.stdout[-2000:], r.stderr[-2000:]))


def ramp(x, y, dtype=np.uint16):
    values = np.arange(x * y, dtype=np.uint64).reshape(y, x)
    return (values * 40503 % 65536).astype(dtype)


def main():
    every_byte = bytes(range(256)) * 2
    comments = [b"", b"a dark frame, 30 s\nsecond line", every_byte,
                b"a dark frame\npixcombine 1.2.0: 9 inputs, --median",
                "caf\u00e9 \u20ac".encode(), b"tab\there\r\n"]
    floats = np.array([[1.5, -0.0, np.inf], [-np.inf, 5e-324, np.nan]])
    with tempfile.TemporaryDirectory(prefix="pixconvert-viewers-") as work:
        os.chdir(work)
        written = []
        for k, comment in enumerate(comments):
            for ext in ("fits", "fz", "tif", "png"):
                written.append(make("u%d" % k, ramp(7, 5), comment, ext))
            for ext in ("fits", "fz", "tif"):
                written.append(make("f%d" % k, floats, comment, ext))
        written.append(make("preview", ramp(300, 200), b"", "png", "--preview"))
        written.append(make("block", ramp(36, 40), b"", "fits"))  # a data unit of one block exactly
        for path in written:
            validate(path)

        # ImageJ: the sizes whose strip tables it has misread, and others.
        # It draws FITS row 1 at the bottom; it cannot open 64-bit float TIFF
        # or tile-compressed FITS from any writer, so those are not tried.
        expected = {}
        for x, y in [(1, 1), (200, 200), (300, 200), (1000, 40), (256, 256), (4096, 4096),
                     (255, 255), (32767, 2), (2, 1), (1, 2)]:
            values = ramp(x, y)
            for ext in ("tif", "png", "fits"):
                path = make("s%dx%d" % (x, y), values, b"c", ext)
                shown = values[::-1] if ext == "fits" else values
                expected[path] = (x, y, 16, shown)
        path = make("f64", floats, b"", "fits")
        expected[path] = (3, 2, 32, floats[::-1].astype(np.float32))
        seen = open_in_imagej(expected, timeout=120)
        for path, (x, y, depth, shown) in expected.items():
            r = seen[path]
            check(r.ok, "ImageJ cannot open %s: %s" % (path, r.error))
            if not r.ok:
                continue
            check((r.width, r.height, r.bit_depth) == (x, y, depth),
                  "ImageJ sees %s as %dx%d, %d bits" % (path, r.width, r.height, r.bit_depth))
            for (px, py), v in r.pixels.items():
                want = shown[py, px]
                check(v == want or (v != v and want != want),
                      "ImageJ: %s (%d,%d) is %r, not %r" % (path, px, py, v, want))
    if failures:
        print("%d failure(s)" % len(failures))
        sys.exit(1)
    print("every file validates and opens in ImageJ")


if __name__ == "__main__":
    main()
