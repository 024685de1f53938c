// Module-global lookup and the import of one name from another module.
#include <Python.h>

#include "support/py/globals.h"
#include "support/state.h"

#include <cstdint>

namespace kestrix::support {

namespace {

/// Bindings found since the last change to a watched dict: the module namespace, the
/// built-ins, and the dicts that lookup_in_dict has read.
///
/// A dict watcher bumps `generation` before a watched dict changes in any way (a binding
/// added, replaced or deleted, a clear, the dict's end), so an entry of the current
/// generation still names the object that the dict holds: the value is borrowed from it.
struct CachedBinding {
    PyObject* name = nullptr;   ///< interned name; compared by identity, never removed
    PyObject* value = nullptr;  ///< borrowed from the dict that holds it
    std::uint64_t generation = 0;
};
/// Open addressing by the name's address; the module reads fewer than ten names.
constexpr std::size_t kCacheSize = 16;
CachedBinding cache[kCacheSize];

/// One remembered dict item: (dict, key) -> value or absent.
struct CachedItem {
    PyObject* dict = nullptr;   ///< watched; compared by identity only
    PyObject* key = nullptr;    ///< strong: an exact str, so its address is not reused
    PyObject* value = nullptr;  ///< borrowed from the dict, or null when the key is absent
    std::uint64_t generation = 0;
};
CachedItem last_item;

std::uint64_t generation = 1;
/// -2: not tried yet; -1: no watcher could be had (plain lookups only).
int watcher_id = -2;

int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++generation;
    return 0;
}

/// Watches both namespaces, once; on any failure the cache stays off.
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

[[nodiscard]] std::size_t home_of(PyObject* name) noexcept {
    return (reinterpret_cast<std::uintptr_t>(name) >> 4) % kCacheSize;
}

void remember(PyObject* name, PyObject* value) noexcept {
    std::size_t i = home_of(name);
    for (std::size_t probes = 0; probes < kCacheSize; ++probes, i = (i + 1) % kCacheSize) {
        if (cache[i].name == name || cache[i].name == nullptr) {
            cache[i] = {name, value, generation};
            return;
        }
    }
}

/// The slow path: probe the namespace, then the built-ins; remember what a dict holds.
[[nodiscard]] Ref find_global(PyObject* name) noexcept {
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

}  // namespace

Ref lookup_global(PyObject* name) noexcept {
    std::size_t i = home_of(name);
    for (std::size_t probes = 0; probes < kCacheSize; ++probes, i = (i + 1) % kCacheSize) {
        const CachedBinding& entry = cache[i];
        if (entry.name == name) {
            if (entry.generation == generation) return Ref::borrow(entry.value);
            break;
        }
        if (entry.name == nullptr) break;
    }
    return find_global(name);
}

int lookup_in_dict(PyObject* dict, PyObject* key, PyObject** value) noexcept {
    if (last_item.dict == dict && last_item.key == key && last_item.generation == generation) {
        *value = Py_XNewRef(last_item.value);
        return *value != nullptr ? 1 : 0;
    }
    int found = PyDict_GetItemRef(dict, key, value);
    if (found < 0 || watcher_id < 0 || !PyUnicode_CheckExact(key)) return found;
    if (PyDict_Watch(watcher_id, dict) < 0) {
        PyErr_Clear();  // not remembered, still answered
        return found;
    }
    Py_XSETREF(last_item.key, Py_NewRef(key));
    last_item.dict = dict;
    last_item.value = *value;
    last_item.generation = generation;
    return found;
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
