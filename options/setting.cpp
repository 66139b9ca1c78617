// Setting options, and the checks of the whole table after every set.

#include "options.hpp"

namespace drovik {

namespace {

// --- The module's own functions, called through the namespace.

// The body of _set_one as a call of the function runs it: its argument's
// type tested first.
Ref set_one_checked(PyObject *option, PyObject *value) {
    return check_option_type(option) < 0 ? Ref() : set_one(option, value);
}

Ref call_set_one(PyObject *option, PyObject *value) {
    return call_through_namespace(NAME_SET_ONE, F_SET_ONE, set_one_checked, option, value);
}

Ref call_post_set_checks() {
    return call_through_namespace(NAME_POST_SET_CHECKS, F_POST_SET_CHECKS, post_set_checks);
}

// --- Setting.

// `option == "skorv.call" or option == "mevro.call"` for an exact str `option`.
int is_command_path_key(PyObject *option) {
    int known = equals_word(option, key(KEY_SKORV_CALL));
    return known != 0 ? known : equals_word(option, key(KEY_MEVRO_CALL));
}

// `key in set(skorv_get_option_default().keys()) | {"skorv.call", "mevro.call"}`
int is_known_key(PyObject *option) {
    CallDefaults defaults;
    if (defaults.fetch() < 0) {
        return -1;
    }
    PyObject *rebound = defaults.rebound();
    if (!rebound || (PyDict_CheckExact(rebound) && has_only_exact_str_keys(rebound))) {
        // Exact str keys hash and compare without running code: a search of
        // the dict gives the set's answer.
        Ref ignored;
        int known = defaults.find(option, ignored);
        return known != 0 ? known : is_command_path_key(option);
    }
    Ref key_view = Ref::steal(PyObject_CallMethodNoArgs(rebound, attr.keys));
    if (!key_view) {
        return -1;
    }
    Ref key_set = Ref::steal(PySet_New(key_view.get()));
    if (!key_set) {
        return -1;
    }
    Ref pair = Ref::steal(PyTuple_Pack(2, key(KEY_SKORV_CALL), key(KEY_MEVRO_CALL)));
    if (!pair) {
        return -1;
    }
    Ref command_paths = Ref::steal(PySet_New(pair.get()));
    if (!command_paths) {
        return -1;
    }
    Ref known = Ref::steal(PyNumber_Or(key_set.get(), command_paths.get()));
    return known ? PySet_Contains(known.get(), option) : -1;
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
    return warnings ? Ref::steal(PyObject_GetAttr(warnings.get(), attr.warn)) : Ref();
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
    Ref full = join3(head, text.get(), tail);
    return full && call1(warn.get(), full.get()) ? 0 : -1;
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
    Ref os_path = Ref::steal(PyObject_GetAttr(os.get(), attr.path));
    if (!os_path) {
        return -1;
    }
    Ref exists = Ref::steal(PyObject_GetAttr(os_path.get(), attr.exists));
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
    Ref answer = Ref::steal(PyObject_CallMethodOneArg(text, attr.startswith, words.slash));
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// The first of `candidates` that `value` does not differ from, compared with
// `!=` in order: 1 when there is one, 0 when it differs from all.
int matches_any(PyObject *value, PyObject *const *candidates, size_t count) {
    if (is_plain_text(value)) {
        for (size_t i = 0; i < count; ++i) {
            if (same_text(value, candidates[i])) {
                return 1;
            }
        }
        return 0;
    }
    for (size_t i = 0; i < count; ++i) {
        int differ = rich_compare(value, candidates[i], Py_NE);
        if (differ <= 0) {
            return differ < 0 ? -1 : 1;
        }
    }
    return 0;
}

int check_engine_mode() {
    Ref mode = read_option(key(MODE_KEY));
    if (!mode) {
        return -1;
    }
    int valid = matches_any(mode.get(), words.engine_modes, ENGINE_MODE_COUNT);
    if (valid <= 0) {
        if (valid == 0) {
            PyErr_SetObject(PyExc_ValueError, message(MESSAGE_INVALID_MODE));
        }
        return -1;
    }
    for (PyObject *const(&replacement)[2] : words.mode_replacements) {
        int replaced = equals_word(mode.get(), replacement[0]);
        if (replaced != 0) {
            return replaced < 0 ? -1 : table_store(key(MODE_KEY), replacement[1]);
        }
    }
    return 0;
}

// _SKORV_OPTIONS["malloc.lib"] = skorv_get_option_default()["malloc.lib"]
int store_default_allocator() {
    CallDefaults defaults;
    if (defaults.fetch() < 0) {
        return -1;
    }
    Ref library;
    if (PyObject *rebound = defaults.rebound()) {
        library = Ref::steal(PyObject_GetItem(rebound, key(ALLOCATOR_KEY)));
    } else if (defaults.find(key(ALLOCATOR_KEY), library) == 0) {
        PyErr_SetObject(PyExc_KeyError, key(ALLOCATOR_KEY));
    }
    return library ? table_store(key(ALLOCATOR_KEY), library.get()) : -1;
}

int check_allocator() {
    Ref arg = read_option(key(ALLOCATOR_KEY));
    if (!arg) {
        return -1;
    }
    PyObject *unset_name = words.allocator_names[0];
    int unset = Py_IsNone(arg.get()) ? 1 : equals_word(arg.get(), unset_name);
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
            if (warn_about(message(MESSAGE_ALLOCATOR_MISSING_HEAD), arg.get(), format_plain,
                           message(MESSAGE_ALLOCATOR_MISSING_TAIL)) < 0) {
                return -1;
            }
            return store_default_allocator();
        }
    }
    int is_listed = matches_any(arg.get(), words.allocator_names, ALLOCATOR_NAME_COUNT);
    if (is_listed != 0) {
        return is_listed < 0 ? -1 : 0;
    }
    int exists = path_exists(arg.get());
    if (exists != 0) {
        return exists < 0 ? -1 : 0;
    }
    return warn_about(message(MESSAGE_ALLOCATOR_UNAVAILABLE_HEAD), arg.get(), repr_of,
                      message(MESSAGE_ALLOCATOR_UNAVAILABLE_TAIL));
}

int check_working_directory() {
    Ref wdir = read_option(key(WORKING_DIRECTORY_KEY));
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
    return warn_about(message(MESSAGE_WORKING_DIRECTORY_MULTIBYTE_HEAD), wdir.get(), format_plain,
                      message(MESSAGE_WORKING_DIRECTORY_MULTIBYTE_TAIL));
}

} // namespace

int check_option_type(PyObject *option) {
    if (PyUnicode_CheckExact(option)) {
        return 0;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "option",
                 "str", Py_TYPE(option)->tp_name);
    return -1;
}

Ref skorv_set_option(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 2 && nkw == 0) {
        int key_is_str = is_str(args[0]);
        if (key_is_str <= 0) {
            if (key_is_str == 0) {
                PyErr_SetObject(PyExc_TypeError, message(MESSAGE_SET_KEY_TYPE));
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
        PyErr_SetObject(PyExc_TypeError, message(MESSAGE_SET_FORM));
        return Ref();
    }
    if (!call_post_set_checks()) {
        return Ref();
    }
    return Ref::borrow(Py_None);
}

Ref set_one(PyObject *option, PyObject *value) {
    int known = is_known_key(option);
    if (known <= 0) {
        return known < 0 ? Ref() : raise_unknown_option(option);
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

} // namespace drovik
