# Child program of tests/test_process_edges.py: whether plain class creation survives failing allocations.

import _testcapi
import sys

for n in range(60):
    sys._getframe()
    _testcapi.set_nomemory(n, n + 1)
    try:
        try:
            type("Probe", (), {"__slots__": ("x", "y", "z"), "c": 1, "d": 2})
        finally:
            _testcapi.remove_mem_hooks()
    except MemoryError:
        pass
