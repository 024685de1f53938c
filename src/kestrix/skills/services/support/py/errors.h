// The two ways an exception may be set aside: the one expected, tested first, and an
// error that cannot propagate because another one is already on its way out.
#pragma once

#include <Python.h>

namespace kestrix::py {

/// Clears the pending exception when it is an instance of `expected` and says so; any
/// other stays pending (false).
[[nodiscard]] inline bool clear_if(PyObject* expected) noexcept {
    if (!PyErr_ExceptionMatches(expected)) return false;
    PyErr_Clear();
    return true;
}

/// Adds `note` (a new reference, taken; null means its making failed, error set) to `error`. A
/// failure to add it is left pending, for the HeldError that holds `error` to tell.
inline void add_note(PyObject* error, PyObject* note) noexcept {
    if (note == nullptr) return;
    PyObject* added = PyObject_CallMethod(error, "add_note", "O", note);
    Py_XDECREF(added);
    Py_DECREF(note);
}

/// Holds the pending exception aside while clean-up work runs, and puts it back when the
/// scope ends. An error the clean-up raises cannot take its place: it goes to
/// sys.unraisablehook, named by `while_doing`, as the interpreter does with errors it
/// cannot raise (a __del__'s), so that it is told, not lost.
class HeldError {
 public:
    explicit HeldError(const char* while_doing) noexcept
        : error_(PyErr_GetRaisedException()), while_doing_(while_doing) {}
    HeldError(const HeldError&) = delete;
    HeldError& operator=(const HeldError&) = delete;
    ~HeldError() {
        if (PyErr_Occurred()) PyErr_FormatUnraisable("Exception ignored while %s", while_doing_);
        PyErr_SetRaisedException(error_);
    }
    /// The held exception (borrowed), to add to while it is held.
    [[nodiscard]] PyObject* get() const noexcept { return error_; }

 private:
    PyObject* error_;
    const char* while_doing_;
};

}  // namespace kestrix::py
