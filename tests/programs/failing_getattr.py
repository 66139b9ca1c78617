# Child program of tests/test_process_edges.py: a companion module whose attribute access fails.

import sys
import types

import drovik

stub = types.ModuleType("drovik.utils")


def __getattr__(name):
    raise RuntimeError("lookup of " + name + " failed")


stub.__getattr__ = __getattr__
sys.modules["drovik.utils"] = stub
try:
    import drovik.options  # noqa: F401 (the import is what is tested)
except RuntimeError as exc:
    print(exc)
print("drovik.options" in sys.modules)
