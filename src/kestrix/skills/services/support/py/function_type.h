// The methods' own function type: vectorcall, descriptor binding, introspection.
#pragma once

#include <Python.h>

#include "support/py/ref.h"

namespace kestrix::support {

/// Creates the function type once per process into `state.function_type`; 0 or -1.
[[nodiscard]] int create_function_type() noexcept;

/// A new, GC-tracked function object for `def` (not owned; static). `def->ml_meth`
/// must be a METH_FASTCALL | METH_KEYWORDS entry taking the function object first.
/// Takes new references to the objects. Empty with an exception set on failure.
[[nodiscard]] Ref new_function(PyMethodDef* def, PyObject* qualname, PyObject* module_name,
                               PyObject* globals, PyObject* code) noexcept;

/// Stores a defaults tuple (or None) without the assignment warning; 0 or -1.
[[nodiscard]] int set_function_defaults(PyObject* func, PyObject* defaults) noexcept;

/// Stores an annotations dict; 0 or -1.
[[nodiscard]] int set_function_annotations(PyObject* func, PyObject* annotations) noexcept;

}  // namespace kestrix::support
