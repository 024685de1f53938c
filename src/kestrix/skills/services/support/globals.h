// Module-global lookup (namespace, then built-ins) and the import of one name from a module.
#pragma once

#include <Python.h>

#include "support/ref.h"

namespace kestrix::support {

/// Looks `name` (interned, hashed) up in the module namespace, then in builtins.
/// Returns a new reference, or empty with NameError (or another error) set.
[[nodiscard]] Ref lookup_global(PyObject* name) noexcept;

/// `from module_name import name`, bound under `name` in the module namespace.
/// Returns 0, or -1 with ImportError (or the import's own error) set.
[[nodiscard]] int import_name(PyObject* module_name, PyObject* name) noexcept;

}  // namespace kestrix::support
