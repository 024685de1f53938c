// Process-wide state: one struct, filled once by the exec step and kept until the process ends.
#pragma once

#include <Python.h>

#include <cstdint>

#include "support/py/names.h"

namespace kestrix::support {

/// Everything the module keeps for the life of the process.
///
/// The fields are raw pointers on purpose: the module is never unloaded, and an
/// owning handle with a static destructor would run Py_DECREF after the
/// interpreter has been finalised.
struct ProcessState {
    std::int64_t interpreter_id = -1;       ///< the one interpreter allowed to load us
    PyObject* module = nullptr;             ///< strong; set from exec step 2, dropped if exec fails
    PyObject* module_dict = nullptr;        ///< strong; the module's namespace
    PyObject* builtins = nullptr;           ///< strong; the `builtins` module
    PyObject* empty_tuple = nullptr;        ///< strong
    PyObject* empty_bytes = nullptr;        ///< strong
    PyObject* empty_str = nullptr;          ///< strong
    PyTypeObject* function_type = nullptr;  ///< strong; the methods' function type
    Names names;                            ///< interned names, strong
};

/// The one instance.
extern ProcessState state;

/// Source file name that every traceback entry and code object carries.
inline constexpr const char* kSourceFile = "kestrix/skills/services/rule_injector";

/// Makes the empty tuple, bytes and str and the interned names (once); 0 or -1.
[[nodiscard]] int make_constants() noexcept;

/// Creates and hashes a non-interned constant text; null with an exception set on failure.
[[nodiscard]] PyObject* make_text(const char* utf8) noexcept;

}  // namespace kestrix::support
