// The interpreter's side of the file calls: names for the OS, audit events, the lock
// around blocking calls, and the exceptions that the path methods would raise.
#pragma once

#include <Python.h>

#include <cstddef>

#include "support/files.h"
#include "support/ref.h"

namespace kestrix::support {

/// A path as the OS sees it: the text that os.fspath() gives and its encoded bytes.
struct FsName {
    Ref text;     ///< str, the name errors carry
    Ref encoded;  ///< bytes, as os.fsencode() makes them
    [[nodiscard]] const char* c_str() const noexcept { return PyBytes_AS_STRING(encoded.get()); }
    [[nodiscard]] std::size_t size() const noexcept {
        return static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
    }
};

/// Names a path for the OS from its text (what os.fspath() gives). Returns 1; 0 when the OS
/// cannot be given that name (not a str, an embedded NUL) with nothing pending; -1 with an
/// exception set.
[[nodiscard]] int fs_name(Ref text, FsName& out) noexcept;

/// Audit events as os.open, os.mkdir, os.rename and os.remove raise them, and the
/// interpreter's lock let go around blocking calls. Shared and stateless.
[[nodiscard]] const files::Observer& interpreter_observer() noexcept;

/// Sets the exception for a files:: result `code` (an errno, kNotRegular, kNoMemory; for
/// kRefused the observer's exception is already pending), with `filename` as its
/// filename. Always returns -1.
int raise_file_error(int code, PyObject* filename) noexcept;

}  // namespace kestrix::support
