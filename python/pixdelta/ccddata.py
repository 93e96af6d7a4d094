"""The .img format in astropy's unified I/O registry, for CCDData: so that
CCDData.read("x.img", unit="adu") and ccd.write("x.img") work, and ccdproc
pipelines read and write .img files directly.

The header and comment travel in ccd.meta under the keywords pixconvert
gives them in FITS: IMHEADER, the 64 header bytes as 128 hexadecimal
digits, and IMCOMENT, the comment's bytes likewise. A CCDData written to
FITS by astropy therefore carries them too, and pixconvert turns that FITS
file back into the .img file it came from; a CCDData read from a FITS file
that pixconvert wrote writes the .img file it came from.

The .img file holds the values alone: a CCDData's unit, mask, uncertainty,
WCS and other meta are not written.
"""
import os
import string

import numpy
from astropy.io import registry
from astropy.nddata import CCDData

from . import files, layout

FORMAT = "img"
HEADER_KEY = "IMHEADER"
COMMENT_KEY = "IMCOMENT"


def read_ccddata(filename, unit=None, memmap=False):
    """CCDData from an .img file. The values are copied into memory unless
    memmap=True, which leaves them mapped read-only from the file."""
    image = files.read(filename)
    values = image.values if memmap else numpy.array(image.values)
    meta = {HEADER_KEY: image.header.hex(), COMMENT_KEY: image.comment.hex()}
    return CCDData(values, unit=unit, meta=meta)


def _carried(meta, key):
    """The bytes that meta[key] holds in hexadecimal, or None without it."""
    if key not in meta:
        return None
    text = meta[key]
    if not isinstance(text, str) or len(text) % 2 or not set(text) <= set(string.hexdigits):
        raise ValueError("meta[%r] does not hold the .img %s in hexadecimal digits"
                         % (key, "header" if key == HEADER_KEY else "comment"))
    return bytes.fromhex(text)


def write_ccddata(ccd, filename, overwrite=False):
    """Writes ccd.data (uint16 or float64, 2-D) as an .img file, with the
    header's uninterpreted bytes and the comment that ccd.meta carries. An
    existing file is replaced only with overwrite=True; either way the
    file appears complete or not at all."""
    header = _carried(ccd.meta, HEADER_KEY)
    if header is not None and len(header) != layout.HEADER_SIZE:
        raise ValueError("meta[%r] holds %d bytes, not the %d of an .img header"
                         % (HEADER_KEY, len(header), layout.HEADER_SIZE))
    comment = _carried(ccd.meta, COMMENT_KEY) or b""
    files._write_file(filename, ccd.data, header, comment, replace=overwrite)

def identify(origin, path, fileobj, *args, **kwargs):
    """A name that ends in .img, in any letter case, as pixconvert takes it."""
    name = path if path is not None else getattr(fileobj, "name", None)
    try:
        return os.fsdecode(name).lower().endswith(".img")
    except TypeError:
        return False


def register():
    registry.register_reader(FORMAT, CCDData, read_ccddata, force=True)
    registry.register_writer(FORMAT, CCDData, write_ccddata, force=True)
    registry.register_identifier(FORMAT, CCDData, identify, force=True)
