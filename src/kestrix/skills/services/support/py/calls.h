// The few call shapes that code on the interpreter's protocols needs again and again.
#pragma once

#include <Python.h>

#include "support/py/ref.h"

namespace kestrix::py {

/// Truth test: True and False/None answered at once, anything else asked.
[[nodiscard]] inline int is_true(PyObject* v) noexcept {
    if (v == Py_True) return 1;
    if (v == Py_False || v == Py_None) return 0;
    return PyObject_IsTrue(v);
}

/// obj.name() with no arguments.
[[nodiscard]] inline Ref call_method(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_CallMethodNoArgs(obj, name));
}

/// The value as text, the way "{}".format(value) makes it.
[[nodiscard]] inline Ref as_text(PyObject* value) noexcept {
    return Ref::steal(PyObject_Format(value, Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR)));
}

}  // namespace kestrix::py
