// What the options module takes from its companion modules, drovik.skorv_call
// and drovik.utils, and how it calls them.

#include "companions.hpp"

#include "imports.hpp"
#include "names.hpp"
#include "objects.hpp"

namespace drovik {

int import_companions(PyObject *globals) {
    static const char *const call_names[] = {"skorv_call_builtin", "mevro_call_builtin",
                                             "skorv_remote_script", nullptr};
    if (import_from(globals, "skorv_call", 1, "drovik.skorv_call", call_names, call_names) < 0) {
        return -1;
    }
    // Only the short private alias is bound, not the long name.
    static const char *const utils_names[] = {"skorv_anyMultibyteUTF8Characters", nullptr};
    static const char *const utils_bindings[] = {"_any_mb", nullptr};
    return import_from(globals, "utils", 1, "drovik.utils", utils_names, utils_bindings);
}

int any_multibyte(PyObject *text) {
    Ref fn = lookup_global(NAME_ANY_MB);
    if (!fn) {
        return -1;
    }
    Ref answer = call1(fn.get(), text);
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

} // namespace drovik
