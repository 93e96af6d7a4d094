"""The 64-byte header of an .img file, in plain Python: scripts that only
make or take apart headers run where numpy is not installed.

  offset  size  field            content
  0       2     magic            b"IM"
  2       2     comment_length   bytes of comment after the header
  4       2     x_size           width
  6       2     y_size           height
  8       4     -                not interpreted, carried unchanged
  12      2     file_type        2: uint16 values, 10: binary64 values
  14      50    -                not interpreted, carried unchanged

then comment_length bytes of comment, then x_size * y_size values, all
little-endian; anything after them is ignored.
"""
import collections
import struct

HEADER_SIZE = 64
MAGIC = b"IM"
UINT16 = 2
BINARY64 = 10
# numpy's names for the values of each type, little-endian on any host.
DTYPES = {UINT16: "<u2", BINARY64: "<f8"}
# Every size and the comment length are 16-bit fields.
MAX_SIZE = 65535
# The bytes no tool interprets, in file order: offsets 8 to 11, then 14 to 63.
UNINTERPRETED_SIZE = 54

_LAYOUT = struct.Struct("<2sHHH4sH50s")

Fields = collections.namedtuple(
    "Fields", "magic comment_length x_size y_size file_type uninterpreted")


def fields(data):
    """The fields of the header that `data` (64 bytes or more) begins with."""
    magic, length, x, y, first, file_type, rest = _LAYOUT.unpack_from(data)
    return Fields(magic, length, x, y, file_type, first + rest)


def header(x_size, y_size, file_type, comment_length=0, uninterpreted=bytes(UNINTERPRETED_SIZE),
           magic=MAGIC):
    """64 header bytes. Any field may hold what a damaged file holds (a type
    the tools refuse, a comment length the file does not have, another
    magic), so that tests can make such files."""
    if len(uninterpreted) != UNINTERPRETED_SIZE or len(magic) != 2:
        raise ValueError("uninterpreted takes %d bytes and magic 2, not %d and %d"
                         % (UNINTERPRETED_SIZE, len(uninterpreted), len(magic)))
    return _LAYOUT.pack(magic, comment_length, x_size, y_size, bytes(uninterpreted[:4]),
                        file_type, bytes(uninterpreted[4:]))


def value_size(file_type):
    """Bytes per value, or 0 for a type the tools do not handle."""
    return {UINT16: 2, BINARY64: 8}.get(file_type, 0)
