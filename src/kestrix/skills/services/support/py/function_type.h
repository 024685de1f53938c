// The methods' own function type: vectorcall, descriptor binding, introspection.
#pragma once

#include <Python.h>

#include "support/py/ref.h"

namespace kestrix::py {

/// A new function type named `qualified_name` ("package.module.word"; its repr and
/// warnings say "word"). The text must outlive the call only. Null with an exception set.
[[nodiscard]] PyTypeObject* create_function_type(const char* qualified_name) noexcept;

/// A new, GC-tracked function object for `def` (not owned; static). `def->ml_meth`
/// must be a METH_FASTCALL | METH_KEYWORDS entry taking the function object first.
/// Takes new references to the objects. Empty with an exception set on failure.
[[nodiscard]] Ref new_function(PyTypeObject* type, PyMethodDef* def, PyObject* qualname,
                               PyObject* module_name, PyObject* globals, PyObject* code) noexcept;

/// While the function is being made: stores a defaults tuple (or None) without the warning
/// that an assignment to __defaults__ gives; 0 or -1.
[[nodiscard]] int store_function_defaults(PyObject* func, PyObject* defaults) noexcept;

/// While the function is being made: stores an annotations dict; 0 or -1.
[[nodiscard]] int store_function_annotations(PyObject* func, PyObject* annotations) noexcept;

}  // namespace kestrix::py
