// Names in the module namespace, looked up at every use.
#pragma once

#include "state.hpp"

namespace drovik {

// The version of the module namespace: it moves on every change.
inline uint64_t namespace_version() {
#if DROVIK_DICT_WATCHERS
    return process.namespace_changes;
#else
    return dict_version_tag(process.globals);
#endif
}

// find_global() when the namespace has changed or the name has not been
// looked up since.
PyObject *find_global_afresh(Name name);

// The object bound to `name` in the module namespace, else among the
// builtins; nullptr with NameError set when there is none. Borrowed: the
// namespace holds it, so it may be gone once Python code has run. A name
// found before in the unchanged namespace is answered at once: the namespace
// still holds what was found.
HOT_INLINE PyObject *find_global(Name name) {
    if (process.found.version == namespace_version()) {
        if (PyObject *value = process.found.values[name]) {
            return value;
        }
    }
    return find_global_afresh(name);
}

// find_global(), held.
HOT_INLINE Ref lookup_global(Name name) {
    return Ref::borrow(find_global(name));
}

// Starts following the changes of the module namespace, so that lookups can
// be remembered while it is unchanged. Without a way to follow them (every
// dict-watcher slot taken by other extensions), lookups are not remembered.
int watch_namespace();

// True when `fn` is the module's own function `id`, so its body may run
// directly, without holding `fn`.
inline bool is_own(PyObject *fn, FunctionId id) {
    return fn == process.functions[id];
}

} // namespace drovik
