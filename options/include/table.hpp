// The option table: its defaults, the thread-count string, and the table itself.
#pragma once

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
Ref options_table();
int table_contains(PyObject *key);               // key in _SKORV_OPTIONS
Ref table_item(PyObject *key);                   // _SKORV_OPTIONS[key]
int table_store(PyObject *key, PyObject *value); // _SKORV_OPTIONS[key] = value
Ref table_get_or_none(PyObject *key);            // _SKORV_OPTIONS.get(key, None)

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

} // namespace drovik
