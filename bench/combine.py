"""pixcombine's benchmark: 16 frames of 2048x2048, uint16 and binary64, mean
and median, against reading the frames (`cat IN... > /dev/null`) and against
numpy doing the same job (read the frames, combine, write OUT).

bench_pixcombine(tool, reps, work_parent) makes the frames in a temporary
folder under work_parent (None: the system's), runs every command once to
warm the page cache and then `reps` times, the commands taking turns within
each round, and prints the median times, the ratios and pixcombine's peak
resident memory. Where numpy is found (`import numpy` with /usr/bin/python3
or the python3 on PATH), its outputs must equal pixcombine's byte for byte.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# The package, from the source tree: here, and in the numpy script's python.
PYTHON_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python")
sys.path.insert(0, PYTHON_DIR)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [PYTHON_DIR, os.environ.get("PYTHONPATH")]))
import pixdelta  # noqa: E402  (its header layout, which needs no numpy)

FRAMES = 16
WIDTH = HEIGHT = 2048

NUMPY = r"""
import sys, numpy as np, pixdelta
method, out, *ins = sys.argv[1:]
images = [pixdelta.read(f) for f in ins]
stack = np.stack([i.values for i in images])
r = np.median(stack, axis=0) if method == 'median' else np.mean(stack, axis=0)
if stack.dtype == np.uint16:
    r = np.rint(r).astype(np.uint16)  # to nearest, ties to even
pixdelta.write(out, r, images[0].header, images[0].comment)
"""


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


def numpy_python():
    for python in ("/usr/bin/python3", shutil.which("python3") or ""):
        if python and subprocess.run([python, "-c", "import numpy"], capture_output=True).returncode == 0:
            return python
    return None


def run_timed(argv, shell, out):
    if os.path.exists(out):  # an older OUT is not freed inside the timed run
        os.unlink(out)
    start = time.perf_counter()
    status = subprocess.run(argv, shell=shell, stdout=subprocess.DEVNULL).returncode
    elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit("failed: %s" % (argv if shell else " ".join(argv[:4]) + " ..."))
    return elapsed


def peak_rss_kib(argv, out):
    if not os.access("/usr/bin/time", os.X_OK):
        return None
    if os.path.exists(out):
        os.unlink(out)
    report = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True).stderr
    return int(report.strip().splitlines()[-1])


def bench_pixcombine(tool, reps, work_parent):
    python = numpy_python()
    work = tempfile.mkdtemp(prefix="pixcombine-bench-", dir=work_parent)
    print("\npixcombine: %s" % tool)
    print("numpy:      %s" % (python or "not installed (apt-get install python3-numpy); skipped"))
    print("%d frames of %dx%d; %d timed rounds after one warm-up, commands in turn, medians"
          % (FRAMES, WIDTH, HEIGHT, reps))
    rows = []
    try:
        for type_name, file_type in (("uint16", 2), ("binary64", 10)):
            frames = [os.path.join(work, "%s-%02d.img" % (type_name, k)) for k in range(FRAMES)]
            for f in frames:
                make_frame(f, file_type)
            out = os.path.join(work, "out.img")
            commands = [("cat", "cat %s > /dev/null" % " ".join(frames), True)]
            for method in ("mean", "median"):
                commands.append(("pixcombine " + method, [tool, "--" + method, "-o", out] + frames, False))
                if python:
                    commands.append(("numpy " + method, [python, "-c", NUMPY, method, out] + frames, False))
            if type_name == "uint16":
                for label, argv, shell in commands:
                    shown = "cat %s ... > /dev/null" % frames[0] if shell else " ".join(argv[:5]) + " ..."
                    print("  $ %s" % shown.replace(NUMPY, "'<numpy script>'").replace(work, "DIR"))
            times = {label: [] for label, _, _ in commands}
            for round_ in range(reps + 1):
                for label, argv, shell in commands:
                    elapsed = run_timed(argv, shell, out)
                    if round_ > 0:
                        times[label].append(elapsed)
            median = {label: statistics.median(t) for label, t in times.items()}
            for method in ("mean", "median"):
                argv = [tool, "--" + method, "-o", out] + frames
                if python:  # the ratios hold only if both compute the same bytes
                    run_timed([python, "-c", NUMPY, method, out] + frames, False, out)
                    os.replace(out, out + ".numpy")
                    run_timed(argv, False, out)
                    with open(out, "rb") as a, open(out + ".numpy", "rb") as b:
                        if a.read() != b.read():
                            sys.exit("pixcombine and numpy disagree: %s %s" % (type_name, method))
                    os.unlink(out + ".numpy")
                rows.append((type_name, method, median["pixcombine " + method], median["cat"],
                             median.get("numpy " + method), peak_rss_kib(argv, out)))
            for f in frames:
                os.unlink(f)
    finally:
        shutil.rmtree(work)

    print("\n%-10s %-7s %11s %9s %9s %6s %7s %9s" % (
        "frames", "method", "pixcombine", "cat", "numpy", "/cat", "/numpy", "peak RSS"))
    for type_name, method, pix, cat, numpy, peak in rows:
        print("%-10s %-7s %9.1fms %7.1fms %9s %6.2f %7s %6.1fMiB" % (
            type_name, method, pix * 1e3, cat * 1e3, "%.1fms" % (numpy * 1e3) if numpy else "-",
            pix / cat, "%.2f" % (pix / numpy) if numpy else "-", peak / 1024 if peak else float("nan")))


if __name__ == "__main__":
    # For trying it alone: bench/combine.py [TOOL [REPS]]
    bench_pixcombine(os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/pixcombine"),
                     int(sys.argv[2]) if len(sys.argv) > 2 else 7, None)
