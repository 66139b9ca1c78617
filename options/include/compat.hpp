// Every difference between the interpreter versions the module is built for
// (3.9 to 3.15) that the sources have to know about. No other file tests the
// interpreter's version; where a feature has its own macro, that is tested.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// Member descriptors: the structmember.h names are deprecated from 3.12 on.
#ifdef Py_T_OBJECT_EX
#define OBJECT_MEMBER Py_T_OBJECT_EX
#define SSIZE_MEMBER Py_T_PYSSIZET
#define READONLY_MEMBER Py_READONLY
#else
#include <structmember.h>
#define OBJECT_MEMBER T_OBJECT_EX
#define SSIZE_MEMBER T_PYSSIZET
#define READONLY_MEMBER READONLY
#endif

// Following the changes of a dict: every change gives it a new version tag
// up to 3.11; from 3.12 on the tag is deprecated and a dict watcher tells.
#if PY_VERSION_HEX >= 0x030C0000
#define DROVIK_DICT_WATCHERS 1
#else
#define DROVIK_DICT_WATCHERS 0
#endif

// Exceptions carry notes (add_note) from 3.11 on.
#if PY_VERSION_HEX >= 0x030B0000
#define DROVIK_EXCEPTION_NOTES 1
#else
#define DROVIK_EXCEPTION_NOTES 0
#endif

// `{**x}` whose keys() fails with AttributeError: up to 3.14 that is always
// refused as "not a mapping", naming the type by tp_name. From 3.15 on only
// an x that has no `keys` at all is, named in full (module and qualified
// name); otherwise keys()'s own error stands.
#if PY_VERSION_HEX >= 0x030F0000
#define DROVIK_MAPPING_ERROR_LOOKS_FOR_KEYS 1
#else
#define DROVIK_MAPPING_ERROR_LOOKS_FOR_KEYS 0
#endif

// Functions compute their annotations on demand through __annotate__(format)
// from 3.14 on; annotationlib, inspect and pydoc ask it first.
#if PY_VERSION_HEX >= 0x030E0000
#define DROVIK_FUNCTION_ANNOTATE 1
#else
#define DROVIK_FUNCTION_ANNOTATE 0
#endif

// The small helpers on the hot paths of reads and sets: inlined wherever they
// are used, whatever budget the optimiser has left, so that a change
// elsewhere cannot turn them back into calls.
#if defined(__GNUC__)
#define HOT_INLINE inline __attribute__((always_inline))
#else
#define HOT_INLINE inline
#endif

namespace drovik {

#ifndef Py_IsNone
#define Py_IsNone(x) ((x) == Py_None)
#endif

// Types that cannot be changed or instantiated from Python: flags from 3.10
// on; before, the missing constructor is removed by hand.
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
#define IMMUTABLE_TYPE_FLAGS (Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION)
inline void refuse_instantiation(PyTypeObject *) {}
#else
#define IMMUTABLE_TYPE_FLAGS 0
// The type stays mutable, so Python code can give it a __new__ that makes
// instances through object.__new__, which allocates them with tp_alloc; the
// module makes its own with PyObject_GC_New, so tp_alloc refuses every one.
inline PyObject *refuse_allocation(PyTypeObject *type, Py_ssize_t) {
    PyErr_Format(PyExc_TypeError, "cannot create '%.200s' instances", type->tp_name);
    return nullptr;
}
inline void refuse_instantiation(PyTypeObject *type) {
    type->tp_new = nullptr;
    type->tp_alloc = refuse_allocation;
}
#endif

// Strings are always ready from 3.12 on, where the call is deprecated.
inline int unicode_ready(PyObject *text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

inline bool unicode_is_ready(PyObject *text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(text);
#else
    (void)text;
    return true;
#endif
}

#if !DROVIK_DICT_WATCHERS
inline uint64_t dict_version_tag(PyObject *dict) {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}
#endif

// The interpreter's own NameError carries the missing name from 3.10 on
// ("Did you mean" suggestions read it there); before, there is nowhere to put it.
inline int set_name_error_name(PyObject *error, PyObject *name) {
#if PY_VERSION_HEX >= 0x030A0000
    return PyObject_SetAttrString(error, "name", name);
#else
    (void)error;
    (void)name;
    return 0;
#endif
}

} // namespace drovik
