/* The least work that each measured operation of drovik.options must do.

   `bench/run.py --count` builds this module on demand and counts its
   instructions beside the module's. Each function makes the calls that its
   operation is obliged to make (os.cpu_count() through the module's `os`,
   the built-in path functions), looks every name that it uses up in the
   module's namespace at each use, remembering answers while the namespace is
   unchanged exactly as the module does, and builds the same result.

   It serves as a yardstick, not a second implementation: it handles what the
   benchmark gives it (the module's own functions bound under their names, an
   int processor count, str keys, an option table whose engine mode,
   allocator and working directory need neither a file-system test, a
   multibyte test nor a warning) and raises RuntimeError for anything else,
   instead of growing paths that are never measured. */

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *obj) {
    Py_INCREF(obj);
    return obj;
}
#endif

#define MAX_THREADS 16

/* Names looked up in the module namespace. */
enum name {
    OS,
    OPTIONS_TABLE,
    CPU_DEFAULT_STRING,
    GET_OPTION_DEFAULT,
    GET_OPTION,
    SET_ONE,
    POST_SET_CHECKS,
    SKORV_CALL_BUILTIN,
    MEVRO_CALL_BUILTIN,
    NAME_COUNT
};

static const char *const NAME_TEXTS[NAME_COUNT] = {
    "os",
    "_SKORV_OPTIONS",
    "_cpu_default_string",
    "skorv_get_option_default",
    "skorv_get_option",
    "_set_one",
    "_post_set_checks",
    "skorv_call_builtin",
    "mevro_call_builtin",
};

/* Engine modes and allocator names, in the order in which they are compared. */
enum { MODE_COUNT = 4, EXPERIMENTAL = 3, LIBRARY_COUNT = 5 };

/* Everything that bind() sets up; strong references, kept for the process. */
static struct {
    PyObject *globals;
    PyObject *builtins;
    PyObject *names[NAME_COUNT];
    PyObject *own[NAME_COUNT]; /* the module's own functions, by their names */
    PyObject *defaults;        /* the 24 defaults, "num.threads" holding threads_slot */
    PyObject *threads_slot;
    PyObject *thread_strings[MAX_THREADS + 1];
    PyObject *cpu_count, *num_threads, *skorv_mode, *malloc_lib, *working_directory,
        *plexa_features, *command_path_keys[2], *modes[MODE_COUNT], *libraries[LIBRARY_COUNT];
} F;

static const struct {
    PyObject **slot;
    const char *text;
} STRING_TEXTS[] = {
    {&F.cpu_count, "cpu_count"},
    {&F.num_threads, "num.threads"},
    {&F.skorv_mode, "skorv.mode"},
    {&F.malloc_lib, "malloc.lib"},
    {&F.working_directory, "working.directory"},
    {&F.plexa_features, "Plexa.features"},
    {&F.command_path_keys[0], "skorv.call"},
    {&F.command_path_keys[1], "mevro.call"},
    {&F.modes[0], "compact"},
    {&F.modes[1], "classic"},
    {&F.modes[2], "twostage"},
    {&F.modes[EXPERIMENTAL], "experimental"},
    {&F.libraries[0], "default"},
    {&F.libraries[1], "compiler"},
    {&F.libraries[2], "je"},
    {&F.libraries[3], "tc"},
    {&F.libraries[4], "mi"},
};

static PyObject *outside(const char *what) {
    PyErr_Format(PyExc_RuntimeError, "the floor does not measure %s", what);
    return NULL;
}

static int refuse(const char *what) {
    outside(what);
    return -1;
}

/* --- Names in the namespace, remembered (borrowed) while it is unchanged. */

#if PY_VERSION_HEX >= 0x030C0000
static uint64_t namespace_changes = 1;
static int namespace_watcher = -1;

static int on_namespace_change(PyDict_WatchEvent event, PyObject *dict, PyObject *key,
                               PyObject *value) {
    (void)event, (void)dict, (void)key, (void)value;
    ++namespace_changes;
    return 0;
}

static inline uint64_t namespace_version(void) {
    return namespace_changes;
}
#else
static inline uint64_t namespace_version(void) {
    return ((PyDictObject *)F.globals)->ma_version_tag;
}
#endif

static struct {
    uint64_t version;
    PyObject *values[NAME_COUNT];
} found;

static PyObject *lookup_uncached(enum name name) {
    uint64_t version = namespace_version();
    PyObject *value = PyDict_GetItemWithError(F.globals, F.names[name]);
    if (value) {
        /* The lookup may have run code that changed the namespace. */
        if (namespace_version() == version && found.version == version) {
            found.values[name] = value;
        }
        return value;
    }
    if (PyErr_Occurred()) {
        return NULL;
    }
    value = PyDict_GetItemWithError(F.builtins, F.names[name]);
    if (!value && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", F.names[name]);
    }
    return value;
}

/* Borrowed: a caller that runs code while holding it takes a reference. */
static inline PyObject *lookup(enum name name) {
    uint64_t version = namespace_version();
    if (found.version != version) {
        memset(found.values, 0, sizeof found.values);
        found.version = version;
    } else if (found.values[name]) {
        return found.values[name];
    }
    return lookup_uncached(name);
}

/* 0 when `name` is bound to the module's own function, whose steps follow. */
static int own_function(enum name name) {
    PyObject *fn = lookup(name);
    if (fn == F.own[name]) {
        return 0;
    }
    return fn ? refuse("a rebound module function") : -1;
}

static PyObject *call_bound(enum name name) {
    PyObject *fn = lookup(name);
    if (!fn) {
        return NULL;
    }
    Py_INCREF(fn);
    PyObject *result = PyObject_CallNoArgs(fn);
    Py_DECREF(fn);
    return result;
}

static PyObject *options_table(void) {
    PyObject *table = lookup(OPTIONS_TABLE);
    if (!table) {
        return NULL;
    }
    return PyDict_CheckExact(table) ? Py_NewRef(table) : outside("an option table of another type");
}

static int store(PyObject *key, PyObject *value) {
    PyObject *table = options_table();
    if (!table) {
        return -1;
    }
    int stored = PyDict_SetItem(table, key, value);
    Py_DECREF(table);
    return stored;
}

/* An exact str whose characters can be compared directly. */
static inline int plain_text(PyObject *obj) {
    return PyUnicode_CheckExact(obj) && PyUnicode_IS_READY(obj);
}

static inline int same_text(PyObject *text, PyObject *other) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    return text == other || (length == PyUnicode_GET_LENGTH(other) &&
                             PyUnicode_KIND(text) == PyUnicode_KIND(other) &&
                             memcmp(PyUnicode_DATA(text), PyUnicode_DATA(other),
                                    length * PyUnicode_KIND(text)) == 0);
}

/* Index of the first of `candidates` equal to `text`, else -1. */
static int first_equal(PyObject *text, PyObject *const *candidates, int count) {
    for (int i = 0; i < count; ++i) {
        if (same_text(text, candidates[i])) {
            return i;
        }
    }
    return -1;
}

/* --- The defaults. */

/* _cpu_default_string(): the one query of os.cpu_count(). Borrowed. */
static PyObject *thread_string(void) {
    PyObject *os = lookup(OS);
    if (!os) {
        return NULL;
    }
    Py_INCREF(os);
    PyObject *cpu_count = PyObject_GetAttr(os, F.cpu_count);
    Py_DECREF(os);
    if (!cpu_count) {
        return NULL;
    }
    PyObject *count = PyObject_CallNoArgs(cpu_count);
    Py_DECREF(cpu_count);
    if (!count) {
        return NULL;
    }
    if (!PyLong_CheckExact(count)) {
        Py_DECREF(count);
        return outside("a processor count that is no int");
    }
    int overflow;
    long n = PyLong_AsLongAndOverflow(count, &overflow);
    Py_DECREF(count);
    if (overflow > 0 || n > MAX_THREADS) {
        n = MAX_THREADS;
    } else if (n < 1) {
        n = 1;
    }
    return F.thread_strings[n];
}

/* skorv_get_option_default() run as the module's own function. Borrowed. */
static PyObject *default_thread_string(void) {
    if (own_function(GET_OPTION_DEFAULT) < 0 || own_function(CPU_DEFAULT_STRING) < 0) {
        return NULL;
    }
    return thread_string();
}

static PyObject *defaults_dict(PyObject *threads) {
    PyObject *out = PyDict_Copy(F.defaults);
    if (out && PyDict_SetItem(out, F.num_threads, threads) < 0) {
        Py_CLEAR(out);
    }
    return out;
}

/* The `defaults` of a read, never built as a dict unless it is the result. */
struct call_defaults {
    PyObject *threads;          /* borrowed */
    PyObject *command_paths[2]; /* built-in paths of unset command paths, else NULL */
};

static int prepare_defaults(struct call_defaults *defaults) {
    defaults->command_paths[0] = defaults->command_paths[1] = NULL;
    defaults->threads = default_thread_string();
    if (!defaults->threads) {
        return -1;
    }
    for (int i = 0; i < 2; ++i) {
        PyObject *table = options_table();
        if (!table) {
            return -1;
        }
        int set = PyDict_Contains(table, F.command_path_keys[i]);
        Py_DECREF(table);
        if (set < 0) {
            return -1;
        }
        if (!set) {
            defaults->command_paths[i] = call_bound(SKORV_CALL_BUILTIN + i);
            if (!defaults->command_paths[i]) {
                return -1;
            }
        }
    }
    return 0;
}

static void release_defaults(struct call_defaults *defaults) {
    Py_XDECREF(defaults->command_paths[0]);
    Py_XDECREF(defaults->command_paths[1]);
}

/* The default of `key` in this read; borrowed, NULL when it has none. */
static PyObject *default_of(const struct call_defaults *defaults, PyObject *key) {
    PyObject *value = PyDict_GetItemWithError(F.defaults, key);
    if (value == F.threads_slot) {
        return defaults->threads;
    }
    if (value || PyErr_Occurred()) {
        return value;
    }
    for (int i = 0; i < 2; ++i) {
        if (same_text(key, F.command_path_keys[i])) {
            return defaults->command_paths[i];
        }
    }
    return NULL;
}

/* --- Reading. */

static PyObject *read_one(const struct call_defaults *defaults, PyObject *key) {
    if (!plain_text(key) || same_text(key, F.command_path_keys[0])) {
        return outside("a key that is no plain str, or the engine path");
    }
    PyObject *table = options_table();
    if (!table) {
        return NULL;
    }
    PyObject *value = PyDict_GetItemWithError(table, key);
    Py_XINCREF(value);
    Py_DECREF(table);
    if (value || PyErr_Occurred()) {
        return value;
    }
    value = default_of(defaults, key);
    if (value) {
        return Py_NewRef(value);
    }
    return PyErr_Occurred() ? NULL : outside("an unknown key");
}

static PyObject *read_all(const struct call_defaults *defaults) {
    PyObject *out = defaults_dict(defaults->threads);
    if (!out) {
        return NULL;
    }
    for (int i = 0; i < 2; ++i) {
        PyObject *path = defaults->command_paths[i];
        if (path && PyDict_SetItem(out, F.command_path_keys[i], path) < 0) {
            goto fail;
        }
    }
    PyObject *table = options_table();
    if (!table) {
        goto fail;
    }
    int merged = PyDict_Update(out, table);
    Py_DECREF(table);
    if (merged < 0) {
        goto fail;
    }
    table = options_table();
    if (!table) {
        goto fail;
    }
    /* Only a stored engine path that is a str may need the remote-run script. */
    PyObject *engine = PyDict_GetItemWithError(table, F.command_path_keys[0]);
    int stored_text = engine && PyUnicode_Check(engine);
    Py_DECREF(table);
    if (stored_text) {
        outside("a stored engine path");
        goto fail;
    }
    if (!PyErr_Occurred()) {
        return out;
    }
fail:
    Py_DECREF(out);
    return NULL;
}

static PyObject *read_list(const struct call_defaults *defaults, PyObject *option) {
    PyObject *keys = PySequence_List(option);
    if (!keys) {
        return NULL;
    }
    Py_ssize_t count = PyList_GET_SIZE(keys);
    PyObject *values = PyList_New(count);
    for (Py_ssize_t i = 0; values && i < count; ++i) {
        PyObject *value = read_one(defaults, PyList_GET_ITEM(keys, i));
        if (value) {
            PyList_SET_ITEM(values, i, value);
        } else {
            Py_CLEAR(values);
        }
    }
    Py_DECREF(keys);
    return values;
}

static PyObject *read_option(PyObject *option) {
    struct call_defaults defaults;
    PyObject *result = NULL;
    if (prepare_defaults(&defaults) == 0) {
        if (option == Py_None) {
            result = read_all(&defaults);
        } else if (PyUnicode_Check(option)) {
            result = read_one(&defaults, option);
        } else {
            result = read_list(&defaults, option);
        }
    }
    release_defaults(&defaults);
    return result;
}

/* skorv_get_option(key), called through the namespace by the module itself. */
static PyObject *read_key(PyObject *key) {
    return own_function(GET_OPTION) < 0 ? NULL : read_option(key);
}

/* --- Setting, and the checks after it. */

static int set_one(PyObject *key, PyObject *value) {
    if (own_function(SET_ONE) < 0 || !default_thread_string()) {
        return -1;
    }
    if (!plain_text(key)) {
        return refuse("a key that is no plain str");
    }
    int known = PyDict_Contains(F.defaults, key);
    if (known == 0) {
        known = same_text(key, F.command_path_keys[0]) || same_text(key, F.command_path_keys[1]);
    }
    if (known <= 0) {
        return known < 0 ? -1 : refuse("an unknown key");
    }
    return store(key, value);
}

/* The first of `candidates` that the option under `key` equals, else -1 or -2 on error. */
static int option_among(PyObject *key, PyObject *const *candidates, int count) {
    PyObject *value = read_key(key);
    if (!value) {
        return -2;
    }
    int index = plain_text(value) ? first_equal(value, candidates, count) : -1;
    Py_DECREF(value);
    return index;
}

static int check_after_set(void) {
    if (own_function(POST_SET_CHECKS) < 0) {
        return -1;
    }
    int mode = option_among(F.skorv_mode, F.modes, MODE_COUNT);
    if (mode < 0) {
        return mode == -2 ? -1 : refuse("an engine mode that is refused");
    }
    if (mode == EXPERIMENTAL && store(F.skorv_mode, F.modes[0]) < 0) {
        return -1;
    }
    /* "default" is reset, and what is not listed needs a file-system test. */
    int library = option_among(F.malloc_lib, F.libraries, LIBRARY_COUNT);
    if (library < 1) {
        return library == -2 ? -1 : refuse("that allocator");
    }
    PyObject *wdir = read_key(F.working_directory);
    if (!wdir) {
        return -1;
    }
    int text = PyUnicode_Check(wdir);
    Py_DECREF(wdir);
    return text ? refuse("a working directory to test for multibyte characters") : 0;
}

/* --- Functions called by the benchmark, named as the module's. */

static PyObject *cpu_default_string(void) {
    PyObject *threads = thread_string();
    return threads ? Py_NewRef(threads) : NULL;
}

static PyObject *get_option_default(void) {
    if (own_function(CPU_DEFAULT_STRING) < 0) {
        return NULL;
    }
    PyObject *threads = thread_string();
    return threads ? defaults_dict(threads) : NULL;
}

static PyObject *get_option(PyObject *const *args, Py_ssize_t nargs) {
    return read_option(nargs ? args[0] : Py_None);
}

static PyObject *set_option(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 2 && keywords == 0) {
        if (set_one(args[0], args[1]) < 0) {
            return NULL;
        }
    } else if (nargs == 0 && keywords > 0) {
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            if (set_one(PyTuple_GET_ITEM(kwnames, i), args[i]) < 0) {
                return NULL;
            }
        }
    } else {
        return outside("that call form");
    }
    if (check_after_set() < 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

static PyObject *plexa_enabled(void) {
    PyObject *value = read_key(F.plexa_features);
    if (!value) {
        return NULL;
    }
    int truth = PyObject_IsTrue(value);
    Py_DECREF(value);
    return truth < 0 ? NULL : PyBool_FromLong(truth);
}

/* The functions are called as the module's are: through the vectorcall slot
   of a function type of their own, for which the interpreter has no faster
   path than for any other callable. */

enum function_id {
    F_CPU_DEFAULT_STRING,
    F_GET_OPTION_DEFAULT,
    F_GET_OPTION,
    F_SET_OPTION,
    F_PLEXA
};

static const char *const FUNCTION_NAMES[] = {
    "_cpu_default_string", "skorv_get_option_default",     "skorv_get_option",
    "skorv_set_option",    "skorv_enabled_Plexa_features",
};

typedef struct {
    PyObject_HEAD vectorcallfunc vectorcall;
    enum function_id id;
} floor_function;

static PyObject *call_function(PyObject *self, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    enum function_id id = ((floor_function *)self)->id;
    if (id == F_SET_OPTION) {
        return set_option(args, nargs, kwnames);
    }
    if (kwnames || nargs > (id == F_GET_OPTION)) {
        return outside("those arguments");
    }
    switch (id) {
    case F_CPU_DEFAULT_STRING:
        return cpu_default_string();
    case F_GET_OPTION_DEFAULT:
        return get_option_default();
    case F_GET_OPTION:
        return get_option(args, nargs);
    default:
        return plexa_enabled();
    }
}

static PyTypeObject FUNCTION_TYPE = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "options_floor.function",
    .tp_basicsize = sizeof(floor_function),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_vectorcall_offset = offsetof(floor_function, vectorcall),
    .tp_call = PyVectorcall_Call,
};

static int add_functions(PyObject *module) {
    if (PyType_Ready(&FUNCTION_TYPE) < 0) {
        return -1;
    }
    for (int id = F_CPU_DEFAULT_STRING; id <= F_PLEXA; ++id) {
        floor_function *fn = PyObject_New(floor_function, &FUNCTION_TYPE);
        if (!fn) {
            return -1;
        }
        fn->vectorcall = call_function;
        fn->id = id;
        if (PyModule_AddObject(module, FUNCTION_NAMES[id], (PyObject *)fn) < 0) {
            Py_DECREF(fn);
            return -1;
        }
    }
    return 0;
}

/* --- Set-up. */

static int intern_all(void) {
    for (int name = 0; name < NAME_COUNT; ++name) {
        if (!(F.names[name] = PyUnicode_InternFromString(NAME_TEXTS[name]))) {
            return -1;
        }
    }
    for (size_t i = 0; i < sizeof STRING_TEXTS / sizeof STRING_TEXTS[0]; ++i) {
        if (!(*STRING_TEXTS[i].slot = PyUnicode_InternFromString(STRING_TEXTS[i].text))) {
            return -1;
        }
    }
    for (long count = 1; count <= MAX_THREADS; ++count) {
        if (!(F.thread_strings[count] = PyUnicode_FromFormat("%ld:1", count))) {
            return -1;
        }
    }
    return 0;
}

/* The defaults as the module gives them, with a slot for each read's thread string. */
static int take_defaults(void) {
    PyObject *given = PyObject_CallNoArgs(F.own[GET_OPTION_DEFAULT]);
    if (!given) {
        return -1;
    }
    F.defaults = PyDict_Copy(given);
    Py_DECREF(given);
    F.threads_slot = PyObject_CallNoArgs((PyObject *)&PyBaseObject_Type);
    if (!F.defaults || !F.threads_slot) {
        return -1;
    }
    return PyDict_SetItem(F.defaults, F.num_threads, F.threads_slot);
}

static int watch_namespace(void) {
#if PY_VERSION_HEX >= 0x030C0000
    namespace_watcher = PyDict_AddWatcher(on_namespace_change);
    if (namespace_watcher < 0 || PyDict_Watch(namespace_watcher, F.globals) < 0) {
        return -1;
    }
#endif
    return 0;
}

static PyObject *bind(PyObject *self, PyObject *module) {
    (void)self;
    if (F.globals) {
        return outside("a second module");
    }
    F.globals = Py_NewRef(PyModule_GetDict(module));
    F.builtins = Py_NewRef(PyEval_GetBuiltins());
    if (intern_all() < 0) {
        return NULL;
    }
    for (int name = CPU_DEFAULT_STRING; name <= POST_SET_CHECKS; ++name) {
        PyObject *fn = PyDict_GetItemWithError(F.globals, F.names[name]);
        if (!fn) {
            return PyErr_Occurred() ? NULL : outside("a module without its functions");
        }
        F.own[name] = Py_NewRef(fn);
    }
    if (take_defaults() < 0 || watch_namespace() < 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

static PyMethodDef FLOOR_METHODS[] = {
    {"bind", bind, METH_O,
     "bind(module): follow the namespace of drovik.options, as the functions here do."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef FLOOR_MODULE = {
    PyModuleDef_HEAD_INIT,
    "options_floor",
    "The least work of each measured operation of drovik.options.",
    -1,
    FLOOR_METHODS,
    NULL,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit_options_floor(void) {
    PyObject *module = PyModule_Create(&FLOOR_MODULE);
    if (module && add_functions(module) < 0) {
        Py_CLEAR(module);
    }
    return module;
}
