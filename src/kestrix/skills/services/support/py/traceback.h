// Traceback entries for failures leaving a module's functions, with their code objects
// kept for reuse.
#pragma once

#include <Python.h>

namespace kestrix::py {

/// Adds the entries of one source file whose functions run in one namespace.
class TracebackEntries {
 public:
    /// The file name every entry shows and the namespace its frames carry (borrowed, kept
    /// alive by the caller).
    void bind(const char* source_file, PyObject* globals) noexcept;

    /// Appends one entry (function name, the source file, line) to the traceback of the
    /// pending exception, which stays in place; if the entry itself cannot be made, the
    /// error that stopped it replaces the pending one. `function_name` is static text.
    /// Bound to no namespace (the interpreter's shutdown took it), it adds nothing.
    void add(const char* function_name, int line) noexcept;

 private:
    /// One kept code object. Keyed by line and function name: a module's body and its
    /// functions may report the same line, and each entry must name its own function.
    struct Entry {
        int line;
        const char* function_name;  // static text, compared by content
        PyObject* code;             // strong, kept for the life of the process
    };
    [[nodiscard]] Py_ssize_t lower_bound(int line, const char* function_name) const noexcept;
    void remember(Py_ssize_t at, int line, const char* function_name, PyObject* code) noexcept;
    [[nodiscard]] PyObject* code_for_line(const char* function_name, int line) noexcept;

    const char* source_file_ = "";
    PyObject* globals_ = nullptr;
    Entry* entries_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

}  // namespace kestrix::py
