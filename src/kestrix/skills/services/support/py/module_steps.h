// The pieces of a module's create and exec steps that are the same for any module: the
// module object made from its spec, the version check, and its entry in sys.modules.
#pragma once

#include <Python.h>

#include "support/py/ref.h"

namespace kestrix::py {

/// A new module named spec.name whose __loader__, __file__, __package__ and (when not None)
/// __path__ come from the spec, as the import system sets them; a spec without one of those
/// attributes does not provide it. Empty with an exception set.
[[nodiscard]] Ref module_from_spec(PyObject* spec) noexcept;

/// Warns (RuntimeWarning, as the interpreter does for a mismatched extension) when the
/// running interpreter is not major.minor, which `module_name` was built for. 0, or -1 when
/// the warnings filter turned the warning into an error.
[[nodiscard]] int warn_unless_built_for(const char* module_name, int major, int minor) noexcept;

/// Puts `module` into sys.modules under `name` when nothing is there yet. 1 when it put it
/// there, 0 when an entry was there, -1 with an exception set.
[[nodiscard]] int add_to_sys_modules(PyObject* name, PyObject* module) noexcept;

/// Removes the entry under `name` if it is still `module`, after a failed exec step whose
/// exception (pending) stays the one that propagates.
void remove_from_sys_modules(PyObject* name, PyObject* module) noexcept;

}  // namespace kestrix::py
