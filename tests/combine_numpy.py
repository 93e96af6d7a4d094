#!/usr/bin/env python3
"""pixcombine against numpy, bit for bit, on random stacks of frames.

Usage: combine_numpy.py PIXCOMBINE

Some pixels hold ordinary values, some only finite corner cases (-0, +-DBL_MAX,
subnormals; uint16 0 and 65535), some any corner case (NaNs of either sign and
several payloads, quiet and signalling; infinities). Binary64 means must equal
numpy's in every bit but which NaN survives where two meet; medians must equal
numpy's (-0 == +0) wherever numpy does not overflow, the NaN always
0x7ff8000000000000, and a / 2 + b / 2 where it does; uint16 results are
numpy's rounded to nearest, ties to even. Exits 77 without numpy.
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

QUIET_NAN = 0x7FF8000000000000
corners = {}  # how often the corner cases decided a result, to show they were met
DBL_MAX = sys.float_info.max
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
    if file_type == 2:
        stack = rng.integers(0, 65536, (n, pixels), dtype=np.uint16)
        corners = np.array([0, 65535, 0, 65535, 1, 65534, 32767, 32768], dtype=np.uint16)
        stack = np.where(mode == 1, corners[rng.integers(0, len(corners), (n, pixels))], stack)
        return stack
    ordinary = rng.standard_normal((n, pixels)) * 10.0 ** rng.integers(-300, 300, (n, pixels))
    bits = ordinary.view(np.uint64)
    finite = np.array(FINITE_BITS, dtype=np.uint64)[rng.integers(0, len(FINITE_BITS), (n, pixels))]
    special = np.array(SPECIAL_BITS, dtype=np.uint64)[rng.integers(0, len(SPECIAL_BITS), (n, pixels))]
    rare = rng.random((n, pixels)) < 0.03
    bits = np.where(mode == 1, finite, bits)
    bits = np.where((mode == 2) & rare, special, bits)
    return bits.view(np.float64)


def write_image(path, x, y, file_type, values, comment, filler):
    header = struct.pack("<2sHHH4sH50s", b"IM", len(comment), x, y, filler[:4], file_type, filler[4:54])
    with open(path, "wb") as f:
        f.write(header + comment)
        values.astype("<u2" if file_type == 2 else "<f8").tofile(f)
    return header + comment


def expected_uint16(stack, method):
    n = stack.shape[0]
    if method == "median":
        return np.rint(np.median(stack, axis=0)).astype(np.uint16)  # rint: ties to even
    s = stack.sum(axis=0, dtype=np.int64)
    q, r = np.divmod(s, n)
    return (q + ((2 * r > n) | ((2 * r == n) & (q % 2 == 1)))).astype(np.uint16)


def check_binary64(stack, method, got):
    """None, or a description of the first disagreement."""
    gbits = got.view(np.uint64)
    if method == "mean":
        with np.errstate(all="ignore"):
            want = np.mean(stack, axis=0)
        # Where two NaNs meet in a sum (two NaN inputs, or one and the NaN of
        # inf - inf, an infinity an input or a sum that overflowed), which
        # payload survives is the processor's choice and numpy's loop order,
        # which varies with the stack's width; both must be NaN there, and
        # every bit must agree everywhere else.
        meetings = np.isnan(stack).sum(axis=0) + np.any(
            np.isnan(np.cumsum(np.where(np.isnan(stack), 0.0, stack), axis=0)), axis=0)
        loose = (meetings >= 2) & np.isnan(want) & np.isnan(got)
        corners["NaN means"] = corners.get("NaN means", 0) + int(np.isnan(want).sum())
        bad = np.nonzero((want.view(np.uint64) != gbits) & ~loose)[0]
        return None if not len(bad) else "pixel %d: %016x, numpy %016x, values %s" % (
            bad[0], int(gbits[bad[0]]), int(want.view(np.uint64)[bad[0]]),
            " ".join("%016x" % int(b) for b in stack[:, bad[0]].view(np.uint64)))
    with np.errstate(all="ignore"):
        want = np.median(stack, axis=0)
    nan = np.isnan(want)
    corners["NaN medians"] = corners.get("NaN medians", 0) + int(nan.sum())
    corners["-0 medians"] = corners.get("-0 medians", 0) + int((gbits == 0x8000000000000000).sum())
    if np.any(gbits[nan] != QUIET_NAN):
        i = np.nonzero(nan & (gbits != QUIET_NAN))[0][0]
        return "pixel %d: %016x, not the quiet NaN" % (i, int(gbits[i]))
    n = stack.shape[0]
    # numpy overflows to infinity where two finite middle values sum past
    # DBL_MAX; there the result is a / 2 + b / 2.
    middle = np.sort(stack, axis=0)[[(n - 1) // 2, n // 2]]
    overflow = ~nan & np.isinf(want) & np.all(np.isfinite(middle), axis=0)
    with np.errstate(all="ignore"):
        want = np.where(overflow, middle[0] / 2 + middle[1] / 2, want)
    corners["overflowing middles"] = corners.get("overflowing middles", 0) + int(overflow.sum())
    bad = np.nonzero(~nan & (want != got))[0]
    return None if not len(bad) else "pixel %d: %r, numpy %r, values %r" % (
        bad[0], got[bad[0]], want[bad[0]], stack[:, bad[0]])


def main():
    tool = sys.argv[1]
    seed = int(os.environ.get("COMBINE_SEED", "20261207"))
    rng = np.random.default_rng(seed)
    checked = {}
    with tempfile.TemporaryDirectory(prefix="pixcombine-numpy-") as work:
        # Big enough to take several chunks and many tiles per chunk.
        # 200 and 600 inputs: past the sorting networks, to the selection
        # per pixel.
        for n, (x, y) in ((1, (520, 411)), (2, (520, 411)), (3, (520, 411)), (16, (301, 157)),
                          (64, (130, 101)), (200, (41, 23)), (600, (17, 11))):
            for file_type in (2, 10):
                stack = frames(rng, n, x * y, file_type)
                names, first = [], None
                for k in range(n):
                    name = os.path.join(work, "in%d.img" % k)
                    comment = bytes(rng.integers(0, 256, int(rng.integers(0, 40)), dtype=np.uint8))
                    filler = bytes(rng.integers(0, 256, 54, dtype=np.uint8))
                    start = write_image(name, x, y, file_type, stack[k], comment, filler)
                    first = first or start
                    names.append(name)
                for method in ("median", "mean"):
                    out = os.path.join(work, "out.img")
                    run = subprocess.run([tool, "--" + method, "-o", out] + names, capture_output=True)
                    what = "%d inputs, type %d, %s (seed %d)" % (n, file_type, method, seed)
                    if run.returncode != 0 or run.stdout or run.stderr:
                        sys.exit("%s: status %d, %r %r" % (what, run.returncode, run.stdout, run.stderr))
                    data = open(out, "rb").read()
                    if data[:len(first)] != first:
                        sys.exit("%s: not the first input's header and comment" % what)
                    got = np.frombuffer(data[len(first):], "<u2" if file_type == 2 else "<f8")
                    if len(got) != x * y:
                        sys.exit("%s: %d values, not %d" % (what, len(got), x * y))
                    if file_type == 2:
                        want = expected_uint16(stack, method)
                        bad = np.nonzero(want != got)[0]
                        wrong = None if not len(bad) else "pixel %d: %d, expected %d, values %r" % (
                            bad[0], got[bad[0]], want[bad[0]], stack[:, bad[0]])
                    else:
                        wrong = check_binary64(stack, method, got.astype(np.float64))
                    if wrong:
                        sys.exit("%s: %s" % (what, wrong))
                    checked[what] = x * y
    for what, pixels in checked.items():
        print("%-40s %7d pixels agree" % (what.split(" (")[0], pixels))
    print(", ".join("%s: %d" % item for item in sorted(corners.items())))


if __name__ == "__main__":
    main()
