// The imports that the module's set-up makes.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace drovik {

// `globals[name] = value`.
int bind(PyObject *globals, const char *name, PyObject *value);

// `import <name>`, bound under its own name.
int import_module(PyObject *globals, const char *name);

// `from <module_name> import names...` at level `level`, binding each name
// under the matching entry of `bindings`; `full_name` is the module's
// absolute name, used to find it already imported.
int import_from(PyObject *globals, const char *module_name, int level, const char *full_name,
                const char *const *names, const char *const *bindings);

} // namespace drovik
