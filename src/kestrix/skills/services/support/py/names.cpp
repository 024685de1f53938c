// Interned names: created, interned and hashed once in the exec step.
#include <Python.h>

#include "support/py/names.h"

namespace kestrix::support {

namespace {

[[nodiscard]] int make_name(PyObject*& field, const char* text, bool intern) noexcept {
    if (field != nullptr) return 0;
    PyObject* s = PyUnicode_FromString(text);
    if (s == nullptr) return -1;
    if (intern) PyUnicode_InternInPlace(&s);
    // Hash now, so every later dictionary lookup reads the cached value.
    if (PyObject_Hash(s) == -1) {
        Py_DECREF(s);
        return -1;
    }
    field = s;
    return 0;
}

}  // namespace

int make_names(Names& names) noexcept {
#define KESTRIX_MAKE_NAME(field, text) \
    if (make_name(names.field, text, true) < 0) return -1;
#define KESTRIX_MAKE_TEXT(field, text) \
    if (make_name(names.field, text, false) < 0) return -1;
    KESTRIX_NAMES(KESTRIX_MAKE_NAME)
    KESTRIX_TEXTS(KESTRIX_MAKE_TEXT)
#undef KESTRIX_MAKE_TEXT
#undef KESTRIX_MAKE_NAME
    return 0;
}

}  // namespace kestrix::support
