// Recognises path objects whose file methods are the interpreter's own, so that their
// work may be done directly with the OS.
#pragma once

#include <Python.h>

#include "support/py/ref.h"

namespace kestrix::pathlib {

using py::Ref;

/// What is known of pathlib's concrete path type of this platform: found once pathlib is
/// loaded, and examined again whenever its version tag moves, which the interpreter does
/// whenever the type or one of its bases is modified. The caller keeps one for the life of
/// the process (the type is held, raw, for as long).
struct Layout;

class PlainPaths {
 public:
    /// True when `path` is exactly that type and its class, and every class it inherits
    /// from, still carries pathlib's own file methods. A subclass, a monkeypatched method or
    /// any other object gives false. Never leaves an exception set. Cheap when the answer is
    /// known: the type and its version tag are compared.
    [[nodiscard]] bool accepts(PyObject* path) noexcept;

    /// True where the running pathlib's Path.exists() answers False, rather than raising,
    /// when looking at the path fails (3.14 and later); the later steps then meet the error
    /// themselves.
    [[nodiscard]] bool exists_hides_errors() const noexcept;

    /// Lets go of the type for good (the interpreter is shutting down): nothing is plain
    /// from then on.
    void forget() noexcept;
    /// The type held, for the collector's view of the caller's references (null when none).
    [[nodiscard]] PyTypeObject* held_type() const noexcept { return type_; }

    /// os.fspath(path) for a path that `accepts` took: the text the path keeps once made,
    /// read without a call. A new reference, or empty with an exception set.
    [[nodiscard]] Ref text_of(PyObject* path) noexcept;

    /// `path.with_name(name)` for a path that `accepts` took and a name pathlib takes (not
    /// empty, no "/", not "."), made as pathlib's own methods make it (a new object of the
    /// type with the same slots filled with equal values) without running pathlib's code.
    /// 1 with `made` set; 0 when this does not apply, with nothing pending: the running
    /// pathlib does not keep its parts in the slots looked for, the path has no name to
    /// change, or its parts are not plain texts; -1 with an exception set.
    [[nodiscard]] int with_name(PyObject* path, PyObject* name, Ref& made) noexcept;

    /// True when with_name can make paths of the running pathlib's type (its slots were
    /// found when the type was last examined).
    [[nodiscard]] bool makes_paths() const noexcept { return slots_found_; }

    /// Where pathlib keeps a path's parts: the slots its constructor and with_name fill.
    enum Slot { kRawPaths, kDrive, kRoot, kTail, kText, kSlotCount };

 private:
    const Layout* layout_ = nullptr;  ///< where the running pathlib keeps its classes
    PyTypeObject* type_ = nullptr;
    unsigned int examined_tag_ = 0;  ///< the version tag the type had when last examined
    bool examined_plain_ = false;    ///< and the verdict then
    bool forgotten_ = false;
    bool slots_found_ = false;                  ///< every Slot found, as pathlib's own members
    Py_ssize_t slot_offsets_[kSlotCount] = {};  ///< where each Slot lives in an instance
    PyObject* text_slot_ = nullptr;             ///< "_str", interned
};

}  // namespace kestrix::pathlib
