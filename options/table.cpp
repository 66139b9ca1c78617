// The option table: its defaults, the thread-count string, and the table
// itself, reached through the namespace at every use.

#include "options.hpp"

#include <utility>

namespace drovik {

namespace {

// The object a default row stands for, new.
Ref default_value(const DefaultRow &row) {
    switch (row.kind) {
    case DefaultKind::NONE:
        return Ref::borrow(Py_None);
    case DefaultKind::FALSE:
        return Ref::borrow(Py_False);
    case DefaultKind::TRUE:
        return Ref::borrow(Py_True);
    case DefaultKind::INT:
        return Ref::steal(PyLong_FromLong(row.number));
    case DefaultKind::TEXT:
        // Interned: a default that is one of the module's words is that word.
        return Ref::steal(PyUnicode_InternFromString(row.text));
    case DefaultKind::THREADS:
        break;
    }
    return Ref::borrow(threads_placeholder());
}

} // namespace

int init_defaults_template() {
    if (process.defaults_template) {
        return 0;
    }
    Ref table = Ref::steal(PyDict_New());
    if (!table) {
        return -1;
    }
    for (const DefaultRow &row : DEFAULT_ROWS) {
        Ref value = default_value(row);
        if (!value || PyDict_SetItem(table.get(), key(row.key), value.get()) < 0) {
            return -1;
        }
    }
    process.defaults_template = table.release();
    return 0;
}

int init_thread_strings() {
    for (long count = 1; count <= MAX_THREADS; ++count) {
        if (!process.thread_strings[count]) {
            process.thread_strings[count] = PyUnicode_FromString(THREAD_STRING_TEXTS[count]);
            if (!process.thread_strings[count]) {
                return -1;
            }
        }
    }
    return 0;
}

namespace {

// The thread string for an exact int, without leaving C: its truth, the two
// comparisons and its text are those of int itself.
Ref thread_string_for_int(PyObject *count) {
    // Cannot fail for an exact int; too small a count reads as -1.
    int overflow = 0;
    long n = PyLong_AsLongAndOverflow(count, &overflow);
    if (overflow > 0 || n > MAX_THREADS) {
        n = MAX_THREADS;
    } else if (n < 1) {
        n = 1;
    }
    return Ref::borrow(process.thread_strings[n]);
}

// `count` if it compares to `bound` by `op` (a rich comparison of the
// object's own), else `bound` as an int.
int keep_within(Ref &count, long bound, int op) {
    Ref limit = Ref::steal(PyLong_FromLong(bound));
    if (!limit) {
        return -1;
    }
    int within = PyObject_RichCompareBool(count.get(), limit.get(), op);
    if (within == 0) {
        count = std::move(limit);
    }
    return within < 0 ? -1 : 0;
}

// The same steps for any other object: truth test, then "< 16", then "> 1",
// each through the object's own methods.
Ref thread_string_for_object(Ref count) {
    int truth = PyObject_IsTrue(count.get());
    if (truth < 0) {
        return Ref();
    }
    if (!truth) {
        return Ref::borrow(process.thread_strings[1]);
    }
    if (keep_within(count, MAX_THREADS, Py_LT) < 0 || keep_within(count, 1, Py_GT) < 0) {
        return Ref();
    }
    Ref text = format_plain(count.get());
    if (!text) {
        return Ref();
    }
    return Ref::steal(PyUnicode_Concat(text.get(), words.thread_suffix));
}

} // namespace

Ref cpu_default_string() {
    Ref os = lookup_global(NAME_OS);
    if (!os) {
        return Ref();
    }
    Ref cpu_count = Ref::steal(PyObject_GetAttr(os.get(), attr.cpu_count));
    if (!cpu_count) {
        return Ref();
    }
    Ref count = call0(cpu_count.get());
    if (!count) {
        return Ref();
    }
    if (PyLong_CheckExact(count.get())) {
        return thread_string_for_int(count.get());
    }
    return thread_string_for_object(std::move(count));
}

Ref call_cpu_default_string() {
    return call_through_namespace(NAME_CPU_DEFAULT_STRING, F_CPU_DEFAULT_STRING,
                                  cpu_default_string);
}

namespace {

// A fresh dict of the 24 defaults holding `threads` under "num.threads".
Ref defaults_with(PyObject *threads) {
    Ref defaults = Ref::steal(PyDict_Copy(process.defaults_template));
    if (!defaults || PyDict_SetItem(defaults.get(), key(THREADS_KEY), threads) < 0) {
        return Ref();
    }
    return defaults;
}

} // namespace

Ref skorv_get_option_default() {
    Ref threads = call_cpu_default_string();
    if (!threads) {
        return Ref();
    }
    return defaults_with(threads.get());
}

int CallDefaults::fetch() {
    // The module's own function needs only this call's thread string.
    bool own = false;
    Ref fetched =
        call_through_namespace(NAME_GET_OPTION_DEFAULT, F_SKORV_GET_OPTION_DEFAULT, [&own] {
            own = true;
            return call_cpu_default_string();
        });
    if (!fetched) {
        return -1;
    }
    (own ? threads_ : dict_) = std::move(fetched);
    return 0;
}

int CallDefaults::add_command_path(PyObject *k, Ref path) {
    if (dict_) {
        return PyObject_SetItem(dict_.get(), k, path.get());
    }
    (k == key(KEY_SKORV_CALL) ? skorv_path_ : mevro_path_) = std::move(path);
    return 0;
}

// The dict that the module's own function would have returned, with the
// command paths added.
int CallDefaults::build() {
    if (dict_) {
        return 0;
    }
    Ref dict = defaults_with(threads_.get());
    if (!dict) {
        return -1;
    }
    if (skorv_path_ && PyDict_SetItem(dict.get(), key(KEY_SKORV_CALL), skorv_path_.get()) < 0) {
        return -1;
    }
    if (mevro_path_ && PyDict_SetItem(dict.get(), key(KEY_MEVRO_CALL), mevro_path_.get()) < 0) {
        return -1;
    }
    dict_ = std::move(dict);
    return 0;
}

Ref CallDefaults::take_dict() {
    if (!dict_) {
        // Built for this call alone: nobody else holds it.
        return build() < 0 ? Ref() : std::move(dict_);
    }
    // A rebound defaults function may hand out a dict it keeps: copy it.
    Ref out = Ref::steal(PyDict_New());
    if (!out || merge_mapping(out.get(), dict_.get()) < 0) {
        return Ref();
    }
    return out;
}

// --- The option table, looked up afresh at every use: callbacks may rebind it.

bool has_only_exact_str_keys(PyObject *dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

bool find_plain_table_afresh(PyObject *table) {
    // The namespace as the table would be followed as a table only.
    if (table == process.globals || !has_only_exact_str_keys(table)) {
        return false;
    }
#if DROVIK_DICT_WATCHERS
    // A table that cannot be followed is not remembered.
    if (process.dict_watcher < 0) {
        return true;
    }
    if (PyDict_Watch(process.dict_watcher, table) < 0) {
        PyErr_Clear();
        return true;
    }
    process.plain_table = table;
#else
    process.plain_table_version = dict_version_tag(table);
#endif
    return true;
}

int table_store(PyObject *k, PyObject *value) {
    Ref table = options_table();
    if (!table) {
        return -1;
    }
    return PyDict_CheckExact(table.get()) ? PyDict_SetItem(table.get(), k, value)
                                          : PyObject_SetItem(table.get(), k, value);
}

// _SKORV_OPTIONS.get(key, None)
Ref table_get_or_none(PyObject *k) {
    Ref table = options_table();
    if (!table) {
        return Ref();
    }
    if (!PyDict_CheckExact(table.get())) {
        return Ref::steal(PyObject_CallMethodObjArgs(table.get(), attr.get, k, Py_None, nullptr));
    }
    PyObject *value = PyDict_GetItemWithError(table.get(), k);
    if (!value && PyErr_Occurred()) {
        return Ref();
    }
    return Ref::borrow(value ? value : Py_None);
}

} // namespace drovik
