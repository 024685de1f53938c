// Names, audit events and exceptions for the file calls.
#include <Python.h>

#include <cerrno>
#include <utility>

#include "support/file_calls.h"

namespace kestrix::support {

namespace {

/// Py_BuildValue converter: a C path back to the str os functions show.
PyObject* decode_name(void* path) noexcept {
    return PyUnicode_DecodeFSDefault(static_cast<const char*>(path));
}

int audit_before(void*, files::Step step, const char* path, const char* other,
                 int flags) noexcept {
    void* p = const_cast<char*>(path);
    switch (step) {
        case files::Step::Open:
            return PySys_Audit("open", "O&Oi", decode_name, p, Py_None, flags);
        case files::Step::MakeDirectory:
            return PySys_Audit("os.mkdir", "O&ii", decode_name, p, flags, -1);
        case files::Step::Rename:
            return PySys_Audit("os.rename", "O&O&ii", decode_name, p, decode_name,
                               const_cast<char*>(other), -1, -1);
        case files::Step::Remove: {
            // Clean-up after a failure: the hook hears of it, but cannot stop it or
            // replace the failure being reported.
            PyObject* pending = PyErr_GetRaisedException();
            if (PySys_Audit("os.remove", "O&i", decode_name, p, -1) < 0) PyErr_Clear();
            PyErr_SetRaisedException(pending);
            return 0;
        }
    }
    return 0;
}

void* release_lock(void*) noexcept { return PyEval_SaveThread(); }

void reacquire_lock(void*, void* token) noexcept {
    PyEval_RestoreThread(static_cast<PyThreadState*>(token));
}

constexpr files::Observer kObserver{audit_before, release_lock, reacquire_lock, nullptr};

}  // namespace

int fs_name(Ref text, FsName& out) noexcept {
    out.text = std::move(text);
    if (!out.text) return -1;
    if (!PyUnicode_CheckExact(out.text.get())) return 0;  // bytes paths: not ours to name
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(out.text.get(), &encoded)) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();  // the path methods have their own answer for such a name
        return 0;
    }
    out.encoded = Ref::steal(encoded);
    return 1;
}

const files::Observer& interpreter_observer() noexcept { return kObserver; }

int raise_file_error(int code, PyObject* filename) noexcept {
    switch (code) {
        case files::kRefused:
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "file step refused");
            return -1;
        case files::kNoMemory:
            PyErr_NoMemory();
            return -1;
        case files::kNotRegular: {
            PyObject* error = PyObject_CallFunction(PyExc_OSError, "isO", EINVAL,
                                                    "Not a regular file", filename);
            if (error != nullptr) PyErr_SetRaisedException(error);
            return -1;
        }
        default:
            errno = code;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
            return -1;
    }
}

}  // namespace kestrix::support
