// Module-global lookup and the import of one name from another module.
#include <Python.h>

#include "support/globals.h"
#include "support/state.h"

#include <cstdint>

namespace kestrix::support {

namespace {

/// Bindings found since the last change to the module namespace or the built-ins.
///
/// A dict watcher bumps `generation` before either dict changes in any way (a binding
/// added, replaced or deleted, a clear, the dict's end), so an entry of the current
/// generation still names the object that the dict holds: the value is borrowed from it.
struct CachedBinding {
    PyObject* name = nullptr;   ///< interned name; compared by identity
    PyObject* value = nullptr;  ///< borrowed from the dict that holds it
    std::uint64_t generation = 0;
};
constexpr int kCacheSize = 8;
CachedBinding cache[kCacheSize];
std::uint64_t generation = 1;
/// -2: not tried yet; -1: no watcher could be had (plain lookups only).
int watcher_id = -2;

int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++generation;
    return 0;
}

/// Watches both dicts, once; on any failure the cache stays off.
void start_watching() noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    watcher_id = PyDict_AddWatcher(on_dict_change);
    PyObject* builtins_dict = state.builtins != nullptr ? PyModule_GetDict(state.builtins) : nullptr;
    if (watcher_id >= 0 && (builtins_dict == nullptr ||
                            PyDict_Watch(watcher_id, state.module_dict) < 0 ||
                            PyDict_Watch(watcher_id, builtins_dict) < 0)) {
        (void)PyDict_Unwatch(watcher_id, state.module_dict);
        (void)PyDict_ClearWatcher(watcher_id);
        watcher_id = -1;
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

void remember(PyObject* name, PyObject* value) noexcept {
    CachedBinding* slot = nullptr;
    for (auto& entry : cache) {
        if (entry.name == name || entry.name == nullptr) {
            slot = &entry;
            break;
        }
    }
    if (slot == nullptr) slot = &cache[reinterpret_cast<std::uintptr_t>(name) / 16 % kCacheSize];
    *slot = {name, value, generation};
}

}  // namespace

Ref lookup_global(PyObject* name) noexcept {
    for (const auto& entry : cache) {
        if (entry.name == name) {
            if (entry.generation == generation) return Ref::borrow(entry.value);
            break;
        }
    }
    if (watcher_id == -2) start_watching();
    PyObject* value = nullptr;
    // The name is interned and hashed in exec, so this probe reads the cached hash.
    int found = PyDict_GetItemRef(state.module_dict, name, &value);
    if (found < 0) return {};  // a key whose comparison raised: as a Python global read does
    if (found > 0) {
        if (watcher_id >= 0) remember(name, value);
        return Ref::steal(value);
    }
    // The built-ins: what their dict holds may be remembered, anything else is asked for.
    PyObject* builtins_dict = PyModule_GetDict(state.builtins);
    if (watcher_id >= 0 && builtins_dict != nullptr) {
        found = PyDict_GetItemRef(builtins_dict, name, &value);
        if (found < 0) return {};
        if (found > 0) {
            remember(name, value);
            return Ref::steal(value);
        }
    }
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
