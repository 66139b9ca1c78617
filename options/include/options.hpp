// The one header of drovik.options: the constants generated from the
// catalogue (keys, defaults, accepted words, messages, the functions' facts),
// the process state, and what each unit offers the units above it.
//
// The units, from the floor up; each uses only those below it:
//   state.cpp        the process state, its strings, the namespace lookups,
//                    operations on any object as Python does them
//   stack_guard.cpp  the guard against running out of C stack
//   table.cpp        the option table, its defaults and the thread string
//   companions.cpp   the imports of the set-up, the calls into companions
//   reading.cpp      skorv_get_option, skorv_enabled_Plexa_features
//   setting.cpp      skorv_set_option, _set_one, _post_set_checks
//   function.cpp     the function type, the entry of every call
//   module.cpp       the set-up, and its order
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include "catalogue.inc"

#include <cstring>

namespace drovik {

// ===== state.cpp

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

// Owners of the module: none until the first import; after the owner has been
// finalised, no interpreter made later in the process is taken as its owner.
constexpr int64_t OWNER_NONE = -1;
constexpr int64_t OWNER_FINALIZED = -2;

// Attributes and methods the module gets from other objects.
struct AttributeNames {
    PyObject *cpu_count, *path, *exists, *warn, *lower, *startswith, *get, *keys;
    PyObject *note_for, *add_note; // for the note of an unknown key (3.11 on)
};

// Parameter names, values the module compares with or stores, its own name.
struct Words {
    PyObject *option, *value;
    PyObject *empty, *slash, *thread_suffix;
    PyObject *engine_modes[ENGINE_MODE_COUNT];
    PyObject *mode_replacements[MODE_REPLACEMENT_COUNT][2]; // accepted mode, mode stored
    PyObject *allocator_names[ALLOCATOR_NAME_COUNT];        // the first one means "unset"
    PyObject *remote_engine_words[REMOTE_ENGINE_WORD_COUNT];
    // A failed set-up must be able to remove it from sys.modules without making anything.
    PyObject *module_name;
    // The helper that makes the "did you mean" note for an unknown key.
    PyObject *suggest_module;
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

// Everything drovik.options keeps for the whole process. The module exists
// once per process and declares no per-module state, so all of this lives in
// one process-wide object, `process`:
// - The strings, the defaults template, the thread strings and the function
//   type are made during the first set-up, each at most once, and never
//   freed: functions of the module may run until the interpreter is gone. A
//   set-up that fails keeps what it made of them, and the next one makes only
//   the rest.
// - The module, its namespace, the builtins and the seven functions are
//   those of the set-up that has begun and not failed. A failed set-up drops
//   its module and functions (the next import starts afresh and makes new
//   ones); a re-import returns `module` itself and makes nothing.
// - The remembered lookups are valid while the namespace is unchanged.
struct ProcessState {
    // Interned strings, each made once.
    PyObject *keys[KEY_COUNT];
    AttributeNames attr;
    Words words;
    PyObject *messages[MESSAGE_COUNT];
    PyObject *global_names[NAME_COUNT]; // by Name

    // Made once, kept for the life of the process.
    PyObject *defaults_template;               // the defaults, "num.threads" a placeholder
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
inline constexpr const AttributeNames &attr = process.attr;
inline constexpr const Words &words = process.words;

inline PyObject *key(Key k) {
    return process.keys[k];
}

inline PyObject *message(Message m) {
    return process.messages[m];
}

// Makes what does not exist yet of the interned strings; -1 with an
// exception set on failure.
int init_strings();

// --- Operations on any object, each as Python does it.

inline Ref call0(PyObject *callable) {
    return Ref::steal(PyObject_CallNoArgs(callable));
}

inline Ref call1(PyObject *callable, PyObject *arg) {
    return Ref::steal(PyObject_CallOneArg(callable, arg));
}

// isinstance(obj, str): 1, 0, or -1 on error. Any other object may claim
// str through its __class__ (a class written in Python, a proxy of a str),
// except those of the interpreter's own value types, which are answered
// without asking.
inline int is_str(PyObject *obj) {
    if (PyUnicode_Check(obj)) {
        return 1;
    }
    if (Py_IsNone(obj) || PyBool_Check(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
        PyBytes_CheckExact(obj) || PyTuple_CheckExact(obj) || PyList_CheckExact(obj) ||
        PyDict_CheckExact(obj)) {
        return 0;
    }
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(&PyUnicode_Type));
}

// An exact str whose characters can be read directly: str's own comparison
// is all there is to it, and it runs no Python code.
inline bool is_plain_text(PyObject *obj) {
    return PyUnicode_CheckExact(obj) && unicode_is_ready(obj);
}

// `a == b` for two plain texts. Strings are stored in the narrowest kind that
// holds their characters, so equal texts have equal kinds.
inline bool same_text(PyObject *a, PyObject *b) {
    if (a == b) {
        return true;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) {
        return false;
    }
    size_t size = static_cast<size_t>(length) * PyUnicode_KIND(a);
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size) == 0;
}

// Python's `a <op> b` followed by a truth test; -1 on error.
int rich_compare(PyObject *a, PyObject *b, int op);

// `value == word`, where `word` is one of the module's own strings; -1 on
// error. A plain-text value is compared in place.
inline int equals_word(PyObject *value, PyObject *word) {
    return is_plain_text(value) ? same_text(value, word) : rich_compare(value, word, Py_EQ);
}

// `**mapping` into `target`, as in `{**a, **b}`: what is no mapping is
// refused with the TypeError that such a display raises.
int merge_mapping(PyObject *target, PyObject *mapping);

// The text of `obj` as an f-string field without a format given renders it.
Ref format_plain(PyObject *obj);

// --- Names in the module namespace, looked up at every use.

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

// A call of the module's function `own` through the name it is bound to,
// `name`, as the module's Python code makes it: while the namespace binds
// the module's own function, its body `own_body` runs directly, without
// holding the function; otherwise whatever is bound is called with `args`.
template <typename OwnBody, typename... Args>
HOT_INLINE Ref call_through_namespace(Name name, FunctionId own, OwnBody own_body, Args... args) {
    PyObject *fn = find_global(name);
    if (!fn) {
        return Ref();
    }
    if (fn == process.functions[own]) {
        return own_body(args...);
    }
    Ref held = Ref::borrow(fn);
    if constexpr (sizeof...(Args) == 0) {
        return call0(held.get());
    } else if constexpr (sizeof...(Args) == 1) {
        return call1(held.get(), args...);
    } else {
        PyObject *argv[] = {args...};
        return Ref::steal(PyObject_Vectorcall(held.get(), argv, sizeof...(Args), nullptr));
    }
}

// ===== stack_guard.cpp

// Where a call's frame lies on the thread's stack.
enum class Stack { ROOM, DEEP, EXHAUSTED, FOREIGN };

Stack check_stack(uintptr_t frame);

// The innermost counted call of the module on this thread.
struct CountedCall {
    uintptr_t frame;
    int depth;
};

// Held for the whole of a call of one of the module's functions: true when
// the call may go ahead, else false with RecursionError set.
class StackGuard {
  public:
    HOT_INLINE StackGuard() {
        // The frame address, not a local's: AddressSanitizer may keep locals
        // on a stack of its own.
        auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        Stack stack = check_stack(frame);
        if (stack == Stack::ROOM) {
            passed_ = true;
            return;
        }
        enter(stack, frame);
    }
    HOT_INLINE ~StackGuard() {
        if (undo_) {
            leave();
        }
    }
    StackGuard(const StackGuard &) = delete;
    StackGuard &operator=(const StackGuard &) = delete;
    explicit operator bool() const { return passed_; }

  private:
    enum : uint8_t { INTERPRETER_ENTERED = 1, NESTING_COUNTED = 2 };

    void enter(Stack stack, uintptr_t frame);
    bool count_nesting(uintptr_t frame);
    void leave();

    bool passed_ = false;
    uint8_t undo_ = 0;
    CountedCall outer_; // set only when NESTING_COUNTED
};

// ===== table.cpp

int init_defaults_template();
int init_thread_strings();

// The bodies of _cpu_default_string() and skorv_get_option_default().
Ref cpu_default_string();
Ref skorv_get_option_default();

// _cpu_default_string(), through the namespace.
Ref call_cpu_default_string();

// The option table, whatever `_SKORV_OPTIONS` is bound to at the moment of use.
inline Ref options_table() {
    return lookup_global(NAME_OPTIONS_TABLE);
}

// key in _SKORV_OPTIONS
HOT_INLINE int table_contains(PyObject *key) {
    Ref table = options_table();
    if (!table) {
        return -1;
    }
    return PyDict_CheckExact(table.get()) ? PyDict_Contains(table.get(), key)
                                          : PySequence_Contains(table.get(), key);
}

// True when every key of the exact dict `dict` is an exact str.
bool has_only_exact_str_keys(PyObject *dict);

// is_plain_table() for a table not remembered: looks at every key.
bool find_plain_table_afresh(PyObject *table);

// True when the exact dict `table` holds only exact str keys: searching it
// for an exact str then runs no Python code.
HOT_INLINE bool is_plain_table(PyObject *table) {
#if DROVIK_DICT_WATCHERS
    if (table == process.plain_table) {
        return true;
    }
#else
    // Every dict gets a version of its own at each change, so the version
    // alone tells the table and its state.
    if (dict_version_tag(table) == process.plain_table_version) {
        return true;
    }
#endif
    return find_plain_table_afresh(table);
}

// `key in _SKORV_OPTIONS`, then `_SKORV_OPTIONS[key]`: 1 with `value` set,
// 0 when absent.
HOT_INLINE int table_find(PyObject *key, Ref &value) {
    Ref table = options_table();
    if (!table) {
        return -1;
    }
    if (PyDict_CheckExact(table.get()) && is_plain_text(key) && is_plain_table(table.get())) {
        // Nothing can run code while the table is searched, so one search
        // answers both questions. A key of another type could (its __eq__
        // may rebind the table or answer differently the second time).
        PyObject *found = PyDict_GetItemWithError(table.get(), key);
        if (!found) {
            return PyErr_Occurred() ? -1 : 0;
        }
        value = Ref::borrow(found);
        return 1;
    }
    int stored = PySequence_Contains(table.get(), key);
    if (stored <= 0) {
        return stored;
    }
    // Looked up again, as `_SKORV_OPTIONS[key]` does: the test may have run code.
    table = options_table();
    if (!table) {
        return -1;
    }
    value = Ref::steal(PyObject_GetItem(table.get(), key));
    return value ? 1 : -1;
}
int table_store(PyObject *key, PyObject *value); // _SKORV_OPTIONS[key] = value
Ref table_get_or_none(PyObject *key);            // _SKORV_OPTIONS.get(key, None)

// What the threads key holds in the defaults template until each call puts
// its own thread string there: inserting it keeps the key at its place in
// the order, and no other default is this object.
inline PyObject *threads_placeholder() {
    return key(THREADS_KEY);
}

// What skorv_get_option_default(), called through the namespace, gives one
// read or set, with the built-in command paths that a read adds to it. While
// the name is bound to the module's own function no dict is built unless a
// caller needs one: the thread string is made (the machine is asked every
// time) and every other entry is the template's, which gives the same answers.
class CallDefaults {
  public:
    int fetch();
    // `defaults[key] = path`.
    int add_command_path(PyObject *key, Ref path);
    // `key in defaults`, then `defaults[key]`: 1 with `value` set, 0 when absent.
    int find(PyObject *key, Ref &value);
    // The whole dict for the dict form of a read; the caller's to change.
    Ref take_dict();
    // What the function returned when the name is bound to another one, else null.
    PyObject *rebound() const { return threads_ ? nullptr : dict_.get(); }

  private:
    int build();
    // What a rebound function returned, or the dict built for this call.
    Ref dict_;
    // This call's thread string, made only while the function is the module's own.
    Ref threads_;
    Ref skorv_path_;
    Ref mevro_path_;
};

HOT_INLINE int CallDefaults::find(PyObject *k, Ref &value) {
    // Only an exact str is sure to compare with the keys without running
    // Python code; any other key is looked up in a real mapping.
    if (dict_ || !is_plain_text(k)) {
        if (build() < 0) {
            return -1;
        }
        int found = PySequence_Contains(dict_.get(), k);
        if (found > 0) {
            value = Ref::steal(PyObject_GetItem(dict_.get(), k));
            return value ? 1 : -1;
        }
        return found;
    }
    // The defaults of this call are private, so one lookup answers both.
    PyObject *found = PyDict_GetItemWithError(process.defaults_template, k);
    if (found) {
        value = Ref::borrow(found == threads_placeholder() ? threads_.get() : found);
        return 1;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    if (skorv_path_ && same_text(k, key(KEY_SKORV_CALL))) {
        value = Ref::borrow(skorv_path_.get());
    } else if (mevro_path_ && same_text(k, key(KEY_MEVRO_CALL))) {
        value = Ref::borrow(mevro_path_.get());
    } else {
        return 0;
    }
    return 1;
}

// ===== companions.cpp

// `globals[name] = value`.
int bind(PyObject *globals, const char *name, PyObject *value);

// `import <name>`, bound under its own name.
int import_module(PyObject *globals, const char *name);

// `from <module_name> import names...` at level `level`, binding each name
// under the matching entry of `bindings`; `full_name` is the module's
// absolute name, used to find it already imported.
int import_from(PyObject *globals, const char *module_name, int level, const char *full_name,
                const char *const *names, const char *const *bindings);

// The module statements' imports from drovik.skorv_call and drovik.utils.
int import_companions(PyObject *globals);

// The companion function bound to `name` (NAME_SKORV_CALL_BUILTIN,
// NAME_MEVRO_CALL_BUILTIN or NAME_SKORV_REMOTE_SCRIPT) in the module
// namespace at the moment of the call, called with no arguments.
HOT_INLINE Ref call_companion(Name name) {
    Ref fn = lookup_global(name);
    return fn ? call0(fn.get()) : Ref();
}

// _any_mb(text), tested for truth.
int any_multibyte(PyObject *text);

// ===== reading.cpp

Ref skorv_get_option(PyObject *option);
Ref skorv_enabled_plexa_features();

// skorv_get_option(key), through the namespace.
Ref read_option(PyObject *key);

// Raises KeyError("Unknown option '<key>'"); returns an empty Ref.
Ref raise_unknown_option(PyObject *key);

// ===== setting.cpp

Ref skorv_set_option(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
Ref set_one(PyObject *option, PyObject *value);
Ref post_set_checks();

// The type test of `_set_one` for its `option`, made by its argument
// handling and by calls of its body through the namespace.
int check_option_type(PyObject *option);

// ===== function.cpp

int init_function_type();

// The code objects of the functions, by FunctionId: a tuple.
Ref load_function_codes();

// The function `id`, with its code object `code`, looking names up in `globals`.
Ref make_function(FunctionId id, PyObject *code, PyObject *globals, PyObject *module_name);

} // namespace drovik
