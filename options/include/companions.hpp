// What the options module takes from its companion modules, drovik.skorv_call
// and drovik.utils, and how it calls them.
#pragma once

#include "state.hpp"

namespace drovik {

int import_companions(PyObject *globals);

// Each through its name in the module namespace, at the moment of the call.
Ref call_skorv_builtin();
Ref call_mevro_builtin();
Ref call_remote_script();
int any_multibyte(PyObject *text);

} // namespace drovik
