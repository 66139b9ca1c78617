# Child program of tests/test_process_edges.py: no instance of the function type that the module did not fill.

import copy
import pickle

import drovik.options as m

T = type(m.skorv_get_option)
try:
    T.__new__ = lambda cls: object.__new__(cls)  # the type is mutable on 3.9
    T()
except TypeError as exc:
    print(exc)
assert copy.copy(m.skorv_get_option) is pickle.loads(pickle.dumps(m.skorv_get_option)) is m.skorv_get_option
