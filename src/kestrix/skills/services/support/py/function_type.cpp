// The methods' own function type: vectorcall, descriptor binding, introspection.
#include <Python.h>
#include <structmember.h>  // T_OBJECT: a member that reads None while empty

#include <cstddef>
#include <cstring>

#include "support/py/function_type.h"

namespace kestrix::py {
namespace {

/// One method of a class the caller builds. `name`, `doc` and `is_coroutine` stay empty until read.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyMethodDef* def;  ///< static method record; not owned
    PyObject* qualname;
    PyObject* module;  ///< `__module__`
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;     ///< tuple, or empty
    PyObject* kwdefaults;   ///< dict, or empty
    PyObject* annotations;  ///< dict, or empty (a read makes a new one)
    PyObject* name;
    PyObject* doc;
    PyObject* is_coroutine;
    PyObject* weaklist;
};

FunctionObject* as_function(PyObject* self) noexcept {
    return reinterpret_cast<FunctionObject*>(self);
}

PyObject* new_ref_or_none(PyObject* value) noexcept {
    return Py_NewRef(value != nullptr ? value : Py_None);
}

/// The last part of the type's dotted name: what its repr and warnings call it.
const char* type_word(PyObject* self) noexcept {
    const char* name = Py_TYPE(self)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

int set_string_field(PyObject*& field, PyObject* value, const char* message) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}

/// Warns that an assignment will not change what calls bind. When the warnings filter
/// turns the warning into an error, the assignment fails with it and stores nothing:
/// reporting success with an exception pending would corrupt the caller's state.
int warn_defaults_change(PyObject* self, const char* attribute) noexcept {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "changes to %s.%s will not currently affect the values used in "
                            "function calls",
                            type_word(self), attribute);
}

// ---------------------------------------------------------------------------
// Calls

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
    auto entry = reinterpret_cast<PyCFunctionFastWithKeywords>(
        reinterpret_cast<void (*)()>(as_function(self)->def->ml_meth));
    return entry(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    PyObject** positional = PySequence_Fast_ITEMS(args);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return function_vectorcall(self, positional, static_cast<std::size_t>(nargs), nullptr);
    }
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    if (nargs > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*)) - nkw) {
        return PyErr_NoMemory();
    }
    auto** stack = static_cast<PyObject**>(
        PyMem_Malloc(static_cast<std::size_t>(nargs + nkw) * sizeof(PyObject*)));
    if (stack == nullptr) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = positional[i];

    Ref names = Ref::steal(PyTuple_New(nkw));
    Py_ssize_t filled = 0;
    bool all_strings = true;
    if (names) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // Nothing here runs Python code, so the dictionary keeps its size while walked.
        while (filled < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            all_strings = all_strings && PyUnicode_Check(key);
            PyTuple_SET_ITEM(names.get(), filled, Py_NewRef(key));
            stack[nargs + filled] = Py_NewRef(value);
            ++filled;
        }
    }

    PyObject* result = nullptr;
    if (!names) {
        // PyTuple_New has set the error.
    } else if (!all_strings) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    } else {
        result = function_vectorcall(self, stack, static_cast<std::size_t>(nargs), names.get());
    }
    for (Py_ssize_t i = 0; i < filled; ++i) Py_DECREF(stack[nargs + i]);
    PyMem_Free(stack);
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) noexcept {
    if (instance == nullptr) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<%s %U at %p>", type_word(self), as_function(self)->qualname,
                                self);
}

PyObject* function_reduce(PyObject* self, PyObject* /*args*/) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

// ---------------------------------------------------------------------------
// Garbage collection

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->name);
    Py_VISIT(f->doc);
    Py_VISIT(f->is_coroutine);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    // A cleared object can still be reached from finalisers: the name comes back from the
    // method record on the next read, and the qualified name stays a string.
    Py_XSETREF(f->qualname, Py_GetConstant(Py_CONSTANT_EMPTY_STR));
    Py_CLEAR(f->name);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->is_coroutine);
    PyObject_ClearManagedDict(self);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Deallocation can happen while an error propagates; keep it intact.
    PyObject* pending = PyErr_GetRaisedException();
    if (as_function(self)->weaklist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->qualname);
    PyErr_SetRaisedException(pending);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Attributes

PyObject* function_get_name(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->name == nullptr) {
        f->name = PyUnicode_InternFromString(f->def->ml_name);
        if (f->name == nullptr) return nullptr;
    }
    return Py_NewRef(f->name);
}

int function_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_string_field(as_function(self)->name, value,
                            "__name__ must be set to a string object");
}

PyObject* function_get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int function_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_string_field(as_function(self)->qualname, value,
                            "__qualname__ must be set to a string object");
}

PyObject* function_get_doc(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->doc == nullptr) {
        if (f->def->ml_doc == nullptr) {
            f->doc = Py_NewRef(Py_None);
        } else {
            f->doc = PyUnicode_FromString(f->def->ml_doc);
            if (f->doc == nullptr) return nullptr;
        }
    }
    return Py_NewRef(f->doc);
}

int function_set_doc(PyObject* self, PyObject* value, void*) noexcept {
    // Deletion stores None, so the record's text does not come back on the next read.
    Py_XSETREF(as_function(self)->doc, new_ref_or_none(value));
    return 0;
}

PyObject* function_get_globals(PyObject* self, void*) noexcept {
    return new_ref_or_none(as_function(self)->globals);
}

PyObject* function_get_closure(PyObject*, void*) noexcept { return Py_NewRef(Py_None); }

PyObject* function_get_code(PyObject* self, void*) noexcept {
    return new_ref_or_none(as_function(self)->code);
}

PyObject* function_get_defaults(PyObject* self, void*) noexcept {
    PyObject* defaults = as_function(self)->defaults;
    if (defaults == nullptr || PyTuple_GET_SIZE(defaults) == 0) return Py_NewRef(Py_None);
    return Py_NewRef(defaults);
}

/// Stores None, or a value that passed `accepted`, after the warning that calls will not
/// use it; anything else raises "<attribute> must be set to a <kind> object".
int set_defaults_field(PyObject* self, PyObject*& field, PyObject* value,
                       int (*accepted)(PyObject*), const char* attribute,
                       const char* kind) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !accepted(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", attribute, kind);
        return -1;
    }
    if (warn_defaults_change(self, attribute) < 0) return -1;
    Py_XSETREF(field, Py_XNewRef(value));
    return 0;
}

int is_tuple(PyObject* value) noexcept { return PyTuple_Check(value); }
int is_dict(PyObject* value) noexcept { return PyDict_Check(value); }

int function_set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_defaults_field(self, as_function(self)->defaults, value, is_tuple, "__defaults__",
                              "tuple");
}

PyObject* function_get_kwdefaults(PyObject* self, void*) noexcept {
    return new_ref_or_none(as_function(self)->kwdefaults);
}

int function_set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_defaults_field(self, as_function(self)->kwdefaults, value, is_dict, "__kwdefaults__",
                              "dict");
}

PyObject* function_get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int function_set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_is_coroutine(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->is_coroutine == nullptr) f->is_coroutine = Py_NewRef(Py_False);
    return Py_NewRef(f->is_coroutine);
}

// ---------------------------------------------------------------------------
// Type

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"func_name", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"func_doc", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"func_globals", function_get_globals, nullptr, nullptr, nullptr},
    {"__closure__", function_get_closure, nullptr, nullptr, nullptr},
    {"func_closure", function_get_closure, nullptr, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"func_code", function_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"func_defaults", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"_is_coroutine", function_get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weaklist), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

template <typename F>
void* slot(F f) noexcept {
    return reinterpret_cast<void*>(f);
}

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, slot(function_dealloc)}, {Py_tp_traverse, slot(function_traverse)},
    {Py_tp_clear, slot(function_clear)},     {Py_tp_repr, slot(function_repr)},
    {Py_tp_call, slot(function_call)},       {Py_tp_descr_get, slot(function_descr_get)},
    {Py_tp_methods, function_methods},       {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},         {0, nullptr},
};

constexpr unsigned int kFunctionFlags = static_cast<unsigned int>(
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
    Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_IMMUTABLETYPE |
    Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION);

/// True when `type` is a function type made here, or inherits from one: such a type is
/// known by its deallocator, whoever holds it.
bool is_function_type(PyTypeObject* type) noexcept {
    for (; type != nullptr; type = type->tp_base) {
        if (type->tp_dealloc == function_dealloc) return true;
    }
    return false;
}

/// The function object behind `func`, or null with SystemError set.
FunctionObject* checked_function(PyObject* func) noexcept {
    if (func == nullptr || !is_function_type(Py_TYPE(func))) {
        PyErr_BadInternalCall();
        return nullptr;
    }
    return as_function(func);
}

}  // namespace

PyTypeObject* create_function_type(const char* qualified_name) noexcept {
    PyType_Spec spec = {qualified_name, static_cast<int>(sizeof(FunctionObject)), 0, kFunctionFlags,
                        function_slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromMetaclass(nullptr, nullptr, &spec, nullptr));
}

Ref new_function(PyTypeObject* type, PyMethodDef* def, PyObject* qualname, PyObject* module_name,
                 PyObject* globals, PyObject* code) noexcept {
    if (type == nullptr || !is_function_type(type) || def == nullptr || qualname == nullptr ||
        !PyUnicode_Check(qualname)) {
        PyErr_BadInternalCall();
        return {};
    }
    // Zero-filled and already tracked by the collector; every field starts empty.
    Ref obj = Ref::steal(PyType_GenericAlloc(type, 0));
    if (!obj) return {};
    FunctionObject* f = as_function(obj.get());
    f->vectorcall = function_vectorcall;
    f->def = def;
    f->qualname = Py_NewRef(qualname);
    f->module = Py_XNewRef(module_name);
    f->globals = Py_XNewRef(globals);
    f->code = Py_XNewRef(code);
    return obj;
}

int store_function_defaults(PyObject* func, PyObject* defaults) noexcept {
    FunctionObject* f = checked_function(func);
    if (f == nullptr) return -1;
    if (defaults == Py_None) defaults = nullptr;
    if (defaults != nullptr && !PyTuple_Check(defaults)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(f->defaults, Py_XNewRef(defaults));
    return 0;
}

int store_function_annotations(PyObject* func, PyObject* annotations) noexcept {
    FunctionObject* f = checked_function(func);
    if (f == nullptr) return -1;
    return function_set_annotations(func, annotations, nullptr);
}

}  // namespace kestrix::py
