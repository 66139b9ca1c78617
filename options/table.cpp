// The option table's defaults and the thread-count string.

#include "options.hpp"

namespace drovik {

namespace {

constexpr long MAX_THREADS = 16;

// "num.threads" holds this until each call puts its own thread string there;
// inserting it keeps the key at its place in the order.
PyObject *placeholder() {
    return Py_None;
}

} // namespace

int init_defaults_template() {
    if (P.defaults_template) {
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
        {S.skorv_arg, Py_None},
        {S.mevro_arg, S.empty},
        {S.num_threads, placeholder()},
        {S.smtp, S.default_},
        {S.safe, Py_True},
        {S.keep, Py_False},
        {S.verbose, Py_False},
        {S.save_memory, Py_False},
        {S.internal_opt, Py_True},
        {S.working_directory, Py_None},
        {S.silent, Py_True},
        {S.debug, Py_False},
        {S.show_warning_graph_file, Py_True},
        {S.scale_model_default, Py_False},
        {S.short_summary, Py_False},
        {S.skorv_timeout, zero.get()},
        {S.mevro_timeout, zero.get()},
        {S.skorv_mode, S.compact},
        {S.malloc_lib, S.mi},
        {S.mevro_evolution, two.get()},
        {S.mevro_evolution_warn, Py_True},
        {S.mevro_evolution_verbosity, S.default_},
        {S.plexa_features, Py_False},
        {S.numa, Py_False},
    };
    for (const auto &entry : entries) {
        if (PyDict_SetItem(table.get(), entry[0], entry[1]) < 0) {
            return -1;
        }
    }
    P.defaults_template = table.release();
    return 0;
}

int init_thread_strings() {
    for (long count = 1; count <= MAX_THREADS; ++count) {
        if (!P.thread_strings[count]) {
            P.thread_strings[count] = PyUnicode_FromFormat("%ld:1", count);
            if (!P.thread_strings[count]) {
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
    int overflow = 0;
    long n = PyLong_AsLongAndOverflow(count, &overflow);
    if (n == -1 && PyErr_Occurred()) {
        return Ref();
    }
    if (overflow > 0 || n >= MAX_THREADS) {
        n = MAX_THREADS;
    } else if (overflow < 0 || n < 1) {
        n = 1;
    }
    return Ref::borrow(P.thread_strings[n]);
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
        return Ref::borrow(P.thread_strings[1]);
    }
    if (keep_within(count, MAX_THREADS, Py_LT) < 0 || keep_within(count, 1, Py_GT) < 0) {
        return Ref();
    }
    Ref text = format_plain(count.get());
    if (!text) {
        return Ref();
    }
    return Ref::steal(PyUnicode_Concat(text.get(), S.thread_suffix));
}

} // namespace

Ref cpu_default_string() {
    Ref os = lookup_global(NAME_OS);
    if (!os) {
        return Ref();
    }
    Ref cpu_count = Ref::steal(PyObject_GetAttr(os.get(), S.a_cpu_count));
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
    Ref fn = lookup_global(NAME_CPU_DEFAULT_STRING);
    if (!fn) {
        return Ref();
    }
    return is_own(fn, F_CPU_DEFAULT_STRING) ? cpu_default_string() : call0(fn.get());
}

namespace {

// A fresh dict of the 24 defaults holding `threads` under "num.threads".
Ref defaults_with(PyObject *threads) {
    Ref defaults = Ref::steal(PyDict_Copy(P.defaults_template));
    if (!defaults || PyDict_SetItem(defaults.get(), S.num_threads, threads) < 0) {
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
    Ref fn = lookup_global(NAME_GET_OPTION_DEFAULT);
    if (!fn) {
        return -1;
    }
    if (!is_own(fn, F_GET_OPTION_DEFAULT)) {
        dict_ = call0(fn.get());
        return dict_ ? 0 : -1;
    }
    threads_ = call_cpu_default_string();
    return threads_ ? 0 : -1;
}

int CallDefaults::add_command_path(PyObject *key, Ref path) {
    if (dict_) {
        return PyObject_SetItem(dict_.get(), key, path.get());
    }
    (key == S.skorv_call ? skorv_path_ : mevro_path_) = std::move(path);
    return 0;
}

int CallDefaults::materialize() {
    if (dict_) {
        return 0;
    }
    Ref dict = defaults_with(threads_.get());
    if (!dict) {
        return -1;
    }
    if (skorv_path_ && PyDict_SetItem(dict.get(), S.skorv_call, skorv_path_.get()) < 0) {
        return -1;
    }
    if (mevro_path_ && PyDict_SetItem(dict.get(), S.mevro_call, mevro_path_.get()) < 0) {
        return -1;
    }
    dict_ = std::move(dict);
    return 0;
}

int CallDefaults::contains(PyObject *key) {
    Ref ignored;
    return find(key, ignored);
}

int CallDefaults::find(PyObject *key, Ref &value) {
    if (dict_ || !PyUnicode_CheckExact(key)) {
        if (materialize() < 0) {
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
    if (skorv_path_ && same_text(key, S.skorv_call)) {
        value = Ref::borrow(skorv_path_.get());
    } else if (mevro_path_ && same_text(key, S.mevro_call)) {
        value = Ref::borrow(mevro_path_.get());
    } else if (same_text(key, S.num_threads)) {
        value = Ref::borrow(threads_.get());
    } else {
        PyObject *found = PyDict_GetItemWithError(P.defaults_template, key);
        if (!found) {
            return PyErr_Occurred() ? -1 : 0;
        }
        value = Ref::borrow(found);
    }
    return 1;
}

int CallDefaults::keys_contain(PyObject *key) {
    if (!dict_ || PyDict_CheckExact(dict_.get())) {
        return contains(key);
    }
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(dict_.get(), S.a_keys));
    Ref key_set = keys ? Ref::steal(PySet_New(keys.get())) : Ref();
    return key_set ? PySet_Contains(key_set.get(), key) : -1;
}

Ref CallDefaults::get(PyObject *key) {
    if (dict_) {
        return Ref::steal(PyObject_GetItem(dict_.get(), key));
    }
    Ref value;
    int found = find(key, value);
    if (found == 0) {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return value;
}

Ref CallDefaults::take_dict() {
    if (!dict_) {
        // Built for this call alone: nobody else holds it.
        if (materialize() < 0) {
            return Ref();
        }
        return std::move(dict_);
    }
    // A rebound defaults function may hand out a dict it keeps: copy it.
    Ref out = Ref::steal(PyDict_New());
    if (!out || merge_mapping(out.get(), dict_.get()) < 0) {
        return Ref();
    }
    return out;
}

} // namespace drovik
