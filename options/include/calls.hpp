// The entry points of the seven functions, called by the interpreter.
#pragma once

#include "state.hpp"

namespace drovik {

PyObject *cpu_default_string_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *get_option_default_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *get_option_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *set_option_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *set_one_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *post_set_checks_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *plexa_enabled_entry(PyObject *, PyObject *const *, size_t, PyObject *);

// The type test of `_set_one` for its `option`, shared by its argument
// handling and by direct calls of its body.
int check_option_type(PyObject *option);

} // namespace drovik
