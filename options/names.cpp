// Lookups of names in the module namespace, and what is remembered of them.
//
// The functions look names up in the namespace at every use, so that
// rebinding a module attribute changes what the next call uses. What they
// found is remembered, borrowed, together with the namespace's version: while
// the namespace is unchanged it still holds every value found, and the same
// lookup gives the same answer.

#include "names.hpp"

namespace drovik {

namespace {

#if DROVIK_DICT_WATCHERS
int on_namespace_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++process.namespace_changes;
    return 0;
}
#endif

void raise_name_error(PyObject *name) {
    Ref message = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name));
    if (!message) {
        return;
    }
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_NameError, message.get()));
    if (!error || set_name_error_name(error.get(), name) < 0) {
        return;
    }
    PyErr_SetObject(PyExc_NameError, error.get());
}

PyObject *lookup_uncached(Name name) {
    PyObject *key = process.global_names[name];
    uint64_t version = namespace_version();
    PyObject *value = PyDict_GetItemWithError(process.globals, key);
    if (value) {
        // The lookup itself may have run code (a key's __eq__) that changed
        // the namespace; only an answer from an unchanged namespace is kept.
        FoundNames &found = process.found;
        if (process.names_remembered && namespace_version() == version &&
            found.version == version) {
            found.values[name] = value;
        }
        return value;
    }
    if (!PyErr_Occurred()) {
        value = PyDict_GetItemWithError(process.builtins, key);
        if (!value && !PyErr_Occurred()) {
            raise_name_error(key);
        }
    }
    return value;
}

} // namespace

int watch_namespace() {
    // A namespace that was set up before (and failed) may have left answers.
    process.found = FoundNames{};
#if DROVIK_DICT_WATCHERS
    if (process.namespace_watcher < 0) {
        process.namespace_watcher = PyDict_AddWatcher(on_namespace_change);
    }
    if (process.namespace_watcher < 0) {
        // Remembering is only a shortcut: go without it.
        PyErr_Clear();
        process.names_remembered = false;
        process.found.version = NO_VERSION;
        return 0;
    }
    ++process.namespace_changes;
    if (PyDict_Watch(process.namespace_watcher, process.globals) < 0) {
        return -1;
    }
#endif
    process.names_remembered = true;
    return 0;
}

PyObject *find_global_afresh(Name name) {
    if (process.names_remembered) {
        uint64_t version = namespace_version();
        if (process.found.version != version) {
            process.found = FoundNames{};
            process.found.version = version;
        }
    }
    return lookup_uncached(name);
}

} // namespace drovik
