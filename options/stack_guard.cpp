// The guard against running out of C stack that every call of the module's
// functions passes first, with the platform's thread-stack queries behind it.

#include "options.hpp"

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
#if defined(__linux__) && defined(__GLIBC__)
namespace {

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

} // namespace

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

namespace {

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
thread_local CountedCall innermost_counted_call = {0, 0};

const char RECURSION_MESSAGE[] = "maximum recursion depth exceeded while calling a Python object";

} // namespace

void StackGuard::enter(Stack stack, uintptr_t frame) {
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

bool StackGuard::count_nesting(uintptr_t frame) {
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

void StackGuard::leave() {
    if (undo_ & INTERPRETER_ENTERED) {
        Py_LeaveRecursiveCall();
    }
    if (undo_ & NESTING_COUNTED) {
        innermost_counted_call = outer_;
    }
}

} // namespace drovik
