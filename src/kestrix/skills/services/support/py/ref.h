// Owned-reference handle: one strong reference, moved never copied.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrix::py {

/// Holds one strong reference. Copying is spelled `.dup()` so that every
/// reference-count change is visible at the call site.
class Ref {
 public:
    Ref() noexcept = default;
    /// Adopts a new reference (or null, meaning "exception set").
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Takes a new reference to a borrowed pointer (null stays null).
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    /// The only way to copy: another strong reference to the same object.
    [[nodiscard]] Ref dup() const noexcept { return borrow(p_); }

    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) Py_XSETREF(p_, o.release());
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    /// Borrowed view; the handle keeps the reference.
    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    /// Hands the reference over to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Fixed array of owned slots for bound arguments; released on scope exit.
template <Py_ssize_t N>
struct Slots {
    PyObject* items[N] = {};
    Slots() noexcept = default;
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;
    ~Slots() {
        for (PyObject*& p : items) Py_CLEAR(p);
    }
    PyObject* operator[](Py_ssize_t i) const noexcept { return items[i]; }
};

/// Casts a fast-call entry function for a PyMethodDef table in one place,
/// so -Wcast-function-type is dealt with once.
template <typename F>
inline PyCFunction as_pycfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace kestrix::py
