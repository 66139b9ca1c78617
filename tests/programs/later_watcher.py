# Child program of tests/test_process_edges.py: a later dict watcher uses the module.
# Arguments: the name to rebind, and whether the old binding dies or is held.

import ctypes
import sys

import drovik.options as m

CALLBACK = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)
armed = True


@CALLBACK
def read_and_set(event, namespace, key, new_value):
    # Another extension's watcher, added after the module's, runs before the
    # change is made and uses the module through its namespace.
    if armed:
        m.skorv_get_option("keep")
        m.skorv_set_option("verbose", True)
    return 0


api = ctypes.pythonapi
api.PyDict_AddWatcher.argtypes = [CALLBACK]
api.PyDict_Watch.argtypes = api.PyDict_Unwatch.argtypes = [ctypes.c_int, ctypes.py_object]
watcher = api.PyDict_AddWatcher(read_and_set)
assert watcher >= 0 and api.PyDict_Watch(watcher, vars(m)) == 0


class Binding:
    def __init__(self, text):
        self.text = text

    def __call__(self, *args):
        if args:
            m._SKORV_OPTIONS[args[0]] = self.text
        return self.text


name, old_binding = sys.argv[1], sys.argv[2]
held = []
setattr(m, name, Binding("old"))
if old_binding == "held":
    held.append(getattr(m, name))
setattr(m, name, Binding("new"))
armed = False
api.PyDict_Unwatch(watcher, vars(m))
if name == "_set_one":
    m.skorv_set_option("keep", True)
    print(m._SKORV_OPTIONS["keep"])
else:
    print(m.skorv_get_option("skorv.call"))
