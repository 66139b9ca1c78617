# Child program of tests/test_process_edges.py: a function object cleared by the collector.

import ctypes

import drovik.options as m


class TypeHead(ctypes.Structure):
    # The leading fields of PyTypeObject, up to tp_clear.
    _fields_ = [
        (name, ctypes.c_void_p)
        for name in (
            "ob_refcnt",
            "ob_type",
            "ob_size",
            "tp_name",
            "tp_basicsize",
            "tp_itemsize",
            "tp_dealloc",
            "tp_vectorcall_offset",
            "tp_getattr",
            "tp_setattr",
            "tp_as_async",
            "tp_repr",
            "tp_as_number",
            "tp_as_sequence",
            "tp_as_mapping",
            "tp_hash",
            "tp_call",
            "tp_str",
            "tp_getattro",
            "tp_setattro",
            "tp_as_buffer",
            "tp_flags",
            "tp_doc",
            "tp_traverse",
            "tp_clear",
        )
    ]


fn = m.skorv_get_option
clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(TypeHead.from_address(id(type(fn))).tp_clear)
assert clear(fn) == 0
print(fn.__doc__, fn.__kwdefaults__, repr(fn).startswith("<function skorv_get_option"))
try:
    fn.__name__  # noqa: B018 (the lookup is what is tested)
except AttributeError:
    print("no name")
print(fn("keep"))
