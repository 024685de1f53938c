// Process-wide state and the constants made once in the exec step.
#include <Python.h>

#include "support/state.h"

namespace kestrix::support {

ProcessState state;

PyObject* make_text(const char* utf8) noexcept {
    PyObject* s = PyUnicode_FromString(utf8);
    if (s != nullptr && PyObject_Hash(s) == -1) Py_CLEAR(s);
    return s;
}

int make_constants() noexcept {
    if (state.empty_tuple == nullptr && (state.empty_tuple = PyTuple_New(0)) == nullptr) return -1;
    if (state.empty_bytes == nullptr &&
        (state.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0)) == nullptr) {
        return -1;
    }
    if (state.empty_str == nullptr && (state.empty_str = PyUnicode_FromString("")) == nullptr) {
        return -1;
    }
    return make_names(state.names);
}

}  // namespace kestrix::support
