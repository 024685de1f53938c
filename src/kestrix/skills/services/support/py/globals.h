// Module-global lookup (namespace, then built-ins) and the import of one name from a module.
#pragma once

#include <Python.h>

#include "support/py/ref.h"

namespace kestrix::support {

/// Looks `name` (interned, hashed) up in the module namespace, then in builtins, as it is
/// bound at this moment. Returns a new reference, or empty with NameError (or the error of
/// the namespace probe) set. While neither dict changes, a name found before costs a compare.
[[nodiscard]] Ref lookup_global(PyObject* name) noexcept;

/// PyDict_GetItemRef(dict, key, value) for an exact dict. The last item found for an
/// exact str key is remembered until that dict changes (the dict is watched from then on).
[[nodiscard]] int lookup_in_dict(PyObject* dict, PyObject* key, PyObject** value) noexcept;

/// `from module_name import name`, bound under `name` in the module namespace.
/// Returns 0, or -1 with ImportError (or the import's own error) set.
[[nodiscard]] int import_name(PyObject* module_name, PyObject* name) noexcept;

}  // namespace kestrix::support
