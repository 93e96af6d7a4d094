"""What the Python package's tests share: the package from the source
tree, checks that count failures, and skips as the other script tests skip
them (status 77, or 1 where PIXDELTA_NO_SKIPS is set)."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
PYTHON_DIR = sys.path[0]
failures = []


def skip(reason):
    print("skipped: " + reason)
    sys.exit(1 if os.environ.get("PIXDELTA_NO_SKIPS") else 77)


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def finish(passed):
    if failures:
        sys.exit("%d failure(s)" % len(failures))
    print(passed)


def get(path):
    with open(path, "rb") as f:
        return f.read()


def put(path, data):
    with open(path, "wb") as f:
        f.write(data)


def bits(a):
    """An array's dtype, shape and bytes: equal for equal bits, -0 and NaN
    payloads included."""
    import numpy
    a = numpy.ascontiguousarray(a)
    return a.dtype.str, a.shape, a.view(numpy.uint8).tobytes()
