#!/usr/bin/env python3
"""The Python package (python/pixdelta) against the C++ tools: files it
writes are read by pixdelta, pixcombine and pixconvert, and what they write
it reads and rewrites byte for byte; the files the tools refuse it refuses
in pixconvert's words, from a file or a pipe, and claims no file backs are
never allocated; its values are little-endian on any host; regular files
are mapped read-only; a write is atomic, and a refused or failed one leaves
no trace.

Usage: python_package.py PIXDELTA PIXCOMBINE PIXCONVERT|- SOURCE_DIR VERSION
(- where pixconvert is not built). Skipped without numpy.
"""
import os
import resource
import stat
import subprocess
import sys
import tempfile

from python_support import PYTHON_DIR, bits, check, finish, get, put, skip

try:
    import numpy as np
except ImportError:
    skip("numpy is not installed for %s (apt-get install python3-numpy)" % sys.executable)
import pixdelta  # noqa: E402

PIXDELTA, PIXCOMBINE, PIXCONVERT = (os.path.abspath(a) if a != "-" else None for a in sys.argv[1:4])
SOURCE, VERSION = os.path.abspath(sys.argv[4]), sys.argv[5]


def file_bytes(x, y, file_type, values=b"", comment=b"", **header):
    header.setdefault("comment_length", len(comment))
    return pixdelta.header(x, y, file_type, **header) + comment + values


def u16(*v):
    return np.array(v, "<u2").tobytes()


# --- Files the tools refuse, and files they take --------------------------

SHORT = "file is short: no complete 64-byte header"
MAGIC = 'not an .img file: it does not begin with "IM"'
CUT = "file is short: the comment is cut off"


def unknown(t):
    return "unknown pixel type %d; accepted: 2 (unsigned 16-bit), 10 (binary64)" % t


def values_short(got, count):
    return "file is short: %d of %d values" % (got, count)


# (what, bytes, the reason, or the values and comment a reader must find):
# the rows of the C++ header tests (tests/cli_tests.cpp), and the order of
# the checks where a file is wrong in two ways. The fuzzer's header seeds
# are read too, below.
FIRST = file_bytes(2, 2, 2, u16(1000, 200, 65535, 5), b"first comment", uninterpreted=b"\xa1" * 54)
HOSTILE = [
    ("63 bytes", FIRST[:63], SHORT),
    ("empty", b"", SHORT),
    ("magic's first byte wrong", b"JM" + FIRST[2:], MAGIC),
    ("magic with a zero byte", b"I\0" + FIRST[2:], MAGIC),
    ("comment past the end", file_bytes(2, 2, 2, comment_length=3), CUT),
    ("comment one byte short", FIRST[:64 + 12], CUT),
    ("type 3", file_bytes(1, 1, 3, b"\0\0"), unknown(3)),
    ("type 65535", file_bytes(1, 1, 65535), unknown(65535)),
    ("block one byte short", file_bytes(4, 3, 2, u16(*[7] * 12))[:64 + 23], values_short(11, 12)),
    ("block 3 bytes short", FIRST[:-3], values_short(2, 4)),
    ("count past 31 bits", file_bytes(65535, 32769, 2), values_short(0, 2147516415)),
    ("count past 32 bits", file_bytes(65535, 65535, 2, u16(1, 2, 3) + b"x"),
     values_short(3, 4294836225)),
    ("type 10 with a uint16 block", file_bytes(2, 2, 10, u16(1, 2, 3, 4)), values_short(1, 4)),
    ("bad magic before a short comment", file_bytes(1, 1, 2, comment_length=9, magic=b"IN"), MAGIC),
    ("short comment before an unknown type", file_bytes(1, 1, 3, comment_length=9), CUT),
    ("unknown type before a short block", file_bytes(9, 9, 7, b"\0"), unknown(7)),
    ("header only, 0x0", file_bytes(0, 0, 2), (np.zeros((0, 0), "<u2"), b"")),
    ("0x4 with a comment", file_bytes(0, 4, 2, comment=b"only"), (np.zeros((4, 0), "<u2"), b"only")),
    ("65535x0", file_bytes(65535, 0, 10), (np.zeros((0, 65535), "<f8"), b"")),
    ("bytes after the block", file_bytes(1, 1, 10, np.array([2.0]).astype("<f8").tobytes() + b"t"),
     (np.array([[2.0]]), b"")),
    # A comment length shorter than the comment: the rest is taken for values.
    ("comment longer than its length", file_bytes(1, 1, 2, b"cdvv", b"ab"),
     (np.array([[0x6463]], "<u2"), b"ab")),
]


def verdict(source):
    """'ok' and the image, or the reason for the refusal and the message."""
    try:
        return "ok", pixdelta.read(source)
    except pixdelta.ImgError as e:
        return e.reason, str(e)


def pixconvert_verdict(path):
    out = os.path.join(os.path.dirname(path), "verdict.fits")
    r = subprocess.run([PIXCONVERT, path, out], capture_output=True, text=True)
    if os.path.exists(out):
        os.unlink(out)
    prefix = "pixconvert: %s: " % path
    return "ok" if r.returncode == 0 else r.stderr[len(prefix):-1] if r.stderr.startswith(
        prefix) else r.stderr


def hostile_files(work):
    """Each file gets the verdict the table gives, from a path, an open file
    and a pipe, and pixconvert's; a file taken gives its header, comment and
    values; a refusal is a ValueError that names the file."""
    path = os.path.join(work, "case.img")
    for what, data, expected in HOSTILE:
        put(path, data)
        want = expected if isinstance(expected, str) else "ok"
        reason, image = verdict(path)
        check(reason == want, "%s: %r, not %r" % (what, reason, want))
        if want == "ok":
            check(bits(image.values) == bits(expected[0]) and image.comment == expected[1] and
                  image.header == data[:64], "%s: read %r" % (what, image))
        else:
            check(image == path + ": " + want and issubclass(pixdelta.ImgError, ValueError),
                  "%s: says %s" % (what, image))
        with open(path, "rb") as f:
            check(verdict(f)[0] == want, "%s: from an open file" % what)
        with subprocess.Popen(["cat", path], stdout=subprocess.PIPE) as cat:
            reason, image = verdict(cat.stdout)
            check(reason == want and (want != "ok" or (
                type(image.values) is np.ndarray and not image.values.flags.writeable and
                bits(image.values) == bits(expected[0]))), "%s: from a pipe: %r" % (what, reason))
        if PIXCONVERT:
            check(pixconvert_verdict(path) == want, "%s: pixconvert: %r"
                  % (what, pixconvert_verdict(path)))
    seeds = os.path.join(SOURCE, "fuzz", "seeds", "header")
    for name in sorted(os.listdir(seeds)) if PIXCONVERT else []:
        put(path, get(os.path.join(seeds, name)))
        check(verdict(path)[0] == pixconvert_verdict(path), "seed %s: %r, pixconvert %r"
              % (name, verdict(path)[0], pixconvert_verdict(path)))


CLAIMS = r"""
import sys
sys.path.insert(0, sys.argv[1])
import pixdelta
for source in sys.argv[2:]:
    try:
        pixdelta.read(open(source, "rb") if source.startswith("/dev/fd") else source)
    except pixdelta.ImgError as e:
        print(e.reason)
"""


def claims(work):
    """Under a 512 MiB address space, a file and a pipe that claim 4 GB and
    34 GB are found short: what a header claims is never allocated."""
    files = [file_bytes(65535, 32769, 2, u16(1, 2)), file_bytes(65535, 65535, 10, u16(1, 2, 3, 4))]
    paths = [os.path.join(work, "claim%d.img" % k) for k in range(2)]
    for path, data in zip(paths, files):
        put(path, data)
    read_end, write_end = os.pipe()
    with os.fdopen(write_end, "wb") as w:
        w.write(files[1])
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))  # noqa: E731
    r = subprocess.run([sys.executable, "-c", CLAIMS, PYTHON_DIR] + paths + ["/dev/fd/%d" % read_end],
                       capture_output=True, text=True, preexec_fn=limit, pass_fds=[read_end],
                       env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    os.close(read_end)
    want = [values_short(2, 2147516415)] + [values_short(1, 4294836225)] * 2
    check(r.stdout.splitlines() == want, "claims under 512 MiB: %r %s" % (r.stdout, r.stderr))


# --- Byte order and mapping -------------------------------------------------

# Whole files written out by hand, and what they hold: a little-endian
# host's bytes, whatever host reads them.
ORDER = [(bytes.fromhex("494d" "0300" "0200" "0100" "a1a2a3a4" "0200" + "b5" * 50 + "616263"
                        "0102" "fffe"), np.array([[0x0201, 0xFEFF]], "<u2"), b"abc"),
         (bytes.fromhex("494d" "0000" "0100" "0200" "00000000" "0a00" + "00" * 50 +
                        "000000000000f83f" "0000000000000080"), np.array([[1.5], [-0.0]]), b"")]


def byte_order(work):
    """Fixed bytes read as '<u2' and '<f8' values; written from either byte
    order, or from a view that is not contiguous, the same bytes."""
    path = os.path.join(work, "order.img")
    for data, values, comment in ORDER:
        put(path, data)
        image = pixdelta.read(path)
        check(bits(image.values) == bits(values.astype(values.dtype.newbyteorder("<"))) and
              image.comment == comment and image.header == data[:64],
              "fixed bytes read as %s %r" % (image.values.dtype.str, image.values.tolist()))
        wide = np.zeros((values.shape[0], 2 * values.shape[1]), values.dtype)
        wide[:, ::2] = values
        for given in (values, values.astype(values.dtype.newbyteorder(">")), wide[:, ::2],
                      np.asfortranarray(values)):
            pixdelta.write(path, given, image.header, comment)
            check(get(path) == data and pixdelta.to_bytes(given, image.header, comment) == data,
                  "written from %s %s: %s" % (given.dtype.str, given.strides, get(path).hex()))


def mapping(work):
    """A regular file is mapped read-only, also from an open file's
    position on, which is left after the block."""
    path = os.path.join(work, "m.img")
    values = np.array([[0, 1, 2], [65535, 32768, 7]], np.uint16)
    put(path, b"prefix" + pixdelta.to_bytes(values) + b"after")
    with open(path, "rb") as f:
        f.read(6)
        image = pixdelta.read(f)
        check(isinstance(image.values, np.memmap) and bits(image.values) == bits(values) and
              f.read() == b"after", "read from a file's position: %r" % image)
    try:
        image.values[0, 0] = 5
        check(False, "a mapped value changed")
    except ValueError:
        pass


# --- Writing ----------------------------------------------------------------

class Interrupted(np.ndarray):
    """Values whose second piece is never delivered, as if ^C came then."""

    pieces = 0

    def __getitem__(self, index):
        Interrupted.pieces += 1
        if Interrupted.pieces == 2:
            raise KeyboardInterrupt
        return super().__getitem__(index)


def refusals(work):
    """What the format cannot hold, and names a file must not replace:
    refused, naming the type and the cast; the old file unchanged and
    nothing left beside it."""
    u = np.zeros((2, 3), np.uint16)
    fifo, folder = os.path.join(work, "fifo.img"), os.path.join(work, "sub")
    os.mkfifo(fifo)
    os.mkdir(folder)
    holds = "values: an .img file holds uint16 or float64"
    cast = holds + "; cast them first, e.g. values.astype(numpy.%s)"
    cases = [
        ("int16", np.zeros((2, 2), np.int16), {}, TypeError, "cannot write int16 " + cast % "float64"),
        ("float32", np.zeros((2, 2), ">f4"), {}, TypeError, "cannot write float32 " + cast % "float64"),
        ("uint8", np.zeros((2, 2), np.uint8), {}, TypeError, "cannot write uint8 " + cast % "uint16"),
        ("bool", np.zeros((2, 2), bool), {}, TypeError, "cannot write bool " + cast % "uint16"),
        ("a list", [[1, 2], [3, 4]], {}, TypeError, "cannot write int64 " + cast % "float64"),
        ("complex", np.zeros((2, 2), complex), {}, TypeError, "cannot write complex128 " + holds),
        ("masked", np.ma.masked_array(u, u == 0), {}, TypeError, "cannot write a masked array"),
        ("1-D", np.zeros(4, np.uint16), {}, ValueError, "cannot write 1-dimensional values"),
        ("3-D", np.zeros((1, 2, 2)), {}, ValueError, "cannot write 3-dimensional values"),
        ("65536 wide", np.zeros((1, 65536), np.uint16), {}, ValueError,
         "cannot write an image of 65536x1: at most 65535 fit either way"),
        ("65536 high", np.zeros((65536, 0)), {}, ValueError, "cannot write an image of 0x65536"),
        ("comment of 65536 bytes", u, {"comment": b"c" * 65536}, ValueError,
         "comment of 65536 bytes; at most 65535 fit"),
        ("comment of text", u, {"comment": "text"}, TypeError, "the comment must be bytes"),
        ("header of 63 bytes", u, {"header": bytes(63)}, ValueError,
         "the header must be 64 bytes, not 63"),
        ("a FIFO", u, {"path": fifo}, FileExistsError, "exists and is not a regular file"),
        ("a folder", u, {"path": folder}, IsADirectoryError, "Is a directory"),
        ("interrupted", np.zeros((1024, 1024), np.uint16).view(Interrupted), {}, KeyboardInterrupt,
         ""),
        ("past the file size limit", np.ones((10, 10)), {}, OSError, "File too large"),
    ]
    out = os.path.join(work, "out.img")
    put(out, b"the old file")
    before = sorted(os.listdir(work))
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    for what, values, kw, error, words in cases:
        path = kw.pop("path", out)
        if what == "past the file size limit":  # Python ignores SIGXFSZ
            resource.setrlimit(resource.RLIMIT_FSIZE, (100, hard))
        try:
            pixdelta.write(path, values, **kw)
            check(False, "%s: written" % what)
        except error as e:
            check(words in str(e), "%s: says %r" % (what, str(e)))
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        check(get(out) == b"the old file" and sorted(os.listdir(work)) == before,
              "%s: left %s" % (what, sorted(set(os.listdir(work)) - set(before))))


def writes(work):
    """A header given keeps its uninterpreted bytes, every field set from
    the values and comment; the largest sizes and comment, and values in
    several pieces; a new file's mode, also where a file is replaced; a
    link replaced, not followed; a file rewritten from its own map."""
    path, fresh, link = (os.path.join(work, n) for n in ("w.img", "fresh.img", "link.img"))
    pixdelta.write(path, np.array([[1, 2, 3], [4, 5, 6]], ">u2"), bytes(range(64)), b"c")
    check(get(path) == bytes.fromhex("494d" "0100" "0300" "0200" "08090a0b" "0200") +
          bytes(range(14, 64)) + b"c" + u16(1, 2, 3, 4, 5, 6), "kept bytes: %s" % get(path).hex())
    pixdelta.write(path, np.zeros((0, 0)), b"XY" + bytes([255] * 62))
    check(get(path) == bytes.fromhex("494d" "0000" "0000" "0000" "ffffffff" "0a00") + b"\xff" * 50,
          "empty binary64: %s" % get(path).hex())
    ramp = np.arange(65535, dtype=np.uint16)
    for values, comment in ((ramp.reshape(1, 65535), b"\0" * 65535),
                            (ramp.reshape(65535, 1), bytes(range(256))),
                            (np.arange(1000 * 333, dtype=">f8").reshape(333, 1000) / 7, b"")):
        pixdelta.write(path, values, comment=comment)
        image = pixdelta.read(path)
        check(bits(image.values) == bits(values.astype(values.dtype.newbyteorder("<"))) and
              image.comment == comment and len(get(path)) == 64 + len(comment) + values.nbytes,
              "%s with a comment of %d bytes" % (values.shape, len(comment)))
    old = os.umask(0o027)
    try:
        os.chmod(path, 0o600)
        for p in (path, fresh):
            pixdelta.write(p, np.zeros((1, 1)))
            mode = stat.S_IMODE(os.stat(p).st_mode)
            check(mode == 0o640, "%s: mode %o under umask 027" % (os.path.basename(p), mode))
    finally:
        os.umask(old)
    os.symlink("fresh.img", link)
    pixdelta.write(link, np.ones((2, 2), np.uint16))
    check(not os.path.islink(link) and get(fresh) == pixdelta.to_bytes(np.zeros((1, 1))),
          "a link: followed, or kept")
    values = np.arange(12, dtype=np.uint16).reshape(3, 4)
    pixdelta.write(path, values)
    pixdelta.write(path, pixdelta.read(path).values[::-1])
    check(bits(pixdelta.read(path).values) == bits(values[::-1]), "rewritten from its own map")
    check(sorted(os.listdir(work)) == ["fresh.img", "link.img", "w.img"], "left beside the files")


# --- Through the C++ tools --------------------------------------------------

def tool(*argv):
    r = subprocess.run(argv, capture_output=True)
    check(r.returncode == 0 and r.stderr == b"", "%s: status %d %r" % (argv, r.returncode, r.stderr))
    return r.stdout


def report(x, y, comments, file_type):
    """pixdelta's report of two inputs of this size and type."""
    text = "x_size%d         %d \ny_size%d         %d \ncomment length%d %d \n\n"
    return (text % (1, x, 1, y, 1, comments[0]) + "%d\n" % file_type +
            text % (2, x, 2, y, 2, comments[1])).encode()


def read_and_rewritten(path, what):
    """The image in a tool's output, which written again gives the same
    bytes."""
    image = pixdelta.read(path)
    check(pixdelta.to_bytes(image.values, image.header, image.comment) == get(path),
          "%s: rewritten, not the same bytes" % what)
    return image


def with_tools(work):
    """Python writes, the tools read (pixdelta's report shows the header's
    fields); the tools write, Python reads and rewrites byte for byte."""
    rng = np.random.default_rng(24)
    j = lambda name: os.path.join(work, name)  # noqa: E731
    header, comment = bytes([0xA1]) * 64, bytes(range(256))
    a, b = rng.integers(0, 65536, (2, 8, 16), dtype=np.uint16)
    a[0, :2] = [0, 65535]
    pixdelta.write(j("a16.img"), a, header, comment)
    pixdelta.write(j("b16.img"), b.astype(">u2"))
    out = tool(PIXDELTA, j("a16.img"), j("b16.img"), j("d16.img"), "100")
    check(out == report(16, 8, (256, 0), 2), "pixdelta's report of Python's files: %r" % out)
    d = read_and_rewritten(j("d16.img"), "pixdelta's uint16 output")
    check(d.header + d.comment == get(j("a16.img"))[:64 + 256] and
          bits(d.values) == bits(((a.astype(np.int64) + 100 - b) % 65536).astype("<u2")),
          "pixdelta: uint16")

    stack = rng.standard_normal((3, 5, 7)) * 10.0 ** rng.integers(-300, 300, (3, 5, 7))
    stack[0, 0, 0], stack[1, 0, 0] = -0.0, 5e-324
    names = [j("s%d.img" % k) for k in range(3)]
    for k, (name, values) in enumerate(zip(names, stack)):
        pixdelta.write(name, values, bytes([k]) * 64, b"frame %d" % k)
    tool(PIXCOMBINE, "-o", j("median.img"), *names)
    m = read_and_rewritten(j("median.img"), "pixcombine's output")
    # The middle value itself, -0 included (numpy's median makes it +0).
    check(m.header + m.comment == get(names[0])[:64 + len(b"frame 0")] and
          bits(m.values) == bits(np.sort(stack, axis=0)[1]), "pixcombine: median")

    if not PIXCONVERT:
        print("pixconvert is not built: its round trips are not tried")
        return
    nans = np.array([0x7FF0000000000001, 0xFFF8000000000123, 1, 0x8000000000000001],
                    np.uint64).view(np.float64).reshape(2, 2)
    pixdelta.write(j("nan.img"), nans, header)
    for name, ext in (("a16", "fits"), ("a16", "tif"), ("nan", "fits"), ("nan", "tif")):
        tool(PIXCONVERT, j(name + ".img"), j(name + "." + ext))
        tool(PIXCONVERT, j(name + "." + ext), j("back.img"))
        back = read_and_rewritten(j("back.img"), "%s through %s" % (name, ext))
        check(get(j("back.img")) == get(j(name + ".img")) and
              bits(back.values) == bits(pixdelta.read(j(name + ".img")).values),
              "%s.img through %s" % (name, ext))


def package():
    """The project's version; the header layout alone imports neither numpy
    nor astropy."""
    check(pixdelta.__version__ == VERSION, "version %s, not %s" % (pixdelta.__version__, VERSION))
    r = subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
                        "import pixdelta; pixdelta.header(1, 1, 2); pixdelta.fields(bytes(64)); "
                        "print(sorted(m for m in ('numpy', 'astropy') if m in sys.modules))",
                        PYTHON_DIR], capture_output=True, text=True)
    check(r.stdout == "[]\n", "the layout alone imports %s %s" % (r.stdout, r.stderr))


def main():
    package()
    with tempfile.TemporaryDirectory(prefix="pixdelta-python-") as work:
        for step in (hostile_files, claims, byte_order, mapping, refusals, writes, with_tools):
            os.mkdir(os.path.join(work, step.__name__))
            step(os.path.join(work, step.__name__))
    finish("all checks of the Python package passed")


if __name__ == "__main__":
    main()
