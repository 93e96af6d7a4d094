#!/usr/bin/env python3
"""pixconvert against independent readers and writers: astropy.io.fits,
tifffile and Pillow read what it writes and write what it reads; files
damaged or crafted by hand are refused as they should be, within seconds
and within bounded memory.

Usage: convert_interop.py PIXCONVERT SOURCE_DIR
Exits 77 (skipped) with the reason when a module is missing, or 1 instead
where PIXDELTA_NO_SKIPS is set.
"""
import os
import struct
import subprocess
import sys
import tempfile
import warnings
import zlib

try:
    import numpy as np
    import tifffile
    from astropy.io import fits
    from PIL import Image, PngImagePlugin
except ImportError as missing:
    print("skipped: %s (apt-get install python3-numpy python3-astropy python3-tifffile "
          "python3-pil)" % missing)
    sys.exit(1 if os.environ.get("PIXDELTA_NO_SKIPS") else 77)
# The checks that count failures, the file helpers, and the package from
# the source tree (which python_support puts on the path).
from python_support import check, failures, get as read_bytes, put as write_bytes  # noqa: E402
import pixdelta  # noqa: E402

TOOL = os.path.abspath(sys.argv[1])
SOURCE = os.path.abspath(sys.argv[2])
# Under an emulator (PIXDELTA_EMULATED, as tests/big-endian sets it) runs
# take several times as long, and /usr/bin/time would measure the
# emulator's memory, not pixconvert's. The sanitizers' shadow memory makes
# memory figures meaningless too.
EMULATED = bool(os.environ.get("PIXDELTA_EMULATED"))
SANITIZED = bool(os.environ.get("PIXDELTA_SANITIZED"))
MEMORY_FIGURES = not (EMULATED or SANITIZED)


def velkin(values, comment=b""):
    """The .img bytes of a 2-D array of uint16 or float64 (height, width)."""
    return pixdelta.to_bytes(values, comment=comment)


def run(*args, seconds=60):
    """Status and stderr of one run, which must end within `seconds`."""
    seconds *= 10 if EMULATED else 1
    try:
        r = subprocess.run([TOOL] + list(args), stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, timeout=seconds)
    except subprocess.TimeoutExpired:
        check(False, "%s: still running after %d s" % (args, seconds))
        return -1, ""
    return r.returncode, r.stderr.decode(errors="replace")


def convert(src, dst, what, *options):
    status, err = run(*options, src, dst)
    check(status == 0 and err == "", "%s: %s -> %s: status %d %s" % (what, src, dst, status, err))


def refused(src, dst, words, what, *options):
    status, err = run(*options, src, dst)
    check(status == 1 and err.startswith("pixconvert: %s: " % src) and words in err
          and not os.path.exists(dst), "%s: status %d, %r" % (what, status, err))


u16 = (np.arange(35, dtype=np.uint64) * 1931 % 65536).astype(np.uint16).reshape(5, 7)
u16[0, :3] = [0, 65535, 32768]
f64 = np.array([[np.nan, -0.0, np.inf, -np.inf, 5e-324, 1.7976931348623157e308, 1 / 3],
                [1, 2, 3, 4, 5, 6, -7.25]], dtype=np.float64)


def same(a, b):
    return a.shape == b.shape and np.array_equal(
        np.ascontiguousarray(a).view(np.uint8), np.ascontiguousarray(b).view(np.uint8))


READERS = {
    "fits": lambda p: fits.getdata(p),
    "fz": lambda p: fits.getdata(p, ext=1),
    "tif": lambda p: tifffile.imread(p),
    # Pillow widens 16-bit gray to 32-bit: its IHDR says what the file holds.
    "png": lambda p: np.array(Image.open(p)).astype(
        np.uint16 if read_bytes(p)[24:26] == b"\x10\x00" else np.int32),
}


def written_files_read_back():
    """What pixconvert writes, others read: the same values, bit for bit, the
    first value at row 0, column 0; the comment where each looks for it."""
    comment = b"made by the test\nsecond line"
    for name, values in (("u16", u16), ("f64", f64)):
        write_bytes(name + ".img", velkin(values, comment))
        for ext, read in READERS.items():
            if ext == "png" and name == "f64":
                continue
            out = "%s.%s" % (name, ext)
            convert(name + ".img", out, "write " + out)
            got = read(out)
            check(same(got.astype(got.dtype.newbyteorder("=")), values),
                  "%s read by its reader: %s %s" % (out, got.dtype, got.shape))
    check(Image.open("u16.png").info.get("Comment") == comment.decode(), "PNG Comment chunk")
    page = tifffile.TiffFile("u16.tif").pages[0]
    check(page.description == comment.decode(), "TIFF ImageDescription")
    check(page.tags["ResolutionUnit"].value == 1 and page.tags["XResolution"].value == (1, 1),
          "TIFF resolution tags")
    check(b"urn:pixdelta:img:1.0/" in page.tags[700].value, "TIFF XMP packet")
    check(list(fits.getheader("u16.fits")["COMMENT"])[-2:] == ["made by the test", "second line"],
          "FITS COMMENT cards")
    # Comments other programs cannot show as they are.
    for comment, png, tif, cards in [
            (b"caf\xc3\xa9 \xe2\x82\xac", "caf\u00e9 \u20ac", None, None),
            (b"bell\x07 and tab\t", "bell and tab", None, None),
            (b"del\x7f", "del", None, None),
            (b"tab\tand CR\r\nend", "taband CR\nend", "tab\tand CR\r\nend", None),
            (b"latin-1 \xe9", "latin-1 \u00e9", None, None),
            (b"", None, None, [])]:
        write_bytes("c.img", velkin(u16, comment))
        for ext in ("png", "tif", "fits"):
            convert("c.img", "c." + ext, "comment %r to %s" % (comment, ext))
        check(Image.open("c.png").info.get("Comment") == png, "PNG Comment of %r" % comment)
        check(tifffile.TiffFile("c.tif").pages[0].description == tif or
              (tif is None and "ImageDescription" not in tifffile.TiffFile("c.tif").pages[0].tags),
              "TIFF ImageDescription of %r" % comment)
        found = [c for c in fits.getheader("c.fits").get("COMMENT", []) if "FITS" not in c
                 and "long string" not in c and "continued" not in c and "character" not in c
                 and "CONTINUE" not in c and "Astrophysics" not in c]
        check(cards is None and found == [] or found == (cards or []),
              "FITS COMMENT cards of %r: %r" % (comment, found))


def foreign_files_convert():
    """Files written elsewhere get a fresh header with their own comment."""
    fits.PrimaryHDU(u16).writeto("a_u16.fits")  # BITPIX 16, BZERO 32768
    fits.PrimaryHDU(f64).writeto("a_f64.fits")
    h = fits.PrimaryHDU(u16)
    h.header.add_comment("first line")
    h.header.add_comment("second")
    h.writeto("a_comment.fits")
    fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(f64, name="SCI")]).writeto("a_ext.fits")
    fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(u16)]).writeto("a_comp16.fits")
    fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(f64, compression_type="GZIP_2",
                                                        quantize_level=0)]).writeto("a_comp64.fits")
    fits.PrimaryHDU(u16.reshape(1, 1, 5, 7)).writeto("a_cube.fits")
    fits.PrimaryHDU(u16).writeto("a_fpack.fits")
    subprocess.run(["fpack", "-r", "-O", "a_fpack.fz", "a_fpack.fits"], check=True)
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
    tifffile.imwrite("a_bigzlib.tif", big, byteorder=">", compression="zlib", rowsperstrip=7,
                     metadata=None)
    tifffile.imwrite("a_bigtiles64.tif", big64, byteorder=">", tile=(16, 16), metadata=None)
    tifffile.imwrite("a_bigtiff.tif", u16, bigtiff=True, description="big", metadata=None)
    tifffile.imwrite("a_longest.tif", u16, description="y" * 65535, metadata=None)
    for orientation in (2, 3, 4):
        tifffile.imwrite("a_orient%d.tif" % orientation, u16, metadata=None,
                         extratags=[(274, "H", 1, orientation, True)])
    info = PngImagePlugin.PngInfo()
    info.add_text("Comment", "from Pillow")
    info.add_text("Comment", "twice")
    Image.fromarray(u16).save("a_u16.png", pnginfo=info)
    cases = [("a_u16.fits", u16, b"", ()), ("a_f64.fits", f64, b"", ()),
             ("a_comment.fits", u16, b"first line\nsecond\n", ()),
             ("a_ext.fits", f64, b"", ()), ("a_ext.fits", f64, b"", ("--hdu", "1")),
             ("a_ext.fits", f64, b"", ("--hdu", "SCI")), ("a_comp16.fits", u16, b"", ()),
             ("a_comp64.fits", f64, b"", ()), ("a_cube.fits", u16, b"", ()),
             ("a_fpack.fz", u16, b"", ()),
             ("a_strips.tif", u16, b"from tifffile", ()), ("a_tiles.tif", big, b"", ()),
             ("a_tiles64.tif", big64, b"", ()), ("a_f64.tif", f64, b"", ()),
             ("a_bigendian.tif", u16, b"", ()), ("a_bigtiff.tif", u16, b"big", ()),
             ("a_longest.tif", u16, b"y" * 65535, ()),
             ("a_bigzlib.tif", big, b"", ()), ("a_bigtiles64.tif", big64, b"", ()),
             ("a_zlib.tif", big, b"", ()), ("a_zlib64.tif", big64, b"", ()),
             ("a_orient2.tif", u16[:, ::-1], b"", ()), ("a_orient3.tif", u16[::-1, ::-1], b"", ()),
             ("a_orient4.tif", u16[::-1], b"", ()),
             ("a_u16.png", u16, b"from Pillow\ntwice", ())]
    for src, values, comment, options in cases:
        convert(src, "out.img", "foreign %s %s" % (src, options), *options)
        check(read_bytes("out.img") == velkin(values, comment), "foreign %s %s: bytes"
              % (src, options))
        os.unlink("out.img")
    refused("a_ext.fits", "out.img", "HDU 0: holds no image", "primary HDU", "--hdu", "0")
    # Chunks pixconvert has no use for are skipped unread: a damaged ICC
    # profile costs nothing and stops nothing.
    write_bytes("a_iccp.png", png_file([png_chunk(b"iCCP", b"camera\0\0not zlib at all")],
                                       width=7, height=5))
    convert("a_iccp.png", "out.img", "PNG with a damaged iCCP chunk")
    check(read_bytes("out.img") == velkin(np.full((5, 7), 0x1234, np.uint16)),
          "PNG with a damaged iCCP chunk: bytes")
    # Strips of 3 rows of 128 KiB, stored last first: reads of a chunk start
    # within a strip, and must stop at its end.
    wide = (np.arange(65535 * 6, dtype=np.uint32) % 65521).astype(np.uint16).reshape(6, 65535)
    tifffile.imwrite("a_reversed.tif", wide, rowsperstrip=3, metadata=None)
    tiff = bytearray(read_bytes("a_reversed.tif"))
    with tifffile.TiffFile("a_reversed.tif") as f:
        page = f.pages[0]
        (first, second), size, at = (page.dataoffsets, page.databytecounts[0],
                                     page.tags["StripOffsets"].valueoffset)
    tiff[first:second + size] = tiff[second:second + size] + tiff[first:first + size]
    struct.pack_into("<2I", tiff, at, first + size, first)
    write_bytes("a_reversed.tif", bytes(tiff))
    convert("a_reversed.tif", "out.img", "strips stored last first")
    check(read_bytes("out.img") == velkin(wide), "strips stored last first: bytes")
    os.unlink("out.img")
    refused("a_ext.fits", "out.img", ": has no HDU 2 (it has 2)\n", "past the last HDU", "--hdu", "2")
    refused("a_ext.fits", "out.img", ": has no HDU named SKY\n", "no such name", "--hdu", "SKY")
    # A damaged HDU is not a missing one: cfitsio's reason reaches the user.
    write_bytes("a_damaged.fits", with_cards("a_ext.fits", 1, NAXIS1="'wide'"))
    refused("a_damaged.fits", "out.img", ": cannot read HDU 1: ", "damaged HDU", "--hdu", "1")


def fits_values(path, ext=0):
    """The values of a FITS image as numpy computes them from the numbers
    stored, which astropy reads unscaled: BZERO + BSCALE x stored in binary64
    (the product, then the sum, as astropy scales; integers and a whole BZERO
    summed exactly, as astropy's unsigned types are), BLANK as NaN."""
    with fits.open(path, do_not_scale_image_data=True) as f:
        header, stored = f[ext].header, f[ext].data
        scale, zero, blank = header.get("BSCALE", 1), header.get("BZERO", 0), header.get("BLANK")
        if stored.dtype.kind in "iu" and scale == 1 and float(zero).is_integer():
            values = (stored.astype(object) + int(zero)).astype(np.float64)
        else:
            values = stored.astype(np.float64)
            values = values * scale if scale != 1 else values
            values = values + zero if zero != 0 else values
        if blank is not None and stored.dtype.kind in "iu":
            values[stored == blank] = np.nan
        return values


def corner_ints(dtype, shape=(5, 7), low=None, high=None):
    """Random integers of a type, its least and greatest first."""
    info = np.iinfo(dtype)
    low, high = info.min if low is None else low, info.max if high is None else high
    values = np.random.default_rng(11).integers(low, high, shape, dtype=dtype, endpoint=True)
    values.flat[:2] = [low, high]
    return values


F32 = np.array([[np.nan, -0.0, np.inf, -np.inf, np.finfo(np.float32).smallest_subnormal,
                 np.finfo(np.float32).max, 1 / 3], [1, 2, 3, 4, 5, 6, -7.25]], np.float32)
LIMIT = 2 ** 53


def low_bit_png(path, depth, values):
    """A gray PNG of 1, 2 or 4 bits a sample, packed by hand (Pillow writes
    none of 2 or 4)."""
    height, width = values.shape
    per_byte = 8 // depth
    rows = b""
    for row in values.tolist():
        row += [0] * (-len(row) % per_byte)
        packed = bytes(sum(v << (8 - depth * (k + 1)) for k, v in enumerate(row[i:i + per_byte]))
                       for i in range(0, len(row), per_byte))
        rows += b"\0" + packed
    write_bytes(path, b"\x89PNG\r\n\x1a\n" +
                png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, 0, 0, 0, 0)) +
                png_chunk(b"IDAT", zlib.compress(rows)) + png_chunk(b"IEND", b""))


def sample_types():
    """Every sample type each format declares converts to the .img type its
    kind maps to (uint16: unsigned of 16 bits or fewer, FITS BITPIX 16 with
    BZERO 32768; binary64: the rest), with the values numpy reads from the
    file as its writer made it."""
    cases = []  # (file, values as numpy reads them, .img dtype)

    def fits_case(name, stored, dtype, **cards):
        hdu = fits.PrimaryHDU(stored)
        for key, value in cards.items():
            hdu.header[key] = value
        with warnings.catch_warnings():  # a BLANK of floats, which astropy writes as asked
            warnings.simplefilter("ignore", fits.verify.VerifyWarning)
            hdu.writeto(name)
            cases.append((name, fits_values(name), dtype))

    i64 = corner_ints(np.int64, low=-LIMIT, high=LIMIT)
    i64.flat[2:4] = [LIMIT - 1, 1 - LIMIT]
    fits_case("s_u8.fits", corner_ints(np.uint8), np.uint16)  # BITPIX 8
    fits_case("s_i8.fits", corner_ints(np.int8), np.float64)  # BITPIX 8, BZERO -128
    fits_case("s_i16.fits", corner_ints(np.int16), np.float64)
    fits_case("s_u16.fits", corner_ints(np.uint16), np.uint16)  # BZERO 32768
    fits_case("s_i32.fits", corner_ints(np.int32), np.float64)
    fits_case("s_u32.fits", corner_ints(np.uint32), np.float64)  # BZERO 2^31
    fits_case("s_i64.fits", i64, np.float64)
    fits_case("s_u64.fits", corner_ints(np.uint64, high=LIMIT), np.float64)  # BZERO 2^63
    fits_case("s_f32.fits", F32, np.float64)
    fits_case("s_f64.fits", f64, np.float64)
    # Scaled: products that round, sums that round, -0 kept where BZERO is
    # 0, a BZERO of 32768 with another BSCALE, BLANK as NaN.
    fits_case("s_u8_zero.fits", corner_ints(np.uint8), np.float64, BZERO=10)
    fits_case("s_i16_scaled.fits", corner_ints(np.int16), np.float64, BSCALE=0.1, BZERO=1000.3)
    fits_case("s_i16_half.fits", corner_ints(np.int16), np.float64, BSCALE=0.5, BZERO=32768)
    fits_case("s_i16_negative.fits", corner_ints(np.int16), np.float64, BSCALE=-3.0)
    fits_case("s_i16_blank.fits", corner_ints(np.int16), np.float64, BLANK=-32768)
    fits_case("s_i32_scaled.fits", corner_ints(np.int32), np.float64, BSCALE=1e-7, BZERO=-5,
              BLANK=2147483647)
    fits_case("s_i64_scaled.fits", i64, np.float64, BSCALE=2.5, BLANK=-LIMIT)
    fits_case("s_i64_zero.fits", corner_ints(np.int64, low=-LIMIT - 7, high=LIMIT - 7),
              np.float64, BZERO=7)
    fits_case("s_f32_scaled.fits", F32, np.float64, BSCALE=2.0, BZERO=1.0)
    fits_case("s_f64_scaled.fits", f64, np.float64, BSCALE=1 / 3, BLANK=5)  # BLANK: integers only

    def tiff_case(name, values, **options):
        tifffile.imwrite(name, values, metadata=None, **options)
        read = tifffile.imread(name)
        cases.append((name, read, np.uint16 if read.dtype.itemsize <= 2 and read.dtype.kind == "u"
                      else np.float64))

    tiff_kinds = [("u8", corner_ints(np.uint8)), ("i8", corner_ints(np.int8)),
                  ("u16", corner_ints(np.uint16)), ("i16", corner_ints(np.int16)),
                  ("u32", corner_ints(np.uint32)), ("i32", corner_ints(np.int32)),
                  ("u64", corner_ints(np.uint64, high=LIMIT)), ("i64", i64),
                  ("f32", F32), ("f64", f64)]
    for kind, values in tiff_kinds:
        tiff_case("s_%s.tif" % kind, values)
        tiff_case("s_%s_big.tif" % kind, values, byteorder=">")
        tiff_case("s_%s_tiles.tif" % kind, np.tile(values, (8, 8)), tile=(16, 16), byteorder=">")
        tiff_case("s_%s_zlib.tif" % kind, np.tile(values, (4, 4)), compression="zlib",
                  rowsperstrip=3)
        # libtiff's LZW, with its predictors, made by tiffcp from the file above.
        predictor = 3 if kind.startswith("f") else 2
        for lzw in ("lzw", "lzw:%d" % predictor):
            out = "s_%s_%s.tif" % (kind, lzw.replace(":", "_"))
            subprocess.run(["tiffcp", "-c", lzw, "s_%s_zlib.tif" % kind, out], check=True)
            cases.append((out, tifffile.imread("s_%s_zlib.tif" % kind), cases[-1][2]))

    u8 = corner_ints(np.uint8)
    Image.fromarray(u8).save("s_u8.png")
    Image.fromarray(u8 > 127).save("s_u1.png")
    cases += [("s_u8.png", np.array(Image.open("s_u8.png")), np.uint16),
              ("s_u1.png", np.array(Image.open("s_u1.png")), np.uint16)]
    # 2- and 4-bit gray as stored, which Pillow reads widened to 8 bits.
    for depth in (1, 2, 4):
        values = corner_ints(np.uint8, (3, 11), 0, (1 << depth) - 1)
        low_bit_png("s_low%d.png" % depth, depth, values)
        widened = np.array(Image.open("s_low%d.png" % depth).convert("L"))
        check(np.array_equal(widened, values * (255 // ((1 << depth) - 1))),
              "Pillow reads %d-bit gray as written" % depth)
        cases.append(("s_low%d.png" % depth, values, np.uint16))

    for src, values, dtype in cases:
        convert(src, "out.img", "sample type " + src)
        check(read_bytes("out.img") == velkin(values.astype(dtype)),
              "sample type %s: %s" % (src, values_of("out.img", dtype).tolist()))
        os.unlink("out.img")
    # Samples widen into .img values a chunk of rows at a time: 128 MiB of
    # binary64 from int8, 64 MiB from float32, 32 MiB of uint16 from 8 bits.
    fits.PrimaryHDU(np.ones((4096, 4096), np.int8)).writeto("s_big_i8.fits")
    tifffile.imwrite("s_big_f32.tif", np.ones((4096, 4096), np.float32), compression="zlib",
                     metadata=None)
    Image.fromarray(np.ones((4096, 4096), np.uint8)).save("s_big_u8.png")
    for src in ("s_big_i8.fits", "s_big_f32.tif", "s_big_u8.png"):
        bounded(src, None, "a large " + src)


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_file(chunks, width=1, height=1, depth=16, interlace=0):
    row = b"\0" + b"\x12\x34" * width
    return (b"\x89PNG\r\n\x1a\n" +
            png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, 0, 0, 0, interlace)) +
            b"".join(chunks) + png_chunk(b"IDAT", zlib.compress(row * height)) +
            png_chunk(b"IEND", b""))


def ztxt(key, data):
    return png_chunk(b"zTXt", key + b"\0\0" + zlib.compress(data))


def wide_tiles_tiff(width, tile_width, tile_length, compression, bits):
    """A tiled TIFF directory whose tiles all point at one small tile: only the
    layout matters, the refusal comes before any tile is read."""
    across = (width + tile_width - 1) // tile_width
    arrays = 8 + 2 + 12 * 12 + 4
    entries = [(256, 4, 1, width), (257, 4, 1, 1), (258, 3, 1, bits), (259, 3, 1, compression),
               (262, 3, 1, 1), (277, 3, 1, 1), (284, 3, 1, 1), (322, 4, 1, tile_width),
               (323, 4, 1, tile_length), (324, 4, across, arrays),
               (325, 4, across, arrays + 4 * across), (339, 3, 1, 3 if bits == 64 else 1)]
    ifd = struct.pack("<H", len(entries)) + b"".join(
        struct.pack("<HHI", tag, kind, count) +
        (struct.pack("<HH", value, 0) if kind == 3 else struct.pack("<I", value))
        for tag, kind, count, value in entries) + struct.pack("<I", 0)
    return (b"II*\0" + struct.pack("<I", 8) + ifd + struct.pack("<%dI" % across, *[8] * across) +
            struct.pack("<%dI" % across, *[16] * across))


def foreign_files_refused():
    for name, dtype, at, value, cards in [
            ("r_blank8", np.uint8, (0, 0), 0, {"BLANK": 255}),
            ("r_blank16", np.uint16, (0, 0), 0, {"BLANK": -32768}),
            ("r_i64", np.int64, (1, 2), LIMIT + 1, {}),
            ("r_i64neg", np.int64, (2, 3), -LIMIT - 1, {}),
            ("r_u64", np.uint64, (0, 3), 2 ** 64 - 1, {}),
            ("r_i64scaled", np.int64, (2, 0), LIMIT + 2, {"BSCALE": 0.5})]:
        values = np.zeros((3, 4), dtype)
        values[at] = value
        hdu = fits.PrimaryHDU(values)
        for key, card in cards.items():
            hdu.header[key] = card
        hdu.writeto(name + ".fits")
    tifffile.imwrite("r_i64.tif", np.array([[0, 1], [2, -LIMIT - 1]], np.int64))
    tifffile.imwrite("r_u64.tif", np.array([[0, LIMIT + 1]], np.uint64), byteorder=">")
    fits.PrimaryHDU(np.zeros((2, 3, 4), np.uint16)).writeto("r_cube.fits")
    fits.PrimaryHDU(np.zeros((1, 65536), np.uint16)).writeto("r_wide.fits")
    fits.PrimaryHDU().writeto("r_nodata.fits")
    fits.PrimaryHDU(np.zeros((1, 1), np.uint16)).writeto("r_long.fits")
    with fits.open("r_long.fits", mode="update") as f:
        for _ in range(65536 // 70 + 2):
            f[0].header.add_comment("x" * 70)
    fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(np.zeros((4096, 4096), np.uint16),
                                                        tile_size=(4096, 4096))]).writeto(
                                                            "r_bigtile.fits")
    tifffile.imwrite("r_rgb.tif", np.zeros((3, 4, 3), np.uint16), photometric="rgb")
    tifffile.imwrite("r_alpha.tif", np.zeros((3, 4, 2), np.uint8), photometric="minisblack",
                     extrasamples=[2])
    tifffile.imwrite("r_palette.tif", np.zeros((3, 4), np.uint8), photometric="palette",
                     colormap=np.zeros((3, 256), np.uint16))
    tifffile.imwrite("r_f16.tif", np.zeros((3, 4), np.float16))
    tifffile.imwrite("r_c64.tif", np.zeros((3, 4), np.complex64))
    tifffile.imwrite("r_white.tif", np.zeros((3, 4), np.uint16), photometric="miniswhite")
    tifffile.imwrite("r_pages.tif", np.zeros((2, 30, 40), np.uint16))
    tifffile.imwrite("r_tall.tif", np.zeros((65536, 1), np.uint16))
    tifffile.imwrite("r_orient6.tif", u16, metadata=None, extratags=[(274, "H", 1, 6, True)])
    tifffile.imwrite("r_longdesc.tif", np.zeros((2, 2), np.uint16), description="y" * 65536,
                     metadata=None)
    tifffile.imwrite("r_bigstrip.tif", np.zeros((4096, 4096), np.uint16), compression="zlib",
                     rowsperstrip=4096, metadata=None)
    write_bytes("r_widetiles.tif", wide_tiles_tiff(65535, 1024, 4096, 1, 64))
    # 286 bytes that claim a deflated tile of 65536 x 2048 values.
    write_bytes("r_deflatetile.tif", wide_tiles_tiff(65535, 65536, 2048, 8, 16))
    # One byte of an LZMA strip changed: libtiff's decoder reports the
    # damage through the error handler yet says it decoded the strip, one
    # value wrong (pixconvert gave status 0).
    lzma = np.random.default_rng(7).integers(0, 65536, (64, 64)).astype(np.uint16)
    tifffile.imwrite("r_lzma.tif", lzma, compression="lzma", rowsperstrip=64, metadata=None)
    page = tifffile.TiffFile("r_lzma.tif").pages[0]
    damaged = bytearray(read_bytes("r_lzma.tif"))
    damaged[page.dataoffsets[0] + page.databytecounts[0] // 2] ^= 0x55
    write_bytes("r_lzma.tif", bytes(damaged))
    Image.fromarray(np.zeros((3, 4, 3), np.uint8)).save("r_rgb.png")
    Image.fromarray(np.zeros((3, 4, 4), np.uint8)).save("r_rgba.png")
    Image.fromarray(np.zeros((3, 4, 2), np.uint8), "LA").save("r_la.png")
    Image.fromarray(np.zeros((3, 4), np.uint8)).convert("P").save("r_palette.png")
    Image.fromarray(np.zeros((3, 4), np.uint8)).convert("1").convert("P").save("r_palette1.png",
                                                                                bits=1)
    Image.fromarray(np.zeros((1, 65536), np.uint16)).save("r_wide.png")
    info = PngImagePlugin.PngInfo()
    info.add_text("Comment", "z" * 65536)
    Image.fromarray(np.zeros((2, 2), np.uint16)).save("r_longcomment.png", pnginfo=info)
    write_bytes("r_interlaced.png", png_file([], interlace=1))
    write_bytes("r_badztxt.png", png_file([png_chunk(b"zTXt", b"Comment\0\0not zlib at all")]))
    for src, words in [
        ("r_blank8.fits", "HDU 0: BITPIX 8 and BLANK 255: pixconvert reads these values as "
         "type 2 (unsigned 16-bit), which has no null"),
        ("r_blank16.fits", "HDU 0: BITPIX 16 with BZERO 32768 and BLANK -32768: pixconvert "),
        ("r_i64.fits", "HDU 0: 64-bit integer 9007199254740993 at (x 2, y 1), counted from 0, is "
         "beyond 2^53 in magnitude"),
        ("r_i64neg.fits", "integer -9007199254740993 at (x 3, y 2)"),
        ("r_u64.fits", "integer 18446744073709551615 at (x 3, y 0)"),
        ("r_i64scaled.fits", "integer 9007199254740994 at (x 0, y 2)"),
        ("r_i64.tif", "r_i64.tif: 64-bit integer -9007199254740993 at (x 1, y 1), counted"),
        ("r_u64.tif", "integer 9007199254740993 at (x 1, y 0)"),
        ("r_cube.fits", "HDU 0: image has 3 axes (4x3x2); only planes"),
        ("r_wide.fits", "HDU 0: image is 65536x1; at most 65535"),
        ("r_nodata.fits", "no HDU holds an image"), ("r_long.fits", "; at most 65535 fit"),
        ("r_bigtile.fits", "HDU 1 (COMPRESSED_IMAGE): the tiles across a row take more than 8 MiB"),
        ("r_rgb.tif", "3 samples per pixel (RGB colour image); accepted: one grayscale sample\n"),
        ("r_alpha.tif", "2 samples per pixel (grayscale with extra samples, such as alpha)"),
        ("r_palette.tif", "palette (indexed-colour) image (photometric interpretation 3); "
         "accepted: min-is-black grayscale\n"),
        ("r_f16.tif", "16-bit samples of format 3 (IEEE floats); accepted: unsigned or signed "
         "integers of 8, 16, 32 or 64 bits, IEEE floats of 32 or 64 bits\n"),
        ("r_c64.tif", "64-bit samples of format 6 (complex IEEE floats)"),
        ("r_white.tif", "min-is-white"),
        ("r_pages.tif", "multi-page"), ("r_tall.tif", "image is 1x65536"),
        ("r_orient6.tif", "Orientation 6"), ("r_longdesc.tif", "comment of 65536 bytes"),
        ("r_bigstrip.tif", "compressed strips of 33554432 bytes"),
        ("r_widetiles.tif", "tile 0 holds fewer bytes"), ("r_deflatetile.tif", "at most 256 MiB"),
        ("r_lzma.tif", "cannot read the values: Decoding error at scanline 0, data is corrupt"),
        ("r_rgb.png", "RGB colour image of 8-bit samples; accepted: grayscale of 1, 2, 4, 8 or "
         "16 bits, without alpha\n"),
        ("r_rgba.png", "RGB colour image with alpha of 8-bit"),
        ("r_la.png", "grayscale image with alpha of 8-bit"),
        ("r_palette.png", "palette (indexed-colour) image of 8-bit"),
        ("r_palette1.png", "palette (indexed-colour) image of 1-bit"),
        ("r_wide.png", "image is 65536x1"), ("r_interlaced.png", "interlaced"),
        ("r_longcomment.png", "comment of 65536 bytes"),
        ("r_badztxt.png", "not a readable PNG file"),
    ]:
        refused(src, "out.img", words, "refuse " + src)


def damaged_metadata():
    """A carried header that is damaged, ambiguous or no longer matches the
    image is refused, the same way in every format; --fresh-header makes a
    new one."""
    write_bytes("m.img", velkin(u16, b"abc"))
    for ext in ("fits", "png", "tif"):
        convert("m.img", "m." + ext, "metadata source " + ext)
    with fits.open("m.fits") as f:
        data, header = f[0].data, f[0].header.copy()
    cut = fits.PrimaryHDU(data[:, :6])
    cut.header["IMHEADER"] = header["IMHEADER"]
    cut.header["IMCOMENT"] = header["IMCOMENT"]
    cut.header.add_comment("cropped")
    cut.writeto("m_cut.fits")
    refused("m_cut.fits", "out.img", "carried .img header says 7x5 type 2 but the image is 6x5 "
            "type 2; --fresh-header makes a new header", "cropped FITS")
    convert("m_cut.fits", "out.img", "cropped FITS, fresh", "--fresh-header")
    check(read_bytes("out.img") == velkin(data[:, :6], b"cropped\n"), "fresh header: bytes")
    # cfitsio's six lines of boilerplate are nobody's comment.
    convert("m.fits", "out.img", "cfitsio's own FITS, fresh", "--fresh-header")
    check(read_bytes("out.img") == velkin(u16, b"abc\n"), "fresh header, no boilerplate: bytes")
    os.unlink("out.img")
    for name, change in [("m_odd.fits", {"IMCOMENT": "61626"}), ("m_length.fits",
                                                                 {"IMCOMENT": "6162"})]:
        bad = fits.PrimaryHDU(data)
        bad.header["IMHEADER"] = header["IMHEADER"]
        for k, v in change.items():
            bad.header[k] = v
        bad.writeto(name)
    refused("m_odd.fits", "out.img", "not hexadecimal", "odd hex")
    refused("m_length.fits", "out.img", "damaged", "comment length")
    twice = bytearray(read_bytes("m.fits"))
    at = twice.index(b"LONGSTRN")
    twice[at:at + 80] = b"IMHEADER= 'x'".ljust(80)
    write_bytes("m_twice.fits", bytes(twice))
    refused("m_twice.fits", "out.img", "HDU 0: the .img header is carried twice (IMHEADER)\n",
            "FITS keyword twice")

    im = Image.open("m.png")
    hexed = im.info["IM header"]
    for name, chunks, words in [
            ("m_damaged.png", [ztxt(b"IM header", hexed[:-2].encode() + b"ff"),
                               ztxt(b"IM comment", b"616263")], "damaged"),
            ("m_two.png", [ztxt(b"IM header", b"zz"), ztxt(b"IM header", hexed.encode()),
                           ztxt(b"IM comment", b"616263")],
             "the .img header is carried twice (\"IM header\")\n")]:
        write_bytes(name, png_file(chunks))
        refused(name, "out.img", words, "PNG " + name)

    for name, tag, words in [
            ("m_short.tif", (65117, 7, 10, b"IM" * 5, True), "not 64 bytes"),
            ("m_shorttype.tif", (65117, "H", 40, [1] * 40, True), "not of type UNDEFINED"),
            ("m_double.tif", (65117, "d", 9, [1.0] * 9, True), "not of type UNDEFINED")]:
        tifffile.imwrite(name, u16, metadata=None, extratags=[tag])
        refused(name, "out.img", words, "TIFF " + name)
    packet = tifffile.TiffFile("m.tif").pages[0].tags[700].value
    tifffile.imwrite("m_both.tif", u16, metadata=None,
                     extratags=[(700, "B", len(packet), packet, True),
                                (65117, 7, 64, read_bytes("m.img")[:pixdelta.HEADER_SIZE], True)])
    refused("m_both.tif", "out.img", "carried twice", "XMP and tag 65117")
    tiff = bytearray(read_bytes("m.tif"))  # the XMP packet's offset past the end
    order = "<" if tiff[:2] == b"II" else ">"  # the writing host's
    ifd = struct.unpack_from(order + "I", tiff, 4)[0]
    for k in range(struct.unpack_from(order + "H", tiff, ifd)[0]):
        if struct.unpack_from(order + "H", tiff, ifd + 2 + 12 * k)[0] == 700:
            struct.pack_into(order + "I", tiff, ifd + 2 + 12 * k + 8, len(tiff) + 1000)
    write_bytes("m_lost.tif", bytes(tiff))
    refused("m_lost.tif", "out.img", "carried .img header cannot be read", "XMP past the end")
    # ImageDescription past the end: libtiff drops it with a warning of its own.
    tifffile.imwrite("m_lostdesc.tif", u16, description="a comment people read", metadata=None)
    tiff = bytearray(read_bytes("m_lostdesc.tif"))
    ifd = struct.unpack_from("<I", tiff, 4)[0]
    for k in range(struct.unpack_from("<H", tiff, ifd)[0]):
        if struct.unpack_from("<H", tiff, ifd + 2 + 12 * k)[0] == 270:
            struct.pack_into("<I", tiff, ifd + 2 + 12 * k + 8, len(tiff) + 1000)
    write_bytes("m_lostdesc.tif", bytes(tiff))
    refused("m_lostdesc.tif", "out.img", "ImageDescription (tag 270) cannot be read: ",
            "ImageDescription past the end")
    # A comment carried without its header, in each format.
    fits.PrimaryHDU(data, header=fits.Header([("IMCOMENT", "616263")])).writeto("m_half.fits")
    write_bytes("m_half.png", png_file([ztxt(b"IM comment", b"616263")]))
    half = packet.replace(b"<pixdelta:header>", b"<pixdelta:other>").replace(
        b"</pixdelta:header>", b"</pixdelta:other>")
    tifffile.imwrite("m_half.tif", u16, metadata=None, extratags=[(700, "B", len(half), half, True)])
    for name in ("m_half.fits", "m_half.png", "m_half.tif"):
        refused(name, "out.img", "is there without its header", "comment without header: " + name)
    cut = packet[:packet.index(b"</pixdelta:header>")]  # XML that ends too soon
    tifffile.imwrite("m_cut.tif", u16, metadata=None, extratags=[(700, "B", len(cut), cut, True)])
    refused("m_cut.tif", "out.img", "cannot be read as XML", "XMP cut short")
    hierarch = bytearray(read_bytes("m.fits"))
    at = hierarch.index(b"LONGSTRN")
    hierarch[at:at + 80] = b"HIERARCH IMHEADER = 'x'".ljust(80)
    write_bytes("m_hierarch.fits", bytes(hierarch))
    refused("m_hierarch.fits", "out.img", "carried twice (IMHEADER)", "HIERARCH IMHEADER")
    png = read_bytes("m.png")
    at = png.index(b"zTXtIM header") - 4
    length = struct.unpack_from(">I", png, at)[0]
    write_bytes("m_crc.png", png[:at + 8 + length] + b"\0\0\0\0" + png[at + 8 + length + 4:])
    refused("m_crc.png", "out.img", "zTXt: CRC error", "PNG CRC of IM header")
    end = png.index(b"IEND") - 4
    write_bytes("m_late.png", png[:end] + ztxt(b"IM header", b"00") + png[end:])
    refused("m_late.png", "out.img", "after the image data", "PNG IM header after IDAT")
    # What another program may make of the packet: properties as
    # attributes, other prefixes and white space.
    h_hex, c_hex = (packet.split(b"<pixdelta:%s>" % k)[1].split(b"<")[0] for k in
                    (b"header", b"comment"))
    rewritten = (b'<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:'
                 b'meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
                 b'<rdf:Description xmlns:p="urn:pixdelta:img:1.0/" xmlns:dc="http://purl.org/dc/'
                 b'elements/1.1/" p:header="' + h_hex + b'"><p:comment>\n  ' + c_hex +
                 b'\n </p:comment><dc:format>image/tiff</dc:format></rdf:Description></rdf:RDF>'
                 b'</x:xmpmeta><?xpacket end="w"?>')
    tifffile.imwrite("m_rewritten.tif", u16, metadata=None,
                     extratags=[(700, "B", len(rewritten), rewritten, True)])
    convert("m_rewritten.tif", "out.img", "XMP rewritten by another program")
    check(read_bytes("out.img") == read_bytes("m.img"), "XMP rewritten: bytes")
    # Files written before XMP come back byte for byte.
    convert(os.path.join(SOURCE, "tests/fixtures/tag65117.tif"), "old.img", "tag 65117 file")
    check(read_bytes("old.img") == read_bytes(os.path.join(SOURCE, "tests/fixtures/tag65117.img")),
          "tag 65117 file: bytes")


def carried_rule():
    """The same rule for the carried header and comment in every format,
    where each carries them: either given twice, the comment without the
    header, either not hexadecimal; each refused in the same words, with
    where the format carries it."""
    header = velkin(u16, b"abc")[:64].hex()
    # Taken in either letter case, as another program may rewrite it.
    good = {"header": header.upper(), "comment": "6162FE"}
    cases = [("header twice", [("header", header), ("header", header), ("comment", "616263")],
              "the .img header is carried twice (%s)", "header"),
             ("comment twice", [("header", header), ("comment", "616263"), ("comment", "616263")],
              "the .img comment is carried twice (%s)", "comment"),
             ("comment alone", [("comment", "616263")],
              "the carried .img comment (%s) is there without its header", "comment"),
             ("header not hex", [("header", header[:-1] + "g"), ("comment", "616263")],
              "the carried .img header (%s) is not hexadecimal", "header"),
             ("comment not hex", [("header", header), ("comment", "61626")],
              "the carried .img comment (%s) is not hexadecimal", "comment")]
    where = {"fits": {"header": "IMHEADER", "comment": "IMCOMENT"},
             "png": {"header": '"IM header"', "comment": '"IM comment"'},
             "tif": {"header": "XMP", "comment": "XMP"}}
    for what, found, words, part in cases + [("both", list(good.items()), None, None)]:
        hdu = fits.PrimaryHDU(u16)
        for key, value in found:
            hdu.header.append(("IMHEADER" if key == "header" else "IMCOMENT", value))
        hdu.writeto("k.fits", overwrite=True)
        write_bytes("k.png", png_file([ztxt(b"IM " + key.encode(), value.encode())
                                       for key, value in found], width=7, height=5))
        xmp = ('<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/'
               '02/22-rdf-syntax-ns#"><rdf:Description xmlns:p="urn:pixdelta:img:1.0/">' +
               "".join("<p:%s>%s</p:%s>" % (key, value, key) for key, value in found) +
               "</rdf:Description></rdf:RDF></x:xmpmeta>").encode()
        tifffile.imwrite("k.tif", u16, metadata=None, extratags=[(700, "B", len(xmp), xmp, True)])
        for ext in ("fits", "png", "tif"):
            if words is None:  # the header and comment once each, as hexadecimal: taken
                convert("k." + ext, "k.img", "carried once in " + ext)
                expected = velkin(np.full((5, 7), 0x1234, np.uint16) if ext == "png" else u16,
                                  b"ab\xfe")
                check(read_bytes("k.img") == expected, "carried once in " + ext)
                os.unlink("k.img")
                continue
            status, err = run("k." + ext, "k.img")
            said = "pixconvert: k.%s: %s%s\n" % (ext, "HDU 0: " if ext == "fits" else "",
                                                words % where[ext][part])
            check(status == 1 and err == said and not os.path.exists("k.img"),
                  "%s in %s: status %d, %r" % (what, ext, status, err))


def history_cards():
    """The lines of a comment that record a run (pixcombine's, pixcalibrate's)
    are FITS HISTORY cards, as astropy reads them; the others COMMENT cards.
    The way back gives the same bytes. A file without the carried header
    gets its COMMENT and HISTORY cards as its comment, in their order."""
    records = ["pixcombine 1.2.0: 9 inputs, --median",
               'pixcalibrate 1.2.0: dark="master-dark.img" type=uint16']
    others = ["a night frame", "thin cloud"]
    comment = "\n".join([others[0], records[0], others[1], records[1]]).encode()
    write_bytes("y.img", velkin(u16, comment))
    for ext, hdu in (("fits", 0), ("fz", 1)):
        convert("y.img", "y." + ext, "record lines to " + ext)
        header = fits.getheader("y." + ext, ext=hdu)
        check(list(header["HISTORY"]) == records, "HISTORY cards in %s: %r"
              % (ext, list(header.get("HISTORY", []))))
        check(list(header["COMMENT"])[-2:] == others and
              not any(c in records for c in header["COMMENT"]),
              "COMMENT cards in %s: %r" % (ext, list(header["COMMENT"])))
        convert("y." + ext, "out.img", "record lines from " + ext)
        check(read_bytes("out.img") == read_bytes("y.img"), "record lines from %s: bytes" % ext)
    foreign = fits.PrimaryHDU(u16)
    for key, text in (("COMMENT", "first"), ("HISTORY", "pixcombine 1.2.0: 3 inputs, --mean"),
                      ("COMMENT", "last"), ("HISTORY", "flat-fielded elsewhere")):
        foreign.header.append((key, text))
    foreign.writeto("y_foreign.fits")
    convert("y_foreign.fits", "out.img", "foreign HISTORY cards")
    check(read_bytes("out.img") == velkin(u16, b"first\npixcombine 1.2.0: 3 inputs, --mean\nlast\n"
                                               b"flat-fielded elsewhere\n"),
          "foreign HISTORY cards: %r" % read_bytes("out.img")[64:-70])


def preview():
    """The default stretch from the 0.5th to the 99.5th percentile, min-max as
    an option: non-finite values ignored for the range, NaN and -inf black,
    +inf white; levels exact across the binary64 range; zoom repeats pixels,
    also past libpng's default limit of a million pixels across or down."""
    ramp = np.arange(1000, dtype=np.uint16).reshape(1, 1000)
    hot = np.full((20, 20), 100, np.uint16)
    hot[:10] = 200
    hot[0, 0] = 65535
    cases = [
        ("p16", np.array([[100, 200, 300], [400, 500, 600]], np.uint16), ["--stretch", "minmax"],
         [[0, 51, 102], [153, 204, 255]]),
        ("pramp", ramp, [], np.clip(np.round((np.arange(1000) - 5) / (994 - 5) * 255), 0,
                                    255).reshape(1, 1000)),
        ("phot", hot, [], np.where(hot >= 200, 255, 0)),
        ("photmax", hot, ["--stretch", "minmax"], np.round((hot - 100) / 65435 * 255)),
        ("p64", np.array([[np.nan, -1.0, np.inf], [-np.inf, 1.0, 0.0]]), [],
         [[0, 0, 255], [0, 255, 128]]),
        ("psub", np.array([[5e-324, 1e-323, 0.0]]), [], [[128, 255, 0]]),
        ("phalf", np.array([[0.0, 255.0, 0.49999999999999994, 0.5]]), ["--stretch", "minmax"],
         [[0, 255, 0, 1]]),
        ("pwide", np.array([[-1.7976931348623157e308, 1.7976931348623157e308, 0.0]]), [],
         [[0, 255, 128]]),
        ("pflat", np.full((2, 2), 7.5), [], [[0, 0], [0, 0]]),
        # Ranges near the top of binary64, where the span overflows.
        ("ptop", np.array([[np.ldexp(1.0, 1023), np.ldexp(1.5, 1023), np.finfo(float).max]]),
         ["--stretch", "minmax"], [[0, 128, 255]]),
        ("pbottom", np.array([[-np.finfo(float).max, -np.ldexp(1.5, 1023), -np.ldexp(1.0, 1023),
                               1e308]]), ["--stretch", "minmax"], [[0, 41, 82, 255]]),
        ("pflathot", np.array([[7] * 999 + [9]], np.uint16), [], [[0] * 999 + [255]]),
        ("pzoom", np.array([[0, 65535]], np.uint16), ["--zoom", "3"],
         [[0, 0, 0, 255, 255, 255]] * 3),
        ("pzoom64", np.array([[0, 65535]], np.uint16), ["--zoom=64"],
         [[0] * 64 + [255] * 64] * 64),
        ("pwider", np.full((1, 65535), 7, np.uint16), ["--zoom", "16"], np.zeros((16, 1048560))),
        ("ptaller", np.full((65535, 1), 7, np.uint16), ["--zoom", "16"], np.zeros((1048560, 16))),
    ]
    for name, values, options, expected in cases:
        write_bytes(name + ".img", velkin(values))
        status, err = run("--preview", *options, name + ".img", name + ".png")
        im = Image.open(name + ".png") if status == 0 else None
        got = np.array(im) if im else None
        check(status == 0 and err == "" and im.mode == "L" and
              np.array_equal(got, np.array(expected, np.uint8)),
              "preview %s: %s %s" % (name, got if got is None or got.size > 99 else got.tolist(),
                                     err))
    for ext in ("fits", "tif", "png"):
        convert("p16.img", "p16." + ext, "preview source " + ext)
        status, err = run("--preview", "--stretch", "minmax", "p16." + ext, "from.png")
        check(status == 0 and np.array_equal(np.array(Image.open("from.png")),
                                              [[0, 51, 102], [153, 204, 255]]),
              "preview of a %s file: %s" % (ext, err))


def bounded(src, words, what, limit_kib=32 << 10, seconds=60, expect_either=False):
    """A crafted file ends within a minute (each takes under half a second
    on an idle machine: the bound finds a hang, not a busy machine),
    with `words` in the message (or success for words None; either, with a
    message, if expect_either), and pixconvert's peak memory stays within
    the limit."""
    status, err = run(src, "out.img", seconds=seconds)
    pid_peak = peak_kib(src) if MEMORY_FIGURES else 0
    ok = status == 0 if words is None else status == 1 and words in err
    # Under the sanitizers a library's crash is their report, then the refusal.
    last = err.strip().split("\n")[-1]
    ok = ok or ((expect_either or SANITIZED) and status == 1 and last.startswith("pixconvert: "))
    check(ok, "%s: status %d %r" % (what, status, err))
    check(pid_peak <= limit_kib, "%s: peak %d KiB" % (what, pid_peak))
    if os.path.exists("out.img"):
        os.unlink("out.img")


def peak_kib(src):
    """Peak resident memory of one run, as GNU time reports it (a child of
    this larger process would start from its high-water mark)."""
    r = subprocess.run(["/usr/bin/time", "-f", "%M", TOOL, src, "peak.img"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if os.path.exists("peak.img"):
        os.unlink("peak.img")
    return int(r.stderr.strip().splitlines()[-1])


def memory_bombs():
    # 200 zTXt chunks that each inflate to 7.9 MB.
    bomb = ztxt(b"Comment", b"\0" * 7900000)
    write_bytes("b_text.png", png_file([bomb] * 200))
    bounded("b_text.png", "not a readable PNG file", "PNG text bomb")
    # Many small text chunks are valid: up to libpng's own limit, which
    # refuses the 999th.
    for count, words in ((998, None), (999, "no space in chunk cache")):
        write_bytes("b_many.png", png_file([png_chunk(b"tEXt", b"Note\0%d" % k)
                                            for k in range(count)]))
        bounded("b_many.png", words, "%d text chunks" % count)
    # Two uncompressed strips of 64 MiB in a sparse file.
    width, height = 16384, 4096
    tifffile.imwrite("b_strips.tif", np.zeros((1, 1), np.uint16), metadata=None)  # for the header
    entries = [(256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, 16), (259, 3, 1, 1),
               (262, 3, 1, 1), (273, 4, 2, 200), (277, 3, 1, 1), (278, 4, 1, height // 2),
               (279, 4, 2, 208)]
    ifd = struct.pack("<H", len(entries)) + b"".join(
        struct.pack("<HHI", tag, kind, count) +
        (struct.pack("<HH", value, 0) if kind == 3 else struct.pack("<I", value))
        for tag, kind, count, value in entries) + struct.pack("<I", 0)
    strip = width * height
    head = b"II*\0" + struct.pack("<I", 8) + ifd
    head += b"\0" * (200 - len(head)) + struct.pack("<2I", 4096, 4096 + strip)
    head += struct.pack("<2I", strip, strip)
    with open("b_strips.tif", "wb") as f:
        f.write(head)
        f.truncate(4096 + 2 * strip)
    bounded("b_strips.tif", None, "two strips of 64 MiB")
    bounded("r_deflatetile.tif", "at most 256 MiB", "286-byte tiled TIFF")
    # Raw tiles are read in place: a row of them takes no memory.
    tifffile.imwrite("b_tiles.tif", np.zeros((2048, 2048)), tile=(1024, 1024), metadata=None)
    bounded("b_tiles.tif", None, "tiles of 8 MiB")
    fits.PrimaryHDU(np.zeros((512, 512), np.uint16)).writeto("b.fits")
    subprocess.run("gzip -c b.fits > b_gz.fits", shell=True, check=True)
    bounded("b_gz.fits", "gunzip it first", "gzipped FITS")


def fits_file(cards, data=b""):
    """A FITS file from header cards written by hand, as a hostile one is."""
    header = b"".join(c.ljust(80)[:80].encode() for c in cards + ["END"])
    header += b" " * (-len(header) % 2880)
    return header + data + b"\0" * (-len(data) % 2880)


def with_cards(path, hdu, **cards):
    """The file with these cards of HDU `hdu` (0 or 1) rewritten in place."""
    data = bytearray(read_bytes(path))
    start = 0 if hdu == 0 else 2880 * (1 + data[:2880 * 4].index(b"END     ") // 2880)
    for key, value in cards.items():
        at = data.index(("%-8s=" % key).encode(), start)
        data[at:at + 80] = ("%-8s= %20s" % (key, value)).ljust(80).encode()
    return bytes(data)


def hostile_files():
    """Files made to crash a library, make it allocate what they declare, or
    take time: each is refused within seconds and within bounded memory, or
    read right."""
    plane = ["SIMPLE  =                    T", "BITPIX  =                   16",
             "NAXIS   =                  104", "NAXIS1  =                    2",
             "NAXIS2  =                    2"]
    axes = ["NAXIS%-3d=                    1" % n for n in range(3, 105)]
    write_bytes("h_naxis104.fits", fits_file(plane + axes + ["BZERO   =                32768"],
                                              b"\0" * 8))
    fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(u16)]).writeto("h.fz")
    write_bytes("h_ztile0.fz", with_cards("h.fz", 1, ZTILE1=0))
    write_bytes("h_blocksize0.fz", with_cards("h.fz", 1, ZVAL1=0))
    write_bytes("h_hugetile.fz", with_cards("h.fz", 1, ZTILE1=1 << 40, ZTILE2=1 << 40))
    fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(np.zeros((8192, 2048), np.uint16),
                                                        tile_size=(1, 8192))]).writeto(
                                                            "h_columns.fz")
    chain = ["SIMPLE  =                    T", "BITPIX  =                   16",
             "NAXIS   =                    2", "NAXIS1  =                    1",
             "NAXIS2  =                    1", "BZERO   =                32768",
             "IMHEADER= '%s'" % ("0" * 128)[:66] + "&'", "CONTINUE  '%s'" % ("0" * 62),
             "IMCOMENT= '00&'"] + ["CONTINUE  '00&'"] * 5000 + ["CONTINUE  '00'"]
    write_bytes("h_chain.fits", fits_file(chain, b"\0\0"))
    big = np.zeros((1, 1), np.uint16)
    tifffile.imwrite("h_tags.tif", big, metadata=None,
                     extratags=[(40000 + k, 7, 10 << 20, b"\0" * (10 << 20), False)
                                for k in range(3)])
    tifffile.imwrite("h_strip.tif", u16, metadata=None)  # one strip, then its count cut
    tiff = bytearray(read_bytes("h_strip.tif"))
    ifd = struct.unpack_from("<I", tiff, 4)[0]
    for k in range(struct.unpack_from("<H", tiff, ifd)[0]):
        if struct.unpack_from("<H", tiff, ifd + 2 + 12 * k)[0] == 279:
            kind = struct.unpack_from("<H", tiff, ifd + 4 + 12 * k)[0]
            struct.pack_into("<H" if kind == 3 else "<I", tiff, ifd + 10 + 12 * k, 3)
    write_bytes("h_strip.tif", bytes(tiff))
    refused("h_strip.tif", "out.img", "the strip table is damaged", "a strip shorter than its rows")
    for src, words in [("h_naxis104.fits", "crashed"), ("h_ztile0.fz", "crashed"),
                       ("h_blocksize0.fz", "crashed"), ("h_hugetile.fz", "h_hugetile.fz: "),
                       ("h_columns.fz", "the tiles across a row take more than 8 MiB"),
                       ("h_chain.fits", "continues over more cards")]:
        bounded(src, words, "hostile " + src)
    bounded("h_tags.tif", None, "three tags of 10 MiB", expect_either=True)


def values_of(path, dtype):
    """The values of an .img file, flat, if they are of `dtype` (none if the
    file was not made or holds the other type)."""
    values = np.asarray(pixdelta.read(path).values).ravel() if os.path.exists(path) else None
    return values if values is not None and values.dtype == np.dtype(dtype) else np.zeros(0, dtype)


def fpack(options, src, dst):
    """fpack's status; an option it refuses for these values is no test."""
    if os.path.exists(dst):
        os.unlink(dst)
    return subprocess.run(["fpack"] + options.split() + ["-O", dst, src],
                          capture_output=True).returncode


def against_funpack(fz, what, dtype, quantized=False):
    """pixconvert reads `fz` as funpack does, value for value, as `dtype`.
    Under the emulator, quantized floats are restored by the s390x cfitsio,
    whose arithmetic is not this host's (its multiply-add is fused, and
    tiles that hold NaNs differ more): its values may differ from this
    host's funpack by a millionth of the image's largest value, never in a
    NaN's place. A fault of byte order would change every bit."""
    if os.path.exists("ref.fits"):
        os.unlink("ref.fits")
    subprocess.run(["funpack", "-O", "ref.fits", fz], check=True)
    expected = fits_values("ref.fits").astype(dtype)
    convert(fz, "out.img", what)
    got = values_of("out.img", np.dtype(dtype).newbyteorder("<"))
    if got.size == expected.size and EMULATED and quantized:
        flat = expected.ravel()
        finite = np.isfinite(flat)
        bound = 1e-6 * np.max(np.abs(flat[finite]), initial=1.0)
        check(np.array_equal(finite, np.isfinite(got)) and
              np.all(np.abs(got[finite] - flat[finite]) <= bound),
              what + ": the values funpack gives, to a millionth")
        return
    check(got.size == expected.size and same(got.reshape(expected.shape), expected),
          what + ": the values funpack gives")


def fpack_compressions():
    """Every compression fpack offers, lossless and quantized, in tiles of a
    row, of the whole image and of 7x5 (edge tiles cut short), read as
    funpack reads them: uint16 values on both sides of 32768 (BZERO),
    binary64 images wider than a row of a few values, and every BITPIX fpack
    takes, scaled and with NaNs and nulls."""
    rng = np.random.default_rng(5)
    yy, xx = np.mgrid[0:50, 0:60]
    smooth = xx * 1100 + yy * 20 + rng.integers(0, 40, (50, 60))
    fits.PrimaryHDU(np.clip(smooth, 0, 65535).astype(np.uint16)).writeto("c_u16.fits")
    noisy = np.sin(xx / 7.0) * 1e3 + yy + rng.normal(size=(50, 60))
    fits.PrimaryHDU(noisy).writeto("c_f64.fits")
    fits.PrimaryHDU((smooth % 256).astype(np.uint8)).writeto("c_u8.fits")
    fits.PrimaryHDU((smooth % 256 - 128).astype(np.int8)).writeto("c_i8.fits")  # BZERO -128
    fits.PrimaryHDU((smooth - 30000).astype(np.int16)).writeto("c_i16.fits")
    scaled = fits.PrimaryHDU((smooth * 7 - 100000).astype(np.int32))
    scaled.header.update(BSCALE=0.25, BZERO=3.5, BLANK=-99993)
    scaled.data[1, 2:5] = -99993
    scaled.writeto("c_i32.fits")
    fits.PrimaryHDU((smooth * 60000).astype(np.uint32)).writeto("c_u32.fits")  # BZERO 2^31
    holes = noisy.astype(np.float32)
    holes[3, 4:9] = np.nan
    fits.PrimaryHDU(holes).writeto("c_f32.fits")
    noisy[7, :3] = np.nan
    fits.PrimaryHDU(noisy).writeto("c_f64nan.fits")
    every = ("-r", "-h", "-p", "-g1", "-g2", "-d")
    floats = ("c_f64.fits", "c_f32.fits", "c_f64nan.fits")
    cases = [("c_u16.fits", c, np.uint16) for c in every]
    cases += [("c_f64.fits", c, np.float64) for c in ("-r", "-h", "-g1", "-g2", "-g1 -q 0",
                                                      "-g2 -q 0")]
    cases += [("c_u8.fits", c, np.uint16) for c in ("-r", "-h", "-p", "-g1", "-g2")]
    cases += [(src, c, np.float64) for src in ("c_i16.fits", "c_i32.fits", "c_u32.fits")
              for c in every if c != "-p"]
    cases += [("c_i8.fits", c, np.float64) for c in every if c != "-d"]
    cases += [(src, c, np.float64) for src in ("c_f32.fits", "c_f64nan.fits")
              for c in ("-r", "-h", "-g1", "-g2", "-g2 -q 0")]
    cases += [("c_f32.fits", "-d", np.float64)]
    for src, compression, dtype in cases:
        for tiles in ("", "-w", "-t 7,5"):
            options = compression + " " + tiles
            if fpack(options, src, "c.fz") != 0:
                check(compression == "-h" and tiles == "-t 7,5", "fpack %s refused" % options)
            elif tiles != "-t 7,5" or src not in ("c_f32.fits", "c_f64nan.fits"):
                against_funpack("c.fz", "fpack %s %s" % (options, src), dtype,
                                quantized=dtype == np.float64 and src in floats and "-q 0" not in
                                compression)
            elif "-q 0" in compression:
                # funpack (cfitsio 4.2) gives values of other pixels for
                # tiles of several rows that hold a NaN; astropy reads the
                # values fpack took (its NaNs all ones, as fpack writes them).
                convert("c.fz", "out.img", "fpack %s %s" % (options, src))
                check(same(values_of("out.img", "<f8"),
                           fits.getdata("c.fz", ext=1).astype(np.float64).ravel()),
                      "fpack %s %s: the values astropy reads" % (options, src))
    # The smallest, from the report: 16-bit tiles kept uncompressed.
    fits.PrimaryHDU(np.array([[40000, 50000, 65535, 32768, 0, 1]], np.uint16)).writeto("c_d.fits")
    fpack("-d", "c_d.fits", "c_d.fz")
    convert("c_d.fz", "out.img", "fpack -d")
    check(values_of("out.img", "<u2").tolist() == [40000, 50000, 65535, 32768, 0, 1],
          "fpack -d: values %s" % values_of("out.img", "<u2").tolist())


def fz_table(src):
    """The binary table of a tile-compressed file, its tiles as arrays, for
    crafting damaged tiles."""
    return fits.open(src, disable_image_compression=True)


def crafted_tiles():
    """Tiles whose header or sizes do not fit the image: each refused before
    cfitsio decodes it, quickly and within bounded memory, never read as
    values that are not in the file."""
    rng = np.random.default_rng(7)
    f64 = rng.normal(size=(6, 40))
    fits.PrimaryHDU(f64).writeto("t_f64.fits")
    fits.PrimaryHDU((rng.integers(0, 300, (20, 30)) + 32000).astype(np.uint16)).writeto(
        "t_u16.fits")
    crafted = []

    def craft(name, src, options, change, words):
        fpack(options, src, "t.fz")
        with fz_table("t.fz") as f:
            change(f[1])
            f.writeto(name, overwrite=True)
        crafted.append((name, words))

    def tile(k, data):
        def change(hdu):
            hdu.data["COMPRESSED_DATA"][k] = np.frombuffer(data, np.uint8)
        return change

    def cards(**values):
        def change(hdu):
            for key, value in values.items():
                hdu.header[key] = value
        return change

    # A binary64 GZIP_1 tile holding a quarter of its values: cfitsio took
    # the rest of the row from the tile before.
    craft("t_quarter.fz", "t_f64.fits", "-g1 -q 0",
          tile(1, zlib.compress(f64[1, :10].astype(">f8").tobytes())), "inflates to 80 bytes; its 40")
    craft("t_long.fz", "t_f64.fits", "-g1 -q 0",
          tile(1, zlib.compress(np.zeros(41, ">f8").tobytes())), "inflates to 328 bytes or more")
    craft("t_bomb.fz", "t_f64.fits", "-g2 -q 0", tile(2, zlib.compress(bytes(200 << 20), 9)),
          "claims")
    craft("t_notgzip.fz", "t_f64.fits", "-g1 -q 0", tile(0, b"\x1f\x8b not gzip at all"),
          "do not inflate")
    # A dithered tile whose seed is negative: cfitsio indexed its table of
    # random numbers before its start.
    for seed, words in ((-5, "ZDITHER0 is -5"), (0, "ZDITHER0 is 0"), (10001, "ZDITHER0 is 10001")):
        craft("t_dither%d.fz" % seed, "t_f64.fits", "-r", cards(ZDITHER0=seed), words)
    # HCOMPRESS headers that do not say the tile's shape: nx = ny = 0 took
    # half a minute of processor time a tile.
    for name, nx, ny, scale in (("t_hc0", 0, 0, 0), ("t_hcneg", -20, -30, 0),
                                ("t_hcswap", 30, 20, 0), ("t_hcscale", 20, 30, -1)):
        head = b"\xdd\x99" + struct.pack(">iii", nx, ny, scale) + bytes(64)
        craft(name + ".fz", "t_u16.fits", "-h -w", tile(0, head), "damaged HCOMPRESS header")
    # HCOMPRESS tiles cut short after a sound header: cfitsio decoded on past
    # the tile's end, into whatever memory followed, and gave status 0.
    for part in (2, 4):
        def cut(hdu, part=part):
            code = hdu.data["COMPRESSED_DATA"][0]
            hdu.data["COMPRESSED_DATA"][0] = code[:len(code) // part]
        craft("t_hccut%d.fz" % part, "t_u16.fits", "-h", cut, "library crashed")

    def garbled(hdu):
        code = hdu.data["COMPRESSED_DATA"][0].copy()
        code[40:] = 0x55
        hdu.data["COMPRESSED_DATA"][0] = code
    craft("t_hcgarbled.fz", "t_u16.fits", "-h", garbled, "HCOMPRESS code does not decode")
    # Rice tiles whose code ends before their values: cfitsio read on past.
    craft("t_rice0.fz", "t_u16.fits", "-r", tile(3, b"\x00\x00\x10" + bytes(5)), "Rice code ends")
    craft("t_riceshort.fz", "t_u16.fits", "-r", tile(3, b"\x80\x00\xff"), "Rice code ends")
    # A PLIO line list whose header length is damaged: cfitsio decoded it
    # as values not in the file (1 where funpack gives 0), with status 0.
    def plio_header(hdu):
        words = hdu.data["COMPRESSED_DATA"][3].copy()
        words[1] = -11769
        hdu.data["COMPRESSED_DATA"][3] = words
    craft("t_plio.fz", "t_u16.fits", "-p", plio_header, "damaged PLIO header")
    # Quantized floats whose ZSCALE column lost its name: cfitsio gave the
    # Rice integers, shifted by ZZERO, as the values (18.7 for 1037.9), with
    # status 0; funpack and astropy refuse the file.
    def unnamed_scale(hdu):
        hdu.header["TTYPE2"] = "SCALE"
    craft("t_noscale.fz", "t_f64.fits", "-r", unnamed_scale, "with no ZSCALE and ZZERO")
    craft("t_nozero.fz", "t_f64.fits", "-g2",
          lambda hdu: hdu.header.__setitem__("TTYPE3", "ZERO"), "with ZSCALE and no ZZERO")
    craft("t_blocksize.fz", "t_u16.fits", "-r", cards(ZVAL1=70000), "BLOCKSIZE 70000")
    craft("t_bytepix.fz", "t_u16.fits", "-r", cards(ZVAL2=3), "BYTEPIX 3")
    craft("t_zcmp.fz", "t_u16.fits", "-r", cards(ZCMPTYPE="RICE_2"), "RICE_2")

    def shorter(hdu):
        hdu.data["UNCOMPRESSED_DATA"][2] = hdu.data["UNCOMPRESSED_DATA"][2][:10]
    craft("t_raw.fz", "t_u16.fits", "-d", shorter, "stored uncompressed in 20 bytes")
    for name, words in crafted:
        bounded(name, words, "crafted tile " + name, seconds=20)
    # At the limit of 8 MiB of tiles across a row, and one step past it.
    rng = np.random.default_rng(8)
    fits.PrimaryHDU(rng.integers(0, 4000, (2048, 2048)).astype(np.uint16)).writeto("l_u16.fits")
    fits.PrimaryHDU(rng.normal(size=(1024, 1024))).writeto("l_f64.fits")
    for src, compression in (("l_u16.fits", "-h -w"), ("l_u16.fits", "-g2 -w"),
                             ("l_u16.fits", "-r -w"), ("l_f64.fits", "-g1 -q 0 -w")):
        fpack(compression, src, "l.fz")
        against_funpack("l.fz", "8 MiB of tiles, fpack %s %s" % (compression, src),
                        np.uint16 if src == "l_u16.fits" else np.float64)
    fits.PrimaryHDU(np.zeros((2049, 2048), np.uint16)).writeto("l_past.fits")
    fpack("-g2 -w", "l_past.fits", "l_past.fz")
    bounded("l_past.fz", "the tiles across a row take more than 8 MiB", "8 MiB and a row")


def one_row_of_tiles(path, across, tile_width, tile_length, tile):
    """A classic TIFF of one row of `across` zlib tiles of 16-bit values, all
    of them the same compressed bytes `tile`."""
    arrays = 8 + 2 + 12 * 12 + 4
    data = arrays + 8 * across
    entries = [(256, 4, 1, across * tile_width), (257, 4, 1, tile_length), (258, 3, 1, 16),
               (259, 3, 1, 8), (262, 3, 1, 1), (277, 3, 1, 1), (284, 3, 1, 1),
               (322, 4, 1, tile_width), (323, 4, 1, tile_length), (324, 4, across, arrays),
               (325, 4, across, arrays + 4 * across), (339, 3, 1, 1)]
    ifd = struct.pack("<H", len(entries)) + b"".join(
        struct.pack("<HHI", tag, kind, count) +
        (struct.pack("<HH", value, 0) if kind == 3 else struct.pack("<I", value))
        for tag, kind, count, value in entries) + struct.pack("<I", 0)
    write_bytes(path, b"II*\0" + struct.pack("<I", 8) + ifd +
                struct.pack("<%dI" % across, *[data] * across) +
                struct.pack("<%dI" % across, *[len(tile)] * across) + tile)


def tiff_limits():
    """TIFF files at each documented limit convert, one step past it are
    refused; carried text that libtiff cannot read is refused with the
    reason, never dropped for a fresh header."""
    zeros = zlib.compress(bytes(4096 * 4096 * 2))
    one_row_of_tiles("l_row.tif", 7, 4096, 4096, zeros)  # 7 tiles and the one decoded: 256 MiB
    bounded("l_row.tif", None, "a row of tiles of 256 MiB", limit_kib=320 << 10)
    one_row_of_tiles("l_row8.tif", 8, 4096, 4096, zeros)
    bounded("l_row8.tif", "at most 256 MiB are read", "a row of tiles of 288 MiB")
    rng = np.random.default_rng(9)
    noise = rng.integers(0, 65536, (4096, 4096)).astype(np.uint16)
    tifffile.imwrite("l_tile.tif", noise, tile=(4096, 4096), compression="zlib", metadata=None)
    bounded("l_tile.tif", None, "one incompressible zlib tile of 32 MiB", limit_kib=160 << 10)
    convert("l_tile.tif", "out.img", "one incompressible zlib tile")
    check(same(values_of("out.img", "<u2").reshape(4096, 4096), noise), "zlib tile: values")
    tifffile.imwrite("l_strip.tif", noise[:2048, :2048], rowsperstrip=2048, compression="zlib",
                     metadata=None)
    bounded("l_strip.tif", None, "a compressed strip of 8 MiB")
    tifffile.imwrite("l_strip_past.tif", noise[:2049, :2048], rowsperstrip=2049,
                     compression="zlib", metadata=None)
    bounded("l_strip_past.tif", "at most 8 MiB are decoded", "a compressed strip of 8 MiB and a row")
    # A compressed tile whose byte count claims more than any compression
    # makes of it.
    tiff = bytearray(read_bytes("l_strip.tif"))
    with tifffile.TiffFile("l_strip.tif") as f:
        at = f.pages[0].tags["StripByteCounts"].valueoffset
    struct.pack_into("<I", tiff, at, 20 << 20)
    write_bytes("l_claim.tif", bytes(tiff) + bytes(20 << 20))
    bounded("l_claim.tif", "more than any compression", "a strip claiming 20 MiB")

    # The XMP packet at 8 MiB, padded as XMP editors pad it, and one byte
    # more; libtiff dropped one of 12 MiB, and the run gave status 0.
    packet = tifffile.TiffFile("m.tif").pages[0].tags[700].value
    end = packet.rindex(b"<?xpacket end")
    for size, words in ((8 << 20, None), ((8 << 20) + 1, "holds 8388609 bytes; at most 8 MiB"),
                        (12 << 20, "holds 12582912 bytes")):
        padded = packet[:end] + b" " * (size - len(packet)) + packet[end:]
        tifffile.imwrite("x_pad.tif", u16, metadata=None,
                         extratags=[(700, "B", len(padded), padded, True)])
        bounded("x_pad.tif", words, "XMP packet of %d bytes" % size)
        if words is None:
            convert("x_pad.tif", "out.img", "XMP packet of 8 MiB")
            check(read_bytes("out.img") == read_bytes("m.img"), "XMP packet of 8 MiB: bytes")
            os.unlink("out.img")
    tifffile.imwrite("x_desc.tif", u16, description="d" * (16 << 20), metadata=None)
    bounded("x_desc.tif", "ImageDescription (tag 270) holds 16777217 bytes", "ImageDescription of 16 MiB")
    # What other programs leave: NUL padding, no xpacket wrapper, a
    # document type, the packet twice in a big-endian file.
    h_hex, c_hex = (packet.split(b"<pixdelta:%s>" % k)[1].split(b"<")[0] for k in
                    (b"header", b"comment"))
    bare = packet[packet.index(b"<x:xmpmeta"):packet.index(b"</x:xmpmeta>") + 12]
    for name, xmp, words in [
            ("x_nul.tif", packet + bytes(4096), None), ("x_bare.tif", bare, None),
            ("x_doctype.tif", b'<?xml version="1.0"?><!DOCTYPE x [<!ENTITY a "b">]>' + bare,
             "cannot be read as XML"),
            ("x_text.tif", bare.replace(c_hex, c_hex + b"0" * (1 << 20)), "longer than any")]:
        tifffile.imwrite(name, u16, metadata=None, extratags=[(700, "B", len(xmp), xmp, True)])
        if words is None:
            convert(name, "out.img", "XMP " + name)
            check(read_bytes("out.img") == read_bytes("m.img"), "XMP %s: bytes" % name)
            os.unlink("out.img")
        else:
            refused(name, "out.img", words, "XMP " + name)
    tifffile.imwrite("x_twice.tif", u16, byteorder=">", metadata=None,
                     extratags=[(700, "B", len(packet), packet, True),
                                (700, "B", len(bare), bare, True)])
    refused("x_twice.tif", "out.img", "carried twice (a tag given twice)", "big-endian XMP twice")


def main():
    with tempfile.TemporaryDirectory(prefix="pixconvert-interop-") as work:
        os.chdir(work)
        for step in (written_files_read_back, foreign_files_convert, sample_types,
                     foreign_files_refused,
                     damaged_metadata, carried_rule, history_cards, preview, memory_bombs, hostile_files, fpack_compressions,
                     crafted_tiles, tiff_limits):
            step()
    if failures:
        print("%d failure(s)" % len(failures))
        sys.exit(1)
    print("all interoperability checks passed")


if __name__ == "__main__":
    main()
