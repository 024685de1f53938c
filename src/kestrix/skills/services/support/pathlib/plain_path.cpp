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

}  // namespace

bool PlainPaths::accepts(PyObject* path) noexcept {
    PyTypeObject* type = Py_TYPE(path);
    if (type != type_) {
        if (type_ != nullptr) return false;
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
    // An attribute of a changed class that raised when read (taken away, or a descriptor of
    // anyone's) answers "not plain": the path's own methods then meet it in their own time.
    // What is not an ordinary exception (KeyboardInterrupt) is told by the HeldError.
    if (PyErr_Occurred()) (void)py::clear_if(PyExc_Exception);
    examined_tag_ = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
    return examined_plain_;
}

bool PlainPaths::exists_hides_errors() const noexcept {
    return layout_ != nullptr && layout_->exists_hides_errors;
}

Ref PlainPaths::text_of(PyObject* path) noexcept {
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

}  // namespace kestrix::pathlib
