"""pixcalibrate's benchmark.

One frame of 4096x4096 with a bias, a dark and a flat, against the copy
floor of reading its four inputs and writing its output (`cat` of them: the
output's bytes from a file of its size), for binary64 frames and masters, and
for uint16 ones with a uint16 output.

A night of 100 frames of 2048x2048 (uint16, 30 s) with uint16 masters (as
pixcombine makes them from uint16 frames; the dark of 60 s scaled by 0.5),
into uint16 outputs, against the same floor for every frame and against
ccdproc's chain (subtract_bias, subtract_dark, flat_correct) in one Python
process that reads each frame with numpy and writes it rounded to uint16 as
pixcalibrate does. The outputs' values must agree byte for byte.

bench_pixcalibrate(tool, reps, work_parent) makes the frames in a temporary
folder under work_parent (None: the system's), runs every command once to
warm the page cache and then `reps` times (ccdproc's night at most 3 times),
the commands taking turns within each round, and prints the median times,
the ratios and pixcalibrate's peak resident memory; each run is timed as
bench/timing.py does, from its posix_spawn to the end of its wait4.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from combine import pixdelta  # noqa: E402  (the package from the source tree, for the scripts too)
from timing import peak_mib, python_with, run_timed, shown, time_commands, unlinker  # noqa: E402

CCDPROC = r"""
import os, sys, warnings, numpy as np, astropy.units as u, pixdelta
from astropy.nddata import CCDData
import ccdproc
warnings.simplefilter("ignore")
bias, dark, flat, out, *frames = sys.argv[1:]
def read(path):
    image = pixdelta.read(path)
    return image, CCDData(np.asarray(image.values), unit='adu')
_, b = read(bias)
_, d = read(dark)
_, f = read(flat)
for path in frames:
    image, ccd = read(path)
    ccd = ccdproc.subtract_bias(ccd, b)
    ccd = ccdproc.subtract_dark(ccd, d, data_exposure=30 * u.s, dark_exposure=60 * u.s, scale=True)
    ccd = ccdproc.flat_correct(ccd, f, min_value=1000)
    r = np.rint(ccd.data)
    r = np.where(np.isnan(r), 0, np.clip(r, 0, 65535)).astype('<u2')
    pixdelta.write(os.path.join(out, os.path.basename(path)), r, image.header, image.comment)
"""


FRAMES = r"""
import sys, numpy as np, pixdelta
file_type, x, y, level, spread, seed = (int(a) for a in sys.argv[1:7])
rng = np.random.default_rng(seed)
for path in sys.argv[7:]:
    v = rng.normal(level, spread, (y, x))
    pixdelta.write(path, v.clip(0, 65535).astype("<u2") if file_type == 2 else v)
"""


def write_frames(python, paths, x, y, file_type, level, spread, seed):
    """Noise around a level, made by a python3 with numpy; without one, from
    os.urandom, slowly."""
    if python:
        subprocess.run([python, "-c", FRAMES, str(file_type), str(x), str(y), str(level), str(spread),
                        str(seed)] + paths, check=True)
        return
    n = x * y
    for path in paths:
        noise = os.urandom(n)
        code = "H" if file_type == 2 else "d"
        values = [level + spread * (b - 128) / 64 for b in noise]
        with open(path, "wb") as f:
            f.write(pixdelta.header(x, y, file_type))
            f.write(struct.pack("<%d%s" % (n, code), *(int(v) if code == "H" else v for v in values)))


def bench_pixcalibrate(tool, reps, work_parent):
    numpy_python = python_with("numpy")
    ccdproc_python = python_with("numpy", "astropy", "ccdproc")
    work = tempfile.mkdtemp(prefix="pixcalibrate-bench-", dir=work_parent)
    print("\npixcalibrate: %s" % tool)
    print("ccdproc:      %s" % (ccdproc_python or "not installed (apt-get install python3-ccdproc); skipped"))
    print("%d timed rounds after one warm-up (ccdproc's night: at most 3), commands in turn, medians"
          % reps)
    one, night = [], []
    try:
        size = 4096
        for name, file_type, options in (("binary64", 10, []), ("uint16", 2, ["--type", "uint16"])):
            paths = {}
            for seed, (role, level, spread) in enumerate((("in", 1000, 30), ("bias", 100, 3), ("dark", 10, 3),
                                                          ("flat", 20000, 200))):
                paths[role] = os.path.join(work, "%s.img" % role)
                write_frames(numpy_python, [paths[role]], size, size, file_type, level, spread, seed)
            out = os.path.join(work, "out.img")
            argv = [tool, "--bias", paths["bias"], "--dark", paths["dark"], "--dark-scale", "0.5",
                    "--flat", paths["flat"]] + options + ["-o", out, paths["in"]]
            floor = [(["cat", paths["in"]], out), (["cat", paths["bias"], paths["dark"], paths["flat"]], os.devnull)]
            if file_type == 10:
                print("  $ %s" % " ".join(argv).replace(work, "DIR"))
                print("  $ %s" % shown(floor).replace(work, "DIR"))
            clean = unlinker(out)
            r = time_commands([("pixcalibrate", argv), ("floor", floor)], reps, clean)
            one.append(("%s %dx%d" % (name, size, size), r["pixcalibrate"], r["floor"], peak_mib(argv, clean)))
            for path in paths.values():
                os.unlink(path)

        frames, size = 100, 2048
        lights = os.path.join(work, "lights")
        outdir = os.path.join(work, "calibrated")
        os.makedirs(lights)
        masters = {}
        for seed, (role, level, spread) in enumerate((("bias", 100, 3), ("dark", 20, 3), ("flat", 20000, 200))):
            masters[role] = os.path.join(work, "%s.img" % role)
            write_frames(numpy_python, [masters[role]], size, size, 2, level, spread, seed)
        names = [os.path.join(lights, "light-%03d.img" % k) for k in range(frames)]
        write_frames(numpy_python, names, size, size, 2, 1200, 40, 9)
        argv = [tool, "--bias", masters["bias"], "--dark", masters["dark"], "--dark-scale", "0.5", "--flat",
                masters["flat"], "--flat-min", "1000", "--type", "uint16", "-d", outdir] + names
        floor = [step for n in names for step in (
            (["cat", n], os.path.join(outdir, os.path.basename(n))),
            (["cat", masters["bias"], masters["dark"], masters["flat"]], os.devnull))]

        def clean():
            shutil.rmtree(outdir, ignore_errors=True)
            os.makedirs(outdir)
        print("  $ %s ..." % " ".join(argv[:14]).replace(work, "DIR"))
        print("  $ %s; ... (each frame)" % shown(floor[:2]).replace(work, "DIR"))
        r = time_commands([("pixcalibrate", argv), ("floor", floor)], reps, clean)
        ccdproc = None
        if ccdproc_python:
            ccd_argv = [ccdproc_python, "-c", CCDPROC, masters["bias"], masters["dark"], masters["flat"], outdir] + names
            print("  $ python3 -c '<ccdproc chain>' DIR/bias.img DIR/dark.img DIR/flat.img DIR/calibrated DIR/lights/*.img")
            ccdproc = time_commands([("ccdproc", ccd_argv)], min(reps, 3), clean)["ccdproc"]
            # The ratio holds only if both compute the same values.
            clean()
            run_timed(ccd_argv)
            theirs = {n: open(os.path.join(outdir, os.path.basename(n)), "rb").read()[64:] for n in names[:5]}
            clean()
            run_timed(argv)
            for n in names[:5]:
                mine = open(os.path.join(outdir, os.path.basename(n)), "rb").read()
                length = int.from_bytes(mine[2:4], "little")
                if mine[64 + length:] != theirs[n]:
                    sys.exit("pixcalibrate and ccdproc disagree on %s" % n)
        night.append(("%d x uint16 %dx%d" % (frames, size, size), r["pixcalibrate"], r["floor"], ccdproc,
                      peak_mib(argv, clean)))
    finally:
        shutil.rmtree(work)

    print("\n%-26s %13s %10s %7s %9s" % ("one frame, B D F", "pixcalibrate", "floor", "/floor", "peak RSS"))
    for name, mine, floor, peak in one:
        print("%-26s %11.1fms %8.1fms %7.2f %6.1fMiB" % (name, mine * 1e3, floor * 1e3, mine / floor, peak))
    print("\n%-26s %13s %10s %10s %7s %9s %9s" % ("night, B D F", "pixcalibrate", "floor", "ccdproc", "/floor",
                                                  "ccdproc/", "peak RSS"))
    for name, mine, floor, ccdproc, peak in night:
        print("%-26s %11.1fms %8.1fms %10s %7.2f %9s %6.1fMiB" % (
            name, mine * 1e3, floor * 1e3, "%.1fs" % ccdproc if ccdproc else "-", mine / floor,
            "%.1f" % (ccdproc / mine) if ccdproc else "-", peak))


if __name__ == "__main__":
    # For trying it alone: bench/calibrate.py [TOOL [REPS]]
    bench_pixcalibrate(os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/pixcalibrate"),
                       int(sys.argv[2]) if len(sys.argv) > 2 else 7, None)
