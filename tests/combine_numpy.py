#!/usr/bin/env python3
"""pixcombine against numpy, bit for bit, on random stacks of frames.

Usage: combine_numpy.py PIXCOMBINE

Some pixels hold ordinary values, some only finite corner cases (-0, +-DBL_MAX,
subnormals; uint16 0 and 65535), some any corner case (NaNs of either sign and
several payloads, quiet and signalling; infinities). Binary64 means must equal
numpy's in every bit but which NaN survives where two meet (and, under an
emulator, the sign of the NaN that inf - inf makes); medians must equal
numpy's (-0 == +0) wherever numpy does not overflow, the NaN always
0x7ff8000000000000, and a / 2 + b / 2 where it does; uint16 results are
numpy's rounded to nearest, ties to even. With --type binary64, uint16
inputs' means and medians are numpy's float64 ones, bit for bit; with
--type uint16, binary64 inputs' are the binary64 results rounded to
nearest, ties to even, clamped to 0..65535 (NaN as 0), the clamped values
counted on stderr. Exits 77 without numpy.
"""
import os
import struct
import subprocess
import sys
import tempfile

try:
    import numpy as np
except ImportError:
    print("numpy is not installed for %s; skipped" % sys.executable)
    sys.exit(77)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
import pixdelta  # noqa: E402

QUIET_NAN = 0x7FF8000000000000
SIGN = np.uint64(1 << 63)
# Under an emulator (PIXDELTA_EMULATED, as tests/big-endian sets it), the
# tool runs on another kind of processor than numpy.
EMULATED = bool(os.environ.get("PIXDELTA_EMULATED"))
met = {}  # how often the corner cases decided a result, to show they were met
SPECIAL_BITS = [
    0x7FF8000000000000, 0xFFF8000000000000, 0x7FF8000000000123, 0xFFFC000000000005,
    0x7FF0000000000001, 0xFFF4000000000000,  # signalling NaNs
    0x7FF0000000000000, 0xFFF0000000000000,  # +inf, -inf
    0x8000000000000000, 0x0000000000000000,  # -0, +0
    0x0000000000000001, 0x800000000000000F, 0x000FFFFFFFFFFFFF, 0x0008000000000000,  # subnormal
    0x7FEFFFFFFFFFFFFF, 0xFFEFFFFFFFFFFFFF, 0x0010000000000000,  # +-DBL_MAX, DBL_MIN
]
# Finite corner cases only, so that their medians and means are not NaN.
FINITE_BITS = [b for b in SPECIAL_BITS if (b & 0x7FF0000000000000) != 0x7FF0000000000000]
FINITE_BITS += [0x7FEFFFFFFFFFFFFF] * 4 + [0x8000000000000000] * 4  # pairs of them are common


def frames(rng, n, pixels, file_type):
    """n frames of `pixels` values, as an (n, pixels) array."""
    mode = rng.integers(0, 3, pixels)  # per pixel: 0 ordinary, 1 finite corners, 2 any corner
    pick = lambda choices, dtype: np.array(choices, dtype)[rng.integers(0, len(choices), (n, pixels))]
    if file_type == 2:
        corners = pick([0, 65535, 0, 65535, 1, 65534, 32767, 32768], np.uint16)
        return np.where(mode == 1, corners, rng.integers(0, 65536, (n, pixels), dtype=np.uint16))
    ordinary = rng.standard_normal((n, pixels)) * 10.0 ** rng.integers(-300, 300, (n, pixels))
    bits = np.where(mode == 1, pick(FINITE_BITS, np.uint64), ordinary.view(np.uint64))
    special = (mode == 2) & (rng.random((n, pixels)) < 0.03)
    return np.where(special, pick(SPECIAL_BITS, np.uint64), bits).view(np.float64)


def count(what, mask):
    met[what] = met.get(what, 0) + int(mask.sum())


def first_wrong(wrong, got, want, stack):
    """None, or the first pixel where `wrong` holds, with every value's bits."""
    if not wrong.any():
        return None
    i = int(np.argmax(wrong))
    bits = lambda v: [hex(b) for b in np.ascontiguousarray(v).view("u%d" % v.itemsize).tolist()]
    return "pixel %d: %s, expected %s, values %s" % (i, bits(got[i:i + 1]), bits(want[i:i + 1]), bits(stack[:, i]))


def to_uint16(want):
    """pixcombine's --type uint16 of binary64 results: the values and the
    counts of those clamped below 0, above 65535, and NaN."""
    with np.errstate(all="ignore"):
        rounded = np.rint(want)  # ties to even
        below, above, nan = rounded <= -1, rounded > 65535, np.isnan(want)
    return np.where(nan, 0, rounded.clip(0, 65535)).astype(np.uint16), (below.sum(), above.sum(), nan.sum())


def clamped_note(out, counts):
    total = sum(int(c) for c in counts)
    if not total:
        return b""
    return (b"pixcombine: %s: %d values clamped to 0..65535 (%d below 0, %d above 65535, %d NaN as 0)\n"
            % ((out.encode(), total) + tuple(int(c) for c in counts)))


def check_type(stack, method, got, out_type):
    """--type: uint16 inputs' float64 results, or binary64 inputs' rounded;
    None, or the first disagreement."""
    with np.errstate(all="ignore"):
        if out_type == 10:
            data = stack.astype(np.float64)
            want = np.mean(data, axis=0) if method == "mean" else np.median(data, axis=0)
            return first_wrong(want.view(np.uint64) != got.view(np.uint64), got, want, stack)
        n = stack.shape[0]
        if method == "mean":
            want = np.mean(stack, axis=0)
        else:
            want = np.median(stack, axis=0)
            middle = np.sort(stack, axis=0)[[(n - 1) // 2, n // 2]]
            overflow = np.isinf(want) & np.all(np.isfinite(middle), axis=0)
            want = np.where(overflow, middle[0] / 2 + middle[1] / 2, want)
    want16, _ = to_uint16(want)
    count("--type uint16 values clamped", (want16 == 0) | (want16 == 65535))
    return first_wrong(want16 != got, got, want16, stack)


def expected_note(stack, method, out, out_type):
    if out_type != 2 or stack.dtype != np.float64:
        return b""
    with np.errstate(all="ignore"):
        want = np.mean(stack, axis=0) if method == "mean" else np.median(stack, axis=0)
        if method == "median":  # a / 2 + b / 2 is finite where numpy overflows
            n = stack.shape[0]
            middle = np.sort(stack, axis=0)[[(n - 1) // 2, n // 2]]
            overflow = np.isinf(want) & np.all(np.isfinite(middle), axis=0)
            want = np.where(overflow, middle[0] / 2 + middle[1] / 2, want)
    return clamped_note(out, to_uint16(want)[1])


def check(stack, method, got):
    """None, or a description of the first disagreement."""
    n = stack.shape[0]
    with np.errstate(all="ignore"):
        if stack.dtype == np.uint16:  # rint: ties to even
            q, r = np.divmod(stack.sum(axis=0, dtype=np.int64), n)
            want = (np.rint(np.median(stack, axis=0)) if method == "median"
                    else q + ((2 * r > n) | ((2 * r == n) & (q % 2 == 1)))).astype(np.uint16)
            return first_wrong(want != got, got, want, stack)
        if method == "mean":
            want = np.mean(stack, axis=0)
            # Where two NaNs meet in a sum (two NaN inputs, or one and the NaN
            # of inf - inf, an infinity an input or a sum that overflowed),
            # which payload survives is the processor's choice and numpy's
            # loop order, which varies with the stack's width; both must be
            # NaN there, and every bit must agree everywhere else.
            meetings = np.isnan(stack).sum(axis=0) + np.any(
                np.isnan(np.cumsum(np.where(np.isnan(stack), 0.0, stack), axis=0)), axis=0)
            loose = (meetings >= 2) & np.isnan(want) & np.isnan(got)
            if EMULATED:
                # The NaN of inf - inf is the host's own: 0xfff8000000000000
                # on x86-64, 0x7ff8000000000000 on s390x.
                loose |= (want.view(np.uint64) | SIGN) == got.view(np.uint64) | SIGN
            count("NaN means", np.isnan(want))
            return first_wrong((want.view(np.uint64) != got.view(np.uint64)) & ~loose, got, want, stack)
        want = np.median(stack, axis=0)
        # numpy overflows to infinity where two finite middle values sum past
        # DBL_MAX; there the result is a / 2 + b / 2.
        middle = np.sort(stack, axis=0)[[(n - 1) // 2, n // 2]]
        overflow = np.isinf(want) & np.all(np.isfinite(middle), axis=0)
        want = np.where(overflow, middle[0] / 2 + middle[1] / 2, want)
    nan = np.isnan(want)
    count("NaN medians", nan), count("-0 medians", got.view(np.uint64) == 1 << 63)
    count("overflowing middles", overflow)
    return first_wrong(np.where(nan, got.view(np.uint64) != QUIET_NAN, want != got), got, want, stack)


def main():
    tool = sys.argv[1]
    seed = int(os.environ.get("COMBINE_SEED", "20261207"))
    rng = np.random.default_rng(seed)
    with tempfile.TemporaryDirectory(prefix="pixcombine-numpy-") as work:
        # Big enough to take several chunks and many tiles per chunk.
        # Up to 32 inputs, networks built with the program; 33 and 64, the
        # general one; 200 and 600 inputs: past the sorting networks, to the
        # selection per pixel.
        for n, (x, y) in ((1, (520, 411)), (2, (520, 411)), (3, (520, 411)), (16, (301, 157)), (31, (97, 53)),
                          (32, (97, 53)), (33, (97, 53)), (64, (130, 101)), (200, (41, 23)), (600, (17, 11))):
            for file_type in (pixdelta.UINT16, pixdelta.BINARY64):
                stack = frames(rng, n, x * y, file_type)
                names = [os.path.join(work, "in%d.img" % k) for k in range(n)]
                for k, name in enumerate(names):
                    comment = rng.bytes(int(rng.integers(0, 40)))
                    header = pixdelta.header(x, y, file_type, len(comment), rng.bytes(4) + rng.bytes(50))
                    pixdelta.write(name, stack[k].reshape(y, x), header, comment)
                    first = first if k else header + comment
                # Each input type as it is, and into the other with --type.
                other = pixdelta.BINARY64 if file_type == pixdelta.UINT16 else pixdelta.UINT16
                for method, out_type in (("median", None), ("mean", None), ("median", other), ("mean", other)):
                    out = os.path.join(work, "out.img")
                    typed = ["--type", "binary64" if out_type == pixdelta.BINARY64 else "uint16"] if out_type else []
                    run = subprocess.run([tool, "--" + method, "-o", out] + typed + names, capture_output=True)
                    head = first[:12] + struct.pack("<H", out_type or file_type) + first[14:]
                    value_bytes = x * y * (8 if (out_type or file_type) == pixdelta.BINARY64 else 2)
                    note = expected_note(stack, method, out, out_type)
                    image, unreadable, size = None, "", 0
                    if run.returncode == 0:
                        try:
                            image, size = pixdelta.read(out), os.path.getsize(out)
                        except pixdelta.ImgError as e:
                            unreadable = str(e)
                    wrong = ("status %d, %r %r" % (run.returncode, run.stdout, run.stderr)
                             if run.returncode or run.stdout or run.stderr != note
                             else unreadable if image is None
                             else "not the first input's header and comment" if image.header + image.comment != head
                             else "%d bytes, not %d" % (size, len(first) + value_bytes)
                             if size != len(first) + value_bytes
                             else check_type(stack, method, image.values.reshape(-1), out_type) if out_type
                             else check(stack, method, image.values.reshape(-1).astype(stack.dtype)))
                    what = "%d inputs, type %d, %s%s" % (n, file_type, method, ", --type %d" % out_type if out_type else "")
                    if wrong:
                        sys.exit("%s (seed %d): %s" % (what, seed, wrong))
                    print("%-28s %7d pixels agree" % (what, x * y))
    print(", ".join("%s: %d" % item for item in sorted(met.items())))


if __name__ == "__main__":
    main()
