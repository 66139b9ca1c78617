# Child program of tests/test_module.py: a failed set-up under another name leaves nothing behind.

import glob
import importlib.machinery
import importlib.util
import sys

import drovik

path = glob.glob(drovik.__path__[0] + "/options*.so")[0]
loader = importlib.machinery.ExtensionFileLoader("options", path)
found = importlib.util.spec_from_file_location("options", path, loader=loader)
try:
    loader.exec_module(importlib.util.module_from_spec(found))
except ImportError:
    pass
else:
    raise AssertionError("set-up outside the package succeeded")
assert "drovik.options" not in sys.modules
import drovik.options as m  # noqa: E402 (imported only at this point on purpose)

m.skorv_set_option("keep", True)
print(m.skorv_get_option("keep"))
