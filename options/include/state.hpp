// Everything drovik.options keeps for the whole process: the strings it uses
// on every call, the objects its set-up made, and what it remembers of the
// namespace.
//
// The module exists once per process and declares no per-module state, so all
// of this lives in one process-wide object, `process`:
// - The strings, the defaults template, the thread strings and the function
//   type are made by init_process_state() during the first set-up, each at
//   most once, and never freed: functions of the module may run until the
//   interpreter is gone. A set-up that fails keeps what it made of them, and
//   the next one makes only the rest.
// - The module, its namespace, the builtins and the seven functions are
//   those of the set-up that has begun and not failed. A failed set-up drops
//   its module and functions (the next import starts afresh and makes new
//   ones); a re-import returns `module` itself and makes nothing.
// - The remembered lookups are valid while the namespace is unchanged.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace drovik {

// Names the functions look up in the module namespace at each use.
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

// The thread count of "num.threads" goes from 1 to this.
constexpr long MAX_THREADS = 16;

// Owners of the module: none until the first import; after the owner has been
// finalised, no interpreter made later in the process is taken as its owner.
constexpr int64_t OWNER_NONE = -1;
constexpr int64_t OWNER_FINALIZED = -2;

// The option keys, in the order of the table of defaults, then the two
// command paths, which have no default.
struct OptionKeys {
    PyObject *skorv_arg, *mevro_arg, *num_threads, *smtp, *safe, *keep, *verbose, *save_memory,
        *internal_opt, *working_directory, *silent, *debug, *show_warning_graph_file,
        *scale_model_default, *short_summary, *skorv_timeout, *mevro_timeout, *skorv_mode,
        *malloc_lib, *mevro_evolution, *mevro_evolution_warn, *mevro_evolution_verbosity,
        *plexa_features, *numa;
    PyObject *skorv_call, *mevro_call;
};

// Attributes and methods the module gets from other objects.
struct AttributeNames {
    PyObject *cpu_count, *path, *exists, *warn, *lower, *startswith, *get, *keys;
    PyObject *note_for, *add_note; // for the note of an unknown key (3.11 on)
};

// Parameter names, values the module compares with or stores, its own name.
struct Words {
    PyObject *option, *value;
    PyObject *empty, *slash, *thread_suffix, *remote, *skorv_remote;
    PyObject *default_, *compact, *classic, *twostage, *experimental, *compiler, *je, *tc, *mi;
    // A failed set-up must be able to remove it from sys.modules without making anything.
    PyObject *module_name;
    // The helper that makes the "did you mean" note for an unknown key.
    PyObject *suggest_module;
};

// The pieces of the messages of errors and warnings.
struct Messages {
    PyObject *unknown_option_head, *quote, *invalid_mode, *malloc_missing_head,
        *malloc_missing_tail, *malloc_unavailable_head, *malloc_unavailable_tail, *wdir_head,
        *wdir_tail;
};

// What find_global() found, borrowed, together with the version of the
// namespace that it was found in.
struct FoundNames {
    uint64_t version;
    PyObject *values[NAME_COUNT];
};

// A version that the namespace never has: while it is the remembered one,
// nothing remembered is ever used.
constexpr uint64_t NO_VERSION = UINT64_MAX;

#if DROVIK_DICT_WATCHERS
// A change of the namespace that its dict watcher has announced. Watchers run
// before the change is made, and those added after the module's may run
// Python code in between: until the namespace binds the change's value, what
// a lookup finds there may be about to go.
struct PendingChange {
    int name;        // a Name, or one of the two below
    PyObject *value; // only ever compared: nullptr for a deletion
};
constexpr int ANY_NAME = -1;   // set under a key that is no str: binds `value` somewhere
constexpr int EVERY_NAME = -2; // cleared, or a key that is no str deleted: empty
constexpr int MAX_PENDING_CHANGES = 8;
#endif

struct ProcessState {
    // Interned strings, each made once.
    OptionKeys keys;
    AttributeNames attr;
    Words words;
    Messages messages;
    PyObject *global_names[NAME_COUNT]; // by Name

    // Made once, kept for the life of the process.
    PyObject *defaults_template;               // the 24 defaults, "num.threads" a placeholder
    PyObject *thread_strings[MAX_THREADS + 1]; // "1:1" .. "16:1", by count
    PyTypeObject *function_type;

    // The set-up that has begun and not failed, and what it made.
    PyObject *module;
    PyObject *globals;  // the module's namespace
    PyObject *builtins; // where a name missing from the namespace is looked up
    PyObject *functions[FUNCTION_COUNT];
    bool setup_begun;
    bool registered_by_setup; // the running set-up put the module into sys.modules itself
    int64_t owner_interpreter = OWNER_NONE;
    int dict_watcher = -1; // until one is added (3.12 on): follows the namespace and the table

    // Lookups in the namespace, remembered while it is unchanged; off when
    // changes cannot be followed (every dict-watcher slot taken).
    bool names_remembered;
    uint64_t namespace_changes; // moved by the dict watcher
    FoundNames found;
#if DROVIK_DICT_WATCHERS
    PendingChange pending_changes[MAX_PENDING_CHANGES];
    int pending_count;
#endif

    // The option table last found to hold only exact str keys, which one
    // search for an exact str runs no Python code in: known by its version
    // while that is unchanged, or from 3.12 on by identity until the dict
    // watcher sees a key of another type come, or the table go.
#if DROVIK_DICT_WATCHERS
    PyObject *plain_table;
#else
    uint64_t plain_table_version; // 0, which no dict has, until one is found
#endif
};

extern ProcessState process;

// Short names for the strings at the places that use them.
inline constexpr const OptionKeys &keys = process.keys;
inline constexpr const AttributeNames &attr = process.attr;
inline constexpr const Words &words = process.words;
inline constexpr const Messages &messages = process.messages;

// Makes what does not exist yet of the strings, the defaults template, the
// thread strings and the function type; -1 with an exception set on failure.
int init_process_state();

} // namespace drovik
