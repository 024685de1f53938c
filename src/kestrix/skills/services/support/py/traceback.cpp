// Traceback entries: one synthetic frame per failing statement, code objects cached.
#include <Python.h>

#include <frameobject.h>

#include <cstring>

#include "support/py/ref.h"
#include "support/state.h"
#include "support/py/traceback.h"

namespace kestrix::support {

namespace {

/// One cached code object. Keyed by line and function name: the exec step and
/// the methods report some of the same lines, and each entry must name its own
/// function.
struct CacheEntry {
    int line;
    const char* function_name;  // static text, compared by content
    PyObject* code;             // strong, kept for the life of the process
};

constexpr Py_ssize_t kCacheGrowth = 64;

CacheEntry* cache = nullptr;
Py_ssize_t cache_size = 0;
Py_ssize_t cache_capacity = 0;

[[nodiscard]] int compare_key(const CacheEntry& e, int line, const char* function_name) noexcept {
    if (e.line != line) return e.line < line ? -1 : 1;
    return std::strcmp(e.function_name, function_name);
}

/// Index of the first entry not below the key.
[[nodiscard]] Py_ssize_t lower_bound(int line, const char* function_name) noexcept {
    Py_ssize_t lo = 0;
    Py_ssize_t hi = cache_size;
    while (lo < hi) {
        Py_ssize_t mid = lo + (hi - lo) / 2;
        if (compare_key(cache[mid], line, function_name) < 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

/// Keeps `code` (a new reference is taken) under the key. A failed allocation
/// only means the object is not cached.
void remember(Py_ssize_t at, int line, const char* function_name, PyObject* code) noexcept {
    if (at < cache_size && compare_key(cache[at], line, function_name) == 0) {
        Py_SETREF(cache[at].code, Py_NewRef(code));
        return;
    }
    if (cache_size == cache_capacity) {
        Py_ssize_t capacity = cache_capacity + kCacheGrowth;
        void* grown =
            cache == nullptr
                ? PyMem_Malloc(sizeof(CacheEntry) * static_cast<size_t>(capacity))
                : PyMem_Realloc(cache, sizeof(CacheEntry) * static_cast<size_t>(capacity));
        if (grown == nullptr) return;
        cache = static_cast<CacheEntry*>(grown);
        cache_capacity = capacity;
    }
    std::memmove(cache + at + 1, cache + at,
                 sizeof(CacheEntry) * static_cast<size_t>(cache_size - at));
    cache[at] = CacheEntry{line, function_name, Py_NewRef(code)};
    ++cache_size;
}

/// The code object for (function, line): cached, or made now. Runs with no
/// exception pending.
[[nodiscard]] Ref code_object_for_line(const char* function_name, int line) noexcept {
    Py_ssize_t at = 0;
    if (line != 0) {
        at = lower_bound(line, function_name);
        if (at < cache_size && compare_key(cache[at], line, function_name) == 0) {
            return Ref::borrow(cache[at].code);
        }
    }
    Ref code =
        Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, function_name, line)));
    if (code && line != 0) remember(at, line, function_name, code.get());
    return code;
}

}  // namespace

void add_traceback_entry(const char* function_name, int line) noexcept {
    // Building the code object and frame may raise; keep the real error aside.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref code = code_object_for_line(function_name, line);
    if (!code) return;  // the creation error replaces the pending one
    // The code object's first line is `line` and its table maps offset 0 there,
    // so the fresh frame reports that line as its current one.
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    state.module_dict, nullptr)));
    if (!frame) return;
    PyErr_SetRaisedException(pending.release());
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace kestrix::support
