// A shorter way into an ordinary class's constructor, taken only while the class is as it
// was made.
#pragma once

#include <Python.h>

namespace kestrix::py {

/// Lets calls of `cls` (a heap class made by `type`, base object) go straight to its
/// `__init__` function object `init` after the instance is allocated, skipping the
/// argument tuple and keyword dict of the generic path. Each call checks that the class is
/// unchanged (its version tag) or, after a change, that `__new__`, allocation and
/// `__init__` are still those; otherwise, and for subclasses, the generic path runs, so
/// the result and every error are the same. Both are kept for the life of the process.
/// Returns 0 (also when the class is not eligible and nothing was changed).
[[nodiscard]] int add_direct_construction(PyTypeObject* cls, PyObject* init) noexcept;

}  // namespace kestrix::py
