#!/usr/bin/env python3
"""pixcalibrate against ccdproc's chain, bit for bit, on random frames.

Usage: calibrate_ccdproc.py PIXCALIBRATE

Each case writes a frame and its masters (uint16 or binary64: a night's
values with hot pixels and cosmic-ray hits, binary64 ones also with NaNs,
infinities, -0, subnormals and values near DBL_MAX; flats with vignetting,
dust, zeros and negative values) and runs pixcalibrate. Its values must be
those of ccdproc's subtract_bias, then subtract_dark with data_exposure and
dark_exposure (scale=True, or unscaled without --dark-scale), then
flat_correct with min_value, given the frames as numpy arrays of their own
types, then + N in numpy; every bit must agree.

- A uint16 flat: ccdproc's own mean of the flat (min_value is stored in the
  flat's type: the cases take a whole V).
- A binary64 flat: pixcalibrate's mean is that of the finite values,
  correctly rounded. It is checked against the exact mean computed here
  with Python's integers, and against numpy's (at most one ulp apart for a
  flat without NaN), and ccdproc is given it as norm_value. Where the flat
  holds a NaN, ccdproc's own mean makes every value NaN: that is checked too.
- --type uint16: the same values rounded by numpy's rint (ties to even),
  clipped to 0..65535, NaN as 0; the counts of each said on stderr.

The output's header is IN's with the type and the comment length changed;
its comment IN's, then the record line, whose fields are read back here.
Exits 77 without ccdproc, or 1 if PIXDELTA_NO_SKIPS is set.
"""
import os
import subprocess
import sys
import tempfile
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
import pixdelta  # noqa: E402


def skip(why):
    print("skipped: %s for %s" % (why, sys.executable))
    sys.exit(1 if os.environ.get("PIXDELTA_NO_SKIPS") else 77)


try:
    import numpy as np
    import astropy.units as u
    from astropy.nddata import CCDData
    import ccdproc
except ImportError as e:
    skip("%s (apt-get install python3-ccdproc)" % e)

EMULATED = bool(os.environ.get("PIXDELTA_EMULATED"))
CORNERS = [np.nan, -np.nan, np.inf, -np.inf, -0.0, 5e-324, -1e-310, 1.7e308, -1.7e308]
largest_ulps = 0  # numpy's mean against the exact one, over the binary64 flats


def night(rng, role, shape, dtype, nan_in_flat=False):
    """A frame of the role's values, in dtype."""
    y, x = shape
    yy, xx = np.mgrid[0:y, 0:x]
    vignetting = 1 - 0.35 * (((xx - x / 2) / x) ** 2 + ((yy - y / 2) / y) ** 2)
    if role == "raw":
        v = 1100 + 800 * vignetting + rng.normal(0, 20, shape)
        v[rng.random(shape) < 0.002] = 65535  # saturated stars and hot pixels
        v[rng.random(shape) < 0.002] += rng.uniform(1000, 40000)  # cosmic rays
    elif role == "bias":
        v = rng.normal(100, 3, shape)
    elif role == "dark":
        v = rng.normal(20, 4, shape)
        v[rng.random(shape) < 0.003] = rng.uniform(500, 3000)  # hot pixels
    else:
        dust = 1 - 0.4 * (rng.random(shape) < 0.01)
        v = vignetting * dust * (20000 if dtype == np.uint16 else 1) + rng.normal(0, 0.01, shape)
        v[rng.random(shape) < 0.004] = 0  # dead pixels
        if dtype != np.uint16:
            v[rng.random(shape) < 0.004] *= -1
    if dtype == np.uint16:
        return np.clip(np.rint(v), 0, 65535).astype(np.uint16)
    spots = rng.random(shape) < 0.004
    corners = CORNERS if role != "flat" else [-0.0, 5e-324, -1e-310, 1e-300]
    v = np.where(spots, np.array(corners)[rng.integers(0, len(corners), shape)], v)
    if nan_in_flat:
        v[1, 2] = np.nan
        v[3, 1] = np.inf
    return v


def write_image(path, rng, array, comment):
    y, x = array.shape
    file_type = 2 if array.dtype == np.uint16 else 10
    header = pixdelta.header(x, y, file_type, len(comment), rng.bytes(4) + rng.bytes(50))
    pixdelta.write(path, array.astype(pixdelta.DTYPES[file_type]), header, comment)
    return header


def exact_mean(values):
    """The mean of the finite values, correctly rounded: each an integer
    number of 2^-1074, their sum exact; int / int rounds once."""
    total, count = 0, 0
    for v in values.ravel().tolist():
        if v - v == 0:  # finite
            p, q = float(v).as_integer_ratio()
            total += p * ((1 << 1074) // q)
            count += 1
    return total / (count << 1074)


def ulps(a, b):
    return abs(int(np.float64(a).view(np.int64)) - int(np.float64(b).view(np.int64)))


def expected(case, raw, bias, dark, flat):
    """ccdproc's chain, and the flat's mean the tool must use."""
    global largest_ulps
    ccd = CCDData(raw, unit="adu")
    if bias is not None:
        ccd = ccdproc.subtract_bias(ccd, CCDData(bias, unit="adu"))
    if dark is not None:
        data_s, dark_s = case.get("exposures", (1, 1))
        ccd = ccdproc.subtract_dark(ccd, CCDData(dark, unit="adu"), data_exposure=data_s * u.s,
                                    dark_exposure=dark_s * u.s, scale="exposures" in case)
    mean = None
    if flat is not None:
        v = case.get("flat_min")
        if flat.dtype == np.uint16:
            raised = flat.copy()
            if v is not None:
                raised[raised < v] = v
            ccd = ccdproc.flat_correct(ccd, CCDData(flat, unit="adu"), min_value=v)
            mean = raised.mean()
        else:
            raised = np.where(flat < v, v, flat) if v is not None else flat
            mean = exact_mean(raised)
            if case.get("nan_in_flat"):
                own = ccdproc.flat_correct(ccd, CCDData(flat, unit="adu"), min_value=v)
                if not np.isnan(own.data).all():
                    sys.exit("ccdproc's own mean of a flat with a NaN no longer makes every value NaN")
            else:
                largest_ulps = max(largest_ulps, ulps(mean, raised.mean()))
            ccd = ccdproc.flat_correct(ccd, CCDData(flat, unit="adu"), min_value=v, norm_value=mean)
    result = np.asarray(ccd.data, dtype=np.float64)
    if "offset" in case:
        result = result + np.float64(case["offset"])
    return result, mean


def as_uint16(x):
    with np.errstate(invalid="ignore"):
        r = np.rint(x)
        nan, below, above = np.isnan(x), r < 0, r > 65535
    return np.where(nan | below, 0, np.where(above, 65535, r)).astype(np.uint16), \
        (int(below.sum()), int(above.sum()), int(nan.sum()))


def first_wrong(got, want, raw):
    g, w = got.view(np.uint64), want.view(np.uint64)
    wrong = g != w
    if EMULATED:  # which NaN an operation makes or keeps is the processor's
        wrong &= ~(np.isnan(got) & np.isnan(want))
    if not wrong.any():
        return None
    i = int(np.argmax(wrong.ravel()))
    return "value %d: %r, expected %r (IN %r)" % (i, got.ravel()[i], want.ravel()[i], raw.ravel()[i])


def record_fields(line, version):
    start = "pixcalibrate %s:" % version
    if not line.startswith(start):
        return None
    fields = {}
    for item in line[len(start):].split():
        key, _, value = item.partition("=")
        fields[key] = value.strip('"')
    return fields


U16, F64 = np.uint16, np.float64
# Each case: the types, what is given, and the frame's size (one of more
# values than pixcalibrate calibrates at a time).
CASES = [
    dict(raw=U16, bias=U16, dark=U16, flat=U16, exposures=(30, 60), flat_min=500, offset=100),
    dict(raw=U16, bias=U16, dark=U16, flat=U16, exposures=(30, 60), flat_min=500, offset=100, type="uint16"),
    dict(raw=U16, bias=F64, dark=F64, flat=F64, exposures=(7, 3), flat_min=0.05, size=(250, 300)),
    dict(raw=U16, bias=F64, dark=F64, flat=F64, exposures=(7, 3), flat_min=0.05, type="uint16", size=(250, 300)),
    dict(raw=F64, bias=F64, dark=F64, flat=F64, exposures=(45, 60), offset=-0.25),
    dict(raw=F64, bias=U16, dark=F64, flat=U16, flat_min=1000, type="uint16", offset=32768),
    dict(raw=F64, bias=F64, flat=F64, flat_min=0.05, nan_in_flat=True),
    dict(raw=U16, dark=U16, flat=F64, size=(250, 300)),
    dict(raw=U16, flat=U16, type="uint16"),
    dict(raw=U16, flat=U16, size=(250, 300)),
    dict(raw=F64, bias=F64),
    dict(raw=U16, offset=0.5, type="uint16"),
]


def main():
    warnings.simplefilter("ignore")  # numpy's on NaNs, infinities and division by 0
    tool = sys.argv[1]
    version = subprocess.run([tool, "--version"], capture_output=True, text=True).stdout.split()[-1]
    rng = np.random.default_rng(int(os.environ.get("CALIBRATE_SEED", "20261208")))
    with tempfile.TemporaryDirectory(prefix="pixcalibrate-ccdproc-") as work:
        for number, case in enumerate(CASES):
            shape = case.get("size", (61, 97))
            arrays, args = {}, []
            for role in ("raw", "bias", "dark", "flat"):
                if role in case:
                    arrays[role] = night(rng, role, shape, case[role], case.get("nan_in_flat"))
                    if role != "raw":
                        path = os.path.join(work, role + ".img")
                        write_image(path, rng, arrays[role], b"master")
                        args += ["--" + role, path]
            if "exposures" in case:
                args += ["--dark-scale", repr(case["exposures"][0] / case["exposures"][1])]
            for option in ("flat_min", "offset", "type"):
                if option in case:
                    args += ["--" + option.replace("_", "-"), str(case[option])]
            comment = rng.bytes(int(rng.integers(0, 40))) + (b"\n" if number % 3 == 0 else b"")
            raw_path, out = os.path.join(work, "raw.img"), os.path.join(work, "out.img")
            header = write_image(raw_path, rng, arrays["raw"], comment)
            run = subprocess.run([tool] + args + ["-o", out, raw_path], capture_output=True)
            want, mean = expected(case, arrays["raw"], arrays.get("bias"), arrays.get("dark"), arrays.get("flat"))
            uint16 = case.get("type") == "uint16"
            numbers = {"flat-mean": mean} if mean is not None else {}
            if "dark" in case:
                numbers["dark-scale"] = case["exposures"][0] / case["exposures"][1] if "exposures" in case else 1.0
            numbers.update({key.replace("_", "-"): case[key] for key in ("flat_min", "offset") if key in case})
            message = b""
            if uint16:
                want, (below, above, nan) = as_uint16(want)
                if below + above + nan:
                    message = b"pixcalibrate: %s: %d values clamped to 0..65535 (%d below 0, %d above 65535, %d NaN as 0)\n" % (
                        raw_path.encode(), below + above + nan, below, above, nan)
            image = pixdelta.read(out) if run.returncode == 0 else None
            written = image.header if image else b""
            written_comment = image.comment if image else b""
            line = written_comment[len(comment) + (comment[-1:] not in (b"", b"\n")):]
            fields = record_fields(line.decode("ascii", "replace"), version) or {}
            got = image.values.ravel() if image else np.zeros(0)
            what = "case %d %s" % (number, {k: getattr(v, "__name__", v) for k, v in case.items()})
            wrong = ("status %d, %r %r" % (run.returncode, run.stdout, run.stderr) if run.returncode or run.stdout
                     else "stderr %r, expected %r" % (run.stderr, message) if run.stderr != message
                     else "header %r" % written if written != pixdelta.header(
                         shape[1], shape[0], 2 if uint16 else 10, len(written_comment), pixdelta.fields(header).uninterpreted)
                     else "comment %r" % written_comment if not written_comment.startswith(comment)
                     else "record line %r" % line if not fields or fields["type"] != ("uint16" if uint16 else "binary64")
                     else "record line %r, expected %r" % (line, numbers) if any(
                         float(fields.get(key, "nan")) != value for key, value in numbers.items())
                     else "%d values, not %d" % (got.size, want.size) if got.size != want.size
                     else first_wrong(got.astype(want.dtype), want.ravel(), arrays["raw"]) if not uint16
                     else None if np.array_equal(got, want.ravel())
                     else "uint16 values differ at %d" % int(np.argmax(got != want.ravel())))
            if wrong:
                sys.exit("%s: %s" % (what, wrong))
            print("%-100s %6d values agree" % (what[:100], want.size))
    print("numpy's mean of the binary64 flats: at most %d ulp from the exact one" % largest_ulps)
    if largest_ulps > 1:
        sys.exit("numpy's mean more than one ulp from the exact one")


if __name__ == "__main__":
    main()
