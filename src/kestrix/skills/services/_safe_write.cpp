// kestrix.skills.services._safe_write: the rule injector's own reader and crash-safe writer,
// for the host command's edits of a configuration file (checking or removing the rule block).
#include <Python.h>

#include <cerrno>
#include <cstddef>

#include "support/os/platform.h"
#include "support/os/read.h"
#include "support/os/write.h"
#include "support/py/file_calls.h"
#include "support/py/ref.h"

namespace kestrix {
namespace {

using py::Ref;

/// Its temporary files are named as the rule injector's are: a person sees one writer.
constexpr const char kTemporaryPrefix[] = ".rule_injector.";

constexpr const char kModuleDoc[] =
    "The rule injector's reader and crash-safe writer of configuration files.";

constexpr const char kReadDoc[] =
    "read_file($module, path, /)\n--\n\n"
    "Return the bytes of the regular file at path, or None when nothing is there.\n\n"
    "A symbolic link is followed (in a sticky world-writable folder only when it belongs to\n"
    "you or the folder's owner). Anything but a regular file is refused with OSError at\n"
    "once: a FIFO or device is never opened, so nothing blocks; a folder raises\n"
    "IsADirectoryError.";

constexpr const char kReplaceDoc[] =
    "replace_file($module, path, data, /, expected=None)\n--\n\n"
    "Replace the content of the file at path with data: a bytes-like object, or a pair\n"
    "(head, tail) of them whose concatenation is the content, so that a caller that keeps\n"
    "most of the old bytes passes views of them rather than a copy of the whole.\n\n"
    "The new content is written to a private new file in the same folder, given the old\n"
    "file's owner, group, extended attributes and mode, flushed and renamed over it, so a\n"
    "crash leaves the old or the new content, never a mix. Where the new file could not be\n"
    "the old one in every respect (several hard links, another owner), the file is written\n"
    "in place and put back if that fails. A symbolic link is followed and its target\n"
    "replaced. Anything but a regular file is refused with OSError. A missing file is\n"
    "created.\n\n"
    "With expected (bytes), the file must still hold exactly those bytes when the write\n"
    "begins; otherwise nothing is changed and OSError(ESTALE) is raised. The rule\n"
    "injector's writers lock each other out of the file while they check and write.";

/// The OS's name for `path`, and its text for errors. 0, or -1 with an exception set.
[[nodiscard]] int name_of(PyObject* path, py::FsName& name) noexcept {
    Ref text = Ref::steal(PyOS_FSPath(path));
    if (!text) return -1;
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(text.get(), &encoded)) return -1;
    name.text = std::move(text);
    name.encoded = Ref::steal(encoded);
    if (!PyUnicode_Check(name.text.get()))
        name.text = Ref::steal(PyUnicode_DecodeFSDefault(name.c_str()));
    return name.text ? 0 : -1;
}

[[nodiscard]] bool unavailable(const py::FsName& name) noexcept {
    if (py::kFilesAvailable) return false;
    py::raise_file_error(ENOSYS, name.text.get());
    return true;
}

/// The bytes object a file is read into, sized from the file, so that its bytes land
/// where they are kept. The OS layer fills it with the interpreter's lock let go: nobody
/// else can see the object until it is handed over.
class BytesSink final : public os::Sink {
 public:
    [[nodiscard]] char* room(std::size_t size, std::size_t kept) noexcept override {
        if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return nullptr;
        const auto wanted = static_cast<Py_ssize_t>(size);
        if (kept == 0 || !bytes_) {
            bytes_ = Ref{};  // a read starting over: the old object goes before a new one comes
            bytes_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, wanted));
        } else {
            PyObject* grown = bytes_.release();
            if (_PyBytes_Resize(&grown, wanted) == 0) bytes_ = Ref::steal(grown);
        }
        if (!bytes_) {
            // The OS layer answers kNoMemory, which raises MemoryError again where every
            // answer of its becomes an exception.
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) PyErr_Clear();
            return nullptr;
        }
        return PyBytes_AS_STRING(bytes_.get());
    }

    /// The object, cut to the `size` bytes the file filled (in place: it only shrinks).
    [[nodiscard]] Ref take(std::size_t size) noexcept {
        PyObject* bytes = bytes_.release();
        if (bytes == nullptr) return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size)) < 0) return Ref{};
        return Ref::steal(bytes);
    }

 private:
    Ref bytes_;
};

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "read_file expected 1 argument, got %zd", nargs);
        return nullptr;
    }
    py::FsName name;
    if (name_of(args[0], name) < 0 || unavailable(name)) return nullptr;
    BytesSink bytes;
    std::size_t size = 0;
    os::Identity found;
    os::ReadStage stage = os::ReadStage::Test;
    int error = os::read_whole_file(name.c_str(), bytes, size, found, stage,
                                    py::interpreter_hooks(kTemporaryPrefix));
    if (error != 0) {
        py::raise_file_error(error, name.text.get());
        return nullptr;
    }
    if (!found.exists) Py_RETURN_NONE;
    return bytes.take(size).release();
}

/// Byte views held for one call: a bytes-like object, or a pair whose concatenation counts.
class Views {
 public:
    Views() noexcept = default;
    Views(const Views&) = delete;
    Views& operator=(const Views&) = delete;
    ~Views() {
        for (int i = 0; i < held_; ++i) PyBuffer_Release(&views_[i]);
    }

    /// `data` as one object or a pair; 0, or -1 with an exception set.
    [[nodiscard]] int take_pieces(PyObject* data) noexcept {
        if (!PyTuple_Check(data)) return take(data);
        if (PyTuple_GET_SIZE(data) != 2) {
            PyErr_SetString(PyExc_TypeError,
                            "replace_file() data must be a bytes-like object or a pair of them");
            return -1;
        }
        return take(PyTuple_GET_ITEM(data, 0)) < 0 ? -1 : take(PyTuple_GET_ITEM(data, 1));
    }
    /// One bytes-like object; 0, or -1 with an exception set.
    [[nodiscard]] int take(PyObject* object) noexcept {
        if (PyObject_GetBuffer(object, &views_[held_], PyBUF_SIMPLE) < 0) return -1;
        ++held_;
        return 0;
    }
    [[nodiscard]] os::Bytes head() const noexcept { return held_ > 0 ? bytes(0) : os::Bytes{}; }
    [[nodiscard]] os::Bytes tail() const noexcept { return held_ > 1 ? bytes(1) : os::Bytes{}; }

 private:
    [[nodiscard]] os::Bytes bytes(int i) const noexcept {
        return os::Bytes{static_cast<const char*>(views_[i].buf),
                         static_cast<std::size_t>(views_[i].len)};
    }

    Py_buffer views_[2]{};
    int held_ = 0;
};

PyObject* replace_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    PyObject* expected_object = Py_None;
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs != 2 || keywords > 1 ||
        (keywords == 1 &&
         PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "expected") != 0)) {
        PyErr_SetString(PyExc_TypeError, "replace_file(path, data, /, expected=None)");
        return nullptr;
    }
    if (keywords == 1) expected_object = args[2];
    py::FsName name;
    if (name_of(args[0], name) < 0 || unavailable(name)) return nullptr;
    Views data;
    if (data.take_pieces(args[1]) < 0) return nullptr;
    Views expected;
    const bool has_expected = expected_object != Py_None;
    if (has_expected && expected.take(expected_object) < 0) return nullptr;
    const os::Hooks hooks = py::interpreter_hooks(kTemporaryPrefix);
    int error = os::kChanged;
    bool write_error = false;
    for (int attempt = 0; attempt < 8 && error == os::kChanged; ++attempt) {
        os::Buffer current;
        os::Identity found;
        os::ReadStage stage = os::ReadStage::Test;
        os::Bytes old;
        if (has_expected) {
            // Compared in pieces where it lies: the caller's bytes are the old content.
            old = expected.head();
            error = os::compare_whole_file(name.c_str(), old, found, stage, hooks);
            if (error == os::kChanged || (error == 0 && !found.exists)) {
                error = ESTALE;
                break;
            }
        } else {
            error = os::read_whole_file(name.c_str(), current, found, stage, hooks);
            old = os::Bytes{current.data(), current.size()};
        }
        if (error != 0) break;
        error = os::write_whole_file(name.c_str(), os::Expected{found, old}, data.head(),
                                     data.tail(), write_error, hooks);
    }
    if (error == 0) Py_RETURN_NONE;
    if (error == ESTALE) {
        PyObject* raised = PyObject_CallFunction(
            PyExc_OSError, "isO", ESTALE, "The file changed since it was read", name.text.get());
        if (raised != nullptr) PyErr_SetRaisedException(raised);
        return nullptr;
    }
    py::raise_file_error(error == os::kChanged ? os::kUnsettled : error, name.text.get(),
                         write_error ? py::ErrorSource::Writing : py::ErrorSource::Naming);
    return nullptr;
}

PyMethodDef methods[] = {
    {"read_file", py::as_pycfunction(read_file), METH_FASTCALL, kReadDoc},
    {"replace_file", py::as_pycfunction(replace_file), METH_FASTCALL | METH_KEYWORDS, kReplaceDoc},
    {nullptr, nullptr, 0, nullptr},
};

/// Which OS layer this build does its file work with: "linux" (Linux's own calls),
/// "posix" (only the calls macOS also has) or None (none: the path methods are used).
int exec_module(PyObject* module) noexcept {
    if (!py::kFilesAvailable) return PyModule_AddObjectRef(module, "OS_ROUTE", Py_None);
    return PyModule_AddStringConstant(module, "OS_ROUTE", os::platform::kName);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_safe_write", kModuleDoc, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kestrix

PyMODINIT_FUNC PyInit__safe_write(void) { return PyModuleDef_Init(&kestrix::module_def); }
