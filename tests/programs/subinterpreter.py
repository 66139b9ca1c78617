# Child program of tests/test_module.py: the import from a sub-interpreter is refused.
# Argument: the file in which the sub-interpreter leaves its result.

import sys

try:
    from _testcapi import run_in_subinterp
except ImportError:
    print("no sub-interpreters")
    raise SystemExit(0)  # noqa: B904 (the exit is the whole answer)
import drovik.options as m

RESULT = sys.argv[1]

m.skorv_set_option("keep", True)
code = f"""
import sys
sys.path[:] = {sys.path!r}
try:
    import drovik.options
except ImportError as exc:
    result = "ImportError: " + str(exc)
else:
    result = "imported"
with open({RESULT!r}, "w") as fh:
    fh.write(result)
"""
assert run_in_subinterp(code) == 0
with open(RESULT) as fh:
    print(fh.read())
assert sys.modules["drovik.options"] is m
m.skorv_set_option("verbose", True)
assert m.skorv_get_option(["keep", "verbose"]) == [True, True]
