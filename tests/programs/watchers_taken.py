# Child program of tests/test_process_edges.py: the import with every dict-watcher slot taken.

import _testcapi

taken = 0
while True:
    try:
        _testcapi.add_dict_watcher(0)
    except RuntimeError:
        break
    taken += 1

import drovik.options as m  # noqa: E402 (imported only at this point on purpose)

# Without a watcher the module cannot remember lookups; it must still see
# every rebinding at once.
for path in ("/first", "/second"):
    m.skorv_call_builtin = lambda: path  # noqa: B023 (called in the same round)
    assert m.skorv_get_option("skorv.call") == path
m.skorv_set_option("keep", True)
del m.skorv_call_builtin
try:
    m.skorv_get_option("keep")
except NameError:
    print("ok")
