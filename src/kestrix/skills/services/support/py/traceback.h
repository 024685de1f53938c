// Traceback entries for failures leaving the module, with a code-object cache.
#pragma once

#include <Python.h>

namespace kestrix::support {

/// Appends one entry (function name, source file, line) to the traceback of the
/// pending exception. Leaves that exception in place; if the entry itself cannot
/// be made, the error that stopped it replaces the pending one.
void add_traceback_entry(const char* function_name, int line) noexcept;

}  // namespace kestrix::support
