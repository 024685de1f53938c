// The interpreter's side of the file calls: names for the OS, audit events, the lock let
// go around blocking calls, Ctrl-C between pieces, and the exceptions that the path
// methods would raise.
#pragma once

#include <Python.h>

#include <cstddef>

#include "support/os/hooks.h"
#include "support/py/ref.h"

namespace kestrix::py {

#if defined(__linux__) || defined(__APPLE__)
inline constexpr bool kFilesAvailable = true;
#else
inline constexpr bool kFilesAvailable = false;
#endif

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

/// Audit events as open(), os.mkdir, os.rename and os.remove raise them, the interpreter's
/// lock let go around blocking calls, and pending signal handlers run between the pieces
/// of long reads and writes; temporary files named with `temporary_prefix` (static text).
[[nodiscard]] os::Hooks interpreter_hooks(const char* temporary_prefix) noexcept;

/// How a file error is reported: the errno of writing the content itself carries no file
/// name, as write() errors do not; every other one names the file.
enum class ErrorSource { Naming, Writing };

/// Sets the exception for an os:: result `code` (an errno or one of its codes; for
/// kRefused the hook's exception is already pending), naming `filename` as the path
/// methods would. The one place where the OS's answers become exceptions.
void raise_file_error(int code, PyObject* filename,
                      ErrorSource source = ErrorSource::Naming) noexcept;

}  // namespace kestrix::py
