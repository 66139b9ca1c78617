# Child program of tests/test_module.py: re-import and reload keep one module and one table.

import importlib
import sys

import drovik.options as m

assert type(m._SKORV_OPTIONS) is dict and m._SKORV_OPTIONS == {}
assert "_any_mb" in vars(m) and "skorv_anyMultibyteUTF8Characters" not in vars(m)
table = m._SKORV_OPTIONS
names = [n for n in vars(m) if not n.startswith("__")]
funcs = {n: getattr(m, n) for n in names}
m.skorv_set_option("keep", True)

del sys.modules["drovik.options"]
again = importlib.import_module("drovik.options")
assert again is m and sys.modules["drovik.options"] is m
assert again._SKORV_OPTIONS is table and table == {"keep": True}, table
assert all(getattr(again, n) is f for n, f in funcs.items())

reloaded = importlib.reload(m)
assert reloaded is m
assert m._SKORV_OPTIONS is table and table == {"keep": True}, table
assert all(getattr(m, n) is f for n, f in funcs.items())
m.skorv_set_option("verbose", True)
assert m.skorv_get_option(["keep", "verbose"]) == [True, True]
print("done")
