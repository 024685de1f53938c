// kestrix.skills.services._safe_write: the rule injector's crash-safe file replacement,
// for the host command's own edits of a configuration file (removing the rule block).
#include <Python.h>

#include <cerrno>

#include "support/file_calls.h"
#include "support/files.h"
#include "support/ref.h"

namespace kestrix {
namespace {

using support::Ref;
namespace files = support::files;

constexpr const char kModuleDoc[] =
    "Crash-safe replacement of a file's content, as the rule injector writes "
    "configuration files.";

constexpr const char kReplaceDoc[] =
    "replace_file($module, path, data, /)\n--\n\n"
    "Replace the content of the file at path with data (a bytes-like object).\n\n"
    "The new content is written to a new file in the same folder, flushed and renamed over\n"
    "the file, so a crash leaves the old or the new content, never a mix. A symbolic link\n"
    "is followed and its target replaced; a file with several hard links is written in\n"
    "place and restored if that fails. Mode, owner and group are kept. Anything but a\n"
    "regular file is refused with OSError. A missing file is created.";

PyObject* replace_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "replace_file expected 2 arguments, got %zd", nargs);
        return nullptr;
    }
    Ref text = Ref::steal(PyOS_FSPath(args[0]));
    if (!text) return nullptr;
    PyObject* encoded_raw = nullptr;
    if (!PyUnicode_FSConverter(text.get(), &encoded_raw)) return nullptr;
    Ref encoded = Ref::steal(encoded_raw);
    Py_buffer view;
    if (PyObject_GetBuffer(args[1], &view, PyBUF_SIMPLE) < 0) return nullptr;
    int error = files::kAvailable
                    ? files::replace_contents(PyBytes_AS_STRING(encoded.get()),
                                              static_cast<const char*>(view.buf),
                                              static_cast<std::size_t>(view.len), 0,
                                              support::interpreter_observer())
                    : ENOSYS;
    PyBuffer_Release(&view);
    if (error != 0) {
        support::raise_file_error(error, text.get());
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr const char kReadDoc[] =
    "read_file($module, path, /)\n--\n\n"
    "Return the bytes of the regular file at path, or None when nothing is there.\n\n"
    "A symbolic link is followed. Anything but a regular file is refused with OSError at\n"
    "once (a FIFO, device or socket is never opened for long enough to block); a folder\n"
    "raises IsADirectoryError.";

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "read_file expected 1 argument, got %zd", nargs);
        return nullptr;
    }
    Ref text = Ref::steal(PyOS_FSPath(args[0]));
    if (!text) return nullptr;
    PyObject* encoded_raw = nullptr;
    if (!PyUnicode_FSConverter(text.get(), &encoded_raw)) return nullptr;
    Ref encoded = Ref::steal(encoded_raw);
    if (!files::kAvailable) {
        support::raise_file_error(ENOSYS, text.get());
        return nullptr;
    }
    files::Buffer bytes;
    int error = files::read_existing(PyBytes_AS_STRING(encoded.get()), bytes,
                                     support::interpreter_observer());
    if (error == files::kMissing) Py_RETURN_NONE;
    if (error != 0) {
        support::raise_file_error(error, text.get());
        return nullptr;
    }
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyMethodDef methods[] = {
    {"read_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_file)),
     METH_FASTCALL, kReadDoc},
    {"replace_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(replace_file)),
     METH_FASTCALL, kReplaceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_safe_write", kModuleDoc, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kestrix

PyMODINIT_FUNC PyInit__safe_write(void) { return PyModuleDef_Init(&kestrix::module_def); }
