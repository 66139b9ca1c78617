// What the options module takes from its companion modules, drovik.skorv_call
// and drovik.utils, and how it calls them.
#pragma once

#include "names.hpp"
#include "objects.hpp"
#include "state.hpp"

namespace drovik {

int import_companions(PyObject *globals);

// The companion function bound to `name` (NAME_SKORV_CALL_BUILTIN,
// NAME_MEVRO_CALL_BUILTIN or NAME_SKORV_REMOTE_SCRIPT) in the module
// namespace at the moment of the call, called with no arguments.
HOT_INLINE Ref call_companion(Name name) {
    Ref fn = lookup_global(name);
    return fn ? call0(fn.get()) : Ref();
}

// _any_mb(text), tested for truth.
int any_multibyte(PyObject *text);

} // namespace drovik
