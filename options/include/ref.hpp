// Ref, the owning reference that every new reference of the module is held in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace drovik {

// Rules of use:
// - A Ref owns exactly one strong reference, or nothing. It is made only
//   explicitly: Ref::steal() takes over a new reference (NULL stays empty, so
//   the result of any API call can be wrapped before it is checked), and
//   Ref::borrow() takes a new reference to a borrowed pointer.
// - Refs move and never copy; the destructor releases what is still owned.
// - get() lends the pointer for the duration of a call; release() hands the
//   reference to the caller, which is how a function returns a new reference
//   to the interpreter.
// - new_reference() makes a new reference to a borrowed pointer and hands it
//   on at once, to a slot that releases it or to the interpreter.
// - A raw PyObject* is always borrowed. Before anything that can run Python
//   code (a call, a comparison, a truth test, a store into a dict), borrowed
//   pointers that must survive it are turned into Refs.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    static Ref steal(PyObject *obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject *obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref &other) noexcept { std::swap(obj_, other.obj_); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

// A new reference to `obj`, which is borrowed and not null, for a caller that
// takes it over.
inline PyObject *new_reference(PyObject *obj) noexcept {
    Py_INCREF(obj);
    return obj;
}

} // namespace drovik
