// Argument binding for fast-call entry functions, with fixed TypeError messages.
#pragma once

#include <Python.h>

namespace kestrix::py {

inline constexpr Py_ssize_t kMaxParams = 3;

/// A method's parameter list. Every parameter is positional-or-keyword; the first
/// `nrequired` are required and the rest default to None.
struct Signature {
    const char* name;              ///< short name used in messages (e.g. "get")
    Py_ssize_t nparams;            ///< 1..kMaxParams
    Py_ssize_t nrequired;          ///< leading required parameters
    PyObject* params[kMaxParams];  ///< interned parameter names; filled in exec
};

/// Binds a vectorcall (args, nargs, kwnames) to `sig`. On success returns 0 and
/// `slots[0..sig.nparams)` each hold a new reference. On failure returns -1 with
/// TypeError (or a hashing/comparison error) set and every slot null.
/// Allocates nothing. Adds no traceback entry.
[[nodiscard]] int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, PyObject** slots) noexcept;

/// True when the call (args, nargs, kwnames) gives every parameter of `sig` exactly once,
/// in declaration order: positionally, then by keyword names that are the very parameter
/// name objects. The argument vector is then already the bound parameters, in order.
[[nodiscard]] bool binds_in_order(const Signature& sig, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;

/// 0 when `value` is exactly a str; otherwise -1 with the "has incorrect type"
/// TypeError set, and `subclass_note` (if any) added to it for a str subclass.
[[nodiscard]] int check_exact_str(PyObject* value, const char* param_name,
                                  const char* subclass_note) noexcept;

/// 0 when `value` is exactly a str or None; otherwise -1 with "Expected str, got ...".
[[nodiscard]] int check_str_or_none(PyObject* value) noexcept;

}  // namespace kestrix::py
