// Global lookup in a module's namespace (then the built-ins), and the import of one name
// from another module into it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "support/py/ref.h"

namespace kestrix::py {

/// A module namespace and the built-ins behind it, as a function defined in that module
/// reads them. Both dicts are watched once a lookup has been made, so a name found before
/// costs a compare until either changes. The caller keeps both alive for as long as this
/// lives (in practice: the process).
class Globals {
 public:
    /// The namespace and the built-ins module (borrowed).
    void bind(PyObject* namespace_dict, PyObject* builtins) noexcept;
    /// Forgets both and everything remembered from them, for when the caller lets go of
    /// them: every later lookup raises NameError, as a global read does in a function whose
    /// module the interpreter's shutdown has cleared.
    void unbind() noexcept;

    /// Looks `name` (interned, hashed) up in the namespace, then in the built-ins, as it is
    /// bound at this moment. A new reference, or empty with NameError (or the error of the
    /// namespace probe) set.
    [[nodiscard]] Ref lookup(PyObject* name) noexcept;

    /// PyDict_GetItemRef(dict, key, value) for an exact dict. The last item found for an
    /// exact str key is remembered until that dict changes (the dict is watched from then on).
    [[nodiscard]] int lookup_in_dict(PyObject* dict, PyObject* key, PyObject** value) noexcept;

    /// `from module_name import name`, bound under `name` in the namespace.
    /// 0, or -1 with ImportError (or the import's own error) set.
    [[nodiscard]] int import_name(PyObject* module_name, PyObject* name) noexcept;

 private:
    /// A binding found since the last change to a watched dict. The watcher bumps the
    /// count of changes before a watched dict changes in any way (a binding added,
    /// replaced or deleted, a clear, the dict's end), so an entry of the current count
    /// still names the object the dict holds: the value is borrowed from it.
    struct CachedBinding {
        PyObject* name = nullptr;   ///< interned name; compared by identity, never removed
        PyObject* value = nullptr;  ///< borrowed from the dict that holds it
        std::uint64_t generation = 0;
    };
    /// One remembered dict item: (dict, key) -> value or absent.
    struct CachedItem {
        PyObject* dict = nullptr;   ///< watched; compared by identity only
        PyObject* key = nullptr;    ///< strong: an exact str, so its address is not reused
        PyObject* value = nullptr;  ///< borrowed from the dict, or null when the key is absent
        std::uint64_t generation = 0;
    };
    /// Open addressing by the name's address; a module reads a handful of names.
    static constexpr std::size_t kCacheSize = 16;

    void start_watching() noexcept;
    void remember(PyObject* name, PyObject* value) noexcept;
    [[nodiscard]] Ref find(PyObject* name) noexcept;
    [[nodiscard]] Ref module_for_import(PyObject* module_name, PyObject* name) noexcept;

    PyObject* namespace_ = nullptr;
    PyObject* builtins_ = nullptr;
    CachedBinding cache_[kCacheSize];
    CachedItem last_item_;
    /// -2: not tried yet; -1: no watcher could be had (plain lookups only).
    int watcher_id_ = -2;
};

}  // namespace kestrix::py
