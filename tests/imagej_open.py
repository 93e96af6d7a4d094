"""Open image files in ImageJ 1.x (batch mode, under xvfb-run) and report what it sees.

    from imagej_open import open_in_imagej
    res = open_in_imagej(["a.tif", "b.fits"], timeout=30)
    r = res["a.tif"]
    if r.error: ...                       # text ImageJ printed (exception, message)
    else: r.width, r.height, r.bit_depth, r.slices, r.pixels[(0, 0)]

One ImageJ process opens all files, one after another, from one macro that
prints a marker line per file.  A failed open does not stop the macro: it
checks nImages after open() instead of touching a missing image (which would
raise a macro error, i.e. a modal dialog, i.e. a hang).  If ImageJ still
stalls (no output for `timeout` seconds) or dies, the file being opened gets
an error and a fresh ImageJ process carries on with the files after it.

Coordinates are ImageJ's: (0, 0) is the top-left pixel as ImageJ displays it.
Pixel values are getPixel() values (raw, before any calibration); for 8/16-bit
and RGB images they are ints, for 32-bit images Python floats holding the
exact float32 value (printed with 10 significant digits, enough to round-trip
any float32; ImageJ's own d2s() prints Float.MAX_VALUE as "3.4e38", which is
mapped back).  If the image carries a calibration function (e.g. a signed
16-bit TIFF, which ImageJ shifts by 32768), `calibrated` maps the same points
to calibrate(raw).  (16-bit FITS with BZERO 32768 gets no calibration: ImageJ
stores the unsigned values directly.)

A failed open shows up as `error`: ImageJ's exception trace (e.g.
"java.lang.NegativeArraySizeException: -257" ...) or its message, e.g.
"Unsupported format or file not found:" for 64-bit float TIFFs and BigTIFF.
Needs: Debian packages imagej (ij.jar 1.53t), xvfb; Linux (/proc).
"""

from __future__ import annotations

import dataclasses
import math
import os
import queue
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

IJ_JAR = "/usr/share/java/ij.jar"
FLOAT_MAX = 3.4028234663852886e38

Point = Tuple[int, int]
PointSpec = Union[None, str, Sequence[Point]]


@dataclasses.dataclass
class ImageJResult:
    path: str
    error: Optional[str] = None          # None when ImageJ opened the file
    width: int = 0
    height: int = 0
    bit_depth: int = 0                   # 8, 16, 24 (RGB) or 32
    slices: int = 0
    pixels: Dict[Point, Union[int, float]] = dataclasses.field(default_factory=dict)
    calibrated: Dict[Point, float] = dataclasses.field(default_factory=dict)
    log: str = ""                        # everything ImageJ printed while opening

    @property
    def ok(self) -> bool:
        return self.error is None


# The list file has one line per file: "<index>\t<points>\t<link name>".
# <points> is "auto:N" (all pixels if width*height <= N, else the four corners
# and the centre) or "x,y;x,y;..." where negative x/y count from the right/bottom.
_MACRO = r"""
lines = split(File.openAsString(getArgument()), "\n");
for (i = 0; i < lines.length; i++) {
  line = lines[i];
  if (lengthOf(line) == 0) continue;
  t1 = indexOf(line, "\t");
  t2 = indexOf(line, "\t", t1 + 1);
  idx = substring(line, 0, t1);
  spec = substring(line, t1 + 1, t2);
  path = substring(line, t2 + 1);
  print("@@BEGIN " + idx);
  n0 = nImages;
  open(path);
  if (nImages <= n0) {
    print("@@FAIL " + idx);
  } else {
    w = getWidth(); h = getHeight(); bd = bitDepth();
    print("@@IMG " + idx + " " + w + " " + h + " " + bd + " " + nSlices);
    if (startsWith(spec, "auto:")) {
      if (w * h <= parseInt(substring(spec, 5))) {
        spec = "";
        for (y = 0; y < h; y++) for (x = 0; x < w; x++) spec = spec + x + "," + y + ";";
      } else {
        spec = "0,0;-1,0;0,-1;-1,-1;" + floor(w / 2) + "," + floor(h / 2);
      }
    }
    pts = split(spec, ";");
    out = "";
    for (k = 0; k < pts.length; k++) {
      xy = split(pts[k], ",");
      if (xy.length != 2) continue;
      x = parseInt(xy[0]); y = parseInt(xy[1]);
      if (x < 0) x = w + x;
      if (y < 0) y = h + y;
      v = getPixel(x, y);
      if (bd == 32) s = d2s(v, -9); else s = d2s(v, 0);
      c = calibrate(v);
      if (bd != 32 && c != v) s = s + "/" + d2s(c, -9);
      out = out + " " + x + "," + y + "=" + s;
      if (lengthOf(out) > 2000) { print("@@PX " + idx + out); out = ""; }
    }
    if (lengthOf(out) > 0) print("@@PX " + idx + out);
    while (nImages > 0) close();
  }
  print("@@END " + idx);
}
print("@@DONE");
"""


def _parse_number(s: str, integer: bool, float32: bool = True):
    if integer:
        return int(s)
    if s == "3.4e38":            # ImageJ's d2s() special case for Float.MAX_VALUE
        return FLOAT_MAX
    if s == "-3.4e38":
        return -FLOAT_MAX
    if s == "NaN":
        return math.nan
    if s.endswith("Infinity"):
        return -math.inf if s.startswith("-") else math.inf
    # 10 significant digits name one float32: round to it, so that values
    # compare equal to numpy.float32 / struct "f" values.
    v = float(s)
    if not float32:
        return v
    try:
        return struct.unpack("<f", struct.pack("<f", v))[0]
    except OverflowError:
        return v


def _point_spec(spec: PointSpec, all_pixels_max: int) -> str:
    if spec is None or spec == "auto":
        return "auto:%d" % all_pixels_max
    if isinstance(spec, str):
        return spec
    return ";".join("%d,%d" % (int(x), int(y)) for x, y in spec)


def _safe_ext(path: str) -> str:
    # ImageJ picks readers partly by extension: keep it, but only if it is tame.
    ext = os.path.splitext(path)[1]
    return ext if ext[1:].isalnum() and len(ext) <= 10 else ""


class _Run:
    """One ImageJ process working through a slice of the file list."""

    def __init__(self, workdir: str, macro: str, listfile: str, java_args: Sequence[str]):
        self.pidfile = os.path.join(workdir, "java.pid")
        if os.path.exists(self.pidfile):
            os.unlink(self.pidfile)
        env = dict(os.environ)
        env["TMPDIR"] = workdir          # xvfb-run's auth dir lands here; removed with workdir
        env.pop("DISPLAY", None)
        cmd = ["xvfb-run", "-a", "sh", "-c", 'echo "$$" > "$0"; exec "$@"', self.pidfile,
               "java", *java_args, "-jar", IJ_JAR, "-batch", macro, listfile]
        # A process group of its own (in our session, so that the watchdog can
        # join it), to be ended as a whole.
        kw = dict(cwd=workdir, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                  stderr=subprocess.STDOUT)
        try:
            self.proc = subprocess.Popen(cmd, process_group=0, **kw)
        except TypeError:  # Python < 3.11
            self.proc = subprocess.Popen(cmd, preexec_fn=os.setpgrp, **kw)
        self.pgid = self.proc.pid
        # If this Python process dies without cleaning up (SIGKILL, SIGTERM),
        # the pipe below closes and the watchdog ends the whole group and
        # removes the work directory.  It sits in the group; `read` is a
        # builtin, so killing the watchdog on a normal stop leaves no child.
        watch = ('trap "" TERM; read x; kill -TERM 0; sleep 2; rm -rf "$1"; kill -KILL 0')
        kw = dict(stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.watchdog = subprocess.Popen(["sh", "-c", watch, "sh", workdir],
                                             process_group=self.pgid, **kw)
        except TypeError:  # Python < 3.11
            pgid = self.pgid
            self.watchdog = subprocess.Popen(["sh", "-c", watch, "sh", workdir],
                                             preexec_fn=lambda: os.setpgid(0, pgid), **kw)
        self.lines: "queue.Queue[Optional[str]]" = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        assert self.proc.stdout is not None
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("utf-8", "replace").rstrip("\r\n"))
        self.lines.put(None)

    def _group_alive(self) -> bool:
        """Whether any process of our group still runs.  Zombies do not count:
        Xvfb, orphaned when xvfb-run exits, may stay a zombie for a while if
        PID 1 is slow to reap it, and killpg(pgid, 0) would still see it."""
        try:
            os.killpg(self.pgid, 0)
        except (ProcessLookupError, PermissionError):
            return False
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    stat = f.read()
            except OSError:
                continue
            fields = stat[stat.rindex(")") + 2:].split()
            if int(fields[2]) == self.pgid and fields[0] not in ("Z", "X"):
                return True
        return False

    def stop(self, finished: bool, grace: float = 5.0):
        """Let a finished ImageJ exit by itself; otherwise end java first, so that
        xvfb-run's own clean-up stops Xvfb and removes its files.  Then make
        sure nothing of the process group is left."""
        self.watchdog.kill()
        self.watchdog.wait()
        if self.watchdog.stdin:
            self.watchdog.stdin.close()
        if finished:
            try:
                self.proc.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                pass
        if self.proc.poll() is None:
            try:
                with open(self.pidfile) as f:
                    os.kill(int(f.read().strip()), signal.SIGKILL)
            except (OSError, ValueError):
                pass
        deadline = time.monotonic() + grace
        while time.monotonic() < deadline:
            if self.proc.poll() is not None and not self._group_alive():
                break
            time.sleep(0.02)
        for sig in (signal.SIGTERM, signal.SIGKILL):
            if not self._group_alive():
                break
            try:
                os.killpg(self.pgid, sig)
            except ProcessLookupError:
                break
            t = time.monotonic() + 2
            while time.monotonic() < t and self._group_alive():
                time.sleep(0.02)
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
        self.reader.join(timeout=5)
        if self.proc.stdout:
            self.proc.stdout.close()


def open_in_imagej(paths: Iterable[str], timeout: float = 30.0,
                   points: Union[PointSpec, Mapping[str, PointSpec]] = None,
                   all_pixels_max: int = 64, java_args: Sequence[str] = (),
                   max_restarts: Optional[int] = None) -> Dict[str, ImageJResult]:
    """Open each file in ImageJ; return {path: ImageJResult}.

    timeout: seconds without any output from ImageJ before the file being
      opened is declared hung (startup takes about 0.5-1 s; opening is fast).
    points: None/"auto" (all pixels of images with at most all_pixels_max
      pixels, else the 4 corners and the centre), a list of (x, y) for every
      file (negative values count from the right/bottom), or a dict
      path -> such a spec.
    """
    paths = list(dict.fromkeys(os.fspath(p) for p in paths))
    results: Dict[str, ImageJResult] = {}
    if not paths:
        return results
    if shutil.which("xvfb-run") is None or shutil.which("java") is None:
        raise RuntimeError("open_in_imagej needs xvfb-run (xvfb) and java (imagej)")
    if not os.path.exists(IJ_JAR):
        raise RuntimeError(IJ_JAR + " is missing (Debian package imagej)")

    workdir = tempfile.mkdtemp(prefix="imagej-open-")
    try:
        macro = os.path.join(workdir, "open.ijm")
        with open(macro, "w") as f:
            f.write(_MACRO)
        entries: List[Tuple[str, str, str]] = []   # (path, link, spec)
        for i, p in enumerate(paths):
            # A link with a plain name spares the macro any quoting, encoding
            # or newline trouble in the real path.
            link = os.path.join(workdir, "f%05d%s" % (i, _safe_ext(p)))
            os.symlink(os.path.abspath(p), link)
            spec = points.get(p) if isinstance(points, Mapping) else points
            entries.append((p, link, _point_spec(spec, all_pixels_max)))

        todo = list(range(len(entries)))
        restarts = 0
        limit = len(entries) if max_restarts is None else max_restarts
        while todo:
            listfile = os.path.join(workdir, "list%d.txt" % restarts)
            with open(listfile, "w") as f:
                for i in todo:
                    f.write("%d\t%s\t%s\n" % (i, entries[i][2], entries[i][1]))
            done = _run_batch(workdir, macro, listfile, todo, entries, results, timeout,
                              java_args)
            todo = [i for i in todo if entries[i][0] not in results]
            if todo and (not done or restarts >= limit):
                for i in todo:
                    results[entries[i][0]] = ImageJResult(
                        entries[i][0], error="not opened: ImageJ did not get to this file")
                break
            restarts += 1
        return results
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def _run_batch(workdir, macro, listfile, todo, entries, results, timeout, java_args) -> bool:
    """Run one ImageJ process; fill `results`; return whether any file got a result."""
    run = _Run(workdir, macro, listfile, java_args)
    current: Optional[int] = None
    log: List[str] = []
    pre: List[str] = []          # output before the first marker (startup trouble)
    res: Optional[ImageJResult] = None
    progressed = False
    finished = False
    try:
        while True:
            try:
                line = run.lines.get(timeout=timeout)
            except queue.Empty:
                why = "ImageJ hung: no output for %gs" % timeout
                break
            if line is None:
                why = "ImageJ exited (status %s) before finishing" % run.proc.wait()
                break
            if line.startswith("@@BEGIN "):
                current = int(line.split()[1])
                log, res = [], ImageJResult(entries[current][0])
            elif line.startswith("@@FAIL ") and res is not None:
                res.error = "\n".join(log).strip() or "ImageJ opened no image"
            elif line.startswith("@@IMG ") and res is not None:
                _, _, w, h, bd, ns = line.split()
                res.width, res.height, res.bit_depth, res.slices = int(w), int(h), int(bd), int(ns)
            elif line.startswith("@@PX ") and res is not None:
                for item in line.split()[2:]:
                    xy, val = item.split("=")
                    x, y = (int(t) for t in xy.split(","))
                    raw, _, cal = val.partition("/")
                    res.pixels[(x, y)] = _parse_number(raw, res.bit_depth != 32)
                    if cal:
                        res.calibrated[(x, y)] = _parse_number(cal, False, float32=False)
            elif line.startswith("@@END ") and res is not None:
                res.log = "\n".join(log)
                results[res.path] = res
                progressed = True
                current, res = None, None
            elif line == "@@DONE":
                finished = True
                break
            elif current is not None:
                link, real = entries[current][1], entries[current][0]
                log.append(line.replace(link, real))
            else:
                pre.append(line)
        if not finished:
            if current is not None and res is not None:
                res.error = (why + "\n" + "\n".join(log)).strip()
                res.log = "\n".join(log)
                results[res.path] = res
                progressed = True
            elif not progressed:
                for i in todo:
                    results[entries[i][0]] = ImageJResult(
                        entries[i][0], error=(why + "\n" + "\n".join(pre)).strip())
        return progressed
    finally:
        run.stop(finished)
