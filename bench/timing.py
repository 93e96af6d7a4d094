"""How the benchmarks time a command, shared by bench/run, bench/combine.py
and bench/calibrate.py.

A run is started with posix_spawn (a vfork and an exec: no copy of this
Python process's page tables, which can take milliseconds) and timed from
just before the spawn to the end of its wait4, so that the figure is that
of the command as a user runs it. A command is one of:

  - an argv list, run as it is (found on PATH), its standard output on
    /dev/null;
  - steps, a list of (argv, OUT) pairs: programs run one after another,
    each with its standard output on the file OUT (made anew), the way a
    shell runs `cat a > OUT; cat b > /dev/null` but without the shell's own
    start; the first that fails ends them;
  - a string, run by /bin/sh -c as a shell line, its output on /dev/null.

The commands of a comparison take turns: one round to warm the page cache,
then `reps` rounds, each command once a round, so that whatever else the
machine does falls on all of them alike; the figure is the median.

Peak memory is measured apart, by GNU time: the wait4 of a child of this
Python process reports the larger of its own peak and this process's, which
the child's exec inherits.
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

CREATE = os.O_WRONLY | os.O_CREAT | os.O_TRUNC


def steps_of(command):
    """The (argv, OUT) steps that run `command`."""
    if isinstance(command, str):
        return [(["/bin/sh", "-c", command], os.devnull)]
    if isinstance(command[0], tuple):
        return command
    return [(command, os.devnull)]


def shown(command):
    """A command in a message or a listing: a script given with -c as
    '<script>'."""
    if isinstance(command, str):
        return command
    return "; ".join(" ".join(a if "\n" not in a else "'<script>'" for a in argv) +
                     ("" if out == os.devnull and len(steps_of(command)) == 1 else " > " + out)
                     for argv, out in steps_of(command))


def run_timed(command):
    """Wall time of one run of `command`; a run that fails ends the benchmark."""
    steps = steps_of(command)
    start = time.perf_counter()
    for argv, out in steps:
        pid = os.posix_spawnp(argv[0], argv, os.environ,
                              file_actions=[(os.POSIX_SPAWN_OPEN, 1, out, CREATE, 0o666)])
        _, status, _ = os.wait4(pid, 0)
        if status != 0:
            break
    elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit("failed: %s" % shown(command)[:300])
    return elapsed


def unlinker(*paths):
    """A `clean` that removes the outputs, so that an earlier run's
    write-back and the freeing of its blocks do not fall in the next run."""
    def clean():
        for path in paths:
            if os.path.lexists(path):
                os.unlink(path)
    return clean


def time_commands(commands, reps, clean=lambda: None, most_rounds=None):
    """Median wall time of each (label, command) over `reps` rounds after one
    warm-up round, the commands taking turns within a round and `clean`
    running before each run. `most_rounds` maps a label to the rounds it
    takes part in at most, warm-up included, for a command that takes
    seconds (ccdproc)."""
    most_rounds = most_rounds or {}
    times = {label: [] for label, _ in commands}
    for round_ in range(reps + 1):
        for label, command in commands:
            if round_ >= most_rounds.get(label, reps + 1):
                continue
            clean()
            elapsed = run_timed(command)
            if round_ > 0:
                times[label].append(elapsed)
    return {label: statistics.median(t) for label, t in times.items()}


def peak_kib(argv, clean=lambda: None):
    """Peak resident set of one run of `argv` in KiB, as GNU time reports it;
    None without /usr/bin/time."""
    if not os.access("/usr/bin/time", os.X_OK):
        return None
    clean()
    report = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True).stderr
    return int(report.strip().splitlines()[-1])


def peak_mib(argv, clean=lambda: None):
    kib = peak_kib(argv, clean)
    return float("nan") if kib is None else kib / 1024


def python_with(*modules):
    """A python3 that has the modules (/usr/bin/python3 first, then the one
    on PATH), or None."""
    for python in ("/usr/bin/python3", shutil.which("python3") or ""):
        if python and subprocess.run([python, "-c", "import " + ", ".join(modules)],
                                     capture_output=True).returncode == 0:
            return python
    return None

