// Reading and setting options, the checks after every set, and the Plexa switch.

#include "options.hpp"

namespace drovik {

namespace {

// --- The option table, looked up afresh at every use: callbacks may rebind it.

Ref options_table() {
    return lookup_global(NAME_OPTIONS_TABLE);
}

int table_contains(PyObject *key) {
    Ref table = options_table();
    if (!table) {
        return -1;
    }
    return PyDict_CheckExact(table.get()) ? PyDict_Contains(table.get(), key)
                                          : PySequence_Contains(table.get(), key);
}

Ref table_item(PyObject *key) {
    Ref table = options_table();
    return table ? Ref::steal(PyObject_GetItem(table.get(), key)) : Ref();
}

int table_store(PyObject *key, PyObject *value) {
    Ref table = options_table();
    return table ? PyObject_SetItem(table.get(), key, value) : -1;
}

// _SKORV_OPTIONS.get(key, None)
Ref table_get_or_none(PyObject *key) {
    Ref table = options_table();
    if (!table) {
        return Ref();
    }
    if (!PyDict_CheckExact(table.get())) {
        return Ref::steal(PyObject_CallMethodObjArgs(table.get(), S.a_get, key, Py_None, nullptr));
    }
    PyObject *value = PyDict_GetItemWithError(table.get(), key);
    if (!value && PyErr_Occurred()) {
        return Ref();
    }
    return Ref::borrow(value ? value : Py_None);
}

// --- The module's own functions, called through the namespace.

Ref call_get_option_for(PyObject *key) {
    Ref fn = lookup_global(NAME_GET_OPTION);
    if (!fn) {
        return Ref();
    }
    return is_own(fn, F_GET_OPTION) ? get_option(key) : call1(fn.get(), key);
}

Ref call_set_one(PyObject *option, PyObject *value) {
    Ref fn = lookup_global(NAME_SET_ONE);
    if (!fn) {
        return Ref();
    }
    if (is_own(fn, F_SET_ONE)) {
        return check_option_type(option) < 0 ? Ref() : set_one(option, value);
    }
    PyObject *args[] = {option, value};
    return Ref::steal(PyObject_Vectorcall(fn.get(), args, 2, nullptr));
}

Ref call_post_set_checks() {
    Ref fn = lookup_global(NAME_POST_SET_CHECKS);
    if (!fn) {
        return Ref();
    }
    return is_own(fn, F_POST_SET_CHECKS) ? post_set_checks() : call0(fn.get());
}

// --- Reading.

#if PY_VERSION_HEX >= 0x030B0000
// Adds the package's "did you mean" note for the unknown key `text` to
// `error`. The note is an extra: whatever fails while it is made or added is
// dropped, so the caller still gets its KeyError, only without the note.
void add_close_keys_note(PyObject *error, PyObject *text) {
    Ref helper = Ref::steal(PyImport_Import(S.suggest_module));
    if (!helper) {
        PyErr_Clear();
        return;
    }
    Ref note = Ref::steal(PyObject_CallMethodOneArg(helper.get(), S.a_note_for, text));
    if (!note) {
        PyErr_Clear();
        return;
    }
    if (Py_IsNone(note.get())) {
        return;
    }
    Ref added = Ref::steal(PyObject_CallMethodOneArg(error, S.a_add_note, note.get()));
    if (!added) {
        PyErr_Clear();
    }
}
#endif

Ref unknown_option(PyObject *key) {
    Ref text = format_plain(key);
    if (!text) {
        return Ref();
    }
    Ref head = Ref::steal(PyUnicode_Concat(S.m_unknown_option_head, text.get()));
    if (!head) {
        return Ref();
    }
    Ref message = Ref::steal(PyUnicode_Concat(head.get(), S.m_quote));
    if (!message) {
        return Ref();
    }
#if PY_VERSION_HEX >= 0x030B0000
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, message.get()));
    if (!error) {
        return Ref();
    }
    add_close_keys_note(error.get(), text.get());
    PyErr_SetObject(PyExc_KeyError, error.get());
#else
    PyErr_SetObject(PyExc_KeyError, message.get());
#endif
    return Ref();
}

bool ascii_equals_lowered(PyObject *text, const char *word, Py_ssize_t length) {
    if (PyUnicode_GET_LENGTH(text) != length) {
        return false;
    }
    const Py_UCS1 *chars = PyUnicode_1BYTE_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS1 c = chars[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<Py_UCS1>(c - 'A' + 'a');
        }
        if (c != static_cast<Py_UCS1>(word[i])) {
            return false;
        }
    }
    return true;
}

// 1 when `val` is a str whose lower() is "remote" or, failing that,
// "skorv.remote"; -1 on error. The caller holds `val`.
int names_remote_engine(PyObject *val) {
    int text = is_str(val);
    if (text <= 0) {
        return text;
    }
    // Lower-casing other characters can give ASCII letters (the Kelvin sign
    // gives "k"), so only a plain ASCII str is compared without lower().
    if (PyUnicode_CheckExact(val) && unicode_ready(val) == 0 && PyUnicode_IS_ASCII(val)) {
        return ascii_equals_lowered(val, "remote", 6) ||
               ascii_equals_lowered(val, "skorv.remote", 12);
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(val, S.a_lower));
    if (!lowered) {
        return -1;
    }
    int remote = equals(lowered.get(), S.remote);
    return remote != 0 ? remote : equals(lowered.get(), S.skorv_remote);
}

// The remote-run script in place of a remote engine path, when there is one.
Ref resolve_engine_path(Ref val) {
    int remote = names_remote_engine(val.get());
    if (remote <= 0) {
        return remote < 0 ? Ref() : std::move(val);
    }
    Ref script = call_remote_script();
    if (!script) {
        return Ref();
    }
    int truth = PyObject_IsTrue(script.get());
    if (truth < 0) {
        return Ref();
    }
    return truth ? std::move(script) : std::move(val);
}

// The built-in path under `key` in the defaults, while `key` is unset.
int add_builtin_path_if_unset(CallDefaults &defaults, PyObject *key, Ref (*builtin_path)()) {
    int set = table_contains(key);
    if (set != 0) {
        return set < 0 ? -1 : 0;
    }
    Ref path = builtin_path();
    return path ? defaults.add_command_path(key, std::move(path)) : -1;
}

// Steps 1 to 3 of every read: the defaults, and the built-in command paths
// of whichever of the two is unset.
int prepare_defaults(CallDefaults &defaults) {
    if (defaults.fetch() < 0 ||
        add_builtin_path_if_unset(defaults, S.skorv_call, call_skorv_builtin) < 0) {
        return -1;
    }
    return add_builtin_path_if_unset(defaults, S.mevro_call, call_mevro_builtin);
}

// The value of one key; the caller holds `key`.
Ref read_one(CallDefaults &defaults, PyObject *key) {
    int stored = table_contains(key);
    if (stored < 0) {
        return Ref();
    }
    Ref val;
    if (stored) {
        val = table_item(key);
        if (!val) {
            return Ref();
        }
    } else {
        int known = defaults.find(key, val);
        if (known <= 0) {
            return known < 0 ? Ref() : unknown_option(key);
        }
    }
    int engine =
        PyUnicode_CheckExact(key) ? same_text(key, S.skorv_call) : equals(key, S.skorv_call);
    if (engine <= 0) {
        return engine < 0 ? Ref() : std::move(val);
    }
    return resolve_engine_path(std::move(val));
}

Ref read_all(CallDefaults &defaults) {
    Ref out = defaults.take_dict();
    if (!out) {
        return Ref();
    }
    Ref table = options_table();
    if (!table || merge_mapping(out.get(), table.get()) < 0) {
        return Ref();
    }
    // Only a stored engine path is resolved here, never the built-in one.
    Ref val = table_get_or_none(S.skorv_call);
    if (!val) {
        return Ref();
    }
    int remote = names_remote_engine(val.get());
    if (remote <= 0) {
        return remote < 0 ? Ref() : std::move(out);
    }
    Ref script = call_remote_script();
    if (!script) {
        return Ref();
    }
    int truth = PyObject_IsTrue(script.get());
    if (truth < 0 || (truth && PyDict_SetItem(out.get(), S.skorv_call, script.get()) < 0)) {
        return Ref();
    }
    return out;
}

Ref read_list(CallDefaults &defaults, PyObject *option) {
    Ref keys = Ref::steal(PySequence_List(option));
    Ref out_list = Ref::steal(PyList_New(0));
    if (!keys || !out_list) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        Ref val = read_one(defaults, key.get());
        if (!val || PyList_Append(out_list.get(), val.get()) < 0) {
            return Ref();
        }
    }
    return out_list;
}

// --- Checks after a set.

Ref join3(PyObject *head, PyObject *middle, PyObject *tail) {
    Ref first = Ref::steal(PyUnicode_Concat(head, middle));
    return first ? Ref::steal(PyUnicode_Concat(first.get(), tail)) : Ref();
}

// warnings.warn, fetched before its message is made: making the message may
// run code (a value's __format__ or __repr__) that rebinds `warnings`, and
// the call goes to what was bound before, as `warnings.warn(f"...")` does.
Ref warn_function() {
    Ref warnings = lookup_global(NAME_WARNINGS);
    return warnings ? Ref::steal(PyObject_GetAttr(warnings.get(), S.a_warn)) : Ref();
}

// Warns with head + text + tail; `text` is made by `make_text` from `value`.
int warn_about(PyObject *head, PyObject *value, Ref (*make_text)(PyObject *), PyObject *tail) {
    Ref warn = warn_function();
    if (!warn) {
        return -1;
    }
    Ref text = make_text(value);
    if (!text) {
        return -1;
    }
    Ref message = join3(head, text.get(), tail);
    return message && call1(warn.get(), message.get()) ? 0 : -1;
}

// {value!r}: the repr, then formatted like any field.
Ref repr_of(PyObject *value) {
    Ref repr = Ref::steal(PyObject_Repr(value));
    return repr ? format_plain(repr.get()) : Ref();
}

int path_exists(PyObject *path) {
    Ref os = lookup_global(NAME_OS);
    if (!os) {
        return -1;
    }
    Ref os_path = Ref::steal(PyObject_GetAttr(os.get(), S.a_path));
    if (!os_path) {
        return -1;
    }
    Ref exists = Ref::steal(PyObject_GetAttr(os_path.get(), S.a_exists));
    if (!exists) {
        return -1;
    }
    Ref answer = call1(exists.get(), path);
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

int starts_with_slash(PyObject *text) {
    if (PyUnicode_CheckExact(text)) {
        return PyUnicode_GET_LENGTH(text) > 0 && PyUnicode_READ_CHAR(text, 0) == '/';
    }
    Ref answer = Ref::steal(PyObject_CallMethodOneArg(text, S.a_startswith, S.slash));
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// The first of `candidates` that `value` does not differ from, compared with
// `!=` in order: 1 when there is one, 0 when it differs from all.
int matches_any(PyObject *value, PyObject *const *candidates, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        int differ = differs(value, candidates[i]);
        if (differ <= 0) {
            return differ < 0 ? -1 : 1;
        }
    }
    return 0;
}

int check_engine_mode() {
    Ref mode = call_get_option_for(S.skorv_mode);
    if (!mode) {
        return -1;
    }
    PyObject *const accepted[] = {S.compact, S.classic, S.twostage, S.experimental};
    int valid = matches_any(mode.get(), accepted, 4);
    if (valid <= 0) {
        if (valid == 0) {
            PyErr_SetObject(PyExc_ValueError, S.m_invalid_mode);
        }
        return -1;
    }
    int experimental = equals(mode.get(), S.experimental);
    if (experimental <= 0) {
        return experimental;
    }
    return table_store(S.skorv_mode, S.compact);
}

int store_default_allocator() {
    CallDefaults defaults;
    if (defaults.fetch() < 0) {
        return -1;
    }
    Ref library = defaults.get(S.malloc_lib);
    return library ? table_store(S.malloc_lib, library.get()) : -1;
}

int check_allocator() {
    Ref arg = call_get_option_for(S.malloc_lib);
    if (!arg) {
        return -1;
    }
    int unset = Py_IsNone(arg.get()) ? 1 : equals(arg.get(), S.default_);
    if (unset != 0) {
        return unset < 0 ? -1 : store_default_allocator();
    }
    int text = is_str(arg.get());
    if (text < 0) {
        return -1;
    }
    if (text) {
        int absolute = starts_with_slash(arg.get());
        int exists = absolute > 0 ? path_exists(arg.get()) : 1;
        if (absolute < 0 || exists < 0) {
            return -1;
        }
        if (!exists) {
            // The warning comes first: if it is raised, the path stays stored.
            if (warn_about(S.m_malloc_missing_head, arg.get(), format_plain,
                           S.m_malloc_missing_tail) < 0) {
                return -1;
            }
            return store_default_allocator();
        }
    }
    PyObject *const listed[] = {S.default_, S.compiler, S.je, S.tc, S.mi};
    int is_listed = matches_any(arg.get(), listed, 5);
    if (is_listed != 0) {
        return is_listed < 0 ? -1 : 0;
    }
    int exists = path_exists(arg.get());
    if (exists != 0) {
        return exists < 0 ? -1 : 0;
    }
    return warn_about(S.m_malloc_unavailable_head, arg.get(), repr_of, S.m_malloc_unavailable_tail);
}

int check_working_directory() {
    Ref wdir = call_get_option_for(S.working_directory);
    if (!wdir) {
        return -1;
    }
    int text = is_str(wdir.get());
    if (text <= 0) {
        return text;
    }
    int multibyte = any_multibyte(wdir.get());
    if (multibyte <= 0) {
        return multibyte;
    }
    return warn_about(S.m_wdir_head, wdir.get(), format_plain, S.m_wdir_tail);
}

} // namespace

Ref get_option(PyObject *option) {
    CallDefaults defaults;
    if (prepare_defaults(defaults) < 0) {
        return Ref();
    }
    if (Py_IsNone(option)) {
        return read_all(defaults);
    }
    int single = is_str(option);
    if (single != 0) {
        return single < 0 ? Ref() : read_one(defaults, option);
    }
    return read_list(defaults, option);
}

Ref set_option(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 2 && nkw == 0) {
        int key_is_str = is_str(args[0]);
        if (key_is_str <= 0) {
            if (key_is_str == 0) {
                PyErr_SetString(PyExc_TypeError, "First positional argument must be a string key");
            }
            return Ref();
        }
        if (!call_set_one(args[0], args[1])) {
            return Ref();
        }
    } else if (nargs == 0 && nkw > 0) {
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!call_set_one(PyTuple_GET_ITEM(kwnames, i), args[i])) {
                return Ref();
            }
        }
    } else {
        PyErr_SetString(PyExc_TypeError, "Use either skorv_set_option('key', value) or "
                                         "skorv_set_option(key=value, ...).");
        return Ref();
    }
    if (!call_post_set_checks()) {
        return Ref();
    }
    return Ref::borrow(Py_None);
}

Ref set_one(PyObject *option, PyObject *value) {
    CallDefaults defaults;
    if (defaults.fetch() < 0) {
        return Ref();
    }
    int known = defaults.keys_contain(option);
    if (known < 0) {
        return Ref();
    }
    if (!known) {
        known = equals(option, S.skorv_call);
        if (known == 0) {
            known = equals(option, S.mevro_call);
        }
        if (known <= 0) {
            return known < 0 ? Ref() : unknown_option(option);
        }
    }
    if (table_store(option, value) < 0) {
        return Ref();
    }
    return Ref::borrow(Py_None);
}

Ref post_set_checks() {
    if (check_engine_mode() < 0 || check_allocator() < 0 || check_working_directory() < 0) {
        return Ref();
    }
    return Ref::borrow(Py_None);
}

Ref plexa_enabled() {
    Ref value = call_get_option_for(S.plexa_features);
    if (!value) {
        return Ref();
    }
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) {
        return Ref();
    }
    return Ref::borrow(truth ? Py_True : Py_False);
}

} // namespace drovik
