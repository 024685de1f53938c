// Synthetic code objects for introspection and tracebacks; never executed.
#pragma once

#include <Python.h>

#include <cstddef>

#include "support/ref.h"

namespace kestrix::support {

/// One token span that the location table reports: a line and its columns.
struct SourceSpan {
    int line;
    int start_column;
    int end_column;
};

/// Encodes `spans` (in order, first span on `first_line`) in the interpreter's
/// location-table format. Returns a new bytes object, or empty with an exception set.
[[nodiscard]] Ref make_location_table(int first_line, const SourceSpan* spans,
                                      std::size_t count) noexcept;

/// A code object with `argcount` positional-or-keyword arguments, local names
/// `varnames`, and a zero-filled byte code sized for `linetable`; name and
/// qualified name are both `name`. Empty with an exception set on failure.
[[nodiscard]] Ref new_code_object(int argcount, PyObject* varnames, int first_line,
                                  PyObject* filename, PyObject* name,
                                  PyObject* linetable) noexcept;

}  // namespace kestrix::support
