// The option table: its defaults, the thread-count string, and the table itself.
#pragma once

#include "names.hpp"
#include "objects.hpp"
#include "state.hpp"

namespace drovik {

int init_defaults_template();
int init_thread_strings();

// The bodies of _cpu_default_string() and skorv_get_option_default().
Ref cpu_default_string();
Ref option_defaults();

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

// What "num.threads" holds in the defaults template until each call puts its
// own thread string there: inserting it keeps the key at its place in the
// order, and no other default is this object.
inline PyObject *threads_placeholder() {
    return keys.num_threads;
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

HOT_INLINE int CallDefaults::find(PyObject *key, Ref &value) {
    // Only an exact str is sure to compare with the keys without running
    // Python code; any other key is looked up in a real mapping.
    if (dict_ || !is_plain_text(key)) {
        if (build() < 0) {
            return -1;
        }
        int found = PySequence_Contains(dict_.get(), key);
        if (found > 0) {
            value = Ref::steal(PyObject_GetItem(dict_.get(), key));
            return value ? 1 : -1;
        }
        return found;
    }
    // The defaults of this call are private, so one lookup answers both.
    PyObject *found = PyDict_GetItemWithError(process.defaults_template, key);
    if (found) {
        value = Ref::borrow(found == threads_placeholder() ? threads_.get() : found);
        return 1;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    if (skorv_path_ && same_text(key, keys.skorv_call)) {
        value = Ref::borrow(skorv_path_.get());
    } else if (mevro_path_ && same_text(key, keys.mevro_call)) {
        value = Ref::borrow(mevro_path_.get());
    } else {
        return 0;
    }
    return 1;
}

} // namespace drovik
