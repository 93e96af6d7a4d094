#!/usr/bin/env python3
"""pixconvert against independent readers and writers: astropy.io.fits,
tifffile and Pillow read what it writes and write what it reads.

Usage: convert_interop.py PIXCONVERT
Exits 77 (skipped) with the reason when a module is missing.
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

try:
    import numpy as np
    import tifffile
    from astropy.io import fits
    from PIL import Image, PngImagePlugin
except ImportError as missing:
    print("skipped: %s (apt-get install python3-numpy python3-astropy python3-tifffile "
          "python3-pil)" % missing)
    sys.exit(77)

TOOL = os.path.abspath(sys.argv[1])
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def velkin(values, comment=b"", free=b"\0" * 54):
    """The .img bytes of a 2-D array of uint16 or float64 (height, width)."""
    file_type = 2 if values.dtype == np.uint16 else 10
    y, x = values.shape
    header = struct.pack("<2sHHH4sH50s", b"IM", len(comment), x, y, free[:4], file_type, free[4:])
    return header + comment + values.astype("<u2" if file_type == 2 else "<f8").tobytes()


def run(*args):
    r = subprocess.run([TOOL] + list(args), capture_output=True)
    return r.returncode, r.stderr.decode(errors="replace")


def convert(src, dst, what):
    status, err = run(src, dst)
    check(status == 0 and err == "", "%s: %s -> %s: status %d %s" % (what, src, dst, status, err))


def refused(src, dst, words, what):
    status, err = run(src, dst)
    check(status == 1 and err.startswith("pixconvert: %s: " % src) and words in err
          and not os.path.exists(dst), "%s: status %d, %r" % (what, status, err))


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


u16 = (np.arange(35, dtype=np.uint64) * 1931 % 65536).astype(np.uint16).reshape(5, 7)
u16[0, :3] = [0, 65535, 32768]
f64 = np.array([[np.nan, -0.0, np.inf, -np.inf, 5e-324, 1.7976931348623157e308, 1 / 3],
                [1, 2, 3, 4, 5, 6, -7.25]], dtype=np.float64)

READERS = {
    "fits": lambda p: fits.getdata(p),
    "tif": lambda p: tifffile.imread(p),
    # Pillow widens 16-bit gray to 32-bit: its IHDR says what the file holds.
    "png": lambda p: np.array(Image.open(p)).astype(
        np.uint16 if read_bytes(p)[24:26] == b"\x10\x00" else np.int32),
}


def written_files_read_back():
    """What pixconvert writes, others read: same shape (height, width),
    dtype and values; the first value at row 0, column 0."""
    for name, values in (("u16", u16), ("f64", f64)):
        with open(name + ".img", "wb") as f:
            f.write(velkin(values, b"made by the test"))
        for ext, read in READERS.items():
            if ext == "png" and name == "f64":
                continue
            out = "%s.%s" % (name, ext)
            convert(name + ".img", out, "write " + out)
            got = read(out)
            what = "%s read by its reader" % out
            check(got.shape == values.shape, what + ": shape %s" % (got.shape,))
            check(got.dtype.newbyteorder("=") == values.dtype, what + ": dtype %s" % got.dtype)
            check(np.array_equal(got, values, equal_nan=True), what + ": values")
    check(Image.open("u16.png").info.get("Comment") == "made by the test", "PNG Comment chunk")
    check(tifffile.TiffFile("u16.tif").pages[0].description == "made by the test",
          "TIFF ImageDescription")


def foreign_files_convert():
    """Files written elsewhere get a fresh header with their own comment."""
    fits.PrimaryHDU(u16).writeto("a_u16.fits")  # BITPIX 16, BZERO 32768
    fits.PrimaryHDU(f64).writeto("a_f64.fits")
    h = fits.PrimaryHDU(u16)
    h.header.add_comment("first line")
    h.header.add_comment("second")
    h.writeto("a_comment.fits")
    tifffile.imwrite("a_strips.tif", u16, rowsperstrip=2, description="from tifffile",
                     metadata=None)
    big = (np.arange(40 * 70) % 65521).astype(np.uint16).reshape(40, 70)
    tifffile.imwrite("a_tiles.tif", big, tile=(16, 32), metadata=None)
    big64 = np.arange(40 * 70, dtype=np.float64).reshape(40, 70) / 7
    tifffile.imwrite("a_tiles64.tif", big64, tile=(16, 16), metadata=None)
    tifffile.imwrite("a_f64.tif", f64, metadata=None)
    tifffile.imwrite("a_zlib.tif", big, compression="zlib", predictor=True, rowsperstrip=7,
                     metadata=None)
    tifffile.imwrite("a_zlib64.tif", big64, compression="zlib", tile=(16, 16), metadata=None)
    tifffile.imwrite("a_bigendian.tif", u16, byteorder=">", metadata=None)
    tifffile.imwrite("a_bigtiff.tif", u16, bigtiff=True, description="big", metadata=None)
    info = PngImagePlugin.PngInfo()
    info.add_text("Comment", "from Pillow")
    Image.fromarray(u16).save("a_u16.png", pnginfo=info)
    cases = [("a_u16.fits", u16, b""), ("a_f64.fits", f64, b""),
             ("a_comment.fits", u16, b"first line\nsecond\n"),
             ("a_strips.tif", u16, b"from tifffile"), ("a_tiles.tif", big, b""),
             ("a_tiles64.tif", big64, b""), ("a_f64.tif", f64, b""),
             ("a_bigendian.tif", u16, b""), ("a_bigtiff.tif", u16, b"big"), ("a_zlib.tif", big, b""), ("a_zlib64.tif", big64, b""), ("a_u16.png", u16, b"from Pillow")]
    for src, values, comment in cases:
        convert(src, "out.img", "foreign " + src)
        check(read_bytes("out.img") == velkin(values, comment), "foreign %s: bytes" % src)
        os.unlink("out.img")


def interlaced_png():
    """A 1x1 16-bit gray Adam7 PNG (Pillow writes none): pass 1 holds the
    only pixel."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 16, 0, 0, 0, 1)) +
            chunk(b"IDAT", zlib.compress(b"\0\x12\x34")) + chunk(b"IEND", b""))


def wide_tiles_tiff():
    """65535x1 binary64 in 64 tiles of 1024x4096 (32 MiB each): a row of tiles
    of 2 GiB. Only the directory is written; the refusal comes before any
    tile is read."""
    tiles = 64
    arrays = 8 + 2 + 12 * 12 + 4
    entries = [(256, 4, 1, 65535), (257, 4, 1, 1), (258, 3, 1, 64), (259, 3, 1, 1),
               (262, 3, 1, 1), (277, 3, 1, 1), (284, 3, 1, 1), (322, 4, 1, 1024),
               (323, 4, 1, 4096), (324, 4, tiles, arrays), (325, 4, tiles, arrays + 4 * tiles),
               (339, 3, 1, 3)]
    ifd = struct.pack("<H", len(entries)) + b"".join(
        struct.pack("<HHI", tag, kind, count) +
        (struct.pack("<HH", value, 0) if kind == 3 else struct.pack("<I", value))
        for tag, kind, count, value in entries) + struct.pack("<I", 0)
    return (b"II*\0" + struct.pack("<I", 8) + ifd + struct.pack("<%dI" % tiles, *[8] * tiles) +
            struct.pack("<%dI" % tiles, *[1024 * 4096 * 8] * tiles))


def foreign_files_refused():
    def fits_with(data, **keys):
        h = fits.PrimaryHDU(data)
        for k, v in keys.items():
            h.header[k] = v
        return h

    fits.PrimaryHDU(np.zeros((3, 4), np.int16)).writeto("r_signed.fits")
    hdu = fits.PrimaryHDU(np.zeros((3, 4), np.int16))
    hdu.header["BSCALE"] = 2.0
    hdu.writeto("r_scaled.fits")
    fits.PrimaryHDU(np.zeros((3, 4), np.float32)).writeto("r_float32.fits")
    fits.PrimaryHDU(np.zeros((2, 3, 4), np.uint16)).writeto("r_cube.fits")
    fits.PrimaryHDU(np.zeros((1, 65536), np.uint16)).writeto("r_wide.fits")
    fits_with(np.zeros((1, 1), np.uint16)).writeto("r_long.fits")
    with fits.open("r_long.fits", mode="update") as f:
        for _ in range(65536 // 70 + 2):
            f[0].header.add_comment("x" * 70)
    tifffile.imwrite("r_rgb.tif", np.zeros((3, 4, 3), np.uint16), photometric="rgb")
    tifffile.imwrite("r_u8.tif", np.zeros((3, 4), np.uint8))
    tifffile.imwrite("r_f32.tif", np.zeros((3, 4), np.float32))
    tifffile.imwrite("r_i16.tif", np.zeros((3, 4), np.int16))
    tifffile.imwrite("r_pages.tif", np.zeros((2, 3, 4), np.uint16))
    tifffile.imwrite("r_tall.tif", np.zeros((65536, 1), np.uint16))
    tifffile.imwrite("r_longdesc.tif", np.zeros((2, 2), np.uint16), description="y" * 65536,
                     metadata=None)
    Image.fromarray(np.zeros((3, 4, 3), np.uint8)).save("r_rgb.png")
    Image.fromarray(np.zeros((3, 4), np.uint8)).save("r_u8.png")
    Image.fromarray(np.zeros((1, 65536), np.uint16)).save("r_wide.png")
    info = PngImagePlugin.PngInfo()
    info.add_text("Comment", "z" * 65536)
    Image.fromarray(np.zeros((2, 2), np.uint16)).save("r_longcomment.png", pnginfo=info)
    with open("r_interlaced.png", "wb") as f:
        f.write(interlaced_png())
    with open("r_widetiles.tif", "wb") as f:
        f.write(wide_tiles_tiff())
    for src, words in [
        ("r_signed.fits", "BITPIX 16 with BSCALE 1.000000 BZERO 0.000000; accepted"),
        ("r_scaled.fits", "BSCALE 2.000000"), ("r_float32.fits", "BITPIX -32"),
        ("r_cube.fits", "image has 3 axes"), ("r_wide.fits", "image is 65536x1; at most 65535"),
        ("r_long.fits", "; at most 65535 fit"),
        ("r_rgb.tif", "colour"), ("r_u8.tif", "8-bit samples of format 1; accepted"),
        ("r_f32.tif", "32-bit samples of format 3"), ("r_i16.tif", "16-bit samples of format 2"),
        ("r_pages.tif", "multi-page"), ("r_widetiles.tif", "a row of tiles exceeds 256 MiB"), ("r_tall.tif", "image is 1x65536"),
        ("r_longdesc.tif", "comment of 65536 bytes"),
        ("r_rgb.png", "colour or 8-bit"), ("r_u8.png", "colour or 8-bit"),
        ("r_wide.png", "image is 65536x1"), ("r_interlaced.png", "interlaced"), ("r_longcomment.png", "comment of 65536 bytes"),
    ]:
        refused(src, "out.img", words, "refuse " + src)


def damaged_metadata_refused():
    """A carried header that no longer matches the image is refused."""
    with open("m.img", "wb") as f:
        f.write(velkin(u16, b"abc"))
    convert("m.img", "m.fits", "metadata source")
    with fits.open("m.fits") as f:
        data, header = f[0].data, f[0].header.copy()
    cut = fits.PrimaryHDU(data[:, :6])
    cut.header["IMHEADER"] = header["IMHEADER"]
    cut.header["IMCOMENT"] = header["IMCOMENT"]
    cut.writeto("m_cut.fits")
    refused("m_cut.fits", "out.img", "carried .img header says 7x5 type 2 but the image is 6x5",
            "cropped FITS")
    bad = fits.PrimaryHDU(data)
    bad.header["IMHEADER"] = header["IMHEADER"]
    bad.header["IMCOMENT"] = "61626"
    bad.writeto("m_odd.fits")
    refused("m_odd.fits", "out.img", "not hexadecimal", "odd hex")
    wrong = fits.PrimaryHDU(data)
    wrong.header["IMHEADER"] = header["IMHEADER"]
    wrong.header["IMCOMENT"] = "6162"
    wrong.writeto("m_length.fits")
    refused("m_length.fits", "out.img", "damaged", "comment length")
    convert("m.img", "m.png", "metadata source PNG")
    im = Image.open("m.png")
    info = PngImagePlugin.PngInfo()
    info.add_text("IM header", im.info["IM header"][:-2] + "ff", zip=True)
    im.save("m_png.png", pnginfo=info)
    refused("m_png.png", "out.img", "damaged", "PNG header")


def preview():
    """8-bit min-max stretch: non-finite values ignored for the range, NaN and
    -inf black, +inf white; a constant image black; zoom repeats pixels, also
    past libpng's default limit of a million pixels across or down."""
    cases = [
        ("p16", np.array([[100, 200, 300], [400, 500, 600]], np.uint16), 1,
         [[0, 51, 102], [153, 204, 255]]),
        ("p64", np.array([[np.nan, -1.0, np.inf], [-np.inf, 1.0, 0.0]]), 1,
         [[0, 0, 255], [0, 255, 128]]),
        ("pwide", np.array([[-1.7976931348623157e308, 1.7976931348623157e308, 0.0]]), 1,
         [[0, 255, 128]]),
        ("pflat", np.full((2, 2), 7.5), 1, [[0, 0], [0, 0]]),
        ("pzoom", np.array([[0, 65535]], np.uint16), 3,
         [[0, 0, 0, 255, 255, 255]] * 3),
        ("pwider", np.full((1, 65535), 7, np.uint16), 16, np.zeros((16, 1048560))),
        ("ptaller", np.full((65535, 1), 7, np.uint16), 16, np.zeros((1048560, 16))),
    ]
    for name, values, zoom, expected in cases:
        with open(name + ".img", "wb") as f:
            f.write(velkin(values))
        status, err = run("--preview", "--zoom", str(zoom), name + ".img", name + ".png")
        im = Image.open(name + ".png") if status == 0 else None
        got = np.array(im) if im else None
        check(status == 0 and err == "" and im.mode == "L" and
              np.array_equal(got, np.array(expected, np.uint8)),
              "preview %s: %s %s" % (name, got if got is None or got.size > 99 else got.tolist(),
                                     err))


def main():
    with tempfile.TemporaryDirectory(prefix="pixconvert-interop-") as work:
        os.chdir(work)
        for step in (written_files_read_back, foreign_files_convert, foreign_files_refused,
                     damaged_metadata_refused, preview):
            step()
    if failures:
        print("%d failure(s)" % len(failures))
        sys.exit(1)
    print("all interoperability checks passed")


if __name__ == "__main__":
    main()
