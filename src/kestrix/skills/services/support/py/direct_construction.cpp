// Direct construction: allocate, call __init__ with the instance in front, check None.
#include <Python.h>

#include "support/py/direct_construction.h"
#include "support/py/ref.h"

namespace kestrix::py {

namespace {

/// The record of the class set up. A type's vectorcall is given no context of its own: the
/// class's calls find their record here.
DirectConstruction* served = nullptr;

/// Arguments (self included) that fit on the stack; larger calls take the generic path.
constexpr Py_ssize_t kMaxDirect = 8;

/// The `__init__` that the class's namespaces hold, first along its MRO, as the interpreter
/// finds it for a call (borrowed; null when none, or with an error a namespace's key raised).
[[nodiscard]] PyObject* init_in_mro(PyTypeObject* cls, PyObject* name) noexcept {
    PyObject* mro = cls->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (dict == nullptr) continue;
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (found != nullptr || PyErr_Occurred()) return found;
    }
    return nullptr;
}

/// 1 when calling the class still means object.__new__, plain allocation and our
/// __init__; re-examined only after the class (or a base) changed. 0 when it does not; -1
/// with the error that one of the class's namespaces raised.
[[nodiscard]] int unchanged(DirectConstruction& record, PyTypeObject* cls) noexcept {
    if (record.checked_tag != 0 && cls->tp_version_tag == record.checked_tag) return 1;
    if (Py_TYPE(cls) != &PyType_Type || cls->tp_new != PyBaseObject_Type.tp_new ||
        cls->tp_alloc != PyType_GenericAlloc || PyType_HasFeature(cls, Py_TPFLAGS_IS_ABSTRACT)) {
        return 0;
    }
    PyObject* init = init_in_mro(cls, record.init_name);
    if (init == nullptr && PyErr_Occurred()) return -1;
    bool same = init == record.init;
    record.checked_tag = same && PyUnstable_Type_AssignVersionTag(cls) ? cls->tp_version_tag : 0;
    return same ? 1 : 0;
}

/// type.__call__ as the interpreter's generic path makes it: an argument tuple and a
/// keyword dict.
[[nodiscard]] PyObject* generic_call(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    return PyType_Type.tp_call(cls, tuple.get(), kwargs.get());
}

PyObject* construct(PyObject* callable, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) noexcept {
    auto* cls = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    const int direct = served != nullptr && cls == served->cls && 1 + nargs + nkw <= kMaxDirect
                           ? unchanged(*served, cls)
                           : 0;
    if (direct < 0) return nullptr;
    if (direct == 0) return generic_call(callable, args, nargs, kwnames);
    PyObject* self = cls->tp_alloc(cls, 0);
    if (self == nullptr) return nullptr;
    PyObject* stack[kMaxDirect];
    stack[0] = self;
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) stack[1 + i] = args[i];
    PyObject* result = PyObject_Vectorcall(served->init, stack, 1 + nargs, kwnames);
    if (result == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    if (result != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        Py_DECREF(self);
        return nullptr;
    }
    Py_DECREF(result);
    return self;
}

}  // namespace

int add_direct_construction(DirectConstruction& record, PyTypeObject* cls,
                            PyObject* init) noexcept {
    if (served != nullptr || record.cls != nullptr || cls->tp_vectorcall != nullptr) return 0;
    if (record.init_name == nullptr &&
        (record.init_name = PyUnicode_InternFromString("__init__")) == nullptr) {
        return -1;
    }
    record.cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(cls)));
    record.init = Py_NewRef(init);
    record.checked_tag = 0;
    served = &record;
    cls->tp_vectorcall = construct;
    return 0;
}

void forget_direct_construction(DirectConstruction& record) noexcept {
    record.checked_tag = 0;
    PyObject* cls = reinterpret_cast<PyObject*>(record.cls);
    PyObject* init = record.init;
    record.cls = nullptr;  // before the references go: a deallocator may call the class
    record.init = nullptr;
    Py_XDECREF(cls);
    Py_XDECREF(init);
}

}  // namespace kestrix::py
