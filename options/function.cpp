// The function objects of the module, and the entry of every call: the
// handling of their arguments, with the errors that Python's own argument
// parsing gives, before the stack guard and the body.
//
// They behave like Python functions for the tools that inspect them: the
// signature comes from a genuine code object and the documented defaults and
// annotations, they bind as methods, pickle by reference and show in help().

#include "options.hpp"

#include <marshal.h>

#include <cstddef>
#include <utility>

namespace drovik {

namespace {

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    FunctionId id;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;
    PyObject *defaults;
    PyObject *code;
    PyObject *globals;
    PyObject *dict;
    PyObject *weakrefs;
};

// The name of one of the module's functions, for its error messages.
const char *function_name(PyObject *self) {
    return FUNCTION_FACTS[reinterpret_cast<Function *>(self)->id].name;
}

// --- The type.

// Every object a function holds; the namespace makes a cycle with the module.
PyObject *Function::*const HELD_OBJECTS[] = {
    &Function::name, &Function::qualname,    &Function::module,
    &Function::doc,  &Function::annotations, &Function::defaults,
    &Function::code, &Function::globals,     &Function::dict,
};

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    auto *fn = reinterpret_cast<Function *>(self);
    for (PyObject *Function::*held : HELD_OBJECTS) {
        Py_VISIT(fn->*held);
    }
    return 0;
}

int function_clear(PyObject *self) {
    auto *fn = reinterpret_cast<Function *>(self);
    for (PyObject *Function::*held : HELD_OBJECTS) {
        Py_CLEAR(fn->*held);
    }
    return 0;
}

void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Function *>(self)->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self) {
    auto *fn = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("<function %s at %p>", FUNCTION_FACTS[fn->id].name, self);
}

// Bound as a method when stored on a class, like any Python function.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) {
        return new_reference(self);
    }
    return PyMethod_New(self, obj);
}

// Pickled by reference: the name is looked up in the module when loading.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return PyUnicode_FromString(function_name(self));
}

#if DROVIK_FUNCTION_ANNOTATE
// The formats of annotationlib.Format, from VALUE to STRING.
constexpr long ANNOTATIONS_AS_VALUES = 1;
constexpr long ANNOTATIONS_AS_STRINGS = 4;

// A new dict of the annotations each time, as a Python function's gives. That
// one refuses forward references and source text, which annotationlib then
// gets by running its code among stand-in names; this one has no such code,
// but its annotations are strings already, the same in every format, so it
// gives them for all four. Others are refused as annotationlib expects.
PyObject *function_annotate(PyObject *self, PyObject *format) {
    long requested = PyLong_AsLong(format);
    if (requested == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (requested < ANNOTATIONS_AS_VALUES || requested > ANNOTATIONS_AS_STRINGS) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    PyObject *annotations = reinterpret_cast<Function *>(self)->annotations;
    // Empty once the collector has cleared the function.
    return annotations ? PyDict_Copy(annotations) : PyDict_New();
}
#endif

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
#if DROVIK_FUNCTION_ANNOTATE
    {"__annotate__", function_annotate, METH_O, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

// Read-only attributes that tools read; __doc__ and __kwdefaults__ below.
#define FUNCTION_MEMBER(attr, field)                                                               \
    {const_cast<char *>(attr), OBJECT_MEMBER, offsetof(Function, field), READONLY_MEMBER, nullptr}

// Where the type finds the call entry, the instance dict and the weak references.
#define FUNCTION_OFFSET(attr, field)                                                               \
    {const_cast<char *>(attr), SSIZE_MEMBER, offsetof(Function, field), READONLY_MEMBER, nullptr}

PyMemberDef function_members[] = {
    FUNCTION_MEMBER("__name__", name),
    FUNCTION_MEMBER("__qualname__", qualname),
    FUNCTION_MEMBER("__module__", module),
    FUNCTION_MEMBER("__annotations__", annotations),
    FUNCTION_MEMBER("__defaults__", defaults),
    FUNCTION_MEMBER("__code__", code),
    FUNCTION_MEMBER("__globals__", globals),
    FUNCTION_OFFSET("__vectorcalloffset__", vectorcall),
    FUNCTION_OFFSET("__dictoffset__", dict),
    FUNCTION_OFFSET("__weaklistoffset__", weakrefs),
    {nullptr, 0, 0, 0, nullptr},
};

#undef FUNCTION_MEMBER
#undef FUNCTION_OFFSET

// None once the collector has cleared the function, as for a Python function
// without a docstring.
PyObject *function_get_doc(PyObject *self, void *) {
    PyObject *doc = reinterpret_cast<Function *>(self)->doc;
    return new_reference(doc ? doc : Py_None);
}

// Like a Python function's, the docstring may be replaced; deleting it leaves None.
int function_set_doc(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(reinterpret_cast<Function *>(self)->doc, new_reference(value ? value : Py_None));
    return 0;
}

PyObject *function_get_kwdefaults(PyObject *, void *) {
    return new_reference(Py_None);
}

PyGetSetDef function_getset[] = {
    {const_cast<char *>("__doc__"), function_get_doc, function_set_doc, nullptr, nullptr},
    {const_cast<char *>("__kwdefaults__"), function_get_kwdefaults, nullptr, nullptr, nullptr},
    {const_cast<char *>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "drovik.options.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | IMMUTABLE_TYPE_FLAGS,
    function_slots,
};

} // namespace

// A heap type, because making one either succeeds or leaves nothing behind,
// so a set-up that ran out of memory here can try again.
int init_function_type() {
    if (process.function_type) {
        return 0;
    }
    PyObject *type = PyType_FromSpec(&function_spec);
    if (!type) {
        // 3.12 and 3.13 leave no exception when the copy of the type's name
        // cannot be allocated.
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        return -1;
    }
    process.function_type = reinterpret_cast<PyTypeObject *>(type);
    refuse_instantiation(process.function_type);
    return 0;
}

namespace {

Ref make_annotations(const FunctionFacts &facts) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return Ref();
    }
    for (const char *const *pair = facts.annotations; *pair; pair += 2) {
        Ref text = Ref::steal(PyUnicode_FromString(pair[1]));
        if (!text || PyDict_SetItemString(annotations.get(), pair[0], text.get()) < 0) {
            return Ref();
        }
    }
    return annotations;
}

#include "function_code.inc"

// --- Argument handling.

Py_ssize_t keyword_count(PyObject *kwnames) {
    return kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
}

int check_keyword_names(PyObject *kwnames) {
    for (Py_ssize_t i = 0; i < keyword_count(kwnames); ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return -1;
        }
    }
    return 0;
}

// The error for arguments given to a function that takes none.
int refuse_arguments(PyObject *self, size_t nargsf, PyObject *kwnames) {
    if (check_keyword_names(kwnames) < 0) {
        return -1;
    }
    if (keyword_count(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", function_name(self),
                     "takes no keyword arguments");
        return -1;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", function_name(self),
                 "takes no arguments", PyVectorcall_NARGS(nargsf));
    return -1;
}

HOT_INLINE int check_no_arguments(PyObject *self, size_t nargsf, PyObject *kwnames) {
    if (keyword_count(kwnames) == 0 && PyVectorcall_NARGS(nargsf) == 0) {
        return 0;
    }
    return refuse_arguments(self, nargsf, kwnames);
}

int positional_count_error(PyObject *self, const char *bound, Py_ssize_t expected,
                           Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name(self), bound, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Places keyword arguments into `values`, whose slots correspond to
// `parameters`; the first keyword in the caller's order that names no
// parameter, or one that already has a value, is refused.
int match_keywords(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject *const *parameters, PyObject **values, Py_ssize_t count) {
    if (check_keyword_names(kwnames) < 0) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < keyword_count(kwnames); ++i) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, i);
        Py_ssize_t slot = 0;
        while (slot < count && keyword != parameters[slot] &&
               PyUnicode_Compare(keyword, parameters[slot]) != 0) {
            ++slot;
        }
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function_name(self), keyword);
            return -1;
        }
        if (values[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function_name(self), keyword);
            return -1;
        }
        values[slot] = args[nargs + i];
    }
    return 0;
}

template <typename Body> PyObject *run(Body body) {
    StackGuard guard;
    if (!guard) {
        return nullptr;
    }
    return body().release();
}

// --- Entry points, one per function, called by the interpreter.

// The entry of a function of no arguments, whose body is `Body`.
template <Ref (*Body)()>
PyObject *no_arguments_entry(PyObject *self, PyObject *const *, size_t nargsf, PyObject *kwnames) {
    if (check_no_arguments(self, nargsf, kwnames) < 0) {
        return nullptr;
    }
    return run([] { return Body(); });
}

PyObject *get_option_entry(PyObject *self, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 1) {
        positional_count_error(self, "at most", 1, nargs);
        return nullptr;
    }
    PyObject *option = nargs ? args[0] : nullptr;
    PyObject *const parameters[] = {words.option};
    if (kwnames && match_keywords(self, args, nargs, kwnames, parameters, &option, 1) < 0) {
        return nullptr;
    }
    return run([option] { return skorv_get_option(option ? option : Py_None); });
}

PyObject *set_option_entry(PyObject *self, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames) {
    (void)self;
    if (check_keyword_names(kwnames) < 0) {
        return nullptr;
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return run([=] { return skorv_set_option(args, nargs, kwnames); });
}

PyObject *set_one_entry(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (keyword_count(kwnames) == 0 ? nargs != 2 : nargs > 2) {
        positional_count_error(self, "exactly", 2, nargs);
        return nullptr;
    }
    PyObject *values[2] = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
    PyObject *const parameters[] = {words.option, words.value};
    if (match_keywords(self, args, nargs, kwnames, parameters, values, 2) < 0) {
        return nullptr;
    }
    if (!values[0] || !values[1]) {
        positional_count_error(self, "exactly", 2, values[0] ? 1 : 0);
        return nullptr;
    }
    if (check_option_type(values[0]) < 0) {
        return nullptr;
    }
    return run([&values] { return set_one(values[0], values[1]); });
}

// What each function calls when it is called, by FunctionId.
constexpr std::pair<FunctionId, vectorcallfunc> ENTRIES[] = {
    {F_CPU_DEFAULT_STRING, no_arguments_entry<cpu_default_string>},
    {F_SKORV_GET_OPTION_DEFAULT, no_arguments_entry<skorv_get_option_default>},
    {F_SKORV_GET_OPTION, get_option_entry},
    {F_SKORV_SET_OPTION, set_option_entry},
    {F_SET_ONE, set_one_entry},
    {F_POST_SET_CHECKS, no_arguments_entry<post_set_checks>},
    {F_SKORV_ENABLED_PLEXA_FEATURES, no_arguments_entry<skorv_enabled_plexa_features>},
};

constexpr bool entries_follow_the_catalogue() {
    int id = 0;
    for (const auto &entry : ENTRIES) {
        if (entry.first != id++) {
            return false;
        }
    }
    return id == FUNCTION_COUNT;
}
static_assert(entries_follow_the_catalogue(),
              "ENTRIES: one entry for each function of the catalogue, in its order");

} // namespace

Ref load_function_codes() {
    Ref codes = Ref::steal(PyMarshal_ReadObjectFromString(
        reinterpret_cast<const char *>(FUNCTION_CODE_MARSHALLED), sizeof FUNCTION_CODE_MARSHALLED));
    if (!codes) {
        return Ref();
    }
    bool complete =
        PyTuple_CheckExact(codes.get()) && PyTuple_GET_SIZE(codes.get()) == FUNCTION_COUNT;
    for (Py_ssize_t i = 0; complete && i < FUNCTION_COUNT; ++i) {
        complete = PyCode_Check(PyTuple_GET_ITEM(codes.get(), i));
    }
    if (!complete) {
        PyErr_SetString(PyExc_ImportError, "drovik.options was built for another interpreter");
        return Ref();
    }
    return codes;
}

Ref make_function(FunctionId id, PyObject *code, PyObject *globals, PyObject *module_name) {
    const FunctionFacts &facts = FUNCTION_FACTS[id];
    Ref name = Ref::steal(PyUnicode_InternFromString(facts.name));
    if (!name) {
        return Ref();
    }
    Ref doc = facts.doc ? Ref::steal(PyUnicode_FromString(facts.doc)) : Ref::borrow(Py_None);
    if (!doc) {
        return Ref();
    }
    Ref defaults =
        facts.last_defaults_to_none ? Ref::steal(PyTuple_Pack(1, Py_None)) : Ref::borrow(Py_None);
    if (!defaults) {
        return Ref();
    }
    Ref annotations = make_annotations(facts);
    if (!annotations) {
        return Ref();
    }
    auto *fn = PyObject_GC_New(Function, process.function_type);
    if (!fn) {
        return Ref();
    }
    fn->vectorcall = ENTRIES[id].second;
    fn->id = id;
    fn->qualname = new_reference(name.get());
    fn->name = name.release();
    fn->module = new_reference(module_name);
    fn->doc = doc.release();
    fn->annotations = annotations.release();
    fn->defaults = defaults.release();
    fn->code = new_reference(code);
    fn->globals = new_reference(globals);
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject *>(fn));
}

} // namespace drovik
