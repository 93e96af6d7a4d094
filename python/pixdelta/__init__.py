"""Camera and detector frames in the .img format, with numpy.

    image = pixdelta.read("frame.img")      # .header, .comment, .values
    pixdelta.write("out.img", image.values - 100.0, image.header, image.comment)

With astropy installed, CCDData reads and writes .img files too
(pixdelta.ccddata says how):

    ccd = CCDData.read("frame.img", unit="adu")
    ccd.write("calibrated.img")

numpy is imported when read, write or Image is first used, and astropy is
never imported here: the registration waits until astropy.nddata is
imported, before or after this package. The header layout alone
(pixdelta.layout) needs neither.
"""
import importlib
import sys
import warnings

from .layout import (BINARY64, DTYPES, HEADER_SIZE, MAGIC, MAX_SIZE, UINT16,  # noqa: F401
                     UNINTERPRETED_SIZE, Fields, fields, header, value_size)

__version__ = "1.2.0"

_FROM_FILES = ("read", "write", "to_bytes", "Image", "ImgError")
__all__ = ["read", "write", "to_bytes", "Image", "ImgError", "header", "fields", "Fields",
           "value_size", "HEADER_SIZE", "MAGIC", "UINT16", "BINARY64", "DTYPES", "MAX_SIZE",
           "UNINTERPRETED_SIZE"]


def __getattr__(name):
    if name in _FROM_FILES:
        files = importlib.import_module(".files", __name__)
        return getattr(files, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def __dir__():
    return sorted(set(globals()) | set(__all__))


def _register_with_astropy():
    try:
        importlib.import_module(".ccddata", __name__).register()
    except Exception as e:  # astropy's own import must not fail for it
        warnings.warn("pixdelta: .img is not registered with astropy: %s" % e)


class _AfterImport:
    """The loader of a module imported after this package: it loads the
    module with the module's own loader, which it then hands back, and
    registers .img with astropy."""

    def __init__(self, loader):
        self.loader = loader

    def create_module(self, spec):
        return self.loader.create_module(spec)

    def exec_module(self, module):
        module.__loader__ = module.__spec__.loader = self.loader
        self.loader.exec_module(module)
        _register_with_astropy()


class _WaitForAstropy:
    """Finds astropy.nddata with the finders after it, once."""

    def find_spec(self, name, path, target=None):
        if name != "astropy.nddata":
            return None
        sys.meta_path[:] = [f for f in sys.meta_path if not isinstance(f, _WaitForAstropy)]
        for finder in sys.meta_path:
            spec = getattr(finder, "find_spec", lambda *a: None)(name, path, target)
            if spec is not None:
                if spec.loader is not None:
                    spec.loader = _AfterImport(spec.loader)
                return spec
        return None


if "astropy.nddata" in sys.modules:
    _register_with_astropy()
elif not any(isinstance(f, _WaitForAstropy) for f in sys.meta_path):
    sys.meta_path.insert(0, _WaitForAstropy())
