"""Reading and writing .img files with numpy, with the checks and in the
words of the C++ tools (pixconvert's .img reader)."""
import errno
import io
import os
import stat

import numpy

from . import layout

# Pipes are read in pieces of this size, so that what a header claims is
# never allocated before it has arrived; files are written in pieces of
# about this size, so that a mapped or byte-swapped array is never copied
# whole.
_PIECE = 1 << 20


class ImgError(ValueError):
    """A file that is not a readable .img file: `path` names it (as given)
    and `reason` says why, in the words pixconvert uses."""

    def __init__(self, path, reason):
        self.path = path
        self.reason = reason
        try:
            name = os.fsdecode(path)
        except TypeError:  # a file object's name may be its descriptor
            name = str(path)
        super().__init__("%s: %s" % (name, reason))


class Image:
    """An .img file: its 64 header bytes, its comment bytes and its values,
    an array of shape (y_size, x_size) and dtype '<u2' or '<f8'."""

    __slots__ = ("header", "comment", "values")

    def __init__(self, header, comment, values):
        self.header = header
        self.comment = comment
        self.values = values

    def __repr__(self):
        return "<pixdelta.Image %dx%d %s, comment %r>" % (
            self.values.shape[1], self.values.shape[0], self.values.dtype.str, self.comment)


def _read_up_to(f, n):
    """Up to n bytes, fewer only at the end of the file."""
    data = bytearray()
    while len(data) < n:
        piece = f.read(min(n - len(data), _PIECE))
        if not piece:
            break
        data += piece
    return data


def _mappable(f):
    """Whether f reads a file itself, not what a decompressor (whose
    fileno() is that of the compressed file) makes of it."""
    return isinstance(f, io.FileIO) or (isinstance(f, io.BufferedReader)
                                        and isinstance(f.raw, io.FileIO))


def read(source):
    """The Image in `source`, a path or a binary file object read from its
    position on. A regular file's values are mapped read-only (a
    numpy.memmap) and cost no memory until they are used; anything else (a
    pipe, a device) is read into a read-only array. Raises ImgError for a
    file that is not a complete .img file, and OSError for one that cannot
    be opened or read."""
    if hasattr(source, "read"):
        return _read(source, getattr(source, "name", "<file>"))
    with open(source, "rb", buffering=0) as f:
        return _read(f, source)


def _read(f, path):
    head = _read_up_to(f, layout.HEADER_SIZE)
    if len(head) < layout.HEADER_SIZE:
        raise ImgError(path, "file is short: no complete %d-byte header" % layout.HEADER_SIZE)
    h = layout.fields(head)
    if h.magic != layout.MAGIC:
        raise ImgError(path, 'not an .img file: it does not begin with "IM"')
    comment = _read_up_to(f, h.comment_length)
    if len(comment) < h.comment_length:
        raise ImgError(path, "file is short: the comment is cut off")
    size = layout.value_size(h.file_type)
    if size == 0:
        raise ImgError(path, "unknown pixel type %d; accepted: 2 (unsigned 16-bit), "
                             "10 (binary64)" % h.file_type)
    dtype = numpy.dtype(layout.DTYPES[h.file_type])
    shape, count = (h.y_size, h.x_size), h.x_size * h.y_size
    st = os.fstat(f.fileno()) if count > 0 and _mappable(f) else None
    if st and stat.S_ISREG(st.st_mode):
        start = f.tell()
        if st.st_size - start >= count * size:
            values = numpy.memmap(f, dtype, "r", start, shape)
            f.seek(start + count * size)
            return Image(bytes(head), bytes(comment), values)
    # A file whose size says nothing of what it holds (in /proc, say) is
    # read like a pipe.
    data = _read_up_to(f, count * size)
    if len(data) < count * size:
        raise ImgError(path, "file is short: %d of %d values" % (len(data) // size, count))
    values = numpy.frombuffer(data, dtype).reshape(shape)
    values.flags.writeable = False
    return Image(bytes(head), bytes(comment), values)


def _checked_values(values):
    """The values as an array that an .img file holds, or why not."""
    if isinstance(values, numpy.ma.MaskedArray):
        raise TypeError("cannot write a masked array: an .img file holds no mask; "
                        "fill it first, e.g. values.filled(0)")
    values = numpy.asanyarray(values)
    kind, size = values.dtype.kind, values.dtype.itemsize
    if (kind, size) == ("u", 2):
        file_type = layout.UINT16
    elif (kind, size) == ("f", 8):
        file_type = layout.BINARY64
    else:
        if kind == "b" or (kind, size) == ("u", 1):
            advice = "; cast them first, e.g. values.astype(numpy.uint16)"
        elif kind in "iuf":
            advice = "; cast them first, e.g. values.astype(numpy.float64)"
        else:
            advice = ""
        raise TypeError("cannot write %s values: an .img file holds uint16 or float64%s"
                        % (values.dtype.name, advice))
    if values.ndim != 2:
        raise ValueError("cannot write %d-dimensional values: an .img file holds a plane, "
                         "values of shape (y_size, x_size)" % values.ndim)
    y, x = values.shape
    if x > layout.MAX_SIZE or y > layout.MAX_SIZE:
        raise ValueError("cannot write an image of %dx%d: at most %d fit either way"
                         % (x, y, layout.MAX_SIZE))
    return values, file_type


def _hidden_name(folder, base):
    """A new hidden neighbour of `base`, named after it."""
    suffix = "".join("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"[b % 62]
                     for b in os.urandom(6))
    return os.path.join(folder, b"." + base[:40] + b"." + suffix.encode())


class _Encoded:
    """What a file will hold, checked: its header, comment and values."""

    def __init__(self, values, header, comment):
        self.values, file_type = _checked_values(values)
        if isinstance(comment, str):
            raise TypeError("the comment must be bytes, not str: encode it first, "
                            "e.g. comment.encode()")
        self.comment = bytes(comment)
        if len(self.comment) > layout.MAX_SIZE:
            raise ValueError("comment of %d bytes; at most %d fit"
                             % (len(self.comment), layout.MAX_SIZE))
        kept = bytes(layout.UNINTERPRETED_SIZE)
        if header is not None:
            header = bytes(header)
            if len(header) != layout.HEADER_SIZE:
                raise ValueError("the header must be %d bytes, not %d"
                                 % (layout.HEADER_SIZE, len(header)))
            kept = layout.fields(header).uninterpreted
        y, x = self.values.shape
        self.header = layout.header(x, y, file_type, len(self.comment), kept)
        self.dtype = numpy.dtype(layout.DTYPES[file_type])

    def write_to(self, f):
        f.write(self.header)
        f.write(self.comment)
        y, x = self.values.shape
        rows = max(1, _PIECE // max(1, x * self.dtype.itemsize))
        for first in range(0, y if x else 0, rows):
            piece = numpy.ascontiguousarray(self.values[first:first + rows], self.dtype)
            f.write(piece.reshape(-1).view(numpy.uint8))


def to_bytes(values, header=None, comment=b""):
    """The bytes of the .img file that write() would make, in memory."""
    out = io.BytesIO()
    _Encoded(values, header, comment).write_to(out)
    return out.getvalue()


def _write_file(path, values, header, comment, replace):
    encoded = _Encoded(values, header, comment)
    target = os.fsencode(path)
    folder, base = os.path.split(target)
    if base in (b"", b".", b".."):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    try:
        st = os.lstat(target)
    except FileNotFoundError:
        pass
    else:
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not (stat.S_ISREG(st.st_mode) or stat.S_ISLNK(st.st_mode)):
            raise FileExistsError(errno.EEXIST, "exists and is not a regular file; an .img file "
                                  "is written anew and renamed into place", path)
    while True:
        hidden = _hidden_name(folder, base)
        try:
            # Created as any new file is, so that its mode follows the umask.
            fd = os.open(hidden, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with open(fd, "wb") as f:
            encoded.write_to(f)
        if replace:
            os.replace(hidden, target)
        else:
            # Fails where the name is taken, however it was taken meanwhile.
            try:
                os.link(hidden, target, follow_symlinks=False)
            except FileExistsError:
                raise FileExistsError(errno.EEXIST, "exists; overwrite=True replaces it",
                                      path) from None
            os.unlink(hidden)
    except BaseException:
        try:
            os.unlink(hidden)
        except OSError:
            pass
        raise


def write(path, values, header=None, comment=b""):
    """Writes `values`, a 2-D array of uint16 or float64 (any byte order),
    as the .img file `path`, little-endian. A given 64-byte `header` keeps
    its uninterpreted bytes; the magic, comment length, sizes and type are
    always set from `values` and `comment` (bytes). The file is written
    beside `path` under a hidden name and renamed into place when
    complete: a failed write leaves `path` as it was and nothing beside
    it. Nothing is cast: other types are refused (TypeError), and so are
    other shapes and sizes and comments past 65535 bytes (ValueError)."""
    _write_file(path, values, header, comment, replace=True)
