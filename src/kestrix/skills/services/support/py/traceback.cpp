// Traceback entries: one synthetic frame per failing statement, code objects kept.
#include <Python.h>
#include <frameobject.h>

#include <cstring>

#include "support/py/ref.h"
#include "support/py/traceback.h"

namespace kestrix::py {

namespace {

constexpr Py_ssize_t kGrowth = 64;

[[nodiscard]] int compare_key(int line, const char* function_name, int other_line,
                              const char* other_name) noexcept {
    if (line != other_line) return line < other_line ? -1 : 1;
    return std::strcmp(function_name, other_name);
}

}  // namespace

void TracebackEntries::bind(const char* source_file, PyObject* globals) noexcept {
    source_file_ = source_file;
    globals_ = globals;
}

/// Index of the first entry not below the key.
Py_ssize_t TracebackEntries::lower_bound(int line, const char* function_name) const noexcept {
    Py_ssize_t lo = 0;
    Py_ssize_t hi = size_;
    while (lo < hi) {
        Py_ssize_t mid = lo + (hi - lo) / 2;
        if (compare_key(entries_[mid].line, entries_[mid].function_name, line, function_name) < 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

/// Keeps `code` (a new reference is taken) under the key. A failed allocation only means
/// the object is not kept.
void TracebackEntries::remember(Py_ssize_t at, int line, const char* function_name,
                                PyObject* code) noexcept {
    if (size_ == capacity_) {
        Py_ssize_t capacity = capacity_ + kGrowth;
        void* grown = PyMem_Realloc(entries_, sizeof(Entry) * static_cast<size_t>(capacity));
        if (grown == nullptr) return;
        entries_ = static_cast<Entry*>(grown);
        capacity_ = capacity;
    }
    std::memmove(entries_ + at + 1, entries_ + at, sizeof(Entry) * static_cast<size_t>(size_ - at));
    entries_[at] = Entry{line, function_name, Py_NewRef(code)};
    ++size_;
}

/// The code object for (function, line), kept or made now: a new reference, or null with
/// the error set. Runs with no exception pending.
PyObject* TracebackEntries::code_for_line(const char* function_name, int line) noexcept {
    Py_ssize_t at = 0;
    if (line != 0) {
        at = lower_bound(line, function_name);
        if (at < size_ &&
            compare_key(entries_[at].line, entries_[at].function_name, line, function_name) == 0) {
            return Py_NewRef(entries_[at].code);
        }
    }
    PyObject* code =
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file_, function_name, line));
    if (code != nullptr && line != 0) remember(at, line, function_name, code);
    return code;
}

void TracebackEntries::add(const char* function_name, int line) noexcept {
    if (globals_ == nullptr) return;  // a frame needs its globals
    // Building the code object and frame may raise; keep the real error aside.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref code = Ref::steal(code_for_line(function_name, line));
    if (!code) return;  // the creation error replaces the pending one
    // The code object's first line is `line` and its table maps offset 0 there, so the
    // fresh frame reports that line as its current one.
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals_, nullptr)));
    if (!frame) return;
    PyErr_SetRaisedException(pending.release());
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace kestrix::py
