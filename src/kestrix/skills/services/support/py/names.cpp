// Names made and hashed once, interned when they are looked up by identity.
#include <Python.h>

#include "support/py/names.h"

namespace kestrix::py {

int make_name(PyObject*& field, const char* text, bool interned) noexcept {
    if (field != nullptr) return 0;
    PyObject* s = PyUnicode_FromString(text);
    if (s == nullptr) return -1;
    if (interned) PyUnicode_InternInPlace(&s);
    if (PyObject_Hash(s) == -1) {
        Py_DECREF(s);
        return -1;
    }
    field = s;
    return 0;
}

}  // namespace kestrix::py
