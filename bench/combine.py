"""pixcombine's benchmark: 16 frames of 2048x2048, uint16 and binary64, mean,
median and the sigma-clipped mean of ccdproc's master bias (5,5 about the
median by mad_std), against reading the frames (`cat IN... > /dev/null`),
against numpy doing the same job (read the frames, combine, write OUT), and
the clipped mean against ccdproc.combine with the same options.

bench_pixcombine(tool, reps, work_parent) makes the frames in a temporary
folder under work_parent (None: the system's), runs every command once to
warm the page cache and then `reps` times (ccdproc, which takes seconds, at
most 3), the commands taking turns within each round, and prints the median
times, the ratios and pixcombine's peak resident memory. Each run is
timed as bench/timing.py does: started with posix_spawn and timed from just
before it to the end of its wait4, so that no fork of this Python process
lies in the timed span (the numpy and ccdproc commands are Python processes
themselves). Where numpy
and ccdproc are found (with /usr/bin/python3 or the python3 on PATH), their
outputs must equal pixcombine's byte for byte.
"""
import os
import shutil
import sys
import tempfile

# The package, from the source tree: here, and in the scripts' pythons.
PYTHON_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python")
sys.path.insert(0, PYTHON_DIR)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [PYTHON_DIR, os.environ.get("PYTHONPATH")]))
import pixdelta  # noqa: E402  (its header layout, which needs no numpy)
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from timing import peak_kib, python_with, run_timed, time_commands, unlinker  # noqa: E402

FRAMES = 16
WIDTH = HEIGHT = 2048

# The frames read with the pixdelta package; the result written with the
# first's header and comment, uint16 rounded to nearest, ties to even. Each
# script below computes r from its inputs `ins` between these two.
READ = r"""
import sys, warnings, numpy as np, pixdelta
warnings.simplefilter('ignore')
*arguments, out = sys.argv[1:sys.argv.index('--')]
ins = sys.argv[sys.argv.index('--') + 1:]
first = pixdelta.read(ins[0])
t = first.values.dtype
"""
WRITE = r"""
if t == np.uint16:
    r = np.rint(r)
pixdelta.write(out, r.astype(t), first.header, first.comment)
"""

NUMPY = READ + r"""
stack = np.stack([pixdelta.read(f).values for f in ins])
r = np.median(stack, axis=0) if arguments[0] == 'median' else np.mean(stack, axis=0)
""" + WRITE

CCDPROC = READ + r"""
from astropy.nddata import CCDData
from astropy.stats import mad_std
from ccdproc import combine
ccds = [CCDData(pixdelta.read(f).values.astype(np.float64), unit='adu') for f in ins]
r = combine(ccds, method='average', sigma_clip=True, sigma_clip_low_thresh=5, sigma_clip_high_thresh=5,
            sigma_clip_func=np.ma.median, sigma_clip_dev_func=mad_std).data
""" + WRITE

# For each method: its label, pixcombine's options, and the Python script
# that does the same job.
METHODS = [("mean", ["--mean"], "numpy"), ("median", ["--median"], "numpy"),
           ("clipped", ["--mean", "--sigma-clip", "5,5"], "ccdproc")]


def make_frame(path, file_type):
    """Random values; binary64 ones finite, between about 2^-16 and 2^16."""
    n = WIDTH * HEIGHT
    header = pixdelta.header(WIDTH, HEIGHT, file_type)
    if file_type == 2:
        values = os.urandom(2 * n)
    else:
        values = bytearray(os.urandom(8 * n))
        high = bytes([0x3F, 0x40, 0xBF, 0xC0] * 64)  # sign and top exponent bits
        values[7::8] = bytes(values[7::8]).translate(high)
    with open(path, "wb") as f:
        f.write(header)
        f.write(values)


def bench_pixcombine(tool, reps, work_parent):
    pythons = {"numpy": python_with("numpy"), "ccdproc": python_with("numpy", "ccdproc")}
    scripts = {"numpy": NUMPY, "ccdproc": CCDPROC}
    work = tempfile.mkdtemp(prefix="pixcombine-bench-", dir=work_parent)
    print("\npixcombine: %s" % tool)
    print("numpy:      %s" % (pythons["numpy"] or "not installed (apt-get install python3-numpy); skipped"))
    print("ccdproc:    %s" % (pythons["ccdproc"] or "not installed (apt-get install python3-ccdproc); skipped"))
    print("%d frames of %dx%d; %d timed rounds after one warm-up, commands in turn, medians"
          % (FRAMES, WIDTH, HEIGHT, reps))
    rows = []
    try:
        for type_name, file_type in (("uint16", 2), ("binary64", 10)):
            frames = [os.path.join(work, "%s-%02d.img" % (type_name, k)) for k in range(FRAMES)]
            for f in frames:
                make_frame(f, file_type)
            out = os.path.join(work, "out.img")
            commands = [("cat", ["cat"] + frames)]
            def other_argv(other, method, frames):
                extra = [method] if other == "numpy" else []
                return [pythons[other], "-c", scripts[other]] + extra + [out, "--"] + frames
            for method, options, other in METHODS:
                commands.append(("pixcombine " + method, [tool] + options + ["-o", out] + frames))
                if pythons[other]:
                    commands.append((other + " " + method, other_argv(other, method, frames)))
            if type_name == "uint16":
                for label, argv in commands:
                    shown = " ".join(a if "\n" not in a else "'<%s script>'" % label.split()[0] for a in argv[:6])
                    print("  $ %s ..." % shown.replace(work, "DIR"))
            # ccdproc, which takes seconds: a warm-up and 3 timed runs at most
            most = {label: 4 for label, _ in commands if label.startswith("ccdproc")}
            median = time_commands(commands, reps, unlinker(out), most)
            for method, options, other in METHODS:
                argv = [tool] + options + ["-o", out] + frames
                if pythons[other]:  # the ratios hold only if both compute the same bytes
                    unlinker(out)()
                    run_timed(other_argv(other, method, frames))
                    os.replace(out, out + ".other")
                    run_timed(argv)
                    with open(out, "rb") as a, open(out + ".other", "rb") as b:
                        # OUT's comment has pixcombine's record: the values only
                        mine, theirs = a.read(), b.read()
                        n = WIDTH * HEIGHT * (2 if file_type == 2 else 8)
                        if mine[-n:] != theirs[-n:]:
                            sys.exit("pixcombine and %s disagree: %s %s" % (other, type_name, method))
                    os.unlink(out + ".other")
                rows.append((type_name, method, median["pixcombine " + method], median["cat"], other,
                             median.get(other + " " + method), peak_kib(argv, unlinker(out))))
            for f in frames:
                os.unlink(f)
    finally:
        shutil.rmtree(work)

    print("\n%-10s %-8s %11s %9s %6s  %-8s %10s %8s %9s" % (
        "frames", "method", "pixcombine", "cat", "/cat", "other", "its time", "/other", "peak RSS"))
    for type_name, method, pix, cat, other, theirs, peak in rows:
        print("%-10s %-8s %9.1fms %7.1fms %6.2f  %-8s %10s %8s %6.1fMiB" % (
            type_name, method, pix * 1e3, cat * 1e3, pix / cat, other,
            "%.1fms" % (theirs * 1e3) if theirs else "-", "%.4f" % (pix / theirs) if theirs else "-",
            peak / 1024 if peak else float("nan")))


if __name__ == "__main__":
    # For trying it alone: bench/combine.py [TOOL [REPS]]
    bench_pixcombine(os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/pixcombine"),
                     int(sys.argv[2]) if len(sys.argv) > 2 else 7, None)
