# Child program of tests/test_module.py: an isolated sub-interpreter is refused by the import system.

import sys

try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
import drovik.options as m

code = f"import sys\nsys.path[:] = {sys.path!r}\nimport drovik.options"
interp = interpreters.create()  # isolated: its own GIL
try:
    failure = interpreters.run_string(interp, code)
except Exception as exc:  # 3.12 raises where 3.13 returns the failure
    failure = exc
finally:
    interpreters.destroy(interp)
print("does not support loading in subinterpreters" in str(failure))
m.skorv_set_option("keep", True)
print(m.skorv_get_option("keep"))
