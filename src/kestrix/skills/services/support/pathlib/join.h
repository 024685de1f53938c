// Joins of plain paths, made the way pathlib makes them but without the objects it would
// make only to be named.
#pragma once

#include <Python.h>

#include "support/pathlib/plain_path.h"
#include "support/py/ref.h"

namespace kestrix::pathlib {

/// The last join made: both texts and the joined one, strong (so that texts seen again at
/// the same addresses are the same texts), kept by the caller for the life of the process.
struct LastJoin {
    PyObject* base = nullptr;
    PyObject* relative = nullptr;
    PyObject* joined = nullptr;
};

/// The text of `base / relative` for two paths that `plain` accepts, as pathlib joins them: a
/// relative part "." adds nothing, a base "." gives way, an absolute part replaces the base. None
/// when the texts are not what pathlib makes (the caller then joins the objects); empty with an
/// exception set. The same two texts as last time (paths keep their text once made) give the
/// same joined text, kept in `last`.
[[nodiscard]] py::Ref joined_path_text(PlainPaths& plain, PyObject* base, PyObject* relative,
                                       LastJoin& last) noexcept;

/// `directory.parent / name` for a path that `plain` accepts and a plain file name, made the
/// cheaper way pathlib offers for the same path: `directory.with_name(name)`, called through the
/// interned `with_name`, which also keeps the text it makes. Empty, with nothing pending,
/// when that way does not apply (the caller then takes `parent` and `/`); empty with an
/// exception set when it failed otherwise.
[[nodiscard]] py::Ref sibling_path(PlainPaths& plain, PyObject* directory, PyObject* name,
                                   PyObject* with_name) noexcept;

}  // namespace kestrix::pathlib
