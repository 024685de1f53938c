// Recognises path objects whose file methods are the interpreter's own, so that their
// work may be done directly with the OS.
#pragma once

#include <Python.h>

#include "support/py/ref.h"

namespace kestrix::pathlib {

using py::Ref;

/// True when `path` is exactly a concrete pathlib path of this platform whose class, and
/// every class it inherits from, still carries pathlib's own file methods. A subclass, a
/// monkeypatched method or any other object gives false. Never leaves an exception set.
///
/// Cheap when the answer is known: it compares the type and the type's version tag, which
/// the interpreter changes whenever the type or one of its bases is modified.
[[nodiscard]] bool is_plain_path(PyObject* path) noexcept;

/// os.fspath(path) for a path that is_plain_path accepted: the text the path keeps once
/// made, read without a call. Returns a new reference, or empty with an exception set.
[[nodiscard]] Ref plain_path_text(PyObject* path) noexcept;

}  // namespace kestrix::pathlib
