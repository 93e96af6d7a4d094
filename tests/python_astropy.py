#!/usr/bin/env python3
"""The package's .img format in astropy's unified I/O registry: CCDData
reads and writes .img byte for byte, whichever of astropy and pixdelta is
imported first; the header and comment travel in ccd.meta under the
keywords pixconvert writes into FITS, so that FITS files astropy writes
convert back to the same .img file, and the other way round; ccdproc reads,
combines, calibrates and writes .img files; the README's Python runs.

Usage: python_astropy.py PIXCONVERT|- SOURCE_DIR
Skipped without numpy, astropy or ccdproc.
"""
import gzip
import os
import re
import subprocess
import sys
import tempfile

from python_support import PYTHON_DIR, bits, check, finish, get, put, skip
import pixdelta  # noqa: E402  (before astropy: the registration waits for it)

try:
    import numpy as np
    import astropy.units as u
    from astropy.io import registry
    from astropy.nddata import CCDData
    import ccdproc
except ImportError as missing:
    skip("%s (apt-get install python3-numpy python3-astropy python3-ccdproc)" % missing)

PIXCONVERT = None if sys.argv[1] == "-" else os.path.abspath(sys.argv[1])
SOURCE = os.path.abspath(sys.argv[2])

NANS = np.array([0x7FF0000000000001, 0xFFF8000000000123, 1, 0x8000000000000001, 0, 1 << 63],
                np.uint64).view(np.float64).reshape(2, 3)
FILES = [  # name, values, header given, comment
    ("u16.img", np.array([[0, 1, 65535], [32768, 7, 9]], np.uint16), bytes([0xA5]) * 64,
     bytes(range(256))),
    ("f64.img", NANS, bytes(range(64)), b"binary64\n"),
    ("empty.img", np.zeros((3, 0), np.uint16), None, b""),
    ("long.img", np.ones((1, 2)), None, b"c" * 65535),
    ("UPPER.IMG", np.ones((2, 1), np.uint16), None, b"upper case"),
]


def round_trips(work):
    """Read, then written: the same bytes; the meta holds the header and
    comment as pixconvert's FITS keywords; the data is a writable copy, or
    the read-only map with memmap=True."""
    for name, values, header, comment in FILES:
        path = os.path.join(work, name)
        pixdelta.write(path, values, header, comment)
        for how in ("by name", "by format"):
            ccd = CCDData.read(path, unit="adu", **({"format": "img"} if how == "by format" else {}))
            check(bits(ccd.data) == bits(values) and ccd.unit == u.adu, "%s %s: data" % (name, how))
            check(ccd.meta["IMHEADER"] == get(path)[:64].hex() and
                  ccd.meta["IMCOMENT"] == comment.hex(), "%s %s: meta" % (name, how))
            out = os.path.join(work, "out." + name.split(".")[1])
            ccd.write(out)
            check(get(out) == get(path), "%s %s: written, not the same bytes" % (name, how))
            os.unlink(out)
        ccd = CCDData.read(path, unit="adu")
        check(ccd.data.flags.writeable and not isinstance(ccd.data, np.memmap), "%s: a copy" % name)
        mapped = CCDData.read(path, unit="adu", memmap=True).data
        check((isinstance(mapped, np.memmap) or mapped.size == 0) and not mapped.flags.writeable,
              "%s: mapped" % name)
    # astropy unpacks a gzipped file before the reader sees it: the values
    # are the unpacked file's, not a map of the packed one (random values,
    # so that the packed file is as large as the block).
    path = os.path.join(work, "packed.img")
    values = np.random.default_rng(5).integers(0, 65536, (64, 64), dtype=np.uint16)
    with gzip.open(path, "wb") as f:
        f.write(pixdelta.to_bytes(values))
    check(bits(CCDData.read(path, unit="adu").data) == bits(values), "a gzipped .img")
    check("img" in registry.get_formats(CCDData)["Format"], "img is not among CCDData's formats")


def writes(work):
    """An existing file is kept without overwrite=True; a CCDData whose
    values or meta the format cannot take is refused, and nothing is left."""
    path = os.path.join(work, "u16.img")
    ccd = CCDData.read(path, unit="adu")
    other = os.path.join(work, "other.img")
    put(other, b"an old file")
    cases = [
        ("an existing file", ccd, {}, FileExistsError, "overwrite=True replaces it"),
        ("float32 values", CCDData(np.ones((2, 2), np.float32), unit="adu"), {"overwrite": True},
         TypeError, "cannot write float32 values: an .img file holds uint16 or float64; "
                    "cast them first, e.g. values.astype(numpy.float64)"),
        ("IMHEADER not hex", CCDData(ccd.data, unit="adu", meta={"IMHEADER": "zz" * 64}),
         {"overwrite": True}, ValueError, "meta['IMHEADER'] does not hold the .img header"),
        ("IMHEADER of 63 bytes", CCDData(ccd.data, unit="adu", meta={"IMHEADER": "00" * 63}),
         {"overwrite": True}, ValueError, "meta['IMHEADER'] holds 63 bytes"),
        ("IMCOMENT odd", CCDData(ccd.data, unit="adu", meta={"IMCOMENT": "616"}),
         {"overwrite": True}, ValueError, "meta['IMCOMENT'] does not hold the .img comment"),
    ]
    before = sorted(os.listdir(work))
    for what, data, kw, error, words in cases:
        try:
            data.write(other, **kw)
            check(False, "%s: written" % what)
        except error as e:
            check(words in str(e), "%s: says %s" % (what, e))
        check(get(other) == b"an old file" and sorted(os.listdir(work)) == before,
              "%s: something changed" % what)
    ccd.write(other, overwrite=True)
    check(get(other) == get(path), "overwrite=True: not the same bytes")
    # Without the keywords: a fresh header, no comment.
    CCDData(np.array([[1.5]]), unit="adu").write(other, overwrite=True)
    check(get(other) == bytes.fromhex("494d" "0000" "0100" "0100" "00000000" "0a00" + "00" * 50 +
                                      "000000000000f83f"),
          "no meta: %s" % get(other).hex())
    os.unlink(other)


def with_fits(work):
    """FITS files written by astropy from an .img CCDData convert back to it
    with pixconvert; FITS files pixconvert writes read into CCDData that
    writes the .img file they came from."""
    if not PIXCONVERT:
        print("pixconvert is not built: FITS is not tried")
        return
    for name, _, _, _ in FILES[:2]:
        path = os.path.join(work, name)
        fits = os.path.join(work, "astropy.fits")
        CCDData.read(path, unit="adu").write(fits, overwrite=True)
        r = subprocess.run([PIXCONVERT, fits, os.path.join(work, "back.img")], capture_output=True)
        check(r.returncode == 0 and get(os.path.join(work, "back.img")) == get(path),
              "%s through astropy's FITS: %s" % (name, r.stderr))
        r = subprocess.run([PIXCONVERT, path, os.path.join(work, "tool.fits")], capture_output=True)
        ccd = CCDData.read(os.path.join(work, "tool.fits"), unit="adu")
        ccd.write(os.path.join(work, "back.img"), overwrite=True)
        check(r.returncode == 0 and get(os.path.join(work, "back.img")) == get(path),
              "%s through pixconvert's FITS and CCDData" % name)
    for name in ("astropy.fits", "tool.fits", "back.img"):
        os.unlink(os.path.join(work, name))


def with_ccdproc(work):
    """A master dark by ccdproc.combine from .img names into an .img file;
    a frame calibrated by ccdproc, written as .img: the values numpy
    computes, the frame's uninterpreted header bytes and comment."""
    rng = np.random.default_rng(7)
    darks = [os.path.join(work, "dark%d.img" % k) for k in range(3)]
    stack = rng.integers(90, 130, (3, 6, 5), dtype=np.uint16)
    for name, values in zip(darks, stack):
        pixdelta.write(name, values, comment=b"dark")
    master = os.path.join(work, "master.img")
    ccdproc.combine(darks, output_file=master, method="median", unit="adu")
    check(bits(pixdelta.read(master).values) == bits(np.median(stack, axis=0)),
          "ccdproc.combine's master dark")
    frame = os.path.join(work, "frame.img")
    values = rng.integers(1000, 2000, (6, 5), dtype=np.uint16)
    pixdelta.write(frame, values, bytes([0x5A]) * 64, b"night, 60 s")
    calibrated = ccdproc.subtract_dark(CCDData.read(frame, unit="adu"),
                                       CCDData.read(master, unit="adu"),
                                       dark_exposure=60 * u.s, data_exposure=60 * u.s)
    calibrated.write(os.path.join(work, "out.img"))
    image = pixdelta.read(os.path.join(work, "out.img"))
    check(bits(image.values) == bits(values - np.median(stack, axis=0)) and
          pixdelta.fields(image.header).uninterpreted == bytes([0x5A]) * 54 and
          image.comment == b"night, 60 s", "ccdproc: calibrated %r" % image)


def registration():
    """CCDData knows .img where astropy was imported before pixdelta too
    (this script imports pixdelta first)."""
    code = ("import sys; from astropy.nddata import CCDData; sys.path.insert(0, sys.argv[1]); "
            "import pixdelta; print(CCDData.read(sys.argv[2], unit='adu').shape)")
    r = subprocess.run([sys.executable, "-c", code, PYTHON_DIR,
                        os.path.join(SOURCE, "examples", "frame16.img")], capture_output=True,
                       text=True)
    check(r.stdout == "(8, 16)\n", "astropy, then pixdelta: %s" % r.stderr[-800:])


def readme(work):
    """The README's Python, run from a folder that looks like the source
    tree, with the package from it."""
    text = open(os.path.join(SOURCE, "README.md")).read()
    section = text.split("\n## In Python\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    check(len(blocks) == 1, "the README's In Python section holds %d Python blocks" % len(blocks))
    for name in ("examples", "python"):
        os.symlink(os.path.join(SOURCE, name), os.path.join(work, name))
    r = subprocess.run([sys.executable, "-c", "\n".join(blocks)], cwd=work, capture_output=True,
                       text=True, env=dict(os.environ, PYTHONPATH=PYTHON_DIR))
    # What its prints show, in the comments after them.
    shown = re.findall(r"^print\(.*\)  # (.*)$", blocks[0] if blocks else "", re.M)
    check(r.returncode == 0 and r.stdout.splitlines() == shown,
          "the README's Python: %r, not %r %s" % (r.stdout, shown, r.stderr[-2000:]))


def main():
    with tempfile.TemporaryDirectory(prefix="pixdelta-astropy-") as work:
        for step in (round_trips, writes, with_fits, with_ccdproc):
            step(work)
        registration()
        os.mkdir(os.path.join(work, "readme"))
        readme(os.path.join(work, "readme"))
    finish("all checks of CCDData and ccdproc passed")


if __name__ == "__main__":
    main()
