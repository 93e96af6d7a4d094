#!/usr/bin/env python3
"""The Python package (python/pixdelta) against the C++ tools: files it
writes are read by pixdelta, pixcombine and pixconvert, and what they write
it reads back and rewrites byte for byte; the files the tools refuse it
refuses, in pixconvert's words, whether they come from a file or a pipe;
its values are little-endian on any host; regular files are mapped
read-only; a write is atomic, and a refused or failed one leaves no trace.

Usage: python_package.py PIXDELTA PIXCOMBINE PIXCONVERT|- SOURCE_DIR VERSION
(- where pixconvert is not built). Exits 77 (skipped) without numpy, or 1
instead where PIXDELTA_NO_SKIPS is set.
"""
import os
import resource
import stat
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
try:
    import numpy as np
except ImportError:
    print("skipped: numpy is not installed for %s (apt-get install python3-numpy)" % sys.executable)
    sys.exit(1 if os.environ.get("PIXDELTA_NO_SKIPS") else 77)
import pixdelta  # noqa: E402

PIXDELTA, PIXCOMBINE, PIXCONVERT = (os.path.abspath(a) if a != "-" else None for a in sys.argv[1:4])
SOURCE, VERSION = os.path.abspath(sys.argv[4]), sys.argv[5]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def put(path, data):
    with open(path, "wb") as f:
        f.write(data)


def get(path):
    with open(path, "rb") as f:
        return f.read()


def bits(a):
    """The array's values as their bytes, for comparisons that see -0 and
    NaN payloads."""
    a = np.ascontiguousarray(a)
    return a.dtype.str, a.shape, a.view(np.uint8).tobytes()


def verdict(source):
    """'ok' and the image, or the reason for the refusal."""
    try:
        return "ok", pixdelta.read(source)
    except pixdelta.ImgError as e:
        return e.reason, None


def file_bytes(x, y, file_type, values=b"", comment=b"", **header):
    header.setdefault("comment_length", len(comment))
    return pixdelta.header(x, y, file_type, **header) + comment + values


def u16(*v):
    return np.array(v, "<u2").tobytes()


def f64(*v):
    return np.array(v, "<f8").tobytes()


# --- Files the tools refuse, and files they take --------------------------

U16_3X2 = np.array([[0, 1, 2], [65535, 32768, 7]], np.uint16)
SHORT = "file is short: no complete 64-byte header"
MAGIC = 'not an .img file: it does not begin with "IM"'
CUT = "file is short: the comment is cut off"


def unknown(t):
    return "unknown pixel type %d; accepted: 2 (unsigned 16-bit), 10 (binary64)" % t


def values_short(got, count):
    return "file is short: %d of %d values" % (got, count)


# (what, bytes, the reason, or the values and comment a reader must find).
# The rows of the C++ header tests (tests/cli_tests.cpp), the fuzzer's header
# seeds (fuzz/seeds/header), and the order of the checks where a file is
# wrong in two ways.
FIRST = file_bytes(2, 2, 2, u16(1000, 200, 65535, 5), b"first comment", uninterpreted=b"\xa1" * 54)
HOSTILE = [
    ("63 bytes", FIRST[:63], SHORT),
    ("empty", b"", SHORT),
    ("8 bytes", b"IM\0\0\3\0\2\0", SHORT),
    ("magic's first byte wrong", b"JM" + FIRST[2:], MAGIC),
    ("magic with a zero byte", b"I\0" + FIRST[2:], MAGIC),
    ("magic reversed", file_bytes(1, 1, 2, u16(0), magic=b"MI"), MAGIC),
    ("comment past the end", file_bytes(2, 2, 2, comment_length=3), CUT),
    ("comment one byte short", FIRST[:64 + 12], CUT),
    ("type 3", file_bytes(1, 1, 3, b"\0\0"), unknown(3)),
    ("type 0", file_bytes(2, 2, 0, u16(1, 2, 3, 4)), unknown(0)),
    ("type 65535", file_bytes(1, 1, 65535), unknown(65535)),
    ("block one byte short", file_bytes(4, 3, 2, u16(*[7] * 12))[:64 + 23], values_short(11, 12)),
    ("block 3 bytes short", FIRST[:-3], values_short(2, 4)),
    ("count past 31 bits", file_bytes(65535, 32769, 2), values_short(0, 2147516415)),
    ("count past 32 bits", file_bytes(65535, 65535, 2, u16(1, 2, 3) + b"x"),
     values_short(3, 4294836225)),
    ("binary64 claim of 34 GB", file_bytes(65535, 65535, 10, f64(1.0)), values_short(1, 4294836225)),
    ("type 10 with a uint16 block", file_bytes(2, 2, 10, u16(1, 2, 3, 4)), values_short(1, 4)),
    ("bad magic before a short comment", file_bytes(1, 1, 2, comment_length=9, magic=b"IN"), MAGIC),
    ("short comment before an unknown type", file_bytes(1, 1, 3, comment_length=9), CUT),
    ("unknown type before a short block", file_bytes(9, 9, 7, b"\0"), unknown(7)),
    ("header only, 0x0", file_bytes(0, 0, 2), (np.zeros((0, 0), "<u2"), b"")),
    ("0x4 with a comment", file_bytes(0, 4, 2, comment=b"only a comment"),
     (np.zeros((4, 0), "<u2"), b"only a comment")),
    ("65535x0", file_bytes(65535, 0, 10), (np.zeros((0, 65535), "<f8"), b"")),
    ("bytes after the block", file_bytes(1, 1, 10, f64(2.0) + b"tail"), (np.array([[2.0]]), b"")),
    ("u16 3x2", file_bytes(3, 2, 2, U16_3X2.tobytes(), b"comment"), (U16_3X2, b"comment")),
    # A comment length shorter than the comment: the rest is taken for values.
    ("comment longer than its length", file_bytes(1, 1, 2, b"cdvv", b"ab"),
     (np.array([[0x6463]], "<u2"), b"ab")),
]


def hostile_files(work):
    """Each file gets the verdict the table gives, from a path, an open file
    and a pipe; pixconvert gives the same one in the same words; a file
    accepted keeps its header, comment and values."""
    for what, data, expected in HOSTILE:
        path = os.path.join(work, "case.img")
        put(path, data)
        reason, image = verdict(path)
        want = expected if isinstance(expected, str) else "ok"
        check(reason == want, "%s: %r, not %r" % (what, reason, want))
        if image is not None and want == "ok":
            values, comment = expected
            check(bits(image.values) == bits(values) and image.comment == comment and
                  image.header == data[:64], "%s: read %r" % (what, image))
        with open(path, "rb") as f:
            check(verdict(f)[0] == want, "%s: from an open file" % what)
        with subprocess.Popen(["cat", path], stdout=subprocess.PIPE) as cat:
            reason, image = verdict(cat.stdout)
            check(reason == want, "%s: from a pipe: %r" % (what, reason))
            if image is not None:
                check(type(image.values) is np.ndarray and not image.values.flags.writeable,
                      "%s: from a pipe, not a read-only plain array" % what)
                check(bits(image.values) == bits(expected[0]), "%s: from a pipe, values" % what)
        if want != "ok":
            try:
                pixdelta.read(path)
            except pixdelta.ImgError as e:
                check(str(e) == path + ": " + want and isinstance(e, ValueError),
                      "%s: the message names the file: %s" % (what, e))
        if PIXCONVERT:
            check(pixconvert_verdict(path) == want, "%s: pixconvert says %r"
                  % (what, pixconvert_verdict(path)))
    # The fuzzer's seeds, whatever they hold: the same verdict as pixconvert.
    seeds = os.path.join(SOURCE, "fuzz", "seeds", "header")
    for name in sorted(os.listdir(seeds)) if PIXCONVERT else []:
        path = os.path.join(work, "seed.img")
        put(path, get(os.path.join(seeds, name)))
        check(verdict(path)[0] == pixconvert_verdict(path), "seed %s: %r, pixconvert %r"
              % (name, verdict(path)[0], pixconvert_verdict(path)))


def pixconvert_verdict(path):
    out = os.path.join(os.path.dirname(path), "verdict.fits")
    r = subprocess.run([PIXCONVERT, path, out], capture_output=True, text=True)
    if os.path.exists(out):
        os.unlink(out)
    prefix = "pixconvert: %s: " % path
    if r.returncode == 0:
        return "ok"
    return r.stderr[len(prefix):-1] if r.stderr.startswith(prefix) else r.stderr


# --- Byte order -------------------------------------------------------------

# Whole files written out by hand, and what they hold: a little-endian
# host's bytes, whatever host reads them.
U16_FILE = bytes.fromhex("494d" "0300" "0200" "0100" "a1a2a3a4" "0200" + "b5" * 50 +
                         "616263" "0102" "fffe")
F64_FILE = bytes.fromhex("494d" "0000" "0100" "0200" "00000000" "0a00" + "00" * 50 +
                         "000000000000f83f" "0000000000000080")


def byte_order(work):
    path = os.path.join(work, "order.img")
    for data, values, comment in ((U16_FILE, np.array([[0x0201, 0xFEFF]], "<u2"), b"abc"),
                                  (F64_FILE, np.array([[1.5], [-0.0]], "<f8"), b"")):
        put(path, data)
        image = pixdelta.read(path)
        check(image.values.dtype.str == values.dtype.str and bits(image.values) == bits(values),
              "fixed bytes read as %s %r" % (image.values.dtype.str, image.values.tolist()))
        check(image.comment == comment and image.header == data[:64], "fixed bytes: header")
        # Written from either byte order, or from a view that is not
        # contiguous, the same bytes.
        wide = np.zeros((values.shape[0], 2 * values.shape[1]), values.dtype)
        wide[:, ::2] = values
        for given in (values, values.astype(values.dtype.newbyteorder(">")),
                      values.astype(values.dtype.newbyteorder("<")), wide[:, ::2],
                      np.asfortranarray(values)):
            pixdelta.write(path, given, image.header, comment)
            check(get(path) == data and pixdelta.to_bytes(given, image.header, comment) == data,
                  "written from %s %s: %s" % (given.dtype.str, given.strides, get(path).hex()))


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
    """Values, comments and headers the format cannot hold and names it
    must not replace: refused, naming the type and the cast; the old file
    unchanged and nothing left beside it."""
    u = np.zeros((2, 3), np.uint16)
    fifo = os.path.join(work, "fifo.img")
    os.mkfifo(fifo)
    cast = "; cast them first, e.g. values.astype(numpy.%s)"
    cases = [
        ("int16", np.zeros((2, 2), np.int16), {}, TypeError,
         "cannot write int16 values: an .img file holds uint16 or float64" + cast % "float64"),
        ("float32", np.zeros((2, 2), np.float32), {}, TypeError,
         "cannot write float32 values: an .img file holds uint16 or float64" + cast % "float64"),
        ("uint8", np.zeros((2, 2), np.uint8), {}, TypeError,
         "cannot write uint8 values: an .img file holds uint16 or float64" + cast % "uint16"),
        ("bool", np.zeros((2, 2), bool), {}, TypeError,
         "cannot write bool values: an .img file holds uint16 or float64" + cast % "uint16"),
        ("a list of ints", [[1, 2], [3, 4]], {}, TypeError,
         "cannot write int64 values: an .img file holds uint16 or float64" + cast % "float64"),
        ("uint32", np.zeros((2, 2), ">u4"), {}, TypeError, "cannot write uint32 values"),
        ("float16", np.zeros((2, 2), np.float16), {}, TypeError, "cannot write float16 values"),
        ("complex", np.zeros((2, 2), complex), {}, TypeError,
         "cannot write complex128 values: an .img file holds uint16 or float64"),
        ("masked", np.ma.masked_array(u, u == 0), {}, TypeError, "cannot write a masked array"),
        ("1-D", np.zeros(4, np.uint16), {}, ValueError, "cannot write 1-dimensional values"),
        ("3-D", np.zeros((1, 2, 2)), {}, ValueError, "cannot write 3-dimensional values"),
        ("0-D", np.float64(1.0), {}, ValueError, "cannot write 0-dimensional values"),
        ("65536 wide", np.zeros((1, 65536), np.uint16), {}, ValueError,
         "cannot write an image of 65536x1: at most 65535 fit either way"),
        ("65536 high, empty", np.zeros((65536, 0)), {}, ValueError,
         "cannot write an image of 0x65536"),
        ("comment of 65536 bytes", u, {"comment": b"c" * 65536}, ValueError,
         "comment of 65536 bytes; at most 65535 fit"),
        ("comment of text", u, {"comment": "text"}, TypeError, "the comment must be bytes"),
        ("header of 63 bytes", u, {"header": bytes(63)}, ValueError,
         "the header must be 64 bytes, not 63"),
        ("into a FIFO", u, {"path": fifo}, FileExistsError, "exists and is not a regular file"),
        ("a folder", u, {"path": work + "/"}, IsADirectoryError, ""),
        ("into a folder named", u, {"path": os.path.join(work, "sub")}, IsADirectoryError,
         "Is a directory"),
        ("no such folder", u, {"path": os.path.join(work, "none", "x.img")}, FileNotFoundError, ""),
        ("interrupted", np.zeros((1024, 1024), np.uint16).view(Interrupted), {}, KeyboardInterrupt,
         ""),
    ]
    os.mkdir(os.path.join(work, "sub"))
    out = os.path.join(work, "out.img")
    for what, values, kw, error, words in cases:
        put(out, b"the old file")
        before = sorted(os.listdir(work))
        path = kw.pop("path", out)
        try:
            pixdelta.write(path, values, **kw)
            check(False, "%s: written" % what)
        except error as e:
            check(words in str(e), "%s: says %r" % (what, str(e)))
        except BaseException as e:  # noqa: B902 (KeyboardInterrupt's cousins too)
            check(False, "%s: raised %r" % (what, e))
        check(get(out) == b"the old file" and sorted(os.listdir(work)) == before,
              "%s: left %s" % (what, sorted(set(os.listdir(work)) - set(before))))
    # A write cut short by the file size limit (Python ignores SIGXFSZ).
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100, hard))
    try:
        pixdelta.write(out, np.ones((10, 10)))
        check(False, "past the file size limit: written")
    except OSError as e:
        check(e.errno == 27, "past the file size limit: %r" % e)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    check(get(out) == b"the old file" and sorted(os.listdir(work)) == before,
          "past the file size limit: the old file changed, or something left")
    for name in ("fifo.img", "sub", "out.img"):
        (os.rmdir if name == "sub" else os.unlink)(os.path.join(work, name))


def writes(work):
    """What write makes of the header given: its uninterpreted bytes kept,
    every field set from the values and comment; the largest sizes and
    comment; the mode of a new file, also where a file is replaced; a link
    replaced, not followed; a file rewritten from its own mapping."""
    path = os.path.join(work, "w.img")
    given = bytes(range(64))
    pixdelta.write(path, np.array([[1, 2, 3], [4, 5, 6]], ">u2"), given, b"c")
    check(get(path) == bytes.fromhex("494d" "0100" "0300" "0200" "08090a0b" "0200") +
          bytes(range(14, 64)) + b"c" + u16(1, 2, 3, 4, 5, 6), "kept bytes: %s" % get(path).hex())
    pixdelta.write(path, np.zeros((0, 0)), b"XY" + bytes([255] * 62))
    check(get(path) == bytes.fromhex("494d" "0000" "0000" "0000" "ffffffff" "0a00") +
          b"\xff" * 50, "empty binary64: %s" % get(path).hex())
    # The largest sizes and comment, and values written in several pieces.
    for values, comment in ((np.arange(65535, dtype=np.uint16).reshape(1, 65535), b"\0" * 65535),
                            (np.arange(65535, dtype=np.uint16).reshape(65535, 1), bytes(range(256))),
                            (np.arange(1000 * 333, dtype=">f8").reshape(333, 1000) / 7, b"")):
        shape = values.shape
        pixdelta.write(path, values, comment=comment)
        image = pixdelta.read(path)
        check(bits(image.values) == bits(values) and image.comment == comment,
              "%s with a comment of %d bytes" % (shape, len(comment)))
        check(len(get(path)) == 64 + len(comment) + values.nbytes, "%s: file size" % (shape,))

    old = os.umask(0o027)
    try:
        os.chmod(path, 0o600)
        pixdelta.write(path, np.zeros((1, 1)))
        fresh = os.path.join(work, "fresh.img")
        pixdelta.write(fresh, np.zeros((1, 1)))
    finally:
        os.umask(old)
    for p in (path, fresh):
        mode = stat.S_IMODE(os.stat(p).st_mode)
        check(mode == 0o640, "%s: mode %o under umask 027" % (os.path.basename(p), mode))

    link = os.path.join(work, "link.img")
    os.symlink("fresh.img", link)
    before = get(fresh)
    pixdelta.write(link, np.ones((2, 2), np.uint16))
    check(not os.path.islink(link) and get(fresh) == before, "a link: followed, or kept")

    values = np.arange(12, dtype=np.uint16).reshape(3, 4)
    pixdelta.write(path, values, comment=b"rows")
    image = pixdelta.read(path)
    pixdelta.write(path, image.values[::-1], image.header, image.comment)
    check(bits(pixdelta.read(path).values) == bits(values[::-1]), "rewritten from its own map")
    for name in ("w.img", "fresh.img", "link.img"):
        os.unlink(os.path.join(work, name))
    check(os.listdir(work) == [], "left beside the files: %s" % os.listdir(work))


def mapping(work):
    """A regular file is mapped read-only; so is a file read from its
    position on; one whose size says less than it holds is read whole."""
    path = os.path.join(work, "m.img")
    pixdelta.write(path, U16_3X2, comment=b"x")
    image = pixdelta.read(path)
    check(isinstance(image.values, np.memmap) and not image.values.flags.writeable,
          "a regular file: not a read-only map")
    try:
        image.values[0, 0] = 5
        check(False, "a mapped value changed")
    except ValueError:
        pass
    check(get(path)[-12:] == U16_3X2.tobytes(), "the file changed")
    put(path, b"prefix" + get(path) + b"after")  # a file within a file
    with open(path, "rb") as f:
        f.read(6)
        image = pixdelta.read(f)
        check(isinstance(image.values, np.memmap) and bits(image.values) == bits(U16_3X2) and
              f.read() == b"after", "read from a file's position: %r" % image)
    os.unlink(path)


# --- Memory -----------------------------------------------------------------

CHILD = r"""
import os, resource, sys
sys.path.insert(0, sys.argv[1])
import pixdelta
for source in sys.argv[3:]:
    try:
        print(pixdelta.read(open(source, "rb") if source.startswith("/dev/fd") else source))
    except pixdelta.ImgError as e:
        print(e.reason)
if sys.argv[2] == "sparse":
    image = pixdelta.read(sys.argv[3])
    print(int(image.values[0, 0]) + int(image.values[-1, -1]) + int(image.values[10000, 7]))
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def memory(work):
    """Claims a file cannot back are never allocated: under a 512 MiB
    address space, a pipe and a file that claim 4 GB and 34 GB are found
    short. A 2 GiB file is mapped, not read: a few values cost little."""
    python = os.path.join(SOURCE, "python")
    claims = [file_bytes(65535, 32769, 2, u16(1, 2)), file_bytes(65535, 65535, 10, f64(1.0))]
    paths = []
    for k, data in enumerate(claims):
        paths.append(os.path.join(work, "claim%d.img" % k))
        put(paths[-1], data)
    read_end, write_end = os.pipe()
    with os.fdopen(write_end, "wb") as w:
        w.write(claims[1])
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))  # noqa: E731
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    r = subprocess.run([sys.executable, "-c", CHILD, python, "claims"] + paths +
                       ["/dev/fd/%d" % read_end], capture_output=True, text=True,
                       preexec_fn=limit, pass_fds=[read_end], env=env)
    os.close(read_end)
    said = r.stdout.splitlines()
    want = [values_short(2, 2147516415), values_short(1, 4294836225), values_short(1, 4294836225)]
    check(r.returncode == 0 and said[:3] == want, "claims under 512 MiB: %r %s" % (said, r.stderr))

    sparse = os.path.join(work, "sparse.img")
    put(sparse, file_bytes(65535, 16384, 2, u16(7)))
    with open(sparse, "r+b") as f:
        f.truncate(64 + 2 * 65535 * 16384)
    r = subprocess.run([sys.executable, "-c", CHILD, python, "sparse", sparse],
                       capture_output=True, text=True, env=env)
    said = r.stdout.splitlines()
    check(r.returncode == 0 and len(said) == 3 and said[1] == "7" and int(said[2]) < 200 << 10,
          "a 2 GiB file: %r %s" % (said, r.stderr[-500:]))
    for p in paths + [sparse]:
        os.unlink(p)


# --- Through the C++ tools --------------------------------------------------

def tool(*argv):
    r = subprocess.run(argv, capture_output=True)
    check(r.returncode == 0 and r.stderr == b"", "%s: status %d %r" % (argv, r.returncode, r.stderr))
    return r.stdout


def report(n, x, y, comment_length, file_type):
    text = "x_size%d         %d \ny_size%d         %d \ncomment length%d %d \n\n" % (
        n, x, n, y, n, comment_length)
    return text + ("%d\n" % file_type if n == 1 else "")


def rewritten_same(path, what):
    """The file read and written again: the same bytes."""
    image = pixdelta.read(path)
    again = path + ".again"
    pixdelta.write(again, image.values, image.header, image.comment)
    check(get(again) == get(path), "%s: rewritten, not the same bytes" % what)
    os.unlink(again)


def with_tools(work):
    """Python writes, the tools read (pixdelta's report shows the header's
    fields); the tools write, Python reads and rewrites byte for byte."""
    rng = np.random.default_rng(24)
    j = lambda name: os.path.join(work, name)  # noqa: E731
    header = bytes([0xA1]) * 64
    comment = bytes(range(256))
    a = rng.integers(0, 65536, (8, 16), dtype=np.uint16)
    a[0, :2] = [0, 65535]
    b = rng.integers(0, 65536, (8, 16), dtype=np.uint16)
    pixdelta.write(j("a16.img"), a, header, comment)
    pixdelta.write(j("b16.img"), b.astype(">u2"))
    out = tool(PIXDELTA, j("a16.img"), j("b16.img"), j("d16.img"), "100")
    check(out == (report(1, 16, 8, 256, 2) + report(2, 16, 8, 0, 2)).encode(),
          "pixdelta's report of Python's files: %r" % out)
    d = pixdelta.read(j("d16.img"))
    check(d.header == get(j("a16.img"))[:64] and d.comment == comment, "pixdelta: header")
    want = ((a.astype(np.int64) + 100 - b) % 65536).astype("<u2")
    check(bits(d.values) == bits(want), "pixdelta: uint16 values")
    rewritten_same(j("d16.img"), "pixdelta's uint16 output")

    f = np.array([[-0.0, 5e-324, 1.7976931348623157e308, -np.inf, 1 / 3, 2.0 ** 53],
                  [np.inf, -1e-310, 0.1, -7.5, 1e300, 123456.789]])
    g = np.array([[0.0, -5e-324, 1e308, 1.0, 1 / 7, 1.0], [2.0, 1e-310, 0.2, 0.5, -1e300, 0.001]])
    pixdelta.write(j("a64.img"), f, comment=b"binary64")
    pixdelta.write(j("b64.img"), g.astype(">f8"))
    out = tool(PIXDELTA, j("a64.img"), j("b64.img"), j("d64.img"), "-7")
    check(out == (report(1, 6, 2, 8, 10) + report(2, 6, 2, 0, 10)).encode(),
          "pixdelta's report of binary64: %r" % out)
    d = pixdelta.read(j("d64.img"))
    check(bits(d.values) == bits((f + -7.0) - g), "pixdelta: binary64 values %r" % d.values)

    stack = [rng.standard_normal((5, 7)) * 10.0 ** rng.integers(-300, 300, (5, 7))
             for _ in range(3)]
    stack[0][0, 0], stack[1][0, 0] = -0.0, 5e-324
    names = [j("s%d.img" % k) for k in range(3)]
    for k, (name, values) in enumerate(zip(names, stack)):
        pixdelta.write(name, values, bytes([k]) * 64, b"frame %d" % k)
    tool(PIXCOMBINE, "-o", j("median.img"), *names)
    m = pixdelta.read(j("median.img"))
    check(m.header == get(names[0])[:64] and m.comment == b"frame 0", "pixcombine: header")
    # The middle value itself, -0 included (numpy's median makes it +0).
    check(bits(m.values) == bits(np.sort(np.stack(stack), axis=0)[1]), "pixcombine: median")
    rewritten_same(j("median.img"), "pixcombine's output")

    if not PIXCONVERT:
        print("pixconvert is not built: its round trips are not tried")
        return
    nans = np.array([0x7FF0000000000001, 0xFFF8000000000123, 1, 0x8000000000000001],
                    np.uint64).view(np.float64).reshape(2, 2)
    for name, values, ext in (("a16", None, "fits"), ("a16", None, "tif"), ("nan", nans, "fits"),
                              ("nan", nans, "tif"), ("a64", None, "fits")):
        if values is not None:
            pixdelta.write(j(name + ".img"), values, header, b"")
        tool(PIXCONVERT, j(name + ".img"), j(name + "." + ext))
        tool(PIXCONVERT, j(name + "." + ext), j("back.img"))
        check(get(j("back.img")) == get(j(name + ".img")), "%s.img through %s" % (name, ext))
        check(bits(pixdelta.read(j("back.img")).values) ==
              bits(pixdelta.read(j(name + ".img")).values), "%s through %s: values" % (name, ext))
        rewritten_same(j("back.img"), "pixconvert's %s through %s" % (name, ext))


def examples():
    """The shipped samples read as what make_samples.py says they hold:
    frame - dark + 100, written with frame's header and comment, is the
    expected output byte for byte."""
    e = lambda name: os.path.join(SOURCE, "examples", name)  # noqa: E731
    for bits_, offset in ((16, 100), (64, 100)):
        frame, dark = pixdelta.read(e("frame%d.img" % bits_)), pixdelta.read(e("dark%d.img" % bits_))
        if bits_ == 16:
            values = ((frame.values.astype(np.int64) + offset - dark.values) % 65536).astype("<u2")
        else:
            values = (frame.values + offset) - dark.values
        with tempfile.NamedTemporaryFile(suffix=".img") as out:
            pixdelta.write(out.name, values, frame.header, frame.comment)
            check(get(out.name) == get(e("expected%d.img" % bits_)), "expected%d.img" % bits_)


def package():
    """What the package is and says."""
    check(pixdelta.__version__ == VERSION, "version %s, the project's %s"
          % (pixdelta.__version__, VERSION))
    check(issubclass(pixdelta.ImgError, ValueError), "ImgError is no ValueError")
    r = subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
                        "import pixdelta; pixdelta.header(1, 1, 2); pixdelta.fields(bytes(64)); "
                        "print(sorted(m for m in ('numpy', 'astropy') if m in sys.modules))",
                        os.path.join(SOURCE, "python")], capture_output=True, text=True)
    check(r.stdout == "[]\n", "the layout alone imports %s %s" % (r.stdout, r.stderr))


def main():
    with tempfile.TemporaryDirectory(prefix="pixdelta-python-") as work:
        package()
        for step in (hostile_files, byte_order, refusals, writes, mapping, memory, with_tools):
            folder = os.path.join(work, step.__name__)
            os.mkdir(folder)
            step(folder)
        examples()
    if failures:
        print("%d failure(s)" % len(failures))
        sys.exit(1)
    print("all checks of the Python package passed")


if __name__ == "__main__":
    main()
