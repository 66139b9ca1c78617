# Child program of tests/test_module.py: a failed set-up leaves nothing, a later import starts afresh.

import importlib
import sys
import types

import drovik

partial = []
stub = types.ModuleType("drovik.utils")


def __getattr__(name):
    # Remember the half-built module that is asking for the helper.
    partial.append(sys.modules.get("drovik.options"))
    raise AttributeError(name)


stub.__getattr__ = __getattr__
# A companion module that cannot be imported stops the set-up as well.
sys.modules["drovik.skorv_call"] = None
try:
    import drovik.options
except ModuleNotFoundError as exc:
    assert exc.name == "drovik.skorv_call", exc
else:
    raise AssertionError("import succeeded without drovik.skorv_call")
assert "drovik.options" not in sys.modules
del sys.modules["drovik.skorv_call"]

sys.modules["drovik.utils"] = stub
for attempt in range(2):  # noqa: B007 (two attempts)
    try:
        import drovik.options  # noqa: F401 (the import is what is tested)
    except ImportError as exc:
        assert str(exc) == "cannot import name skorv_anyMultibyteUTF8Characters", repr(str(exc))
    else:
        raise AssertionError("import succeeded without the helper")
    assert "drovik.options" not in sys.modules
partial = [p for p in partial if p is not None]
assert partial, "the stub was never asked for the helper"


def helper(text):
    return False


stub.skorv_anyMultibyteUTF8Characters = helper
m = importlib.import_module("drovik.options")
assert all(m is not p for p in partial)
assert m._SKORV_OPTIONS == {}
assert m._any_mb is helper
m.skorv_set_option("keep", True)
assert m.skorv_get_option("keep") is True
print("done")
