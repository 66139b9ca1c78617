#pragma once

#include "ref.hpp"

// ---------------------------------------------------------------------------
// Compatibility with the oldest interpreter we build for (3.9).

// Member descriptors: the structmember.h names are deprecated from 3.12 on.
#ifdef Py_T_OBJECT_EX
#define OBJECT_MEMBER Py_T_OBJECT_EX
#define READONLY_MEMBER Py_READONLY
#else
#include <structmember.h>
#define OBJECT_MEMBER T_OBJECT_EX
#define READONLY_MEMBER READONLY
#endif

namespace drovik {

#ifndef Py_IsNone
#define Py_IsNone(x) ((x) == Py_None)
#endif

// Strings are always ready from 3.12 on, where the call is deprecated.
inline int unicode_ready(PyObject *text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

// ---------------------------------------------------------------------------
// Strings used on every call, interned once at set-up. The module exists once
// per process and keeps no per-module state, so these live in one process-wide
// object instead of module state; each is created at most once and never freed.

struct Strings {
    // Option keys, in the order of the table of defaults, then the two
    // command paths, which have no default.
    PyObject *skorv_arg, *mevro_arg, *num_threads, *smtp, *safe, *keep, *verbose, *save_memory,
        *internal_opt, *working_directory, *silent, *debug, *show_warning_graph_file,
        *scale_model_default, *short_summary, *skorv_timeout, *mevro_timeout, *skorv_mode,
        *malloc_lib, *mevro_evolution, *mevro_evolution_warn, *mevro_evolution_verbosity,
        *plexa_features, *numa;
    PyObject *skorv_call, *mevro_call;

    // Attribute and method names, parameter names, short constants.
    PyObject *a_cpu_count, *a_path, *a_exists, *a_warn, *a_lower, *a_startswith, *a_get, *a_keys,
        *p_option, *p_value, *empty, *slash, *thread_suffix, *remote, *skorv_remote, *default_,
        *compact, *classic, *twostage, *experimental, *compiler, *je, *tc, *mi;

    // The helper that makes the note for an unknown key, and its names.
    PyObject *suggest_module, *a_note_for, *a_add_note;

    // Message pieces.
    PyObject *m_unknown_option_head, *m_quote, *m_invalid_mode, *m_malloc_missing_head,
        *m_malloc_missing_tail, *m_malloc_unavailable_head, *m_malloc_unavailable_tail,
        *m_wdir_head, *m_wdir_tail;
};

extern Strings S;

// Names that the functions look up in the module namespace at each use.
enum Name {
    NAME_OS,
    NAME_WARNINGS,
    NAME_OPTIONS_TABLE,
    NAME_CPU_DEFAULT_STRING,
    NAME_GET_OPTION_DEFAULT,
    NAME_GET_OPTION,
    NAME_SET_ONE,
    NAME_POST_SET_CHECKS,
    NAME_SKORV_CALL_BUILTIN,
    NAME_MEVRO_CALL_BUILTIN,
    NAME_SKORV_REMOTE_SCRIPT,
    NAME_ANY_MB,
    NAME_COUNT
};

// Creates every string of S that does not exist yet; -1 with an exception set
// on failure (a later import tries again).
int init_strings();

// ---------------------------------------------------------------------------
// The seven functions of the module, in the order in which they are bound.

enum FunctionId {
    F_CPU_DEFAULT_STRING,
    F_GET_OPTION_DEFAULT,
    F_GET_OPTION,
    F_SET_OPTION,
    F_SET_ONE,
    F_POST_SET_CHECKS,
    F_PLEXA_ENABLED,
    FUNCTION_COUNT
};

struct FunctionDef {
    const char *name;
    vectorcallfunc entry;
    const char *doc;                // nullptr: no docstring
    const char *const *annotations; // name, text pairs, nullptr-terminated
    bool option_defaults_to_none;   // __defaults__ == (None,)
    const char *code_stub;          // source of a def with the same parameters and locals
};

extern const FunctionDef FUNCTION_DEFS[FUNCTION_COUNT];

// The process-wide state behind the module: the one module object and what
// its set-up made. Everything here is a strong reference.
struct Process {
    PyObject *module;
    PyObject *globals;  // the module's namespace
    PyObject *builtins; // where a name missing from the namespace is looked up
    PyObject *functions[FUNCTION_COUNT];
    PyObject *defaults_template;  // the 24 defaults, "num.threads" holding a placeholder
    PyObject *thread_strings[17]; // "1:1" .. "16:1", by count
};

extern Process P;

// ---------------------------------------------------------------------------
// Module namespace (module.cpp).

// The object bound to `name` in the module namespace, else among the
// builtins, else NameError.
Ref lookup_global(Name name);

// Starts following changes of the module namespace, which lookup_global()
// relies on to answer repeated lookups without searching the namespace.
int watch_namespace();

// True when `fn` is the module's own function `id`, so its body may run directly.
inline bool is_own(const Ref &fn, FunctionId id) {
    return fn.get() == P.functions[id];
}

// Equality of a str with one of the module's strings, without running Python code.
inline bool same_text(PyObject *text, PyObject *interned) {
    return text == interned || (PyUnicode_GET_LENGTH(text) == PyUnicode_GET_LENGTH(interned) &&
                                PyUnicode_Compare(text, interned) == 0);
}

// Calls a function object with no arguments / one argument.
Ref call0(PyObject *callable);
Ref call1(PyObject *callable, PyObject *arg);

// `from <module_name> import names...` at level `level`, binding each name
// under the matching entry of `bindings`; `full_name` is the module's
// absolute name, used to find it already imported.
int import_from(PyObject *globals, const char *module_name, int level, const char *full_name,
                const char *const *names, const char *const *bindings);

// isinstance(obj, str): 1, 0, or -1 on error. Only an object of a class
// written in Python can claim str through its __class__.
inline int is_str(PyObject *obj) {
    if (PyUnicode_Check(obj)) {
        return 1;
    }
    if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_HEAPTYPE)) {
        return 0;
    }
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(&PyUnicode_Type));
}

// Python's `a == b` / `a != b` followed by a truth test; -1 on error.
int equals(PyObject *a, PyObject *b);
int differs(PyObject *a, PyObject *b);

// `**mapping` into `target`, as in `{**a, **b}`: what is no mapping is
// refused with the TypeError that such a display raises.
int merge_mapping(PyObject *target, PyObject *mapping);

// The text of `obj` as an f-string field without a format given renders it.
Ref format_plain(PyObject *obj);

// ---------------------------------------------------------------------------
// Option table and defaults (table.cpp).

int init_defaults_template();
int init_thread_strings();
Ref cpu_default_string();
Ref option_defaults();
Ref call_cpu_default_string();

// The `defaults` of one read or one set: what skorv_get_option_default()
// returned, plus the built-in command paths added while they are unset. While
// the name is bound to the module's own function the dict is not built: the
// thread string is computed (the machine is asked every time) and every other
// default is read from the template, which gives the same answers.
class CallDefaults {
  public:
    int fetch();
    int add_command_path(PyObject *key, Ref path);
    int contains(PyObject *key);
    // contains() and then get() in one step: 1 with `value` set, 0 when absent.
    int find(PyObject *key, Ref &value);
    // Membership among the keys() of the defaults, as a set of them tests it.
    int keys_contain(PyObject *key);
    Ref get(PyObject *key);
    // A dict of all entries for the dict form of a read. It belongs to the
    // caller and may be changed freely.
    Ref take_dict();

  private:
    int materialize();
    Ref dict_;
    Ref threads_;
    Ref skorv_path_;
    Ref mevro_path_;
};

// ---------------------------------------------------------------------------
// Calls into the companion modules (companions.cpp).

int import_companions(PyObject *globals);
Ref call_skorv_builtin();
Ref call_mevro_builtin();
Ref call_remote_script();
int any_multibyte(PyObject *text);

// ---------------------------------------------------------------------------
// Option access (access.cpp). Bodies run after argument handling.

Ref get_option(PyObject *option);
Ref set_option(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
Ref set_one(PyObject *option, PyObject *value);
Ref post_set_checks();
Ref plexa_enabled();

// ---------------------------------------------------------------------------
// Function objects and argument handling (function.cpp).

int init_function_type();
Ref make_function(const FunctionDef &definition, PyObject *globals, PyObject *module_name);

PyObject *cpu_default_string_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *get_option_default_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *get_option_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *set_option_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *set_one_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *post_set_checks_entry(PyObject *, PyObject *const *, size_t, PyObject *);
PyObject *plexa_enabled_entry(PyObject *, PyObject *const *, size_t, PyObject *);

// The type test of `_set_one` for its `option`, shared by its argument
// handling and by direct calls of its body.
int check_option_type(PyObject *option);

} // namespace drovik
