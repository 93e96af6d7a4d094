#!/usr/bin/env python3
"""Writes the libFuzzer entries' seeds to fuzz/seeds/ENTRY/, the same bytes
on every run: .img files, and FITS (with astropy), TIFF and PNG files built
here byte by byte, each beginning with the byte of options its entry reads
(see reader_entry.cpp and roundtrip_entry.cpp; header_entry.cpp reads the
file alone).

Usage: fuzz/make_seeds.py   (needs numpy and astropy: python3-astropy)
"""
import io
import os
import shutil
import struct
import sys
import warnings
import zlib

import numpy as np
from astropy.io import fits

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "python"))
import pixdelta  # noqa: E402

# Byte 0 of a reader entry's input.
PREVIEW, MINMAX, CHANGES, PIPE = 0x04, 0x08, 0x10, 0x20
HDU_0, HDU_1, HDU_SCI = 0x40, 0x80, 0xC0
ONE_ROW, THREE_ROWS = 1, 2


def image(x, y, file_type, values=b"", comment=b"", magic=b"IM", comment_length=None, filler=0):
    length = len(comment) if comment_length is None else comment_length
    free = bytes([filler]) * pixdelta.UNINTERPRETED_SIZE
    return pixdelta.header(x, y, file_type, length, free, magic) + comment + values


def u16(*v):
    return struct.pack("<%dH" % len(v), *v)


def f64(*v):
    return struct.pack("<%dd" % len(v), *v)


def f64_bits(*bits):
    return struct.pack("<%dQ" % len(bits), *bits)


def reader_input(options, file, second=None):
    """A reader entry's input; with `second`, the file changes to it before
    the second pass."""
    if second is None:
        return bytes([options]) + file
    return bytes([options | CHANGES]) + struct.pack("<I", len(file))[:3] + file + second


# --- .img -------------------------------------------------------------------

U16_3X2 = image(3, 2, 2, u16(0, 1, 2, 65535, 32768, 7), b"comment")
U16_3X2_OTHER = image(3, 2, 2, u16(9, 8, 7, 6, 5, 4), b"comment")
F64_2X2 = image(2, 2, 10, f64(float("nan"), -0.0, float("inf"), 1.5), b"\0\xff")
F64_WIDE = image(3, 2, 10, f64(-1.7e308, 1.7e308, 5e-324, float("-inf"), 0.0, 2.0))
# Payloads that an arithmetic path would lose: a signalling NaN, a negative
# quiet NaN with a payload, the smallest subnormals.
F64_NANS = image(2, 2, 10, f64_bits(0x7FF0000000000001, 0xFFF8000000000123, 1, 0x8000000000000001))
U16_64X40 = image(64, 40, 2, u16(*((i * 37) % 65536 for i in range(64 * 40))), b"line 1\nline 2")
F64_FLAT = image(4, 3, 10, f64(*([2.5] * 12)))

IMAGES = {
    "u16_3x2": U16_3X2,
    "f64_2x2": F64_2X2,
    "f64_wide": F64_WIDE,
    "f64_nans": F64_NANS,
    "u16_64x40": U16_64X40,
    "u16_empty": image(0, 4, 2, comment=b"only a comment"),
    "u16_short": image(4, 4, 2, b"\1\2\3"),
    "bad_type": image(1, 1, 3, b"\0\0"),
    "bad_magic": image(1, 1, 2, b"\0\0", magic=b"MI"),
    "comment_past_end": image(1, 1, 2, comment_length=40),
    "huge_claim": image(65535, 65535, 10, f64(1.0)),
    "trailing_bytes": image(1, 1, 10, f64(2.0) + b"tail"),
    "header_only": image(0, 0, 2)[:pixdelta.HEADER_SIZE],
    "short_header": image(3, 2, 2)[:8],
}


def img_seeds():
    seeds = {name: reader_input(0, data) for name, data in IMAGES.items()}
    seeds.update({
        "u16_one_row_reads": reader_input(ONE_ROW, U16_64X40),
        "u16_pipe": reader_input(PIPE, U16_3X2),
        "f64_pipe_three_rows": reader_input(PIPE | THREE_ROWS, F64_WIDE),
        "preview_u16": reader_input(PREVIEW, U16_64X40),
        "preview_f64_minmax": reader_input(PREVIEW | MINMAX, F64_WIDE),
        "preview_f64_flat": reader_input(PREVIEW, F64_FLAT),
        "preview_pipe": reader_input(PREVIEW | PIPE, U16_3X2),
        # No rows or columns: the PNG row of the format table refuses it.
        "preview_empty": reader_input(PREVIEW, image(0, 3, 2)),
        # The file changes between the preview's passes: other values, cut
        # short, gone, another geometry.
        "preview_changes_values": reader_input(PREVIEW, U16_3X2, U16_3X2_OTHER),
        "preview_changes_short": reader_input(PREVIEW, U16_64X40, U16_64X40[:200]),
        "preview_changes_empty": reader_input(PREVIEW | MINMAX, F64_WIDE, b""),
        "preview_changes_geometry": reader_input(PREVIEW, U16_3X2, image(2, 3, 2, u16(1, 2, 3, 4, 5, 6))),
        "changes_between_passes": reader_input(ONE_ROW, U16_64X40, U16_64X40[:1000]),
    })
    return seeds


def header_seeds():
    return dict(IMAGES)


def roundtrip_seeds():
    fresh = 1
    return {
        "u16_3x2": bytes([0]) + U16_3X2,
        "u16_3x2_fresh": bytes([fresh]) + image(3, 2, 2, u16(1, 2, 3, 4, 5, 6), b"seen by people\n"),
        "f64_2x2": bytes([0]) + F64_2X2,
        "f64_nans": bytes([2]) + F64_NANS,
        "f64_wide": bytes([4]) + F64_WIDE,
        "u16_64x40_one_row": bytes([2]) + U16_64X40,
        "f64_40x40_three_rows": bytes([4]) + image(40, 40, 10, f64(*(i / 7 for i in range(1600)))),
        "u16_empty_width": bytes([0]) + image(0, 5, 2, comment=b"x"),
        "u16_empty_height": bytes([0]) + image(65535, 0, 2),
        "f64_empty": bytes([0]) + image(0, 0, 10),
        "utf8_comment": bytes([0]) + image(1, 1, 2, u16(5), "caf\u00e9 \u2713\nzweite".encode()),
        "latin1_controls": bytes([0]) + image(2, 1, 2, u16(5, 6), b"\x00\x01\tx\r\n\x7f\x85\xe9\xff"),
        "long_comment": bytes([fresh]) + image(1, 1, 10, f64(1.0), bytes((i * 7 + 32) % 256 for i in range(3000))),
        "odd_header_bytes": bytes([0]) + image(2, 2, 2, u16(1, 2, 3, 4), b"c", filler=0xA5),
    }


# --- PNG --------------------------------------------------------------------


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def text(key, value):
    return png_chunk(b"tEXt", key + b"\0" + value)


def ztext(key, value):
    return png_chunk(b"zTXt", key + b"\0\0" + zlib.compress(value, 9))


def itext(key, value, compressed=False, language=b"", translated=b""):
    body = zlib.compress(value, 9) if compressed else value
    return png_chunk(b"iTXt", key + b"\0" + bytes([int(compressed), 0]) + language + b"\0" +
                     translated + b"\0" + body)


def png(width, height, rows=None, depth=16, color=0, interlace=0, before=(), after=(), idat=None):
    ihdr = struct.pack(">IIBBBBB", width, height, depth, color, 0, 0, interlace)
    if idat is None:
        idat = zlib.compress(b"".join(b"\0" + r for r in rows), 9)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + b"".join(before) +
            png_chunk(b"IDAT", idat) + b"".join(after) + png_chunk(b"IEND", b""))


def png_u16(width, height, values, **kw):
    data = struct.pack(">%dH" % len(values), *values)
    return png(width, height, [data[2 * width * r:2 * width * (r + 1)] for r in range(height)], **kw)


def header_of(img):
    return img[:pixdelta.HEADER_SIZE]


def comment_of(img):
    return img[pixdelta.HEADER_SIZE:pixdelta.HEADER_SIZE + pixdelta.fields(img).comment_length]


def values_of(img):
    return img[pixdelta.HEADER_SIZE + pixdelta.fields(img).comment_length:]


def carried(img):
    """The carried chunks of an .img file: its header and comment as hex."""
    return [ztext(b"IM header", header_of(img).hex().encode()),
            ztext(b"IM comment", comment_of(img).hex().encode())]


PNG_3X2 = png_u16(3, 2, [0, 1, 2, 65535, 32768, 7], before=carried(U16_3X2) + [text(b"Comment", b"comment")])
PNG_64X40 = png_u16(64, 40, [(i * 37) % 65536 for i in range(64 * 40)], before=carried(U16_64X40))
# A PNG whose damaged chunk length once made libpng allocate 1.9 GB, as the
# fuzzer found it.
PNG_HUGE_CHUNK_LENGTH = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000003000000021000000000e88fe585000000267a5458"
    "74494d20686561646572000008998503ab362618520000000f74455874436f106d656e7400636f6d"
    "6d656e74069e207a545874494d20636f6d6d656e74000008993333364b334b014253b3547313001b"
    "33b1344931303730303006622303044066d310000035231854f66b560c000000d4da000000164944"
    "415408996364606060646064faffbfe13f032b00103303883d650cae000000")


def png_seeds():
    comments = [text(b"Comment", b"first"), ztext(b"Comment", b"second, compressed"),
                itext(b"Comment", "dritte \u2713".encode(), language=b"de"),
                itext(b"Comment", b"fourth, compressed iTXt", compressed=True),
                text(b"Title", b"not a comment"), itext(b"IM other", b"not ours")]
    files = {
        "u16_3x2": PNG_3X2,
        "u16_64x40": PNG_64X40,
        "foreign": png_u16(2, 2, [1, 2, 3, 4], before=[text(b"Comment", b"made elsewhere")]),
        "several_texts": png_u16(2, 1, [7, 8], before=comments[:3],
                                 after=comments[3:] + [text(b"Comment", b"after the image")]),
        "carried_and_texts": png_u16(3, 2, [0, 1, 2, 65535, 32768, 7], before=comments + carried(U16_3X2)),
        "header_twice": png_u16(3, 2, [0, 1, 2, 65535, 32768, 7], before=carried(U16_3X2) + carried(U16_3X2)[:1]),
        "comment_twice": png_u16(3, 2, [0, 1, 2, 65535, 32768, 7], before=carried(U16_3X2) + carried(U16_3X2)[1:]),
        "header_in_itxt": png_u16(3, 2, [0, 1, 2, 65535, 32768, 7],
                                  before=[itext(b"IM header", header_of(U16_3X2).hex().encode(), compressed=True),
                                          itext(b"IM comment", b"636f6d6d656e74")]),
        "header_not_hex": png_u16(1, 1, [1], before=[ztext(b"IM header", b"zz" * 64), ztext(b"IM comment", b"")]),
        "header_disagrees": png_u16(2, 2, [1, 2, 3, 4], before=carried(U16_3X2)),
        "depth_8": png(2, 2, [b"\1\2", b"\3\4"], depth=8),
        # Samples of 1, 2 and 4 bits, unpacked by libpng; rows of 9 values
        # end within a byte.
        "depth_1": png(9, 2, [b"\xa5\x80", b"\x5a\x00"], depth=1),
        "depth_2": png(9, 2, [b"\x1b\xe4\xc0", b"\xff\x00\x40"], depth=2),
        "depth_4": png(9, 1, [b"\x01\x23\x45\x67\xf0"], depth=4),
        "palette_4": png(2, 1, [b"\x01"], depth=4, color=3,
                         before=[png_chunk(b"PLTE", b"\0\0\0\xff\xff\xff")]),
        "gray_alpha_8": png(1, 1, [b"\1\2"], depth=8, color=4),
        "rgb_16": png(1, 1, [b"\0" * 6], color=2),
        "interlaced": png(2, 2, idat=zlib.compress(b"\0" * 20), interlace=1),
        "idat_short": png(3, 3, idat=zlib.compress(b"\0\0\0\0\0\0\0")),
        "huge_chunk_length": PNG_HUGE_CHUNK_LENGTH,
    }
    seeds = {name: reader_input(0, data) for name, data in files.items()}
    other = png_u16(3, 2, [9, 9, 9, 1, 1, 1], before=carried(U16_3X2))
    seeds.update({
        "one_row_reads": reader_input(ONE_ROW, PNG_64X40),
        "pipe": reader_input(PIPE, PNG_3X2),
        "preview": reader_input(PREVIEW, PNG_64X40),
        "preview_pipe": reader_input(PREVIEW | PIPE, PNG_3X2),
        "preview_changes_values": reader_input(PREVIEW, PNG_3X2, other),
        "preview_changes_geometry": reader_input(PREVIEW | MINMAX, PNG_3X2, png_u16(2, 3, [1, 2, 3, 4, 5, 6])),
        "preview_changes_short": reader_input(PREVIEW, PNG_64X40, PNG_64X40[:150]),
        "changes_between_passes": reader_input(THREE_ROWS, PNG_64X40, other),
    })
    return seeds


# --- TIFF -------------------------------------------------------------------

BYTE, ASCII, SHORT, LONG, RATIONAL, UNDEFINED, DOUBLE = 1, 2, 3, 4, 5, 7, 12

CODES = {SHORT: "H", LONG: "I", DOUBLE: "d"}


def tiff(width, height, bits, sample_format, strips, order="<", tags=(), rows_per_strip=None,
         compression=1, tiles=None, photometric=1, samples=1, pages=1):
    """A classic TIFF: the data (strips, or tiles with tiles=(w, h)) after the
    8-byte header, then each page's directory and its values."""
    out = bytearray((b"II" if order == "<" else b"MM") + struct.pack(order + "HI", 42, 0))
    offsets = []
    for piece in strips:
        offsets.append(len(out))
        out += piece
        out += b"\0" * (len(out) % 2)
    entries = [(256, LONG, [width]), (257, LONG, [height]), (258, SHORT, [bits] * samples),
               (259, SHORT, [compression]), (262, SHORT, [photometric]),
               (277, SHORT, [samples]), (284, SHORT, [1]), (339, SHORT, [sample_format] * samples)]
    if tiles:
        entries += [(322, LONG, [tiles[0]]), (323, LONG, [tiles[1]]), (324, LONG, offsets),
                    (325, LONG, [len(s) for s in strips])]
    else:
        entries += [(273, LONG, offsets), (278, LONG, [rows_per_strip or height]),
                    (279, LONG, [len(s) for s in strips])]
    entries = sorted(entries + list(tags), key=lambda e: e[0])
    link = 4
    for page in range(pages):
        ifd = len(out) + (len(out) % 2)
        out += b"\0" * (ifd - len(out))
        struct.pack_into(order + "I", out, link, ifd)
        values_at = ifd + 2 + 12 * len(entries) + 4
        directory, values = bytearray(struct.pack(order + "H", len(entries))), bytearray()
        for tag, kind, data in entries:
            if kind in (BYTE, ASCII, UNDEFINED):
                raw, count = bytes(data), len(data)
            else:
                raw, count = struct.pack(order + CODES[kind] * len(data), *data), len(data)
            if len(raw) <= 4:
                field = raw + b"\0" * (4 - len(raw))
            else:
                field = struct.pack(order + "I", values_at + len(values))
                values += raw + b"\0" * (len(raw) % 2)
            directory += struct.pack(order + "HHI", tag, kind, count) + field
        link = ifd + len(directory)
        out += directory + b"\0\0\0\0" + values
    return bytes(out)


def xmp(header_hex, comment_hex, attributes=False, extra=""):
    ns = 'xmlns:pixdelta="urn:pixdelta:img:1.0/"'
    if attributes:
        body = '<rdf:Description rdf:about="" %s pixdelta:header="%s" pixdelta:comment="%s"/>' % (
            ns, header_hex, comment_hex)
    else:
        body = ('<rdf:Description rdf:about="" %s>\n <pixdelta:header>%s</pixdelta:header>\n'
                ' <pixdelta:comment>%s</pixdelta:comment>%s\n</rdf:Description>' % (
                    ns, header_hex, comment_hex, extra))
    return ('<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n'
            '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF '
            'xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">%s</rdf:RDF></x:xmpmeta>\n'
            '<?xpacket end="w"?>' % body).encode() + b"\0\0"


def carried_tags(img, **kw):
    return [(700, BYTE, list(xmp(header_of(img).hex(), comment_of(img).hex(), **kw)))]


def packbits(data):
    out = bytearray()
    for i in range(0, len(data), 128):
        piece = data[i:i + 128]
        out += bytes([len(piece) - 1]) + piece
    return bytes(out)


def claim(data, tag, count):
    """The little-endian TIFF with the first value count of `tag` (or, for
    the strip byte counts, the first count) replaced."""
    data = bytearray(data)
    ifd = struct.unpack_from("<I", data, 4)[0]
    for k in range(struct.unpack_from("<H", data, ifd)[0]):
        at = ifd + 2 + 12 * k
        if struct.unpack_from("<H", data, at)[0] == tag:
            if tag == 279:
                offset = struct.unpack_from("<I", data, at + 8)[0]
                struct.pack_into("<I", data, offset if struct.unpack_from("<I", data, at + 4)[0] > 1
                                 else at + 8, count)
            else:
                struct.pack_into("<I", data, at + 4, count)
    return bytes(data)


def tiff_seeds():
    desc = (270, ASCII, list(b"comment\0"))
    u16_3x2 = tiff(3, 2, 16, 1, [values_of(U16_3X2)], tags=carried_tags(U16_3X2) + [desc])
    big_endian_f64 = tiff(2, 2, 64, 3, [struct.pack(">4d", float("nan"), -0.0, float("inf"), 1.5)],
                          order=">", tags=carried_tags(F64_2X2))
    old = values_of(U16_3X2)
    old_tag = header_of(U16_3X2) + b"comment"
    rows64 = values_of(U16_64X40)
    strips8 = [rows64[r * 128:(r + 8) * 128] for r in range(0, 40, 8)]
    tile = lambda tx, ty: b"".join(
        (rows64[(ty * 16 + r) * 128 + tx * 32:(ty * 16 + r) * 128 + tx * 32 + 32] if ty * 16 + r < 40
         else b"").ljust(32, b"\0") for r in range(16))
    files = {
        "u16_3x2": u16_3x2,
        "f64_big_endian": big_endian_f64,
        "foreign": tiff(2, 1, 16, 1, [u16(1, 2)], tags=[(270, ASCII, list(b"made elsewhere\0"))]),
        "xmp_attributes": tiff(3, 2, 16, 1, [old], tags=carried_tags(U16_3X2, attributes=True)),
        "xmp_twice": tiff(3, 2, 16, 1, [old], tags=carried_tags(
            U16_3X2, extra="<pixdelta:header>00</pixdelta:header>")),
        "xmp_not_hex": tiff(1, 1, 16, 1, [u16(1)], tags=[(700, BYTE, list(xmp("zz", "")))]),
        "xmp_doctype": tiff(1, 1, 16, 1, [u16(1)], tags=[(700, BYTE, list(b"<!DOCTYPE x [<!ENTITY a 'b'>]><x>&a;</x>"))]),
        "old_tag": tiff(3, 2, 16, 1, [old], tags=[(65117, UNDEFINED, list(old_tag))]),
        "old_tag_short": tiff(3, 2, 16, 1, [old], tags=[(65117, SHORT, list(struct.unpack("<32H", header_of(U16_3X2))))]),
        "old_tag_double": tiff(3, 2, 16, 1, [old], tags=[(65117, DOUBLE, [1.0] * 8)]),
        "old_tag_and_xmp": tiff(3, 2, 16, 1, [old], tags=carried_tags(U16_3X2) + [(65117, UNDEFINED, list(old_tag))]),
        "old_tag_short_header": tiff(3, 2, 16, 1, [old], tags=[(65117, UNDEFINED, list(old_tag[:40]))]),
        "strips_64x40": tiff(64, 40, 16, 1, strips8, rows_per_strip=8, tags=carried_tags(U16_64X40)),
        "deflate_strips": tiff(64, 40, 16, 1, [zlib.compress(s) for s in strips8], rows_per_strip=8, compression=8),
        "packbits_strips": tiff(64, 40, 16, 1, [packbits(s) for s in strips8], rows_per_strip=8, compression=32773),
        "tiles_16": tiff(64, 40, 16, 1, [tile(x, y) for y in range(3) for x in range(4)], tiles=(16, 16)),
        "orientation_flipped": tiff(3, 2, 16, 1, [old], tags=[(274, SHORT, [3])]),
        "orientation_mirrored": tiff(3, 2, 16, 1, [old], tags=[(274, SHORT, [2])]),
        "orientation_rotated": tiff(3, 2, 16, 1, [old], tags=[(274, SHORT, [6])]),
        "strip_short": tiff(3, 2, 16, 1, [old[:7]]),
        "two_pages": tiff(3, 2, 16, 1, [old], pages=2),
        "rgb": tiff(1, 1, 16, 1, [b"\0" * 6], photometric=2, samples=3),
        "signed_16": tiff(1, 1, 16, 2, [u16(1)]),
        # Every sample type: 8 to 64-bit integers and floats, both orders,
        # strips and tiles; a 64-bit integer past 2^53 is refused.
        "unsigned_8": tiff(3, 2, 8, 1, [b"\0\1\x7f\x80\xfe\xff"]),
        "signed_8_tiles": tiff(20, 20, 8, 2, [bytes(range(256))] * 4, tiles=(16, 16)),
        "unsigned_32_big_endian": tiff(2, 1, 32, 1, [struct.pack(">2I", 0, 4294967295)], order=">"),
        "signed_32_deflate": tiff(2, 2, 32, 2, [zlib.compress(struct.pack("<4i", -2**31, -1, 0, 2**31 - 1))],
                                  compression=8),
        "signed_64": tiff(2, 1, 64, 2, [struct.pack("<2q", -2**53, 2**53)]),
        "signed_64_past": tiff(2, 1, 64, 2, [struct.pack("<2q", 0, 2**53 + 1)]),
        "unsigned_64_big_endian": tiff(1, 2, 64, 1, [struct.pack(">2Q", 2**53, 2**64 - 1)], order=">"),
        "float_32": tiff(3, 1, 32, 3, [struct.pack("<3I", 0x7FA00001, 0x80000000, 0x00000001)]),
        "float_32_big_endian_deflate": tiff(2, 2, 32, 3, [zlib.compress(struct.pack(">4f", 1.5, -2.25, 3e38, -0.0))],
                                            order=">", compression=8),
        "float_16": tiff(1, 1, 16, 3, [u16(0x3c00)]),
        "palette_8": tiff(1, 1, 8, 1, [b"\0"], photometric=3, tags=[(320, SHORT, [0] * 768)]),
        # Carried text that libtiff cannot read, and a strip that claims more
        # bytes than any compression makes: refused, never dropped.
        "xmp_claims_9_mib": claim(tiff(3, 2, 16, 1, [old], tags=carried_tags(U16_3X2)), 700, 9 << 20),
        "description_past_end": claim(tiff(3, 2, 16, 1, [old], tags=carried_tags(U16_3X2) + [desc]),
                                      270, 4000),
        "strip_claims_20_mib": claim(tiff(64, 40, 16, 1, [zlib.compress(s) for s in strips8],
                                          rows_per_strip=8, compression=8), 279, 20 << 20),
    }
    seeds = {name: reader_input(0, data) for name, data in files.items()}
    other = tiff(3, 2, 16, 1, [u16(9, 9, 9, 1, 1, 1)], tags=carried_tags(U16_3X2))
    seeds.update({
        "strips_one_row_reads": reader_input(ONE_ROW, files["strips_64x40"]),
        "preview": reader_input(PREVIEW, files["strips_64x40"]),
        "preview_f64": reader_input(PREVIEW | MINMAX, big_endian_f64),
        "preview_changes_values": reader_input(PREVIEW, u16_3x2, other),
        "preview_changes_short": reader_input(PREVIEW, files["deflate_strips"], files["deflate_strips"][:300]),
        "preview_changes_layout": reader_input(PREVIEW, files["tiles_16"], files["strips_64x40"]),
        "changes_between_passes": reader_input(THREE_ROWS, files["strips_64x40"], b""),
    })
    return seeds


# --- FITS -------------------------------------------------------------------


def fits_bytes(hdus):
    out = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fits.HDUList(hdus).writeto(out)
    return out.getvalue()


def with_carried(header, img):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        header["IMHEADER"] = header_of(img).hex()
        header["IMCOMENT"] = comment_of(img).hex()
    return header


def with_descriptor(data, length):
    """The tile-compressed file with the first tile's compressed length
    replaced."""
    table = data.index(b"XTENSION= 'BINTABLE'")
    end = next(k for k in range(table, len(data), 80) if data[k:k + 8] == b"END     ")
    start = table + (end - table + 80 + 2879) // 2880 * 2880
    return data[:start] + struct.pack(">I", length) + data[start + 4:]


def crafted(hdu, tile=None, cards=None):
    """A tile-compressed file with one tile's compressed bytes or some of its
    table's cards replaced."""
    with fits.open(io.BytesIO(fits_bytes([fits.PrimaryHDU(), hdu])),
                   disable_image_compression=True) as f:
        table = f[1]
        if tile:
            table.data["COMPRESSED_DATA"][tile[0]] = np.frombuffer(tile[1], np.uint8)
        for key, value in (cards or {}).items():
            table.header[key] = value
        out = io.BytesIO()
        f.writeto(out)
        return out.getvalue()


def fits_seeds():
    u16_3x2 = np.array([[0, 1, 2], [65535, 32768, 7]], dtype=np.uint16)
    f64_2x2 = np.array([[np.nan, -0.0], [np.inf, 1.5]])
    u16_64x40 = np.array([(i * 37) % 65536 for i in range(64 * 40)], dtype=np.uint16).reshape(40, 64)

    def primary(data, img=None, comments=()):
        hdu = fits.PrimaryHDU(data)
        if img is not None:
            with_carried(hdu.header, img)
        for c in comments:
            hdu.header.add_comment(c)
        return hdu

    def scaled(data, **cards):
        hdu = fits.PrimaryHDU(data)
        for key, value in cards.items():
            hdu.header[key] = value
        return hdu

    twice = primary(u16_3x2, U16_3X2)
    twice.header.append(("IMHEADER", "00"), end=True)
    cube = fits.PrimaryHDU(u16_3x2.reshape(1, 2, 3))
    files = {
        "u16_3x2": fits_bytes([primary(u16_3x2, U16_3X2, ["comment"])]),
        "f64_2x2": fits_bytes([primary(f64_2x2, F64_2X2)]),
        "u16_64x40": fits_bytes([primary(u16_64x40, U16_64X40, ["line 1", "line 2"])]),
        "foreign": fits_bytes([primary(u16_3x2, None, ["made elsewhere", "two lines"])]),
        "imheader_twice": fits_bytes([twice]),
        "imheader_not_hex": fits_bytes([fits.PrimaryHDU(u16_3x2, header=fits.Header([("IMHEADER", "zz")]))]),
        "extension_sci": fits_bytes([fits.PrimaryHDU(), fits.ImageHDU(f64_2x2, name="SCI",
                                                                       header=with_carried(fits.Header(), F64_2X2))]),
        "table_then_image": fits_bytes([fits.PrimaryHDU(), fits.BinTableHDU.from_columns(
            [fits.Column(name="a", format="J", array=np.array([1, 2]))]), fits.ImageHDU(u16_3x2)]),
        "compressed_u16": fits_bytes([fits.PrimaryHDU(), fits.CompImageHDU(
            u16_64x40, header=with_carried(fits.Header(), U16_64X40), compression_type="RICE_1")]),
        "compressed_f64": fits_bytes([fits.PrimaryHDU(), fits.CompImageHDU(
            f64_2x2, header=with_carried(fits.Header(), F64_2X2), compression_type="GZIP_2",
            quantize_level=0.0)]),
        "cube_plane": fits_bytes([cube]),
        "cube_two_planes": fits_bytes([fits.PrimaryHDU(np.zeros((2, 2, 3), dtype=np.uint16))]),
        "int16_unscaled": fits_bytes([fits.PrimaryHDU(np.array([[1, -2]], dtype=np.int16))]),
        "float32": fits_bytes([fits.PrimaryHDU(np.array([[1.5]], dtype=np.float32))]),
        # Every BITPIX, scaled and with nulls, each to the type its samples
        # map to; a 64-bit integer past 2^53 and a BLANK into uint16 refused.
        "bitpix_8": fits_bytes([fits.PrimaryHDU(np.array([[0, 255, 7]], dtype=np.uint8))]),
        "bitpix_8_signed": fits_bytes([fits.PrimaryHDU(np.array([[-128, 127]], dtype=np.int8))]),
        "bitpix_8_blank": fits_bytes([scaled(np.array([[0, 1]], np.uint8), BLANK=1)]),
        "bitpix_16_scaled_blank": fits_bytes([scaled(np.array([[-32768, 5, 32767]], np.int16),
                                                     BSCALE=0.1, BZERO=-3.5, BLANK=-32768)]),
        "bitpix_16_unsigned_blank": fits_bytes([scaled(np.array([[0, 1]], np.int16), BZERO=32768,
                                                       BLANK=0)]),
        "bitpix_32_unsigned": fits_bytes([fits.PrimaryHDU(np.array([[0, 4294967295]], dtype=np.uint32))]),
        "bitpix_64": fits_bytes([fits.PrimaryHDU(np.array([[-2**53, 2**53]], dtype=np.int64))]),
        "bitpix_64_past": fits_bytes([fits.PrimaryHDU(np.array([[0], [2**53 + 1]], dtype=np.int64))]),
        "bitpix_64_unsigned": fits_bytes([fits.PrimaryHDU(np.array([[0, 2**53]], dtype=np.uint64))]),
        "bitpix_minus_32_scaled": fits_bytes([scaled(np.array([[np.nan, -0.0, 1.5]], np.float32),
                                                     BSCALE=3.0, BZERO=1.0)]),
        "compressed_int32": fits_bytes([fits.PrimaryHDU(), fits.CompImageHDU(
            (np.arange(64 * 40, dtype=np.int32) * 99991).reshape(40, 64), compression_type="RICE_1")]),
        "compressed_uint8": fits_bytes([fits.PrimaryHDU(), fits.CompImageHDU(
            (np.arange(64 * 40) % 251).astype(np.uint8).reshape(40, 64), compression_type="HCOMPRESS_1")]),
        "compressed_float32_nan": fits_bytes([fits.PrimaryHDU(), fits.CompImageHDU(
            np.where(np.arange(64 * 40) % 97 == 0, np.nan, np.sin(np.arange(64 * 40) / 9.0))
            .astype(np.float32).reshape(40, 64), compression_type="RICE_1", dither_seed=1)]),
        "no_image": fits_bytes([fits.PrimaryHDU()]),
        "gzipped": b"\x1f\x8b\x08\0\0\0\0\0\0\3" + b"\0" * 20,
        # cfitsio takes any file that begins "PK" for a zip, and allocates the
        # size that bytes 22 to 25 claim (here 3.6 GB) to unpack it; found by
        # the fuzzer.
        "pk_not_zip": b"PK\3\xd8" + b"\0" * 18 + struct.pack("<I", 3663059504) + b" " * 2854,
        "lzh": b"\x1f\xa0" + b"\0" * 2878,
    }
    files["data_short"] = files["u16_64x40"][:2880 * 2]
    # A tile whose descriptor claims 2.5 GB of compressed bytes, which
    # cfitsio once allocated before reading them; found by the fuzzer.
    files["tile_length_huge"] = with_descriptor(files["compressed_u16"], 0x94949494)
    # Tiles whose header or sizes do not fit the image, which cfitsio decoded
    # into values not in the file, read outside, or looped on (issue 21).
    wide = np.sin(np.arange(6 * 40) / 5.0).reshape(6, 40)
    files["gzip_quarter_f64"] = crafted(fits.CompImageHDU(
        wide, compression_type="GZIP_1", quantize_level=0.0),
        tile=(1, zlib.compress(wide[1, :10].astype(">f8").tobytes())))
    files["dither_negative"] = crafted(fits.CompImageHDU(wide, compression_type="RICE_1", quantize_method=1),
                                       cards={"ZDITHER0": -5})
    files["hcompress_zero_shape"] = crafted(fits.CompImageHDU(
        u16_64x40, compression_type="HCOMPRESS_1", tile_shape=(40, 64)),
        tile=(0, b"\xdd\x99" + bytes(76)))
    files["rice_cut_short"] = crafted(fits.CompImageHDU(u16_64x40, compression_type="RICE_1"),
                                      tile=(2, b"\0\0\x10\0"))
    seeds = {name: reader_input(0, data) for name, data in files.items()}
    other = fits_bytes([primary(u16_3x2[::-1].copy(), U16_3X2)])
    seeds.update({
        "extension_by_number": reader_input(HDU_1, files["extension_sci"]),
        "extension_by_name": reader_input(HDU_SCI, files["extension_sci"]),
        "primary_by_number": reader_input(HDU_0, files["extension_sci"]),
        "compressed_one_row_reads": reader_input(ONE_ROW, files["compressed_u16"]),
        "preview": reader_input(PREVIEW, files["u16_64x40"]),
        "preview_compressed": reader_input(PREVIEW | MINMAX, files["compressed_f64"]),
        "preview_changes_values": reader_input(PREVIEW, files["u16_3x2"], other),
        "preview_changes_short": reader_input(PREVIEW, files["u16_64x40"], files["u16_64x40"][:2880]),
        "preview_changes_compressed": reader_input(PREVIEW, files["compressed_u16"], files["u16_64x40"]),
        "changes_between_passes": reader_input(THREE_ROWS, files["compressed_u16"], files["compressed_u16"][:5000]),
    })
    return seeds


def main():
    entries = {"header": header_seeds(), "img": img_seeds(), "roundtrip": roundtrip_seeds(),
               "png": png_seeds(), "tiff": tiff_seeds(), "fits": fits_seeds()}
    for entry, seeds in entries.items():
        folder = os.path.join(HERE, "seeds", entry)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
