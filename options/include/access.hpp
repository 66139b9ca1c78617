// Reading and setting options, the checks after a set, the Plexa switch:
// the bodies of the functions, run once their arguments are handled.
#pragma once

#include "state.hpp"

namespace drovik {

Ref get_option(PyObject *option);
Ref set_option(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
Ref set_one(PyObject *option, PyObject *value);
Ref post_set_checks();
Ref plexa_enabled();

// Shared by reading and setting.

// skorv_get_option(key), through the namespace.
Ref read_option(PyObject *key);

// Raises KeyError("Unknown option '<key>'"); returns an empty Ref.
Ref raise_unknown_option(PyObject *key);

} // namespace drovik
