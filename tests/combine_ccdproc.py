#!/usr/bin/env python3
"""pixcombine's scaling and rejection against ccdproc, on stacks of frames
with cosmic-ray hits, hot pixels, dead pixels and (binary64) NaNs and
infinities.

Usage: combine_ccdproc.py PIXCOMBINE

ccdproc clips the unscaled values, and its sigma clipping replaces the
rejections made before it instead of adding to them; so each rejection is
compared alone, and scaling with rejection against ccdproc given frames
already scaled (each value times 1 / the frame's median or mean, as
pixcombine multiplies). For each case, type and method:

- the rejected set: --rejected's counts must equal, pixel by pixel, the
  values ccdproc leaves out (its mask, and NaNs, which its nanmean and
  nanmedian skip);
- the combined values, bit for bit: ccdproc's float64 for binary64, rounded
  to nearest, ties to even, for uint16. Where a pixel lost every value,
  ccdproc gives NaN, and pixcombine the quiet NaN 0x7ff8000000000000 for
  binary64 and the plain median or mean of all the values for uint16, with
  a note on stderr that counts such pixels. Under an emulator, the NaN a
  mean of +inf and -inf makes may have either sign;
- and each case again with --type into the other pixel type: uint16 inputs
  into binary64, ccdproc's float64 bit for bit (the quiet NaN where a pixel
  lost every value); binary64 inputs into uint16, ccdproc's float64 rounded
  to nearest, ties to even, clamped to 0..65535 and NaN as 0, the plain
  median or mean of all the values where a pixel lost every value, and the
  values clamped counted on stderr.

Exits 77 without numpy, astropy or ccdproc.
"""
import os
import subprocess
import sys
import tempfile
import warnings
from fractions import Fraction

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
import pixdelta  # noqa: E402

try:
    import numpy as np
    from astropy.nddata import CCDData
    from astropy.stats import mad_std, sigma_clip
    from ccdproc import Combiner, combine
except ImportError as missing:
    print("%s is not installed for %s; skipped" % (missing.name, sys.executable))
    sys.exit(77)

warnings.simplefilter("ignore")  # astropy's about NaNs, ccdproc's about units
QUIET_NAN = 0x7FF8000000000000
SIGN = np.uint64(1 << 63)
# Under an emulator (PIXDELTA_EMULATED, as tests/big-endian sets it), the
# tool runs on another kind of processor than ccdproc.
EMULATED = bool(os.environ.get("PIXDELTA_EMULATED"))
met = {"values rejected": 0, "pixels that lost every value": 0}  # to show the cases reached them


def stack(rng, n, pixels, file_type):
    """n frames as an (n, pixels) array: sky of a level that differs from
    frame to frame (as flats do), cosmic-ray hits, hot and dead pixels;
    binary64 ones also NaNs and infinities, and a few exact ties."""
    level = rng.uniform(0.6, 1.8, (n, 1))
    data = rng.normal(1000, 30, (n, pixels)) * level
    hits = rng.random((n, pixels)) < 0.04
    data = np.where(hits, data + rng.uniform(2000, 40000, (n, pixels)), data)
    hot = rng.random(pixels) < 0.03
    data = np.where(hot, data + 8000, data)
    dead = rng.random((n, pixels)) < 0.01
    data = np.where(dead, 0, data)
    if file_type == 2:
        return np.rint(data.clip(0, 65535)).astype(np.uint16)
    special = rng.random((n, pixels))
    data = np.where(special < 0.02, np.nan, data)
    data = np.where((special >= 0.02) & (special < 0.025), np.inf, data)
    data = np.where((special >= 0.025) & (special < 0.028), -np.inf, data)
    data[:, :5] = np.nan  # every value of these NaN
    return data


def finite_statistic(frame, which):
    """The frame's median or correctly rounded mean, over its finite values."""
    v = frame[np.isfinite(frame)].astype(np.float64)
    if which == "median":
        return np.median(v)
    return float(sum(Fraction(x) for x in v.tolist()) / len(v))


def clip_iterating(combiner, low, high, func, dev_func, maxiters):
    """Combiner.sigma_clipping with maxiters, which ccdproc 2.4 cannot pass
    (it gives sigma_clip the keyword twice): the same call of astropy's."""
    combiner.data_arr.mask = sigma_clip(combiner.data_arr.data, sigma_lower=low, sigma_upper=high, axis=0,
                                        copy=False, maxiters=maxiters, cenfunc=func, stdfunc=dev_func,
                                        masked=True).mask


def write_frames(work, frames, x, y, file_type):
    names = []
    for k, frame in enumerate(frames):
        names.append(os.path.join(work, "in%d.img" % k))
        comment = b"frame %d" % k
        header = pixdelta.header(x, y, file_type, uninterpreted=b"\x01\x02\x03\x04" + b"\x05" * 50)
        pixdelta.write(names[-1], frame.astype(pixdelta.DTYPES[file_type]).reshape(y, x), header, comment)
    return names


def read_values(path, dtype):
    image = pixdelta.read(path)
    if image.values.dtype != np.dtype(dtype):
        sys.exit("%s holds %s values, not %s" % (path, image.values.dtype, dtype))
    return image.header, image.values.ravel()


# (name, pixcombine's options, what ccdproc's Combiner is asked, frames pre-scaled by)
CASES = [
    ("sigma 3,3 median mad_std", ["--sigma-clip", "3,3"],
     lambda c: c.sigma_clipping(3, 3, func="median", dev_func="mad_std"), None),
    ("sigma 2.5,4 mean std", ["--sigma-clip", "2.5,4", "--clip-center", "mean", "--clip-dev", "std"],
     lambda c: c.sigma_clipping(2.5, 4, func="mean", dev_func="std"), None),
    ("sigma 1,1.5 mean mad_std", ["--sigma-clip", "1,1.5", "--clip-center", "mean"],
     lambda c: c.sigma_clipping(1, 1.5, func="mean", dev_func="mad_std"), None),
    ("sigma 2,2 median std x3", ["--sigma-clip", "2,2", "--clip-dev", "std", "--clip-iterations", "3"],
     lambda c: clip_iterating(c, 2, 2, "median", "std", 3), None),
    ("sigma 2,2.5 converged", ["--sigma-clip", "2,2.5", "--clip-iterations", "0"],
     lambda c: clip_iterating(c, 2, 2.5, "median", "mad_std", None), None),
    ("minmax 950,1400", ["--minmax", "950,1400"], lambda c: c.minmax_clipping(950, 1400), None),
    ("minmax -inf,1200", ["--minmax", "-inf,1200"], lambda c: c.minmax_clipping(-np.inf, 1200), None),
    ("extrema 1,1", ["--extrema", "1,1"], lambda c: c.clip_extrema(1, 1), None),
    ("extrema 0,2", ["--extrema", "0,2"], lambda c: c.clip_extrema(0, 2), None),
    ("extrema 2,0", ["--extrema", "2,0"], lambda c: c.clip_extrema(2, 0), None),
    ("scale median", ["--scale", "median"], None, "median"),
    ("scale mean", ["--scale", "mean"], None, "mean"),
    ("scale median, sigma 3,3", ["--scale", "median", "--sigma-clip", "3,3"],
     lambda c: c.sigma_clipping(3, 3, func="median", dev_func="mad_std"), "median"),
    ("scale mean, sigma 2,3 mean std x0", ["--scale", "mean", "--sigma-clip", "2,3", "--clip-center", "mean",
                                           "--clip-dev", "std", "--clip-iterations", "0"],
     lambda c: clip_iterating(c, 2, 3, "mean", "std", None), "mean"),
    ("scale median, minmax 0.9,1.25", ["--scale", "median", "--minmax", "0.9,1.25"],
     lambda c: c.minmax_clipping(0.9, 1.25), "median"),
    ("scale mean, extrema 1,2", ["--scale", "mean", "--extrema", "1,2"], lambda c: c.clip_extrema(1, 2), "mean"),
]

# (frames, width, height): odd and even counts, a few and many values a
# pixel, one count past the sorting networks.
STACKS = [(16, 24, 20), (5, 24, 20), (2, 30, 10), (3, 24, 20), (130, 9, 8)]


def to_uint16(values):
    """--type uint16: rounded to nearest, ties to even, clamped, NaN as 0;
    the counts of values clamped below 0, above 65535, and NaN."""
    with np.errstate(all="ignore"):
        rounded = np.rint(values)
        counts = (int((rounded <= -1).sum()), int((rounded > 65535).sum()), int(np.isnan(values).sum()))
    return np.where(np.isnan(values), 0, rounded.clip(0, 65535)).astype(np.uint16), counts


def expected(frames, method, apply, scaled_by, file_type, result_type):
    """ccdproc's combined values and its count of values left out, per pixel;
    and, into uint16 from binary64, the counts of values clamped."""
    data = frames.astype(np.float64)
    if scaled_by:
        factors = np.array([1.0 / finite_statistic(f, scaled_by) for f in frames])
        data = data * factors[:, None]
    combiner = Combiner([CCDData(d.reshape(1, -1), unit="adu") for d in data])
    if apply:
        apply(combiner)
    left_out = (combiner.data_arr.mask | np.isnan(combiner.data_arr.data)).sum(axis=0).ravel()
    if method == "mean":
        combined = combiner.average_combine().data.ravel()
    else:
        combined = combiner.median_combine().data.ravel()
    n = len(frames)
    with np.errstate(all="ignore"):
        everything = np.median(data, axis=0) if method == "median" else np.mean(data, axis=0)
    if result_type == 2:
        return (*to_uint16(np.where(left_out == n, everything, combined)), left_out)
    combined = np.where(left_out == n, np.array(QUIET_NAN, np.uint64).view(np.float64), combined)
    return combined, (0, 0, 0), left_out


def ulps(a, b):
    key = lambda v: np.where(v.view(np.int64) < 0, -(v.view(np.int64) & 0x7FFFFFFFFFFFFFFF), v.view(np.int64))
    return abs(int(key(np.array([a]))[0]) - int(key(np.array([b]))[0]))


def compare(tool, work, names, frames, case, method, file_type, out_type=None):
    name, options, apply, scaled_by = case
    n = len(frames)
    out, counts = os.path.join(work, "out.img"), os.path.join(work, "rejected.img")
    typed = ["--type", "binary64" if out_type == 10 else "uint16"] if out_type else []
    run = subprocess.run([tool, "--" + method, "-o", out, "--rejected", counts] + options + typed + names,
                         capture_output=True)
    if run.returncode != 0 or run.stdout:
        return "status %d, %r %r" % (run.returncode, run.stdout, run.stderr)
    result_type = out_type or (10 if scaled_by or file_type == 10 else 2)
    want, clamped, want_left_out = expected(frames, method, apply, scaled_by, file_type, result_type)
    header, got = read_values(out, "<f8" if result_type == 10 else "<u2")
    _, left_out = read_values(counts, "<u2")
    if pixdelta.fields(header).file_type != result_type:
        return "OUT's type is not %d" % result_type
    emptied = int((want_left_out == n).sum())
    note = (b"pixcombine: %s: every value of %d pixels was rejected: they hold %s\n"
            % (out.encode(), emptied, b"NaN" if result_type == 10 else b"the " + method.encode()
               + b" of all their values")) if emptied else b""
    if sum(clamped):
        note += (b"pixcombine: %s: %d values clamped to 0..65535 (%d below 0, %d above 65535, %d NaN as 0)\n"
                 % ((out.encode(), sum(clamped)) + clamped))
        met["values clamped by --type uint16"] = met.get("values clamped by --type uint16", 0) + sum(clamped)
    if run.stderr != note:
        return "stderr %r, expected %r" % (run.stderr, note)
    met["values rejected"] += int(left_out.sum())
    met["pixels that lost every value"] += emptied
    wrong = np.flatnonzero(left_out != want_left_out)
    if len(wrong):
        i = wrong[0]
        return "pixel %d: %d values rejected, ccdproc %d; values %r" % (i, left_out[i], want_left_out[i], frames[:, i])
    if result_type == 10:
        differ = got.view(np.uint64) != want.view(np.uint64)
        if EMULATED:
            # The NaN of inf - inf is the host's own: 0xfff8000000000000 on
            # x86-64, 0x7ff8000000000000 on s390x.
            differ &= (got.view(np.uint64) | SIGN) != (want.view(np.uint64) | SIGN)
        wrong = np.flatnonzero(differ)
    else:
        wrong = np.flatnonzero(got != want)
    if len(wrong):
        i = wrong[0]
        return "pixel %d: %r, expected %r (%d ulps; %d pixels differ); values %r" % (
            i, got[i], want[i], ulps(float(got[i]), float(want[i])) if result_type == 10 else -1,
            len(wrong), frames[:, i].tolist())
    return None


def reference_workflow(tool, work, rng):
    """The master bias and dark of ccdproc's documentation: ccdproc.combine,
    average, sigma clipping at 5,5 about np.ma.median by astropy's mad_std
    (callables, not the names: astropy's slower path, whose bounds become
    NaN where a pixel holds a NaN, so these stacks have none)."""
    # uint16 frames into uint16 and (--type binary64, as the README's master
    # bias) into binary64; binary64 frames.
    for file_type, out_type in ((2, 2), (2, 10), (10, 10)):
        frames = stack(rng, 16, 24 * 20, 2)
        if file_type == 10:
            frames = frames * 1.0 + rng.random(frames.shape)
        names = write_frames(work, frames, 24, 20, file_type)
        out = os.path.join(work, "out.img")
        typed = ["--type", "binary64"] if out_type != file_type else []
        run = subprocess.run([tool, "--mean", "--sigma-clip", "5,5", "-o", out] + typed + names,
                             capture_output=True)
        ccds = [CCDData(f.astype(np.float64).reshape(20, 24), unit="adu") for f in frames]
        master = combine(ccds, method="average", sigma_clip=True, sigma_clip_low_thresh=5,
                         sigma_clip_high_thresh=5, sigma_clip_func=np.ma.median,
                         sigma_clip_dev_func=mad_std).data.ravel()
        _, got = read_values(out, "<u2" if out_type == 2 else "<f8")
        want = np.rint(master).astype(np.uint16) if out_type == 2 else master
        same = got == want if out_type == 2 else got.view(np.uint64) == want.view(np.uint64)
        if run.returncode != 0 or not same.all():
            sys.exit("ccdproc.combine's master, type %d%s: status %d %r, %d pixels differ"
                     % (file_type, " " + " ".join(typed), run.returncode, run.stderr, int((~same).sum())))
        print("ccdproc.combine, average, sigma-clipped 5,5 by median and mad_std, type %d%s: agree"
              % (file_type, " " + " ".join(typed) if typed else ""))


def main():
    tool = sys.argv[1]
    seed = int(os.environ.get("COMBINE_SEED", "20261208"))
    rng = np.random.default_rng(seed)
    failures = 0
    with tempfile.TemporaryDirectory(prefix="pixcombine-ccdproc-") as work:
        for n, x, y in STACKS:
            for file_type in (2, 10):
                frames = stack(rng, n, x * y, file_type)
                names = write_frames(work, frames, x, y, file_type)
                for case in CASES:
                    # As they are, and into the other type (scaled values
                    # are binary64 already).
                    other = 10 if file_type == 2 else 2
                    for out_type in (None, other) if other == 2 or not case[3] else (None,):
                        for method in ("mean", "median"):
                            wrong = compare(tool, work, names, frames, case, method, file_type, out_type)
                            what = "%3d frames, type %2d, %-6s %s%s" % (
                                n, file_type, method, case[0], ", --type %d" % out_type if out_type else "")
                            if wrong:
                                failures += 1
                                print("%s (seed %d): %s" % (what, seed, wrong))
                print("%d frames of %dx%d, type %d: %d cases, and with --type" % (n, x, y, file_type, 2 * len(CASES)))
        reference_workflow(tool, work, rng)
    print(", ".join("%s: %d" % item for item in sorted(met.items())))
    if failures:
        sys.exit("%d cases differ from ccdproc" % failures)


if __name__ == "__main__":
    main()
