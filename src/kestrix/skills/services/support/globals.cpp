// Module-global lookup and the import of one name from another module.
#include <Python.h>

#include "support/globals.h"
#include "support/state.h"

namespace kestrix::support {

Ref lookup_global(PyObject* name) noexcept {
    PyObject* value = nullptr;
    // The name is interned and hashed in exec, so this probe reads the cached hash.
    if (PyDict_GetItemRef(state.module_dict, name, &value) > 0) return Ref::steal(value);
    // A failed namespace probe falls through to the built-ins, like a miss.
    PyErr_Clear();
    if (PyObject_GetOptionalAttr(state.builtins, name, &value) > 0) return Ref::steal(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

namespace {

/// The module object to import from: the one already loaded when it has the
/// attribute, otherwise whatever the import machinery returns.
[[nodiscard]] Ref module_for_import(PyObject* module_name, PyObject* name) noexcept {
    Ref loaded = Ref::steal(PyImport_GetModule(module_name));
    if (loaded) {
        int has = PyObject_HasAttrWithError(loaded.get(), name);
        if (has < 0) return {};
        if (has > 0) return loaded;
    } else if (PyErr_Occurred()) {
        return {};
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) return {};
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(name));
    return Ref::steal(PyImport_ImportModuleLevelObject(module_name, state.module_dict, locals.get(),
                                                       fromlist.get(), 0));
}

}  // namespace

int import_name(PyObject* module_name, PyObject* name) noexcept {
    Ref module = module_for_import(module_name, name);
    if (!module) return -1;
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        // No such attribute: the name may still be a submodule that is loaded.
        PyErr_Clear();
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, name));
        if (!full) return -1;
        value = Ref::steal(PyImport_GetModule(full.get()));
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            return -1;
        }
    }
    return PyDict_SetItem(state.module_dict, name, value.get());
}

}  // namespace kestrix::support
