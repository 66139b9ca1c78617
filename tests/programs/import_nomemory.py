# Child program of tests/test_process_edges.py: memory running out during the import.
# Arguments: alone|from-on, the first allocation to fail, cold|type-made.

import _imp
import _testcapi
import gc
import importlib.util
import json
import sys

# Loaded first, so that the sweep covers the module's own set-up.
import drovik
import drovik.skorv_call  # noqa: F401 (loaded for its set-up cost only)
import drovik.utils  # noqa: F401 (the same)

found = importlib.util.find_spec("drovik.options")
mode, first, type_made = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "type-made"
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(f"{u.exc_type.__name__}: {u.err_msg}")
if type_made:
    # A set-up that fails on a missing companion has made the module's
    # function type by then, which the process keeps.
    saved, sys.modules["drovik.utils"] = sys.modules["drovik.utils"], None
    try:
        _imp.exec_dynamic(_imp.create_dynamic(found))
    except ImportError:
        pass
    sys.modules["drovik.utils"] = saved


def attempt(start):
    # Only the module's own code runs while allocations fail.
    sys._getframe()
    _testcapi.set_nomemory(start, start + 1 if mode == "alone" else 0)
    try:
        try:
            module = _imp.create_dynamic(found)
            _imp.exec_dynamic(module)
        finally:
            _testcapi.remove_mem_hooks()
    except (MemoryError, ImportError) as exc:
        assert "drovik.options" not in sys.modules, f"failed at {start}, yet registered"
        return type(exc).__name__
    return module


gc.disable()
raised = {}
start = first
while isinstance(outcome := attempt(start), str):
    raised[outcome] = raised.get(outcome, 0) + 1
    start += 1
gc.enable()
import drovik.options as m  # noqa: E402 (imported only at this point on purpose)

assert m is outcome and m._SKORV_OPTIONS == {}
m.skorv_set_option("keep", True)
assert m.skorv_get_option(["keep", "skorv.mode"]) == [True, "compact"]
print(json.dumps({"raised": raised, "unraisable": unraisable}))
