// The few call shapes the bodies use, on the interpreter's protocols.
#pragma once

#include <Python.h>

#include "module_objects.h"
#include "support/py/ref.h"
#include "support/state.h"

namespace kestrix {

/// Truth test: True and False/None answered at once, anything else asked.
[[nodiscard]] inline int is_true(PyObject* v) noexcept {
    if (v == Py_True) return 1;
    if (v == Py_False || v == Py_None) return 0;
    return PyObject_IsTrue(v);
}

/// obj.name() with no arguments.
[[nodiscard]] inline support::Ref call_method(PyObject* obj, PyObject* name) noexcept {
    return support::Ref::steal(PyObject_CallMethodNoArgs(obj, name));
}

/// obj.name(*positional, encoding="utf-8").
[[nodiscard]] inline support::Ref call_method_utf8(PyObject* obj, PyObject* name,
                                                   PyObject* positional) noexcept {
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[4] = {nullptr, obj, positional, support::state.names.utf_8};
    size_t nargs = 1;
    if (positional == nullptr) {
        stack[2] = support::state.names.utf_8;
    } else {
        nargs = 2;
    }
    return support::Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, objects.encoding_kwnames));
}

/// The value as text, the way "{}".format(value) makes it.
[[nodiscard]] inline support::Ref as_text(PyObject* value) noexcept {
    return support::Ref::steal(PyObject_Format(value, support::state.empty_str));
}

}  // namespace kestrix
