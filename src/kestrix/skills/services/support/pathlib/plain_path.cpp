// What a plain path is: pathlib's own type with its own file methods, examined once per
// version of the type.
#include <Python.h>

#include <iterator>

#include "support/pathlib/plain_path.h"
#include "support/py/errors.h"
#include "support/py/ref.h"

namespace kestrix::pathlib {

using py::Ref;

/// The most modules any layout defines its classes in.
constexpr int kMaxOwnModules = 2;

/// Where pathlib keeps its path classes, from the interpreter version it first holds for:
/// 3.13 defines them in pathlib._local on bases in pathlib._abc; 3.14 moved both into the
/// package itself. A later version that moves them again finds no plain type (every call
/// takes the path methods), which the route tests report.
struct Layout {
    int first_minor;                          ///< of Python 3
    const char* type_module;                  ///< defines the concrete path type
    const char* own_modules[kMaxOwnModules];  ///< whose functions are pathlib's own (null: none)
    bool exists_hides_errors;  ///< Path.exists() answers False for any OSError of its look
};

namespace {

constexpr Layout kLayouts[] = {
    {13, "pathlib._local", {"pathlib._local", "pathlib._abc"}, false},
    {14, "pathlib", {"pathlib", nullptr}, true},  // exists() is os.path.exists() there
};

/// The layout of the running interpreter's pathlib (not the one the module was built
/// for: a module loaded into another version warns and goes on); null before 3.13.
[[nodiscard]] const Layout* running_layout() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    const Layout* found = nullptr;
    for (const Layout& layout : kLayouts) {
        if (major == 3 && minor >= layout.first_minor) found = &layout;
    }
    return found;
}

/// Methods whose work is done directly: they, and what they call on the path, must be
/// pathlib's. The private ones are those every layout above has.
// clang-format off
constexpr const char* kMethods[] = {
    // making a path: with_segments calls the type
    "__new__", "__init__",
    // the file work
    "exists", "stat", "is_dir", "read_text", "open", "write_text", "mkdir", "unlink",
    // the path's text and joins
    "__fspath__", "__str__", "__truediv__", "__rtruediv__", "with_name", "with_segments",
    "joinpath", "_from_parsed_parts", "_from_parsed_string", "_format_parsed_parts",
    "_parse_path"};
// clang-format on
/// Properties read on the path, by the same rule.
constexpr const char* kProperties[] = {"parent", "drive", "root", "_tail", "name"};
/// The slot where a path keeps its text once made.
constexpr const char kTextSlot[] = "_str";
/// The slots with_name fills, by PlainPaths::Slot: the constructor's raw texts, the parsed
/// parts (with_name passes them on, the properties cache them) and the text (set by
/// _from_parsed_string). Every layout above keeps them under these names.
constexpr const char* kSlotNames[PlainPaths::kSlotCount] = {"_raw_paths", "_drv", "_root",
                                                            "_tail_cached", kTextSlot};

/// The namespaces of pathlib's own modules (borrowed from the modules, which stay loaded
/// while their classes live).
struct OwnModules {
    PyObject* dicts[kMaxOwnModules] = {};
    int count = 0;
};

/// True when `f` is a plain function (or a class method of one) defined in one of
/// pathlib's own modules.
[[nodiscard]] bool from_pathlib(PyObject* f, const OwnModules& own) noexcept {
    if (PyMethod_Check(f)) f = PyMethod_GET_FUNCTION(f);
    if (!PyFunction_Check(f)) return false;
    PyObject* globals = PyFunction_GetGlobals(f);
    for (int i = 0; i < own.count; ++i) {
        if (globals == own.dicts[i]) return true;
    }
    return false;
}

/// The namespace of an already loaded module, borrowed from it; null if it is not loaded.
[[nodiscard]] Ref loaded_module(const char* name) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return {};
    return Ref::steal(PyImport_GetModule(text.get()));  // null with no error: not loaded
}

/// The platform's concrete path type, found once pathlib is loaded.
[[nodiscard]] PyTypeObject* find_plain_type(const Layout& layout) noexcept {
    Ref home = loaded_module(layout.type_module);
    if (!home) return nullptr;
    Ref concrete = Ref::steal(PyObject_GetAttrString(home.get(), "PosixPath"));
    if (!concrete) {
        (void)py::clear_if(PyExc_AttributeError);  // taken away: nothing is plain
        return nullptr;
    }
    if (!PyType_Check(concrete.get())) return nullptr;
    return reinterpret_cast<PyTypeObject*>(concrete.release());
}

/// True when `value`, found in a class of pathlib's, is pathlib's own: a function, a class
/// method of one or a property whose getter is one, all defined in pathlib's modules.
[[nodiscard]] bool own_attribute(PyObject* value, const OwnModules& own) noexcept {
    if (Py_TYPE(value) == &PyClassMethod_Type || Py_TYPE(value) == &PyStaticMethod_Type) {
        Ref inner = Ref::steal(PyObject_GetAttrString(value, "__func__"));
        return inner && from_pathlib(inner.get(), own);
    }
    if (Py_TYPE(value) == &PyProperty_Type) {
        Ref getter = Ref::steal(PyObject_GetAttrString(value, "fget"));
        return getter && from_pathlib(getter.get(), own);
    }
    return from_pathlib(value, own);
}

/// Examines `type` from scratch; true when all its file methods are pathlib's, both as the
/// type shows them and in every class it inherits from: pathlib's own methods call their
/// bases' (Path.read_text calls PathBase.read_text), so a patch anywhere on the way counts.
[[nodiscard]] bool examine(PyTypeObject* type, const Layout& layout) noexcept {
    Ref modules[kMaxOwnModules];
    OwnModules own;
    for (const char* name : layout.own_modules) {
        if (name == nullptr) continue;
        modules[own.count] = loaded_module(name);
        if (!modules[own.count]) return false;
        own.dicts[own.count] = PyModule_GetDict(modules[own.count].get());
        ++own.count;
    }
    // Attribute access must be the ordinary one, and the class an ordinary class.
    if (Py_TYPE(type) != &PyType_Type || type->tp_getattro != PyObject_GenericGetAttr) return false;
    auto* as_object = reinterpret_cast<PyObject*>(type);
    for (const char* name : kMethods) {
        Ref f = Ref::steal(PyObject_GetAttrString(as_object, name));
        if (!f || !from_pathlib(f.get(), own)) return false;
    }
    for (const char* name : kProperties) {
        Ref prop = Ref::steal(PyObject_GetAttrString(as_object, name));
        if (!prop || Py_TYPE(prop.get()) != &PyProperty_Type) return false;
        Ref getter = Ref::steal(PyObject_GetAttrString(prop.get(), "fget"));
        if (!getter || !from_pathlib(getter.get(), own)) return false;
    }
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (base == &PyBaseObject_Type) continue;
        PyObject* namespace_ = base->tp_dict;
        if (namespace_ == nullptr) return false;
        const auto all_own = [&](const auto& names) noexcept {
            for (const char* name : names) {
                PyObject* value = PyDict_GetItemString(namespace_, name);  // borrowed
                if (value != nullptr && !own_attribute(value, own)) return false;
            }
            return true;
        };
        if (!all_own(kMethods) || !all_own(kProperties)) return false;
    }
    Ref slot = Ref::steal(PyObject_GetAttrString(as_object, kTextSlot));
    return slot && Py_TYPE(slot.get()) == &PyMemberDescr_Type;
}

/// The offsets of the slots named by kSlotNames in instances of `type`; false unless every
/// one is an ordinary writable object slot, which its member descriptor says.
[[nodiscard]] bool find_slots(PyTypeObject* type, Py_ssize_t (&offsets)[PlainPaths::kSlotCount]) {
    auto* as_object = reinterpret_cast<PyObject*>(type);
    for (int i = 0; i < PlainPaths::kSlotCount; ++i) {
        Ref descriptor = Ref::steal(PyObject_GetAttrString(as_object, kSlotNames[i]));
        if (!descriptor || Py_TYPE(descriptor.get()) != &PyMemberDescr_Type) return false;
        const PyMemberDef* member =
            reinterpret_cast<PyMemberDescrObject*>(descriptor.get())->d_member;
        if (member == nullptr || member->type != Py_T_OBJECT_EX ||
            (member->flags & Py_READONLY) != 0 || member->offset < Py_ssize_t{sizeof(PyObject)} ||
            member->offset + Py_ssize_t{sizeof(PyObject*)} > type->tp_basicsize) {
            return false;
        }
        offsets[i] = member->offset;
    }
    return true;
}

/// The object slot at `offset` of `object` (null when unset).
[[nodiscard]] PyObject*& slot_at(PyObject* object, Py_ssize_t offset) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offset);
}

/// Sets an unset slot to a new reference to `value`.
void fill(PyObject* object, Py_ssize_t offset, PyObject* value) noexcept {
    PyObject*& at = slot_at(object, offset);
    if (at == nullptr) at = Py_NewRef(value);
}

/// The path the raw texts name, joined as posixpath.join joins them: a text that starts
/// with "/" starts again, others are added after one "/". Empty with nothing pending when a
/// text is not an exact str.
[[nodiscard]] Ref joined_raw_paths(PyObject* raw) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(raw);
    if (count == 0) return Ref::borrow(Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR));
    Ref path = Ref::borrow(PyList_GET_ITEM(raw, 0));
    if (!PyUnicode_CheckExact(path.get())) return {};
    for (Py_ssize_t i = 1; i < count; ++i) {
        PyObject* part = PyList_GET_ITEM(raw, i);
        if (!PyUnicode_CheckExact(part)) return {};
        const Py_ssize_t size = PyUnicode_GET_LENGTH(path.get());
        if ((PyUnicode_GET_LENGTH(part) > 0 && PyUnicode_READ_CHAR(part, 0) == '/') || size == 0) {
            path = Ref::borrow(part);
        } else if (PyUnicode_READ_CHAR(path.get(), size - 1) == '/') {
            path = Ref::steal(PyUnicode_Concat(path.get(), part));
        } else {
            path = Ref::steal(PyUnicode_FromFormat("%U/%U", path.get(), part));
        }
        if (!path) return {};
    }
    return path;
}

/// pathlib's parse of a POSIX path text: the root ("", "/", or "//" for exactly two leading
/// slashes) and the list of the names between slashes, without empty ones and ".". 0, or
/// -1 with an exception set.
[[nodiscard]] int parse_posix(PyObject* text, Ref& root, Ref& tail) noexcept {
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = 0;
    if (size > 0 && PyUnicode_READ_CHAR(text, 0) == '/') {
        const bool two = size > 1 && PyUnicode_READ_CHAR(text, 1) == '/' &&
                         !(size > 2 && PyUnicode_READ_CHAR(text, 2) == '/');
        start = two ? 2 : 1;
    }
    root = Ref::steal(PyUnicode_Substring(text, 0, start));
    tail = Ref::steal(PyList_New(0));
    if (!root || !tail) return -1;
    Py_ssize_t at = start;
    while (at <= size) {
        Py_ssize_t end = size > at ? PyUnicode_FindChar(text, '/', at, size, 1) : -1;
        if (end == -2) return -1;
        if (end < 0) end = size;
        const Py_ssize_t length = end - at;
        if (length > 0 && !(length == 1 && PyUnicode_READ_CHAR(text, at) == '.')) {
            Ref name = Ref::steal(PyUnicode_Substring(text, at, end));
            if (!name || PyList_Append(tail.get(), name.get()) < 0) return -1;
        }
        at = end + 1;
    }
    return 0;
}

/// True when `text` is the text pathlib makes from `root` and `tail` (root + "/".join(tail)),
/// for a text pathlib gave the same path: any other spelling of that path (a "//", a "/." or a
/// trailing "/" that it sometimes keeps in a text it was handed) is longer.
[[nodiscard]] bool formatted_from(PyObject* text, PyObject* root, PyObject* tail) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(tail);
    Py_ssize_t size = PyUnicode_GET_LENGTH(root) + count - 1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* part = PyList_GET_ITEM(tail, i);
        if (!PyUnicode_CheckExact(part)) return false;
        size += PyUnicode_GET_LENGTH(part);
    }
    return size == PyUnicode_GET_LENGTH(text);
}

/// The text of the path whose parts are `root` and `new_tail`, as _format_parsed_parts makes
/// it (drive + root + "/".join(tail), no drive on POSIX). When the path whose last part
/// `name` replaces keeps that text already (`own_text`, of parts `root` and `tail`), it is
/// that text up to its last "/" followed by `name`: the same text, without the join. New
/// reference, or empty with an exception set.
[[nodiscard]] Ref sibling_text(PyObject* own_text, PyObject* root, PyObject* tail,
                               PyObject* new_tail, PyObject* name) noexcept {
    if (own_text != nullptr && PyUnicode_CheckExact(own_text) &&
        formatted_from(own_text, root, tail)) {
        const Py_ssize_t size = PyUnicode_GET_LENGTH(own_text);
        const Py_ssize_t slash = PyUnicode_FindChar(own_text, '/', 0, size, -1);
        if (slash == -2) return {};
        const Py_ssize_t kept = slash + 1;  // 0 when the text is the name alone
        const Py_ssize_t name_size = PyUnicode_GET_LENGTH(name);
        const Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(own_text) > PyUnicode_MAX_CHAR_VALUE(name)
                                   ? PyUnicode_MAX_CHAR_VALUE(own_text)
                                   : PyUnicode_MAX_CHAR_VALUE(name);
        Ref text = Ref::steal(PyUnicode_New(kept + name_size, widest));
        if (!text || PyUnicode_CopyCharacters(text.get(), 0, own_text, 0, kept) < 0 ||
            PyUnicode_CopyCharacters(text.get(), kept, name, 0, name_size) < 0) {
            return {};
        }
        return text;
    }
    Ref separator = Ref::steal(PyUnicode_FromOrdinal('/'));
    if (!separator) return {};
    Ref text = Ref::steal(PyUnicode_Join(separator.get(), new_tail));
    if (!text || PyUnicode_GET_LENGTH(root) == 0) return text;
    return Ref::steal(PyUnicode_Concat(root, text.get()));
}

}  // namespace

bool PlainPaths::accepts(PyObject* path) noexcept {
    PyTypeObject* type = Py_TYPE(path);
    if (type != type_) {
        if (type_ != nullptr || forgotten_) return false;
        if (layout_ == nullptr && (layout_ = running_layout()) == nullptr) return false;
        py::HeldError caller_error("looking for pathlib's path type");
        type_ = find_plain_type(*layout_);
        if (type != type_) return false;
    }
    if (examined_tag_ != 0 && type->tp_version_tag == examined_tag_) return examined_plain_;
    // First sight of the type, or it (or a base) changed since: look again. When the
    // interpreter has no version tag left for the type (it hands out a limited number per
    // class), the answer cannot be remembered and every call looks again.
    py::HeldError caller_error("examining a pathlib path type");
    examined_plain_ = examine(type, *layout_);
    slots_found_ = examined_plain_ && find_slots(type, slot_offsets_);
    // An attribute of a changed class that raised when read (taken away, or a descriptor of
    // anyone's) answers "not plain": the path's own methods then meet it in their own time.
    // What is not an ordinary exception (KeyboardInterrupt) is told by the HeldError.
    if (PyErr_Occurred()) (void)py::clear_if(PyExc_Exception);
    examined_tag_ = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
    return examined_plain_;
}

void PlainPaths::forget() noexcept {
    forgotten_ = true;
    examined_tag_ = 0;
    examined_plain_ = false;
    slots_found_ = false;
    PyObject* type = reinterpret_cast<PyObject*>(type_);
    type_ = nullptr;
    Py_XDECREF(type);
}

bool PlainPaths::exists_hides_errors() const noexcept {
    return layout_ != nullptr && layout_->exists_hides_errors;
}

Ref PlainPaths::text_of(PyObject* path) noexcept {
    if (slots_found_ && Py_TYPE(path) == type_) {
        PyObject* text = slot_at(path, slot_offsets_[kText]);
        if (text != nullptr && PyUnicode_CheckExact(text)) return Ref::borrow(text);
        return Ref::steal(PyOS_FSPath(path));
    }
    if (text_slot_ == nullptr && (text_slot_ = PyUnicode_InternFromString(kTextSlot)) == nullptr) {
        return {};
    }
    PyObject* text = nullptr;
    if (PyObject_GetOptionalAttr(path, text_slot_, &text) < 0) return {};
    if (text != nullptr && PyUnicode_CheckExact(text)) return Ref::steal(text);
    Py_XDECREF(text);
    // Not made yet: os.fspath() makes it, and the path keeps it for the next time.
    return Ref::steal(PyOS_FSPath(path));
}

int PlainPaths::with_name(PyObject* path, PyObject* name, Ref& made) noexcept {
    if (!slots_found_ || Py_TYPE(path) != type_) return 0;
    const auto* offsets = slot_offsets_;
    // The parts, as the path keeps them once any of its properties has been read ...
    Ref drive = Ref::borrow(slot_at(path, offsets[kDrive]));
    Ref root = Ref::borrow(slot_at(path, offsets[kRoot]));
    Ref tail = Ref::borrow(slot_at(path, offsets[kTail]));
    if (!drive || !root || !tail) {
        // ... or parsed now from its raw texts, and kept as those properties keep them.
        PyObject* raw = slot_at(path, offsets[kRawPaths]);
        if (raw == nullptr || !PyList_CheckExact(raw)) return 0;
        Ref text = joined_raw_paths(raw);
        if (!text) return PyErr_Occurred() ? -1 : 0;
        drive = Ref::borrow(Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR));
        if (parse_posix(text.get(), root, tail) < 0) return -1;
        fill(path, offsets[kDrive], drive.get());
        fill(path, offsets[kRoot], root.get());
        fill(path, offsets[kTail], tail.get());
    }
    if (!PyUnicode_CheckExact(drive.get()) || PyUnicode_GET_LENGTH(drive.get()) != 0 ||
        !PyUnicode_CheckExact(root.get()) || !PyList_CheckExact(tail.get()) ||
        PyList_GET_SIZE(tail.get()) == 0) {
        return 0;  // a drive (not on POSIX) or no name: pathlib's own code decides
    }
    // tail = self._tail.copy(); tail[-1] = name
    const Py_ssize_t count = PyList_GET_SIZE(tail.get());
    Ref new_tail = Ref::steal(PyList_GetSlice(tail.get(), 0, count));
    if (!new_tail) return -1;
    if (PyList_SetItem(new_tail.get(), count - 1, Py_NewRef(name)) < 0) return -1;
    Ref text =
        sibling_text(slot_at(path, offsets[kText]), root.get(), tail.get(), new_tail.get(), name);
    if (!text) return -1;
    Ref raw_paths = Ref::steal(PyList_New(1));
    if (!raw_paths) return -1;
    PyList_SET_ITEM(raw_paths.get(), 0, Py_NewRef(text.get()));
    // with_segments(text): the type called with the text, whose __new__ and __init__ are
    // pathlib's (examined): a plain allocation, then _raw_paths = [text].
    PyObject* fresh = type_->tp_alloc(type_, 0);
    if (fresh == nullptr) return -1;
    fill(fresh, offsets[kRawPaths], raw_paths.get());
    fill(fresh, offsets[kText], text.get());
    fill(fresh, offsets[kDrive], drive.get());
    fill(fresh, offsets[kRoot], root.get());
    fill(fresh, offsets[kTail], new_tail.get());
    made = Ref::steal(fresh);
    return 1;
}

}  // namespace kestrix::pathlib
