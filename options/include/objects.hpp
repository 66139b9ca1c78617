// Small operations on any object, each as Python does it.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <cstring>

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

// An exact str whose characters can be read directly: str's own comparison
// is all there is to it, and it runs no Python code.
inline bool is_plain_text(PyObject *obj) {
    return PyUnicode_CheckExact(obj) && unicode_is_ready(obj);
}

// `a == b` for two plain texts. Strings are stored in the narrowest kind that
// holds their characters, so equal texts have equal kinds.
inline bool same_text(PyObject *a, PyObject *b) {
    if (a == b) {
        return true;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) {
        return false;
    }
    size_t size = static_cast<size_t>(length) * PyUnicode_KIND(a);
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size) == 0;
}

// Python's `a <op> b` followed by a truth test; -1 on error.
int rich_compare(PyObject *a, PyObject *b, int op);

// `value == word` / `value != word`, where `word` is one of the module's own
// strings; -1 on error. A plain-text value is compared in place.
inline int equals_word(PyObject *value, PyObject *word) {
    return is_plain_text(value) ? same_text(value, word) : rich_compare(value, word, Py_EQ);
}

inline int differs_word(PyObject *value, PyObject *word) {
    return is_plain_text(value) ? !same_text(value, word) : rich_compare(value, word, Py_NE);
}

// `**mapping` into `target`, as in `{**a, **b}`: what is no mapping is
// refused with the TypeError that such a display raises.
int merge_mapping(PyObject *target, PyObject *mapping);

// The text of `obj` as an f-string field without a format given renders it.
Ref format_plain(PyObject *obj);

} // namespace drovik
