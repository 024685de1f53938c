// Global lookup and the import of one name from another module.
#include <Python.h>

#include <cstdint>

#include "support/py/errors.h"
#include "support/py/globals.h"

namespace kestrix::py {

namespace {

/// Changes seen by the dict watcher. A watcher callback is given no context, so the count
/// is the watcher's own; every Globals compares its entries with it.
std::uint64_t generation = 1;

int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++generation;
    return 0;
}

[[nodiscard]] std::size_t home_of(PyObject* name, std::size_t size) noexcept {
    return (reinterpret_cast<std::uintptr_t>(name) >> 4) % size;
}

}  // namespace

void Globals::bind(PyObject* namespace_dict, PyObject* builtins) noexcept {
    namespace_ = namespace_dict;
    builtins_ = builtins;
}

void Globals::unbind() noexcept {
    namespace_ = nullptr;
    builtins_ = nullptr;
    for (CachedBinding& entry : cache_) entry = CachedBinding{};
    Py_CLEAR(last_item_.key);
    last_item_ = CachedItem{};
}

/// Watches both dicts, once; on any failure the cache stays off and the lookups go on.
void Globals::start_watching() noexcept {
    HeldError caller_error("starting to watch a module namespace");
    watcher_id_ = PyDict_AddWatcher(on_dict_change);
    PyObject* builtins_dict = builtins_ != nullptr ? PyModule_GetDict(builtins_) : nullptr;
    if (watcher_id_ >= 0 &&
        (builtins_dict == nullptr || PyDict_Watch(watcher_id_, namespace_) < 0 ||
         PyDict_Watch(watcher_id_, builtins_dict) < 0)) {
        (void)PyDict_Unwatch(watcher_id_, namespace_);
        (void)PyDict_ClearWatcher(watcher_id_);
        watcher_id_ = -1;
    }
    // No watcher left (RuntimeError) or something not a dict (ValueError) only turns the
    // cache off; anything else is told by the HeldError.
    if (watcher_id_ < 0 && !clear_if(PyExc_RuntimeError)) (void)clear_if(PyExc_ValueError);
}

void Globals::remember(PyObject* name, PyObject* value) noexcept {
    std::size_t i = home_of(name, kCacheSize);
    for (std::size_t probes = 0; probes < kCacheSize; ++probes, i = (i + 1) % kCacheSize) {
        if (cache_[i].name == name || cache_[i].name == nullptr) {
            cache_[i] = {name, value, generation};
            return;
        }
    }
}

/// The slow path: probe the namespace, then the built-ins; remember what a dict holds.
Ref Globals::find(PyObject* name) noexcept {
    if (namespace_ == nullptr || builtins_ == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return {};
    }
    if (watcher_id_ == -2) start_watching();
    PyObject* value = nullptr;
    // The name is interned and hashed, so this probe reads the cached hash.
    int found = PyDict_GetItemRef(namespace_, name, &value);
    if (found < 0) return {};  // a key whose comparison raised: as a Python global read does
    if (found > 0) {
        if (watcher_id_ >= 0) remember(name, value);
        return Ref::steal(value);
    }
    // The built-ins: what their dict holds may be remembered, anything else is asked for.
    PyObject* builtins_dict = PyModule_GetDict(builtins_);
    if (watcher_id_ >= 0 && builtins_dict != nullptr) {
        found = PyDict_GetItemRef(builtins_dict, name, &value);
        if (found < 0) return {};
        if (found > 0) {
            remember(name, value);
            return Ref::steal(value);
        }
    }
    if (PyObject_GetOptionalAttr(builtins_, name, &value) > 0) return Ref::steal(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref Globals::lookup(PyObject* name) noexcept {
    std::size_t i = home_of(name, kCacheSize);
    for (std::size_t probes = 0; probes < kCacheSize; ++probes, i = (i + 1) % kCacheSize) {
        const CachedBinding& entry = cache_[i];
        if (entry.name == name) {
            if (entry.generation == generation) return Ref::borrow(entry.value);
            break;
        }
        if (entry.name == nullptr) break;
    }
    return find(name);
}

int Globals::lookup_in_dict(PyObject* dict, PyObject* key, PyObject** value) noexcept {
    if (last_item_.dict == dict && last_item_.key == key && last_item_.generation == generation) {
        *value = Py_XNewRef(last_item_.value);
        return *value != nullptr ? 1 : 0;
    }
    int found = PyDict_GetItemRef(dict, key, value);
    if (found < 0 || watcher_id_ < 0 || !PyUnicode_CheckExact(key)) return found;
    if (PyDict_Watch(watcher_id_, dict) < 0) {
        // Refused (ValueError: not a dict it can watch): not remembered, still answered.
        if (!clear_if(PyExc_ValueError)) return -1;
        return found;
    }
    Py_XSETREF(last_item_.key, Py_NewRef(key));
    last_item_.dict = dict;
    last_item_.value = *value;
    last_item_.generation = generation;
    return found;
}

/// The module object to import from: the one already loaded when it has the attribute,
/// otherwise whatever the import machinery returns.
Ref Globals::module_for_import(PyObject* module_name, PyObject* name) noexcept {
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
    return Ref::steal(
        PyImport_ImportModuleLevelObject(module_name, namespace_, locals.get(), fromlist.get(), 0));
}

int Globals::import_name(PyObject* module_name, PyObject* name) noexcept {
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
    return PyDict_SetItem(namespace_, name, value.get());
}

}  // namespace kestrix::py
