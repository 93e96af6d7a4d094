#!/usr/bin/env python3
"""The Python package installed as the README says: by pip into a virtual
environment that sees the system's numpy, offline, with no pip
configuration; and by cmake --install into the site folder CMake found.
Each installed copy is the one imported outside the source tree, and reads
a sample.

Usage: python_install.py CMAKE BUILD_DIR SOURCE_DIR SITE
(SITE: PIXDELTA_PYTHON_SITE, empty where CMake found no python3 with
numpy). Skipped without numpy, venv, or setuptools and wheel.
"""
import os
import shutil
import subprocess
import sys
import tempfile

from python_support import check, finish, skip

CMAKE, BUILD, SOURCE, SITE = sys.argv[1:5]
SOURCE = os.path.abspath(SOURCE)
NEEDED = {"numpy": "python3-numpy", "ensurepip": "python3-venv",
          "setuptools": "python3-setuptools", "wheel": "python3-wheel"}
missing = [p for m, p in NEEDED.items()
           if subprocess.run([sys.executable, "-c", "import " + m], capture_output=True).returncode]
if missing:
    skip("%s lacks modules (apt-get install %s)" % (sys.executable, " ".join(missing)))
SAMPLE = os.path.join(SOURCE, "examples", "frame16.img")
# Where the package was imported from, and what it read.
PROBE = ("import pixdelta; i = pixdelta.read(%r); "
         "print(pixdelta.__file__); print(i.values.shape, i.comment)" % SAMPLE)
READ = "(8, 16) b'sample frame, exposure 2.5 s'"


def run(argv, **kw):
    r = subprocess.run(argv, capture_output=True, text=True, **kw)
    return r.returncode, r.stdout, r.stderr


def imported_from(python, folder, env, what):
    """The package imported by `python` in `folder` comes from there, and
    reads the sample."""
    status, out, err = run([python, "-c", PROBE], cwd="/", env=env)
    lines = out.splitlines()
    check(status == 0 and len(lines) == 2 and lines[0].startswith(folder + os.sep) and
          lines[1] == READ, "%s: %r %s" % (what, out, err[-1500:]))


def with_pip(work):
    # Neither the machine's pip configuration nor its environment: pip as
    # it comes, with no index.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_")}
    env.update(PIP_CONFIG_FILE=os.devnull, PYTHONNOUSERSITE="1")
    # A copy: pip builds in the folder it is given.
    source = os.path.join(work, "python")
    shutil.copytree(os.path.join(SOURCE, "python"), source,
                    ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    venv = os.path.join(work, "venv")
    status, _, err = run([sys.executable, "-m", "venv", "--system-site-packages", venv], env=env)
    check(status == 0, "python3 -m venv: %s" % err)
    status, out, err = run([os.path.join(venv, "bin", "pip"), "install", "--no-build-isolation",
                            "--no-index", source], env=env, cwd=work)
    check(status == 0, "pip install: %s %s" % (out[-1500:], err[-1500:]))
    imported_from(os.path.join(venv, "bin", "python3"), venv, env, "pip's copy")


def with_cmake(work):
    if not SITE or os.path.isabs(SITE):  # an absolute one is outside any test prefix
        print("PIXDELTA_PYTHON_SITE is %r: cmake --install is not tried" % SITE)
        return
    prefix = os.path.join(work, "prefix")
    status, _, err = run([CMAKE, "--install", BUILD, "--prefix", prefix])
    check(status == 0, "cmake --install: %s" % err)
    site = os.path.join(prefix, SITE)
    installed = sorted(os.listdir(os.path.join(site, "pixdelta")))
    check(installed == sorted(f for f in os.listdir(os.path.join(SOURCE, "python", "pixdelta"))
                              if f.endswith(".py")), "cmake --install put %s" % installed)
    imported_from(sys.executable, site, dict(os.environ, PYTHONPATH=site), "cmake's copy")


def main():
    with tempfile.TemporaryDirectory(prefix="pixdelta-install-") as work:
        with_pip(work)
        with_cmake(work)
    finish("the package installs and imports, by pip and by cmake --install")


if __name__ == "__main__":
    main()
