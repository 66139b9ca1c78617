// The function objects of the module and the handling of their arguments.
//
// They behave like Python functions for the tools that inspect them: the
// signature comes from a genuine code object and the documented defaults and
// annotations, they bind as methods, pickle by reference and show in help().

#include "options.hpp"

#include <marshal.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__linux__) && defined(__GLIBC__)
#include <pthread.h>
#endif

namespace drovik {

namespace {

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDef *definition;
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

const char *function_name(PyObject *self) {
    return reinterpret_cast<Function *>(self)->definition->name;
}

// Callbacks can make the module call itself without a Python frame in
// between (a companion name bound to one of these functions), and every such
// call nests on the C stack. The interpreter's recursion limit stops that only
// where it counts C calls apart (3.12 on); before, a program that raises the
// limit for its own deep recursion would run out of C stack first. So each
// call also makes sure that the thread's stack has room left. (Counting the
// module's own nesting instead would go wrong where one thread runs many
// stacks in turn, as greenlets do.)
#if defined(__linux__) && defined(__GLIBC__)
constexpr size_t STACK_RESERVE = 256 * 1024;

// The thread's own stack, [low, high), and the lowest address that calls
// may reach in it. All zero until first asked; an empty range when the
// system cannot tell.
struct ThreadStack {
    uintptr_t low, floor, high;
};

thread_local ThreadStack thread_stack = {0, 0, 0};

ThreadStack find_thread_stack() {
    constexpr ThreadStack UNKNOWN = {1, 1, 1};
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return UNKNOWN;
    }
    void *low = nullptr;
    size_t size = 0;
    int failed = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (failed) {
        return UNKNOWN;
    }
    auto start = reinterpret_cast<uintptr_t>(low);
    // Small thread stacks keep a quarter in reserve instead.
    return {start, start + std::min(STACK_RESERVE, size / 4), start + size};
}

bool stack_has_room() {
    if (thread_stack.high == 0) {
        thread_stack = find_thread_stack();
    }
    // The frame address, not a local's: AddressSanitizer may keep locals
    // on a stack of its own.
    auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    // A frame outside the thread's own stack runs on one that the program
    // made itself (a fiber, a coroutine runtime, an embedder's): its size is
    // unknown here, so recursion there is left to the interpreter's limit.
    return frame >= thread_stack.high || frame < thread_stack.low || frame > thread_stack.floor;
}
#else
bool stack_has_room() {
    return true;
}
#endif

class RecursionGuard {
  public:
    RecursionGuard() {
        if (!stack_has_room()) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while calling a Python object");
            return;
        }
        entered_ = Py_EnterRecursiveCall(" while calling a Python object") == 0;
    }
    ~RecursionGuard() {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    explicit operator bool() const { return entered_; }

  private:
    bool entered_ = false;
};

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

int check_no_arguments(PyObject *self, size_t nargsf, PyObject *kwnames) {
    if (check_keyword_names(kwnames) < 0) {
        return -1;
    }
    if (keyword_count(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", function_name(self),
                     "takes no keyword arguments");
        return -1;
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", function_name(self),
                     "takes no arguments", nargs);
        return -1;
    }
    return 0;
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
    RecursionGuard guard;
    if (!guard) {
        return nullptr;
    }
    return body().release();
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

// --- Entry points, one per function.

PyObject *cpu_default_string_entry(PyObject *self, PyObject *const *, size_t nargsf,
                                   PyObject *kwnames) {
    if (check_no_arguments(self, nargsf, kwnames) < 0) {
        return nullptr;
    }
    return run([] { return cpu_default_string(); });
}

PyObject *get_option_default_entry(PyObject *self, PyObject *const *, size_t nargsf,
                                   PyObject *kwnames) {
    if (check_no_arguments(self, nargsf, kwnames) < 0) {
        return nullptr;
    }
    return run([] { return option_defaults(); });
}

PyObject *get_option_entry(PyObject *self, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 1) {
        positional_count_error(self, "at most", 1, nargs);
        return nullptr;
    }
    PyObject *option = nargs ? args[0] : nullptr;
    PyObject *const parameters[] = {S.p_option};
    if (match_keywords(self, args, nargs, kwnames, parameters, &option, 1) < 0) {
        return nullptr;
    }
    return run([option] { return get_option(option ? option : Py_None); });
}

PyObject *set_option_entry(PyObject *self, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames) {
    (void)self;
    if (check_keyword_names(kwnames) < 0) {
        return nullptr;
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return run([=] { return set_option(args, nargs, kwnames); });
}

PyObject *set_one_entry(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (keyword_count(kwnames) == 0 ? nargs != 2 : nargs > 2) {
        positional_count_error(self, "exactly", 2, nargs);
        return nullptr;
    }
    PyObject *values[2] = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
    PyObject *const parameters[] = {S.p_option, S.p_value};
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

PyObject *post_set_checks_entry(PyObject *self, PyObject *const *, size_t nargsf,
                                PyObject *kwnames) {
    if (check_no_arguments(self, nargsf, kwnames) < 0) {
        return nullptr;
    }
    return run([] { return post_set_checks(); });
}

PyObject *plexa_enabled_entry(PyObject *self, PyObject *const *, size_t nargsf, PyObject *kwnames) {
    if (check_no_arguments(self, nargsf, kwnames) < 0) {
        return nullptr;
    }
    return run([] { return plexa_enabled(); });
}

// --- The type.

namespace {

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
    return PyUnicode_FromFormat("<function %s at %p>", fn->definition->name, self);
}

// Bound as a method when stored on a class, like any Python function.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// Pickled by reference: the name is looked up in the module when loading.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return PyUnicode_FromString(function_name(self));
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
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
    return Ref::borrow(doc ? doc : Py_None).release();
}

// Like a Python function's, the docstring may be replaced; deleting it leaves None.
int function_set_doc(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(reinterpret_cast<Function *>(self)->doc,
               Ref::borrow(value ? value : Py_None).release());
    return 0;
}

PyObject *function_get_kwdefaults(PyObject *, void *) {
    return Ref::borrow(Py_None).release();
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

// Made once per process. A heap type, because making one either succeeds or
// leaves nothing behind, so a set-up that ran out of memory here can try again.
PyTypeObject *function_type = nullptr;

} // namespace

int init_function_type() {
    if (function_type) {
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
    function_type = reinterpret_cast<PyTypeObject *>(type);
    refuse_instantiation(function_type);
    return 0;
}

namespace {

Ref make_annotations(const FunctionDef &definition) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return Ref();
    }
    for (const char *const *pair = definition.annotations; *pair; pair += 2) {
        Ref text = Ref::steal(PyUnicode_FromString(pair[1]));
        if (!text || PyDict_SetItemString(annotations.get(), pair[0], text.get()) < 0) {
            return Ref();
        }
    }
    return annotations;
}

#include "function_code.inc"

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

Ref make_function(const FunctionDef &definition, PyObject *code, PyObject *globals,
                  PyObject *module_name) {
    Ref name = Ref::steal(PyUnicode_InternFromString(definition.name));
    if (!name) {
        return Ref();
    }
    Ref doc =
        definition.doc ? Ref::steal(PyUnicode_FromString(definition.doc)) : Ref::borrow(Py_None);
    if (!doc) {
        return Ref();
    }
    Ref defaults = definition.option_defaults_to_none ? Ref::steal(PyTuple_Pack(1, Py_None))
                                                      : Ref::borrow(Py_None);
    if (!defaults) {
        return Ref();
    }
    Ref annotations = make_annotations(definition);
    if (!annotations) {
        return Ref();
    }
    auto *fn = PyObject_GC_New(Function, function_type);
    if (!fn) {
        return Ref();
    }
    fn->vectorcall = definition.entry;
    fn->definition = &definition;
    fn->qualname = Ref::borrow(name.get()).release();
    fn->name = name.release();
    fn->module = Ref::borrow(module_name).release();
    fn->doc = doc.release();
    fn->annotations = annotations.release();
    fn->defaults = defaults.release();
    fn->code = Ref::borrow(code).release();
    fn->globals = Ref::borrow(globals).release();
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject *>(fn));
}

} // namespace drovik
