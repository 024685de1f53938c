// Names, audit events and exceptions for the file calls.
#include <Python.h>

#include <cerrno>
#include <utility>

#include "support/py/file_calls.h"

namespace kestrix::py {

namespace {

/// Py_BuildValue converter: a C path back to the str os functions show.
PyObject* decode_name(void* path) noexcept {
    return PyUnicode_DecodeFSDefault(static_cast<const char*>(path));
}

int audit_before(void*, os::Step step, const char* path, const char* other, int flags) noexcept {
    void* p = const_cast<char*>(path);
    switch (step) {
        case os::Step::Read: return PySys_Audit("open", "O&si", decode_name, p, "r", flags);
        case os::Step::Write: return PySys_Audit("open", "O&si", decode_name, p, "w", flags);
        case os::Step::Temporary:
            return PySys_Audit("open", "O&Oi", decode_name, p, Py_None, flags);
        case os::Step::MakeDirectory:
            return PySys_Audit("os.mkdir", "O&ii", decode_name, p, flags, -1);
        case os::Step::Rename:
            return PySys_Audit("os.rename", "O&O&ii", decode_name, p, decode_name,
                               const_cast<char*>(other), -1, -1);
        case os::Step::Link:
            return PySys_Audit("os.link", "O&O&ii", decode_name, p, decode_name,
                               const_cast<char*>(other), -1, -1);
        case os::Step::Remove: {
            // Clean-up after a failure: the hook hears of it, but can neither stop it nor
            // replace the failure being reported.
            PyObject* pending = PyErr_GetRaisedException();
            if (PySys_Audit("os.remove", "O&i", decode_name, p, -1) < 0) {
                PyObject* ignored = PyErr_GetRaisedException();
                Py_XDECREF(ignored);
            }
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

int signal_pending(void*) noexcept { return PyErr_CheckSignals() < 0 ? 1 : 0; }

/// OSError(code, text, filename), of the subclass the code selects.
void raise_with_text(int code, const char* text, PyObject* filename) noexcept {
    PyObject* error = PyObject_CallFunction(PyExc_OSError, "isO", code, text,
                                            filename != nullptr ? filename : Py_None);
    if (error != nullptr) PyErr_SetRaisedException(error);
}

}  // namespace

int fs_name(Ref text, FsName& out) noexcept {
    out.text = std::move(text);
    if (!out.text) return -1;
    if (!PyUnicode_CheckExact(out.text.get())) return 0;  // bytes paths: not ours to name
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(out.text.get(), &encoded)) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();  // an embedded NUL: the path methods have their own answer for it
        return 0;
    }
    out.encoded = Ref::steal(encoded);
    return 1;
}

os::Hooks interpreter_hooks(const char* temporary_prefix) noexcept {
    return os::Hooks{audit_before,   release_lock,        reacquire_lock,
                     signal_pending, /*context=*/nullptr, temporary_prefix};
}

void raise_file_error(int code, PyObject* filename, ErrorSource source) noexcept {
    switch (code) {
        case os::kRefused:
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "file step refused");
            return;
        case os::kNoMemory: PyErr_NoMemory(); return;
        case os::kNotRegular: raise_with_text(EINVAL, "Not a regular file", filename); return;
        case os::kProtectedLink:
            code = EACCES;  // what open() says where the kernel applies the same rule
            break;
        case os::kBusy:
            raise_with_text(EAGAIN, "The file is locked by another writer", filename);
            return;
        case os::kInUse:
            raise_with_text(EAGAIN, "The file is in use by another program", filename);
            return;
        case os::kChanged:
        case os::kUnsettled:
            raise_with_text(EAGAIN, "The file kept changing while it was written", filename);
            return;
        default: break;
    }
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError,
                                         source == ErrorSource::Writing ? nullptr : filename);
}

}  // namespace kestrix::py
