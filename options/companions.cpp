// The calls into the companion modules, drovik.skorv_call and drovik.utils,
// and the imports of the module statements that bind them (`import os`,
// `from .skorv_call import ...`), made as those statements would make them.

#include "options.hpp"

#include <utility>

namespace drovik {

int bind(PyObject *globals, const char *name, PyObject *value) {
    return PyDict_SetItemString(globals, name, value);
}

int import_module(PyObject *globals, const char *name) {
    Ref module = Ref::steal(PyImport_ImportModuleLevel(name, globals, globals, nullptr, 0));
    return module ? bind(globals, name, module.get()) : -1;
}

namespace {

// hasattr(module, name): 1, 0, or -1 with the error that getting it raised
// when that is no AttributeError.
int has_attribute(PyObject *module, const char *name) {
    Ref value = Ref::steal(PyObject_GetAttrString(module, name));
    if (value) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// Sets `module` to the module named `full_name` when it is imported already
// and has every one of `names`; leaves it empty otherwise. -1 on error.
int find_imported_with_names(const char *full_name, const char *const *names, Ref &module) {
    PyObject *modules = PyImport_GetModuleDict();
    Ref key = Ref::steal(PyUnicode_FromString(full_name));
    if (!key) {
        return -1;
    }
    Ref found = Ref::borrow(PyDict_GetItemWithError(modules, key.get()));
    if (!found) {
        return PyErr_Occurred() ? -1 : 0;
    }
    for (const char *const *name = names; *name; ++name) {
        int has = has_attribute(found.get(), *name);
        if (has <= 0) {
            return has;
        }
    }
    module = std::move(found);
    return 0;
}

Ref import_for_names(PyObject *globals, const char *module_name, int level, const char *full_name,
                     const char *const *names) {
    Ref module;
    if (find_imported_with_names(full_name, names, module) < 0 || module) {
        return module;
    }
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) {
        return Ref();
    }
    for (const char *const *name = names; *name; ++name) {
        Ref text = Ref::steal(PyUnicode_FromString(*name));
        if (!text || PyList_Append(fromlist.get(), text.get()) < 0) {
            return Ref();
        }
    }
    return Ref::steal(
        PyImport_ImportModuleLevel(module_name, globals, globals, fromlist.get(), level));
}

// One name of a from-import: the attribute, else the submodule of that name.
Ref import_name(PyObject *module, const char *name) {
    Ref value = Ref::steal(PyObject_GetAttrString(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    Ref full_name =
        module_name ? Ref::steal(PyUnicode_FromFormat("%S.%s", module_name.get(), name)) : Ref();
    if (!full_name) {
        PyErr_Clear();
    } else {
        PyObject *submodule = PyDict_GetItemWithError(PyImport_GetModuleDict(), full_name.get());
        if (submodule) {
            return Ref::borrow(submodule);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (text) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", text.get());
    }
    return Ref();
}

} // namespace

int import_from(PyObject *globals, const char *module_name, int level, const char *full_name,
                const char *const *names, const char *const *bindings) {
    Ref module = import_for_names(globals, module_name, level, full_name, names);
    if (!module) {
        return -1;
    }
    for (size_t i = 0; names[i]; ++i) {
        Ref value = import_name(module.get(), names[i]);
        if (!value || bind(globals, bindings[i], value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

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
