// The module-independent pieces of the create and exec steps.
#include <Python.h>

#include <cstdio>

#include "support/py/errors.h"
#include "support/py/module_steps.h"

namespace kestrix::py {

namespace {

/// Copies spec.<attribute> into the module dict as `key`; a missing attribute is skipped.
[[nodiscard]] int copy_spec_attribute(PyObject* spec, const char* attribute, PyObject* dict,
                                      const char* key, bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) return clear_if(PyExc_AttributeError) ? 0 : -1;
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

}  // namespace

Ref module_from_spec(PyObject* spec) noexcept {
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return {};
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return {};
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, "loader", dict, "__loader__", false) < 0 ||
        copy_spec_attribute(spec, "origin", dict, "__file__", false) < 0 ||
        copy_spec_attribute(spec, "parent", dict, "__package__", false) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", true) < 0) {
        return {};
    }
    return module;
}

int warn_unless_built_for(const char* module_name, int major, int minor) noexcept {
    const int running_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int running_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (running_major == major && running_minor == minor) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  major, minor, module_name, "does not match", running_major, running_minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

int add_to_sys_modules(PyObject* name, PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, name);
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, name, module) < 0 ? -1 : 1;
}

void remove_from_sys_modules(PyObject* name, PyObject* module) noexcept {
    HeldError exec_error("removing a module from sys.modules after its import failed");
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* current = nullptr;
    if (PyDict_GetItemRef(modules, name, &current) > 0 && current == module) {
        (void)PyDict_DelItem(modules, name);
    }
    Py_XDECREF(current);
}

}  // namespace kestrix::py
