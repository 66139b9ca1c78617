// The option table: its defaults, the thread-count string, and the table
// itself, reached through the namespace at every use.

#include "table.hpp"

#include "function.hpp"
#include "names.hpp"
#include "objects.hpp"

#include <utility>

namespace drovik {

int init_defaults_template() {
    if (process.defaults_template) {
        return 0;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) {
        return -1;
    }
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!two) {
        return -1;
    }
    Ref table = Ref::steal(PyDict_New());
    if (!table) {
        return -1;
    }
    PyObject *const entries[][2] = {
        {keys.skorv_arg, Py_None},
        {keys.mevro_arg, words.empty},
        {keys.num_threads, threads_placeholder()},
        {keys.smtp, words.default_},
        {keys.safe, Py_True},
        {keys.keep, Py_False},
        {keys.verbose, Py_False},
        {keys.save_memory, Py_False},
        {keys.internal_opt, Py_True},
        {keys.working_directory, Py_None},
        {keys.silent, Py_True},
        {keys.debug, Py_False},
        {keys.show_warning_graph_file, Py_True},
        {keys.scale_model_default, Py_False},
        {keys.short_summary, Py_False},
        {keys.skorv_timeout, zero.get()},
        {keys.mevro_timeout, zero.get()},
        {keys.skorv_mode, words.compact},
        {keys.malloc_lib, words.mi},
        {keys.mevro_evolution, two.get()},
        {keys.mevro_evolution_warn, Py_True},
        {keys.mevro_evolution_verbosity, words.default_},
        {keys.plexa_features, Py_False},
        {keys.numa, Py_False},
    };
    for (const auto &entry : entries) {
        if (PyDict_SetItem(table.get(), entry[0], entry[1]) < 0) {
            return -1;
        }
    }
    process.defaults_template = table.release();
    return 0;
}

int init_thread_strings() {
    // Spelt out rather than formatted: this runs at every import.
    static const char *const TEXTS[MAX_THREADS + 1] = {
        nullptr, "1:1",  "2:1",  "3:1",  "4:1",  "5:1",  "6:1",  "7:1",  "8:1",
        "9:1",   "10:1", "11:1", "12:1", "13:1", "14:1", "15:1", "16:1",
    };
    for (long count = 1; count <= MAX_THREADS; ++count) {
        if (!process.thread_strings[count]) {
            process.thread_strings[count] = PyUnicode_FromString(TEXTS[count]);
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
    PyObject *fn = find_global(NAME_CPU_DEFAULT_STRING);
    if (!fn) {
        return Ref();
    }
    if (is_own(fn, F_CPU_DEFAULT_STRING)) {
        return cpu_default_string();
    }
    Ref held = Ref::borrow(fn);
    return call0(held.get());
}

namespace {

// A fresh dict of the 24 defaults holding `threads` under "num.threads".
Ref defaults_with(PyObject *threads) {
    Ref defaults = Ref::steal(PyDict_Copy(process.defaults_template));
    if (!defaults || PyDict_SetItem(defaults.get(), keys.num_threads, threads) < 0) {
        return Ref();
    }
    return defaults;
}

} // namespace

Ref option_defaults() {
    Ref threads = call_cpu_default_string();
    if (!threads) {
        return Ref();
    }
    return defaults_with(threads.get());
}

int CallDefaults::fetch() {
    PyObject *fn = find_global(NAME_GET_OPTION_DEFAULT);
    if (!fn) {
        return -1;
    }
    if (is_own(fn, F_GET_OPTION_DEFAULT)) {
        threads_ = call_cpu_default_string();
        return threads_ ? 0 : -1;
    }
    Ref held = Ref::borrow(fn);
    dict_ = call0(held.get());
    return dict_ ? 0 : -1;
}

int CallDefaults::add_command_path(PyObject *key, Ref path) {
    if (dict_) {
        return PyObject_SetItem(dict_.get(), key, path.get());
    }
    (key == keys.skorv_call ? skorv_path_ : mevro_path_) = std::move(path);
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
    if (skorv_path_ && PyDict_SetItem(dict.get(), keys.skorv_call, skorv_path_.get()) < 0) {
        return -1;
    }
    if (mevro_path_ && PyDict_SetItem(dict.get(), keys.mevro_call, mevro_path_.get()) < 0) {
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

int table_store(PyObject *key, PyObject *value) {
    Ref table = options_table();
    if (!table) {
        return -1;
    }
    return PyDict_CheckExact(table.get()) ? PyDict_SetItem(table.get(), key, value)
                                          : PyObject_SetItem(table.get(), key, value);
}

// _SKORV_OPTIONS.get(key, None)
Ref table_get_or_none(PyObject *key) {
    Ref table = options_table();
    if (!table) {
        return Ref();
    }
    if (!PyDict_CheckExact(table.get())) {
        return Ref::steal(PyObject_CallMethodObjArgs(table.get(), attr.get, key, Py_None, nullptr));
    }
    PyObject *value = PyDict_GetItemWithError(table.get(), key);
    if (!value && PyErr_Occurred()) {
        return Ref();
    }
    return Ref::borrow(value ? value : Py_None);
}

} // namespace drovik
