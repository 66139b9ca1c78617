// Reading options: one key, a list of keys or all of them, with the command
// paths resolved while they are unset; and the Plexa switch, which reads one.

#include "options.hpp"

#include <cstring>
#include <utility>

namespace drovik {

namespace {

bool ascii_equals_lowered(PyObject *text, const char *word) {
    auto length = static_cast<Py_ssize_t>(std::strlen(word));
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

// 1 when `val` is a str whose lower() is one of the remote engine words,
// compared in their order; -1 on error. The caller holds `val`.
int names_remote_engine(PyObject *val) {
    int text = is_str(val);
    if (text <= 0) {
        return text;
    }
    // Lower-casing other characters can give ASCII letters (the Kelvin sign
    // gives "k"), so only a plain ASCII str is compared without lower().
    if (PyUnicode_CheckExact(val) && unicode_ready(val) == 0 && PyUnicode_IS_ASCII(val)) {
        for (const char *word : REMOTE_ENGINE_WORD_TEXTS) {
            if (ascii_equals_lowered(val, word)) {
                return 1;
            }
        }
        return 0;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(val, attr.lower));
    if (!lowered) {
        return -1;
    }
    for (PyObject *word : words.remote_engine_words) {
        int remote = equals_word(lowered.get(), word);
        if (remote != 0) {
            return remote;
        }
    }
    return 0;
}

// Puts the remote-run script in place of a remote engine path `val`, when
// there is one: 1 when it did, 0 when `val` stays, -1 on error.
int resolve_engine_path(Ref &val) {
    int remote = names_remote_engine(val.get());
    if (remote <= 0) {
        return remote;
    }
    Ref script = call_companion(NAME_SKORV_REMOTE_SCRIPT);
    if (!script) {
        return -1;
    }
    int truth = PyObject_IsTrue(script.get());
    if (truth > 0) {
        val = std::move(script);
    }
    return truth;
}

// The built-in path under `key` in the defaults, while `key` is unset.
HOT_INLINE int add_builtin_path_if_unset(CallDefaults &defaults, PyObject *k, Name builtin_path) {
    int set = table_contains(k);
    if (set != 0) {
        return set < 0 ? -1 : 0;
    }
    Ref path = call_companion(builtin_path);
    return path ? defaults.add_command_path(k, std::move(path)) : -1;
}

// Steps 1 to 3 of every read: the defaults, and the built-in command paths
// of whichever of the two is unset.
int prepare_defaults(CallDefaults &defaults) {
    if (defaults.fetch() < 0 ||
        add_builtin_path_if_unset(defaults, key(KEY_SKORV_CALL), NAME_SKORV_CALL_BUILTIN) < 0) {
        return -1;
    }
    return add_builtin_path_if_unset(defaults, key(KEY_MEVRO_CALL), NAME_MEVRO_CALL_BUILTIN);
}

// The value of one key; the caller holds `key`.
HOT_INLINE Ref read_one(CallDefaults &defaults, PyObject *k) {
    Ref val;
    int stored = table_find(k, val);
    if (stored < 0) {
        return Ref();
    }
    if (!stored) {
        int known = defaults.find(k, val);
        if (known <= 0) {
            return known < 0 ? Ref() : raise_unknown_option(k);
        }
    }
    int engine = equals_word(k, key(KEY_SKORV_CALL));
    if (engine <= 0) {
        return engine < 0 ? Ref() : std::move(val);
    }
    return resolve_engine_path(val) < 0 ? Ref() : std::move(val);
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
    Ref val = table_get_or_none(key(KEY_SKORV_CALL));
    if (!val) {
        return Ref();
    }
    int resolved = resolve_engine_path(val);
    if (resolved < 0 ||
        (resolved && PyDict_SetItem(out.get(), key(KEY_SKORV_CALL), val.get()) < 0)) {
        return Ref();
    }
    return out;
}

// The keys of a read of several, held for the whole loop. Anything but an
// exact tuple is copied into a list of this call's own, kept from the
// collector, so that code run by a read (a key's __eq__, the remote-run
// script) cannot reach it through it and empty it. An exact tuple cannot
// change and is held as it is: copying it is where 3.10-3.12 lose a
// reference to it when the copy cannot be allocated.
Ref held_keys(PyObject *option) {
    if (PyTuple_CheckExact(option)) {
        return Ref::borrow(option);
    }
    Ref key_list = Ref::steal(PySequence_List(option));
    if (key_list) {
        PyObject_GC_UnTrack(key_list.get());
    }
    return key_list;
}

Ref read_list(CallDefaults &defaults, PyObject *option) {
    Ref keys = held_keys(option);
    if (!keys) {
        return Ref();
    }
    // The result is made at its full length, kept from the collector as well,
    // and filled in place.
    Py_ssize_t count = PySequence_Fast_GET_SIZE(keys.get());
    Ref out_list = Ref::steal(PyList_New(count));
    if (!out_list) {
        return Ref();
    }
    PyObject_GC_UnTrack(out_list.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref val = read_one(defaults, PySequence_Fast_GET_ITEM(keys.get(), i));
        if (!val) {
            return Ref();
        }
        PyList_SET_ITEM(out_list.get(), i, val.release());
    }
    PyObject_GC_Track(out_list.get());
    return out_list;
}

#if DROVIK_EXCEPTION_NOTES
// Adds the package's "did you mean" note for the unknown key `text` to
// `error`. The note is an extra: whatever fails while it is made or added is
// dropped, so the caller still gets its KeyError, only without the note.
void add_close_keys_note(PyObject *error, PyObject *text) {
    Ref helper = Ref::steal(PyImport_Import(words.suggest_module));
    if (!helper) {
        PyErr_Clear();
        return;
    }
    Ref note = Ref::steal(PyObject_CallMethodOneArg(helper.get(), attr.note_for, text));
    if (!note) {
        PyErr_Clear();
        return;
    }
    if (Py_IsNone(note.get())) {
        return;
    }
    Ref added = Ref::steal(PyObject_CallMethodOneArg(error, attr.add_note, note.get()));
    if (!added) {
        PyErr_Clear();
    }
}
#endif

} // namespace

Ref raise_unknown_option(PyObject *option) {
    Ref text = format_plain(option);
    if (!text) {
        return Ref();
    }
    Ref head = Ref::steal(PyUnicode_Concat(message(MESSAGE_UNKNOWN_OPTION_HEAD), text.get()));
    if (!head) {
        return Ref();
    }
    Ref full = Ref::steal(PyUnicode_Concat(head.get(), message(MESSAGE_UNKNOWN_OPTION_TAIL)));
    if (!full) {
        return Ref();
    }
#if DROVIK_EXCEPTION_NOTES
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, full.get()));
    if (!error) {
        return Ref();
    }
    add_close_keys_note(error.get(), text.get());
    PyErr_SetObject(PyExc_KeyError, error.get());
#else
    PyErr_SetObject(PyExc_KeyError, full.get());
#endif
    return Ref();
}

Ref read_option(PyObject *option) {
    return call_through_namespace(NAME_GET_OPTION, F_SKORV_GET_OPTION, skorv_get_option, option);
}

Ref skorv_get_option(PyObject *option) {
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

Ref skorv_enabled_plexa_features() {
    Ref value = read_option(key(PLEXA_KEY));
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
