// The module object of drovik.options: its set-up, what it imports and binds,
// and the lookups of names in its namespace.

#include "options.hpp"

#include <cstdint>
#include <utility>

namespace drovik {

Strings S;
Process P;

namespace {

// --- Strings interned once.

const std::pair<PyObject * Strings::*, const char *> STRING_TEXTS[] = {
    {&Strings::skorv_arg, "skorv.arg"},
    {&Strings::mevro_arg, "mevro.arg"},
    {&Strings::num_threads, "num.threads"},
    {&Strings::smtp, "smtp"},
    {&Strings::safe, "safe"},
    {&Strings::keep, "keep"},
    {&Strings::verbose, "verbose"},
    {&Strings::save_memory, "save.memory"},
    {&Strings::internal_opt, "internal.opt"},
    {&Strings::working_directory, "working.directory"},
    {&Strings::silent, "silent"},
    {&Strings::debug, "debug"},
    {&Strings::show_warning_graph_file, "show.warning.graph.file"},
    {&Strings::scale_model_default, "scale.model.default"},
    {&Strings::short_summary, "short.summary"},
    {&Strings::skorv_timeout, "skorv.timeout"},
    {&Strings::mevro_timeout, "mevro.timeout"},
    {&Strings::skorv_mode, "skorv.mode"},
    {&Strings::malloc_lib, "malloc.lib"},
    {&Strings::mevro_evolution, "mevro.evolution"},
    {&Strings::mevro_evolution_warn, "mevro.evolution.warn"},
    {&Strings::mevro_evolution_verbosity, "mevro.evolution.verbosity"},
    {&Strings::plexa_features, "Plexa.features"},
    {&Strings::numa, "numa"},
    {&Strings::skorv_call, "skorv.call"},
    {&Strings::mevro_call, "mevro.call"},
    {&Strings::a_cpu_count, "cpu_count"},
    {&Strings::a_path, "path"},
    {&Strings::a_exists, "exists"},
    {&Strings::a_warn, "warn"},
    {&Strings::a_lower, "lower"},
    {&Strings::a_startswith, "startswith"},
    {&Strings::a_get, "get"},
    {&Strings::a_keys, "keys"},
    {&Strings::p_option, "option"},
    {&Strings::p_value, "value"},
    {&Strings::empty, ""},
    {&Strings::slash, "/"},
    {&Strings::thread_suffix, ":1"},
    {&Strings::remote, "remote"},
    {&Strings::skorv_remote, "skorv.remote"},
    {&Strings::default_, "default"},
    {&Strings::compact, "compact"},
    {&Strings::classic, "classic"},
    {&Strings::twostage, "twostage"},
    {&Strings::experimental, "experimental"},
    {&Strings::compiler, "compiler"},
    {&Strings::je, "je"},
    {&Strings::tc, "tc"},
    {&Strings::mi, "mi"},
    {&Strings::suggest_module, "drovik._suggest"},
    {&Strings::a_note_for, "note_for"},
    {&Strings::a_add_note, "add_note"},
    {&Strings::m_unknown_option_head, "Unknown option '"},
    {&Strings::m_quote, "'"},
    {&Strings::m_invalid_mode,
     "Invalid 'skorv.mode'. Must be 'compact', 'classic', 'twostage', or 'experimental'."},
    {&Strings::m_malloc_missing_head, "User-defined library for option 'malloc.lib', "},
    {&Strings::m_malloc_missing_tail, ", does not exist. Using default."},
    {&Strings::m_malloc_unavailable_head, "Value for option 'malloc.lib' = "},
    {&Strings::m_malloc_unavailable_tail, " may not be available on this system."},
    {&Strings::m_wdir_head, "*** working.directory=["},
    {&Strings::m_wdir_tail, "] contains multibyte characters. This may fail on some systems."},
};

// Indexed by Name.
const char *const NAME_TEXTS[NAME_COUNT] = {
    "os",
    "warnings",
    "_SKORV_OPTIONS",
    "_cpu_default_string",
    "skorv_get_option_default",
    "skorv_get_option",
    "_set_one",
    "_post_set_checks",
    "skorv_call_builtin",
    "mevro_call_builtin",
    "skorv_remote_script",
    "_any_mb",
};

PyObject *name_strings[NAME_COUNT];

int intern_once(PyObject *&slot, const char *text) {
    if (!slot) {
        slot = PyUnicode_InternFromString(text);
    }
    return slot ? 0 : -1;
}

} // namespace

int init_strings() {
    for (const auto &[member, text] : STRING_TEXTS) {
        if (intern_once(S.*member, text) < 0) {
            return -1;
        }
    }
    for (int name = 0; name < NAME_COUNT; ++name) {
        if (intern_once(name_strings[name], NAME_TEXTS[name]) < 0) {
            return -1;
        }
    }
    return 0;
}

// --- Names in the namespace, and small helpers used by every unit.

// The functions look names up in the namespace at every use. What they
// found is remembered, borrowed, together with the namespace's version: while
// the namespace is unchanged it still holds every value found, and the same
// lookup gives the same answer.
namespace {

#if PY_VERSION_HEX >= 0x030C0000
// The version of the namespace: the watcher below moves it on every change.
uint64_t namespace_changes = 0;
int namespace_watcher = -1;

int on_namespace_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++namespace_changes;
    return 0;
}

uint64_t namespace_version() {
    return namespace_changes;
}
#else
// Every change of a dict gives it a new version tag.
uint64_t namespace_version() {
    return reinterpret_cast<PyDictObject *>(P.globals)->ma_version_tag;
}
#endif

struct FoundNames {
    uint64_t version;
    PyObject *values[NAME_COUNT];
};

FoundNames found_names;

void raise_name_error(PyObject *name) {
    Ref message = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", name));
    Ref error = message ? Ref::steal(PyObject_CallOneArg(PyExc_NameError, message.get())) : Ref();
    if (!error) {
        return;
    }
#if PY_VERSION_HEX >= 0x030A0000
    // As the interpreter's own NameError, which suggestions read it from.
    if (PyObject_SetAttrString(error.get(), "name", name) < 0) {
        return;
    }
#endif
    PyErr_SetObject(PyExc_NameError, error.get());
}

Ref lookup_uncached(Name name) {
    PyObject *key = name_strings[name];
    uint64_t version = namespace_version();
    PyObject *value = PyDict_GetItemWithError(P.globals, key);
    if (value) {
        // The lookup itself may have run code (a key's __eq__) that changed
        // the namespace; only an answer from an unchanged namespace is kept.
        if (namespace_version() == version && found_names.version == version) {
            found_names.values[name] = value;
        }
        return Ref::borrow(value);
    }
    if (!PyErr_Occurred()) {
        value = PyDict_GetItemWithError(P.builtins, key);
        if (!value && !PyErr_Occurred()) {
            raise_name_error(key);
        }
    }
    return Ref::borrow(value);
}

} // namespace

int watch_namespace() {
#if PY_VERSION_HEX >= 0x030C0000
    if (namespace_watcher < 0) {
        namespace_watcher = PyDict_AddWatcher(on_namespace_change);
        if (namespace_watcher < 0) {
            return -1;
        }
    }
    ++namespace_changes;
    if (PyDict_Watch(namespace_watcher, P.globals) < 0) {
        return -1;
    }
#endif
    // A namespace that was set up before (and failed) may have left answers.
    found_names = FoundNames{};
    return 0;
}

Ref lookup_global(Name name) {
    uint64_t version = namespace_version();
    if (found_names.version != version) {
        found_names = FoundNames{};
        found_names.version = version;
    } else if (PyObject *value = found_names.values[name]) {
        return Ref::borrow(value);
    }
    return lookup_uncached(name);
}

Ref call0(PyObject *callable) {
    return Ref::steal(PyObject_CallNoArgs(callable));
}

Ref call1(PyObject *callable, PyObject *arg) {
    return Ref::steal(PyObject_CallOneArg(callable, arg));
}

namespace {

int compare(PyObject *a, PyObject *b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!result) {
        return -1;
    }
    if (result.get() == Py_True || result.get() == Py_False) {
        return result.get() == Py_True;
    }
    return PyObject_IsTrue(result.get());
}

} // namespace

int equals(PyObject *a, PyObject *b) {
    return compare(a, b, Py_EQ);
}

int differs(PyObject *a, PyObject *b) {
    return compare(a, b, Py_NE);
}

int merge_mapping(PyObject *target, PyObject *mapping) {
    if (PyDict_Update(target, mapping) == 0) {
        return 0;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping",
                     Py_TYPE(mapping)->tp_name);
    }
    return -1;
}

Ref format_plain(PyObject *obj) {
    if (PyUnicode_CheckExact(obj)) {
        return Ref::borrow(obj);
    }
    return Ref::steal(PyObject_Format(obj, S.empty));
}

// --- Imports made at set-up.

namespace {

int bind(PyObject *globals, const char *name, PyObject *value) {
    return PyDict_SetItemString(globals, name, value);
}

int import_module(PyObject *globals, const char *name) {
    Ref module = Ref::steal(PyImport_ImportModuleLevel(name, globals, globals, nullptr, 0));
    return module ? bind(globals, name, module.get()) : -1;
}

// The module named `full_name` when it is imported already and has every
// one of `names`; else an empty Ref, with no exception set.
Ref imported_with_names(const char *full_name, const char *const *names) {
    PyObject *module = PyDict_GetItemString(PyImport_GetModuleDict(), full_name);
    if (!module) {
        return Ref();
    }
    Ref held = Ref::borrow(module);
    for (const char *const *name = names; *name; ++name) {
        if (!PyObject_HasAttrString(held.get(), *name)) {
            return Ref();
        }
    }
    return held;
}

Ref import_for_names(PyObject *globals, const char *module_name, int level, const char *full_name,
                     const char *const *names) {
    Ref module = imported_with_names(full_name, names);
    if (module) {
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

// --- The functions and their documented faces.

namespace {

const char MODULE_DOC[] =
    "\n"
    "Global options for the Python port (R-SKORV options analogue).\n"
    "\n"
    "Key functions:\n"
    "- skorv_get_option_default()\n"
    "- skorv_get_option(option=None)\n"
    "- skorv_set_option(**kwargs)   # also supports skorv_set_option(\"key\", value)\n"
    "- skorv_enabled_Plexa_features()\n";

const char GET_OPTION_DEFAULT_DOC[] =
    "\n    Default options (no recursion to get current options).\n    ";

const char GET_OPTION_DOC[] =
    "\n"
    "    Get current option(s). If option is None, return a dict of current values.\n"
    "    Special handling for 'skorv.call' and 'mevro.call' to avoid recursion.\n"
    "    ";

const char SET_OPTION_DOC[] =
    "\n"
    "    Set global options.\n"
    "\n"
    "    Supports:\n"
    "      skorv_set_option(\"keep\", True)\n"
    "      skorv_set_option(keep=True, num_threads=\"4:1\")\n"
    "      skorv_set_option(keep=True, num_threads=\"4:1\", verbose=True)\n"
    "    ";

const char *const RETURNS_STR[] = {"return", "str", nullptr};
const char *const RETURNS_DICT[] = {"return", "Dict[str, Any]", nullptr};
const char *const OPTION_ONLY[] = {"option", "Optional[Union[str, list]]", nullptr};
const char *const RETURNS_NONE[] = {"return", "None", nullptr};
const char *const SET_ONE_ANNOTATIONS[] = {"option", "str",  "value", "Any",
                                           "return", "None", nullptr};
const char *const RETURNS_BOOL[] = {"return", "bool", nullptr};

} // namespace

const FunctionDef FUNCTION_DEFS[FUNCTION_COUNT] = {
    {"_cpu_default_string", cpu_default_string_entry, nullptr, RETURNS_STR, false,
     "def _cpu_default_string():\n    n = None\n"},
    {"skorv_get_option_default", get_option_default_entry, GET_OPTION_DEFAULT_DOC, RETURNS_DICT,
     false, "def skorv_get_option_default():\n    pass\n"},
    {"skorv_get_option", get_option_entry, GET_OPTION_DOC, OPTION_ONLY, true,
     "def skorv_get_option(option=None):\n"
     "    defaults = out = val = rem = keys = out_list = key = None\n"},
    {"skorv_set_option", set_option_entry, SET_OPTION_DOC, RETURNS_NONE, false,
     "def skorv_set_option(*args, **kwargs):\n    pass\n"},
    {"_set_one", set_one_entry, nullptr, SET_ONE_ANNOTATIONS, false,
     "def _set_one(option, value):\n    pass\n"},
    {"_post_set_checks", post_set_checks_entry, nullptr, RETURNS_NONE, false,
     "def _post_set_checks():\n    mode = arg = wdir = None\n"},
    {"skorv_enabled_Plexa_features", plexa_enabled_entry, nullptr, RETURNS_BOOL, false,
     "def skorv_enabled_Plexa_features():\n    pass\n"},
};

// --- Set-up.

namespace {

constexpr const char MODULE_NAME[] = "drovik.options";

// The interpreter that first imported the module; -1 until then.
constexpr int64_t NO_INTERPRETER = -1;
// An interpreter that has been finalised: no new one is ever taken as it.
constexpr int64_t FINALIZED_INTERPRETER = -2;
int64_t owner_interpreter = NO_INTERPRETER;

// Everything the module made belonged to the interpreter that is gone, so an
// interpreter initialised later in the process (by an embedding program) is
// refused like any other.
void on_interpreter_finalized() {
    owner_interpreter = FINALIZED_INTERPRETER;
}

// Whether the module statements have begun on P.module and not failed.
bool setup_begun = false;

int check_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return -1;
    }
    if (owner_interpreter == NO_INTERPRETER) {
        if (Py_AtExit(on_interpreter_finalized) < 0) {
            PyErr_SetString(PyExc_ImportError, "cannot register the module's finalisation");
            return -1;
        }
        owner_interpreter = current;
    } else if (owner_interpreter != current) {
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

PyObject *create_module(PyObject *import_info, PyModuleDef *) {
    if (check_interpreter() < 0 || init_strings() < 0) {
        return nullptr;
    }
    if (P.module) {
        // The import system drops the state pointer of the module returned
        // here and the execution step allocates a new one; the old block
        // (empty, as the module keeps no state) would be lost on every
        // re-import.
        PyMem_Free(PyModule_GetState(P.module));
        Py_INCREF(P.module);
        return P.module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(import_info, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
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
    P.module = Ref::borrow(module.get()).release();
    return module.release();
}

// Whether the running set-up put the module into sys.modules itself.
bool registered_by_setup = false;

int register_in_sys_modules(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();
    Ref name = Ref::steal(PyUnicode_FromString(MODULE_NAME));
    int present = name ? PyDict_Contains(modules, name.get()) : -1;
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    registered_by_setup = true;
    return PyDict_SetItem(modules, name.get(), module);
}

// The import system drops only the entry under its own name; one that the
// set-up made under "drovik.options" must go too, or a later import would
// find the half-built module instead of starting afresh.
void unregister_failed_module(PyObject *module) {
    if (!registered_by_setup) {
        return;
    }
    registered_by_setup = false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, MODULE_NAME) == module) {
        PyDict_DelItemString(modules, MODULE_NAME);
    }
    // The set-up's own failure is what the import reports.
    PyErr_Restore(type, value, traceback);
}

int bind_functions(PyObject *globals) {
    Ref module_name = Ref::steal(PyUnicode_FromString(MODULE_NAME));
    if (!module_name) {
        return -1;
    }
    for (int id = 0; id < FUNCTION_COUNT; ++id) {
        Ref fn = make_function(FUNCTION_DEFS[id], globals, module_name.get());
        if (!fn || bind(globals, FUNCTION_DEFS[id].name, fn.get()) < 0) {
            return -1;
        }
        P.functions[id] = fn.release();
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

int prepare_process_state(PyObject *module) {
    if (init_defaults_template() < 0 || init_thread_strings() < 0 || init_function_type() < 0) {
        return -1;
    }
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module) {
        return -1;
    }
    Py_XSETREF(P.globals, Ref::borrow(PyModule_GetDict(module)).release());
    Py_XSETREF(P.builtins, Ref::borrow(PyModule_GetDict(builtins_module.get())).release());
    if (watch_namespace() < 0) {
        return -1;
    }
    return bind(P.globals, "__builtins__", builtins_module.get());
}

// A failed set-up is not kept: the next import starts from the beginning.
void forget_setup(PyObject *module) {
    unregister_failed_module(module);
    setup_begun = false;
    Py_CLEAR(P.module);
    // The namespace stays: functions made before the failure may still be
    // reached through the failed module, and look names up there.
    for (PyObject *&fn : P.functions) {
        Py_CLEAR(fn);
    }
}

int exec_module(PyObject *module) {
    if (setup_begun) {
        if (module == P.module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, "Module 'options' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    if (module != P.module) {
        Py_INCREF(module);
        Py_XSETREF(P.module, module);
    }
    setup_begun = true;
    registered_by_setup = false;
    if (prepare_process_state(module) < 0 || register_in_sys_modules(module) < 0 ||
        run_statements(P.globals) < 0) {
        forget_setup(module);
        return -1;
    }
    registered_by_setup = false;
    return 0;
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // Legacy sub-interpreters reach the creation step, which refuses them with
    // its own message; the import system refuses isolated ones itself.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
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
