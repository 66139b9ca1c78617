// The function objects of the module: their type and how they are made.
#pragma once

#include "state.hpp"

namespace drovik {

// What makes each of the seven functions what Python sees.
struct FunctionDef {
    const char *name;
    vectorcallfunc entry;
    const char *doc;                // nullptr: no docstring
    const char *const *annotations; // name, text pairs, nullptr-terminated
    bool option_defaults_to_none;   // __defaults__ == (None,)
};

// By FunctionId (definitions.cpp).
extern const FunctionDef FUNCTION_DEFS[FUNCTION_COUNT];

int init_function_type();

// The code objects of the functions, in the order of FUNCTION_DEFS: a tuple.
Ref load_function_codes();

Ref make_function(const FunctionDef &definition, PyObject *code, PyObject *globals,
                  PyObject *module_name);

// The name of one of the module's functions, for its error messages.
const char *function_name(PyObject *self);

} // namespace drovik
