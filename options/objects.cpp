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

namespace {

// Turns the AttributeError that merging `mapping` raised into the error of
// `{**mapping}`.
#if DROVIK_MAPPING_ERROR_LOOKS_FOR_KEYS
void refuse_as_no_mapping(PyObject *mapping) {
    // Whether `mapping` has a `keys` at all decides, looked up once more as
    // the interpreter does: only the AttributeError of a missing one is
    // "not a mapping".
    Ref error = Ref::steal(PyErr_GetRaisedException());
    int has_keys = PyObject_HasAttrWithError(mapping, attr.keys);
    if (has_keys == 0) {
        PyErr_Format(PyExc_TypeError, "'%T' object is not a mapping", mapping);
    } else if (has_keys > 0) {
        PyErr_SetRaisedException(error.release());
    } else {
        // The second lookup failed: its error, in the context of the first.
        Ref lookup_error = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(lookup_error.get(), error.release());
        PyErr_SetRaisedException(lookup_error.release());
    }
}
#else
void refuse_as_no_mapping(PyObject *mapping) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping", Py_TYPE(mapping)->tp_name);
}
#endif

} // namespace

int merge_mapping(PyObject *target, PyObject *mapping) {
    if (PyDict_Update(target, mapping) == 0) {
        return 0;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        refuse_as_no_mapping(mapping);
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
