"""Finds velora-native's six modules behind a framework's regular packages.

The modules install into site-packages as ``velora/<package path>/<module>.<ext>``
with no ``__init__.py`` above them, so they merge with a framework whose
``velora`` packages are namespace packages too.  A framework whose packages are
regular (``velora/__init__.py``, ``velora/tavlo/utils/__init__.py``...) in
another folder of ``sys.path`` hides them: Python looks for
``velora.tavlo.utils.live_feed`` in that package's folder alone.

This finder comes last on ``sys.meta_path`` (``velora_native.pth`` in
site-packages adds it at start-up), so it is asked only after the normal search
has failed, and only answers for the six modules and the packages above them:
a module from the library installed beside this file, a missing package as a
namespace package over the folder installed here.  When the framework's
packages are namespace packages the normal search finds everything and this
finder is never asked.
"""
import importlib.machinery
import os
import sys

MODULES = (
    "velora.data.interface.event_codes",
    "velora.tavlo.sdk.credentials",
    "velora.tavlo.sdk.console",
    "velora.tavlo.datac.services.future",
    "velora.tavlo.mod.mod_quant_data.quote_cache",
    "velora.tavlo.utils.live_feed",
)
PACKAGES = frozenset(m.rsplit(".", i)[0] for m in MODULES for i in range(1, m.count(".") + 1))
ROOT = os.path.dirname(os.path.abspath(__file__))


class VeloraNativeFinder:
    """A meta path finder for the six modules and their packages, rooted at ROOT."""

    @classmethod
    def find_spec(cls, fullname, path=None, target=None):
        parts = fullname.split(".")
        if fullname in MODULES:
            return importlib.machinery.PathFinder.find_spec(fullname, [os.path.join(ROOT, *parts[:-1])])
        if fullname in PACKAGES:
            folder = os.path.join(ROOT, *parts)
            if os.path.isdir(folder):
                package = importlib.machinery.ModuleSpec(fullname, None, is_package=True)
                package.submodule_search_locations = [folder]
                return package
        return None

    @classmethod
    def invalidate_caches(cls):
        pass


def install():
    """Append the finder to sys.meta_path, once."""
    if not any(getattr(f, "__name__", None) == VeloraNativeFinder.__name__ for f in sys.meta_path):
        sys.meta_path.append(VeloraNativeFinder)
