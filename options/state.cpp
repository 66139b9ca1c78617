// The floor of drovik.options: the process-wide state and its strings, the
// lookups of names in the module namespace, and operations on any object as
// Python does them. Nothing here calls into the units above.
//
// The functions look names up in the namespace at every use, so that
// rebinding a module attribute changes what the next call uses. What they
// found is remembered, borrowed, together with the namespace's version: while
// the namespace is unchanged it still holds every value found, and the same
// lookup gives the same answer.

#include "options.hpp"

#include <utility>

namespace drovik {

ProcessState process;

// --- The strings, made once.

namespace {

template <typename Group> using StringText = std::pair<PyObject * Group::*, const char *>;

const StringText<AttributeNames> ATTRIBUTE_TEXTS[] = {
    {&AttributeNames::cpu_count, "cpu_count"},
    {&AttributeNames::path, "path"},
    {&AttributeNames::exists, "exists"},
    {&AttributeNames::warn, "warn"},
    {&AttributeNames::lower, "lower"},
    {&AttributeNames::startswith, "startswith"},
    {&AttributeNames::get, "get"},
    {&AttributeNames::keys, "keys"},
    {&AttributeNames::note_for, "note_for"},
    {&AttributeNames::add_note, "add_note"},
};

const StringText<Words> WORD_TEXTS[] = {
    {&Words::option, "option"},
    {&Words::value, "value"},
    {&Words::empty, ""},
    {&Words::slash, "/"},
    {&Words::thread_suffix, THREAD_SUFFIX},
    {&Words::module_name, "drovik.options"},
    {&Words::suggest_module, "drovik._suggest"},
};

// Indexed by Name.
const char *const GLOBAL_NAME_TEXTS[NAME_COUNT] = {
    "os",
    "warnings",
    "_SKORV_OPTIONS",
    FUNCTION_FACTS[F_CPU_DEFAULT_STRING].name,
    FUNCTION_FACTS[F_SKORV_GET_OPTION_DEFAULT].name,
    FUNCTION_FACTS[F_SKORV_GET_OPTION].name,
    FUNCTION_FACTS[F_SET_ONE].name,
    FUNCTION_FACTS[F_POST_SET_CHECKS].name,
    "skorv_call_builtin",
    "mevro_call_builtin",
    "skorv_remote_script",
    "_any_mb",
};

int intern_once(PyObject *&slot, const char *text) {
    if (!slot) {
        slot = PyUnicode_InternFromString(text);
    }
    return slot ? 0 : -1;
}

template <size_t N> int intern_all(PyObject *(&slots)[N], const char *const (&texts)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (intern_once(slots[i], texts[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

template <typename Group, size_t N>
int intern_group(Group &group, const StringText<Group> (&texts)[N]) {
    for (const auto &[member, text] : texts) {
        if (intern_once(group.*member, text) < 0) {
            return -1;
        }
    }
    return 0;
}

int intern_mode_replacements() {
    for (int i = 0; i < MODE_REPLACEMENT_COUNT; ++i) {
        for (int side = 0; side < 2; ++side) {
            if (intern_once(process.words.mode_replacements[i][side],
                            MODE_REPLACEMENT_TEXTS[i][side]) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

} // namespace

int init_strings() {
    Words &w = process.words;
    if (intern_all(process.keys, KEY_TEXTS) < 0 ||
        intern_group(process.attr, ATTRIBUTE_TEXTS) < 0 || intern_group(w, WORD_TEXTS) < 0 ||
        intern_all(w.engine_modes, ENGINE_MODE_TEXTS) < 0 || intern_mode_replacements() < 0 ||
        intern_all(w.allocator_names, ALLOCATOR_NAME_TEXTS) < 0 ||
        intern_all(w.remote_engine_words, REMOTE_ENGINE_WORD_TEXTS) < 0 ||
        intern_all(process.messages, MESSAGE_TEXTS) < 0) {
        return -1;
    }
    return intern_all(process.global_names, GLOBAL_NAME_TEXTS);
}

// --- Operations on any object.

int rich_compare(PyObject *a, PyObject *b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!result) {
        return -1;
    }
    if (result.get() == Py_True || result.get() == Py_False) {
        return result.get() == Py_True;
    }
    return PyObject_IsTrue(result.get());
}

namespace {

// Turns the AttributeError that merging `mapping` raised into the error of
// `{**mapping}`.
#if DROVIK_MAPPING_ERROR_LOOKS_FOR_KEYS
void refuse_as_no_mapping(PyObject *mapping) {
    // Whether `mapping` has a `keys` at all decides, looked up once more as
    // the interpreter does: only the AttributeError of a missing one is
    // "not a mapping".
    Ref error = Ref::steal(PyErr_GetRaisedException());
    int has_keys = PyObject_HasAttrWithError(mapping, attr.keys);
    if (has_keys == 0) {
        PyErr_Format(PyExc_TypeError, "'%T' object is not a mapping", mapping);
    } else if (has_keys > 0) {
        PyErr_SetRaisedException(error.release());
    } else {
        // The second lookup failed: its error, in the context of the first.
        Ref lookup_error = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(lookup_error.get(), error.release());
        PyErr_SetRaisedException(lookup_error.release());
    }
}
#else
void refuse_as_no_mapping(PyObject *mapping) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping", Py_TYPE(mapping)->tp_name);
}
#endif

} // namespace

int merge_mapping(PyObject *target, PyObject *mapping) {
    if (PyDict_Update(target, mapping) == 0) {
        return 0;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        refuse_as_no_mapping(mapping);
    }
    return -1;
}

Ref format_plain(PyObject *obj) {
    if (PyUnicode_CheckExact(obj)) {
        return Ref::borrow(obj);
    }
    return Ref::steal(PyObject_Format(obj, words.empty));
}

// --- Lookups in the module namespace, and what is remembered of them.

namespace {

#if DROVIK_DICT_WATCHERS
// What follows runs inside dict watchers, so it runs no Python code: the
// namespace is walked entry by entry and keys are compared as text.

bool is_text_of(PyObject *key, Name name) {
    return PyUnicode_Check(key) && unicode_is_ready(key) &&
           same_text(key, process.global_names[name]);
}

// The namespace as the change leaves it.
bool change_completed(const PendingChange &change) {
    PyObject *globals = process.globals;
    if (change.name == EVERY_NAME) {
        return PyDict_GET_SIZE(globals) == 0;
    }
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(globals, &position, &key, &value)) {
        if (change.name == ANY_NAME ? value == change.value
                                    : is_text_of(key, static_cast<Name>(change.name))) {
            return value == change.value;
        }
    }
    return !change.value && change.name != ANY_NAME;
}

// Drops the changes that have completed. A change announced while an earlier
// one of the same name was still pending was made inside that one's window
// (by a later watcher's callback), so it is over once the earlier one is.
void drop_completed_changes() {
    PendingChange *changes = process.pending_changes;
    int count = process.pending_count;
    bool dropped[MAX_PENDING_CHANGES] = {};
    for (int i = 0; i < count; ++i) {
        if (dropped[i] || !change_completed(changes[i])) {
            continue;
        }
        dropped[i] = true;
        for (int j = i + 1; changes[i].name >= 0 && j < count; ++j) {
            dropped[j] = dropped[j] || changes[j].name == changes[i].name;
        }
    }
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (!dropped[i]) {
            changes[kept++] = changes[i];
        }
    }
    process.pending_count = kept;
}

// The name that an event concerns: one of the module's, ANY_NAME or
// EVERY_NAME; NAME_COUNT when it concerns none of them.
int changed_name(PyDict_WatchEvent event, PyObject *key, PyObject *new_value) {
    switch (event) {
    case PyDict_EVENT_ADDED:
    case PyDict_EVENT_MODIFIED:
    case PyDict_EVENT_DELETED:
        if (!PyUnicode_Check(key)) {
            // Its __eq__ may match one of the names.
            return new_value ? ANY_NAME : EVERY_NAME;
        }
        for (int name = 0; name < NAME_COUNT; ++name) {
            if (is_text_of(key, static_cast<Name>(name))) {
                return name;
            }
        }
        return NAME_COUNT;
    case PyDict_EVENT_CLONED:
        // Only ever into an empty dict, in which no lookup finds anything to
        // remember until the clone is made.
        return NAME_COUNT;
    default:
        return EVERY_NAME;
    }
}

void note_pending_change(PyDict_WatchEvent event, PyObject *key, PyObject *new_value) {
    drop_completed_changes();
    int name = changed_name(event, key, new_value);
    if (name == NAME_COUNT) {
        return;
    }
    if (process.pending_count == MAX_PENDING_CHANGES) {
        // Changes nested this deep cannot be followed: remember nothing more.
        process.names_remembered = false;
        process.found.version = NO_VERSION;
        return;
    }
    process.pending_changes[process.pending_count++] = {name, new_value};
}

// The table stays known to hold only exact str keys until a key of another
// type is about to be added, or it is cloned into or goes away.
void note_table_change(PyDict_WatchEvent event, PyObject *key) {
    if ((event == PyDict_EVENT_ADDED && !PyUnicode_CheckExact(key)) ||
        event == PyDict_EVENT_CLONED || event == PyDict_EVENT_DEALLOCATED) {
        process.plain_table = nullptr;
    }
}

// Other dicts that were watched once (a namespace of a failed set-up, a
// former table) no longer matter.
int on_watched_change(PyDict_WatchEvent event, PyObject *dict, PyObject *key, PyObject *new_value) {
    if (dict == process.plain_table) {
        note_table_change(event, key);
    }
    if (dict == process.globals) {
        ++process.namespace_changes;
        if (process.names_remembered) {
            note_pending_change(event, key, new_value);
        }
    }
    return 0;
}

// True while a change that the watcher announced may still replace what the
// namespace binds to `name`.
bool change_pending(Name name) {
    if (process.pending_count == 0) {
        return false;
    }
    drop_completed_changes();
    for (int i = 0; i < process.pending_count; ++i) {
        int changed = process.pending_changes[i].name;
        if (changed == name || changed < 0) {
            return true;
        }
    }
    return false;
}
#else
// The version tag moves once a change is made, and nothing runs in between.
bool change_pending(Name) {
    return false;
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
            found.version == version && !change_pending(name)) {
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
    process.pending_count = 0;
    if (process.dict_watcher < 0) {
        process.dict_watcher = PyDict_AddWatcher(on_watched_change);
    }
    if (process.dict_watcher < 0) {
        // Remembering is only a shortcut: go without it.
        PyErr_Clear();
        process.names_remembered = false;
        process.found.version = NO_VERSION;
        return 0;
    }
    ++process.namespace_changes;
    if (PyDict_Watch(process.dict_watcher, process.globals) < 0) {
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
