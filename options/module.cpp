// The set-up of drovik.options and its order: the module object, what its
// statements import and bind, and what a re-import or a failed set-up does.

#include "options.hpp"

namespace drovik {

namespace {

// Everything the module made belonged to the interpreter that is gone, so an
// interpreter initialised later in the process (by an embedding program) is
// refused like any other.
void on_interpreter_finalized() {
    process.owner_interpreter = OWNER_FINALIZED;
}

int check_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return -1;
    }
    if (process.owner_interpreter == OWNER_NONE) {
        if (Py_AtExit(on_interpreter_finalized) < 0) {
            PyErr_SetString(PyExc_ImportError, "cannot register the module's finalisation");
            return -1;
        }
        process.owner_interpreter = current;
    } else if (process.owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

int copy_import_attribute(PyObject *import_info, PyObject *globals, const char *from,
                          const char *to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(import_info, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (Py_IsNone(value.get()) && !allow_none) {
        return 0;
    }
    return bind(globals, to, value.get());
}

// What the process keeps from the first set-up on: the strings first, which
// the rest is made of.
int init_process_state() {
    if (init_strings() < 0 || init_defaults_template() < 0 || init_thread_strings() < 0 ||
        init_function_type() < 0) {
        return -1;
    }
    return 0;
}

PyObject *create_module(PyObject *import_info, PyModuleDef *) {
    if (check_interpreter() < 0 || init_process_state() < 0) {
        return nullptr;
    }
    if (process.module) {
        // The import system drops the state pointer of the module returned
        // here and the execution step allocates a new one; the old block
        // (empty, as the module keeps no state) would be lost on every
        // re-import.
        PyMem_Free(PyModule_GetState(process.module));
        return new_reference(process.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(import_info, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *globals = PyModule_GetDict(module.get());
    if (copy_import_attribute(import_info, globals, "loader", "__loader__", true) < 0 ||
        copy_import_attribute(import_info, globals, "origin", "__file__", true) < 0 ||
        copy_import_attribute(import_info, globals, "parent", "__package__", true) < 0 ||
        copy_import_attribute(import_info, globals, "submodule_search_locations", "__path__",
                              false) < 0) {
        return nullptr;
    }
    process.module = new_reference(module.get());
    return module.release();
}

int register_in_sys_modules(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, words.module_name);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    process.registered_by_setup = true;
    return PyDict_SetItem(modules, words.module_name, module);
}

// The import system drops only the entry under its own name; one that the
// set-up made under "drovik.options" must go too, or a later import would
// find the half-built module instead of starting afresh.
void unregister_failed_module(PyObject *module) {
    if (!process.registered_by_setup) {
        return;
    }
    process.registered_by_setup = false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, words.module_name) == module) {
        PyDict_DelItem(modules, words.module_name);
    }
    // The set-up's own failure is what the import reports.
    PyErr_Restore(type, value, traceback);
}

int bind_functions(PyObject *globals) {
    Ref codes = load_function_codes();
    if (!codes) {
        return -1;
    }
    for (int id = 0; id < FUNCTION_COUNT; ++id) {
        auto function = static_cast<FunctionId>(id);
        Ref fn =
            make_function(function, PyTuple_GET_ITEM(codes.get(), id), globals, words.module_name);
        if (!fn || bind(globals, FUNCTION_FACTS[id].name, fn.get()) < 0) {
            return -1;
        }
        process.functions[id] = fn.release();
    }
    return 0;
}

// The module statements, in order.
int run_statements(PyObject *globals) {
    static const char *const typing_names[] = {"Any", "Dict", "Optional", "Union", nullptr};
    if (import_module(globals, "os") < 0 || import_module(globals, "warnings") < 0 ||
        import_from(globals, "typing", 0, "typing", typing_names, typing_names) < 0 ||
        import_companions(globals) < 0) {
        return -1;
    }
    Ref table = Ref::steal(PyDict_New());
    if (!table || bind(globals, "_SKORV_OPTIONS", table.get()) < 0) {
        return -1;
    }
    return bind_functions(globals);
}

// The namespace that the functions will look names up in, and the builtins
// behind it.
int adopt_namespace(PyObject *module) {
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module) {
        return -1;
    }
    Py_XSETREF(process.globals, new_reference(PyModule_GetDict(module)));
    Py_XSETREF(process.builtins, new_reference(PyModule_GetDict(builtins_module.get())));
    if (watch_namespace() < 0) {
        return -1;
    }
    return bind(process.globals, "__builtins__", builtins_module.get());
}

// A failed set-up is not kept: the next import starts from the beginning.
void forget_setup(PyObject *module) {
    unregister_failed_module(module);
    process.setup_begun = false;
    Py_CLEAR(process.module);
    // The namespace stays: functions made before the failure may still be
    // reachable (a companion may have kept one), and they look names up in
    // process.globals until a later set-up adopts the namespace of its own module.
    for (PyObject *&fn : process.functions) {
        Py_CLEAR(fn);
    }
}

int exec_module(PyObject *module) {
    if (process.setup_begun) {
        if (module == process.module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, "Module 'options' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    if (module != process.module) {
        Py_XSETREF(process.module, new_reference(module));
    }
    process.setup_begun = true;
    process.registered_by_setup = false;
    if (adopt_namespace(module) < 0 || register_in_sys_modules(module) < 0 ||
        run_statements(process.globals) < 0) {
        forget_setup(module);
        return -1;
    }
    process.registered_by_setup = false;
    return 0;
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // The import system refuses isolated sub-interpreters itself; legacy ones
    // reach the creation step, which refuses them with its own message.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // The option table and the module's own state rely on the GIL.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "options", MODULE_DOC, 0,       nullptr,
    MODULE_SLOTS,          nullptr,   nullptr,    nullptr,
};

} // namespace

} // namespace drovik

PyMODINIT_FUNC PyInit_options() {
    return PyModuleDef_Init(&drovik::MODULE_DEF);
}
