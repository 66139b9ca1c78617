// Small operations on any object, each as Python does it.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace drovik {

// Calls a callable with no arguments / one argument.
inline Ref call0(PyObject *callable) {
    return Ref::steal(PyObject_CallNoArgs(callable));
}

inline Ref call1(PyObject *callable, PyObject *arg) {
    return Ref::steal(PyObject_CallOneArg(callable, arg));
}

// isinstance(obj, str): 1, 0, or -1 on error. Any other object may claim
// str through its __class__ (a class written in Python, a proxy of a str),
// except those of the interpreter's own value types, which are answered
// without asking.
inline int is_str(PyObject *obj) {
    if (PyUnicode_Check(obj)) {
        return 1;
    }
    if (Py_IsNone(obj) || PyBool_Check(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
        PyBytes_CheckExact(obj) || PyTuple_CheckExact(obj) || PyList_CheckExact(obj) ||
        PyDict_CheckExact(obj)) {
        return 0;
    }
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(&PyUnicode_Type));
}

// Equality of a str with one of the module's strings, without running Python code.
inline bool same_text(PyObject *text, PyObject *interned) {
    return text == interned || (PyUnicode_GET_LENGTH(text) == PyUnicode_GET_LENGTH(interned) &&
                                PyUnicode_Compare(text, interned) == 0);
}

// Python's `a == b` / `a != b` followed by a truth test; -1 on error.
int equals(PyObject *a, PyObject *b);
int differs(PyObject *a, PyObject *b);

// `**mapping` into `target`, as in `{**a, **b}`: what is no mapping is
// refused with the TypeError that such a display raises.
int merge_mapping(PyObject *target, PyObject *mapping);

// The text of `obj` as an f-string field without a format given renders it.
Ref format_plain(PyObject *obj);

} // namespace drovik
