// The entry of every call of the module's functions: the handling of their
// arguments, with the errors that Python's own argument parsing gives, and a
// guard against running out of C stack. The bodies are in reading.cpp,
// setting.cpp and table.cpp.

#include "calls.hpp"

#include "access.hpp"
#include "function.hpp"
#include "table.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__linux__) && defined(__GLIBC__)
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
// The first versions of the two stack queries on architectures that wheels
// are built for (see find_thread_stack).
#if defined(__x86_64__) && defined(__LP64__)
#define DROVIK_GLIBC_BASE_VERSION "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define DROVIK_GLIBC_BASE_VERSION "GLIBC_2.17"
#endif
#endif

namespace drovik {

namespace {

// Callbacks can make the module call itself without a Python frame in
// between (a companion name bound to one of these functions), and every such
// call nests on the C stack. Where the thread's own stack is known, each call
// makes sure that it has room left, which holds whatever recursion limit the
// program has set. (Counting the module's own nesting there would go wrong
// where one thread runs many stacks in turn, as greenlets do.) Deep in a
// stack larger than programs get by default, and on stacks that the program
// made itself, the module's own nesting is counted and stopped, and the
// interpreter's recursion check runs as well. (From 3.14 on that check
// compares the stack pointer with what glibc reports, which is all there is
// to go by where that report is too large.)
enum class Stack { ROOM, DEEP, EXHAUSTED, FOREIGN };

#if defined(__linux__) && defined(__GLIBC__)
constexpr size_t STACK_RESERVE = 256 * 1024;
// The stack that every program gets by default. A main thread whose stack
// limit was raised (to unlimited, say) is reported by glibc down to the next
// mapping, terabytes away, which memory cannot back: below this depth the
// module's calls nest only as deep as on a stack of unknown size.
constexpr size_t DEFAULT_STACK = 8 * 1024 * 1024;
// The main thread's stack grows on demand, and glibc reports it down to the
// mapping below; the kernel keeps this gap free above that mapping.
constexpr size_t KERNEL_STACK_GAP = 1024 * 1024;

// This thread's own stack, [low, high): calls must leave [low, floor) free,
// and below `deep` their nesting is counted.
// Zero until first asked; empty when the system cannot tell.
struct ThreadStack {
    uintptr_t low, floor, deep, high;
};

thread_local ThreadStack thread_stack = {0, 0, 0, 0};

bool is_main_thread() {
    return syscall(SYS_gettid) == getpid();
}

// Unbound, the two queries take the newest versions of the build machine's
// glibc (2.32 and 2.34, where they were re-versioned and moved from libpthread
// into libc), and the module would not load on an older system. Their first
// versions are the same functions under names every glibc of the architecture
// has; before 2.34 they are in libpthread, which every CPython there has loaded
// for its own threads. The binding sits in the body, and the body is never
// inlined, so that it lands in whichever unit the link-time optimiser puts the
// calls in.
[[gnu::noinline]] ThreadStack find_thread_stack() {
#ifdef DROVIK_GLIBC_BASE_VERSION
    __asm__(".symver pthread_getattr_np,pthread_getattr_np@" DROVIK_GLIBC_BASE_VERSION "\n\t"
            ".symver pthread_attr_getstack,pthread_attr_getstack@" DROVIK_GLIBC_BASE_VERSION);
#endif
    constexpr ThreadStack UNKNOWN = {1, 1, 1, 1};
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
    auto high = start + size;
    // Small thread stacks keep a quarter in reserve instead.
    size_t reserve = std::min(STACK_RESERVE + (is_main_thread() ? KERNEL_STACK_GAP : 0), size / 4);
    uintptr_t floor = start + reserve;
    return {start, floor, std::max(floor, high - std::min(size, DEFAULT_STACK)), high};
}

Stack check_stack(uintptr_t frame) {
    ThreadStack &stack = thread_stack;
    if (stack.high == 0) {
        stack = find_thread_stack();
    }
    // Unsigned: a frame below the stack wraps around above it. A frame outside
    // the thread's own stack runs on one that the program made itself (a
    // fiber, a coroutine runtime, an embedder's), whose size is unknown here.
    if (frame - stack.low >= stack.high - stack.low) {
        return Stack::FOREIGN;
    }
    if (frame >= stack.deep) {
        return Stack::ROOM;
    }
    return frame >= stack.floor ? Stack::DEEP : Stack::EXHAUSTED;
}
#else
Stack check_stack(uintptr_t) {
    return Stack::FOREIGN;
}
#endif

// On a stack of unknown size, and deep in a large one, the module's own
// calls nest at most this deep. One level takes 192 to 464 bytes of C stack
// between two entries (3.9 to 3.13), 704 to 816 with a Python function in
// between, so 64 levels take at most a fifth of the 256 KiB on which plain
// Python's loops still end in RecursionError. Ordinary nesting (a companion
// that reads an option) is two or three levels deep.
constexpr int COUNTED_DEPTH_LIMIT = 64;
// An entry this close below the innermost counted one is nested in it; one
// farther away, or above it, is on another stack (a fiber that left a call
// of the module unfinished when it switched) and starts afresh.
constexpr uintptr_t NESTING_SPAN = 64 * 1024;

// The innermost counted call of the module on this thread. Each call
// restores what it found, by value, so fibers that switch in the middle of
// calls leave only stale figures behind, never a dangling pointer.
struct CountedCall {
    uintptr_t frame;
    int depth;
};

thread_local CountedCall innermost_counted_call = {0, 0};

const char RECURSION_MESSAGE[] = "maximum recursion depth exceeded while calling a Python object";

class RecursionGuard {
  public:
    RecursionGuard() {
        // The frame address, not a local's: AddressSanitizer may keep locals
        // on a stack of its own.
        auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        Stack stack = check_stack(frame);
        if (stack == Stack::ROOM) {
            passed_ = true;
            return;
        }
        enter(stack, frame);
    }
    ~RecursionGuard() {
        if (undo_) {
            leave();
        }
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    explicit operator bool() const { return passed_; }

  private:
    enum : uint8_t { INTERPRETER_ENTERED = 1, NESTING_COUNTED = 2 };

    [[gnu::noinline]] void enter(Stack stack, uintptr_t frame) {
        if (stack == Stack::EXHAUSTED) {
            PyErr_SetString(PyExc_RecursionError, RECURSION_MESSAGE);
            return;
        }
        if (!count_nesting(frame)) {
            return;
        }
        if (Py_EnterRecursiveCall(" while calling a Python object") == 0) {
            undo_ |= INTERPRETER_ENTERED;
            passed_ = true;
        }
    }

    bool count_nesting(uintptr_t frame) {
        CountedCall outer = innermost_counted_call;
        bool nested = outer.depth > 0 && frame < outer.frame && outer.frame - frame < NESTING_SPAN;
        int depth = nested ? outer.depth + 1 : 1;
        if (depth > COUNTED_DEPTH_LIMIT) {
            PyErr_SetString(PyExc_RecursionError, RECURSION_MESSAGE);
            return false;
        }
        outer_ = outer;
        undo_ |= NESTING_COUNTED;
        innermost_counted_call = {frame, depth};
        return true;
    }

    [[gnu::noinline]] void leave() {
        if (undo_ & INTERPRETER_ENTERED) {
            Py_LeaveRecursiveCall();
        }
        if (undo_ & NESTING_COUNTED) {
            innermost_counted_call = outer_;
        }
    }

    bool passed_ = false;
    uint8_t undo_ = 0;
    CountedCall outer_; // set only when NESTING_COUNTED
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
    PyObject *const parameters[] = {words.option};
    if (kwnames && match_keywords(self, args, nargs, kwnames, parameters, &option, 1) < 0) {
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

} // namespace drovik
