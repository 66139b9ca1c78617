// Comparisons, merges and formatting of any object, each as Python does it.

#include "objects.hpp"

#include "state.hpp"

namespace drovik {

int rich_compare(PyObject *a, PyObject *b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!result) {
        return -1;
    }
    if (result.get() == Py_True || result.get() == Py_False) {
        return result.get() == Py_True;
    }
    return PyObject_IsTrue(result.get());
}

int merge_mapping(PyObject *target, PyObject *mapping) {
    if (PyDict_Update(target, mapping) == 0) {
        return 0;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping",
                     Py_TYPE(mapping)->tp_name);
    }
    return -1;
}

Ref format_plain(PyObject *obj) {
    if (PyUnicode_CheckExact(obj)) {
        return Ref::borrow(obj);
    }
    return Ref::steal(PyObject_Format(obj, words.empty));
}

} // namespace drovik
