// A shorter way into an ordinary class's constructor, taken only while the class is as it
// was made.
#pragma once

#include <Python.h>

namespace kestrix::py {

/// The one class whose calls go straight to its `__init__`: both strong, kept by the caller
/// for the life of the process, with the version tag the class was last checked at.
struct DirectConstruction {
    PyTypeObject* cls = nullptr;
    PyObject* init = nullptr;
    unsigned int checked_tag = 0;
    PyObject* init_name = nullptr;  ///< "__init__", interned
};

/// Lets calls of `cls` (a heap class made by `type`, base object) go straight to its
/// `__init__` function object `init` after the instance is allocated, skipping the
/// argument tuple and keyword dict of the generic path. Each call checks that the class is
/// unchanged (its version tag) or, after a change, that `__new__`, allocation and
/// `__init__` are still those; otherwise, and for subclasses, the generic path runs, so
/// the result and every error are the same. `record` keeps both; one record per process.
/// 0 (also when the class is not eligible, or a class was set up before, and nothing was
/// changed), or -1 with an exception set.
[[nodiscard]] int add_direct_construction(DirectConstruction& record, PyTypeObject* cls,
                                          PyObject* init) noexcept;

/// Lets go of the class and its `__init__` (the interpreter is shutting down): calls of the
/// class take the generic path from then on.
void forget_direct_construction(DirectConstruction& record) noexcept;

}  // namespace kestrix::py
