// Joins of plain paths.
#include <Python.h>

#include "support/pathlib/join.h"
#include "support/pathlib/plain_path.h"
#include "support/py/errors.h"

#include <utility>

namespace kestrix::pathlib {

using py::Ref;

namespace {

/// The join of two texts as pathlib makes it; None when they are not texts it would join.
[[nodiscard]] Ref join_texts(Ref head, Ref tail) noexcept {
    if (!PyUnicode_CheckExact(head.get()) || !PyUnicode_CheckExact(tail.get()) ||
        PyUnicode_GET_LENGTH(head.get()) == 0 || PyUnicode_GET_LENGTH(tail.get()) == 0) {
        return Ref::borrow(Py_None);  // not a text to name: the path objects decide
    }
    if (PyUnicode_READ_CHAR(tail.get(), 0) == '/') return tail;
    if (PyUnicode_GET_LENGTH(tail.get()) == 1 && PyUnicode_READ_CHAR(tail.get(), 0) == '.') {
        return head;
    }
    const Py_ssize_t head_size = PyUnicode_GET_LENGTH(head.get());
    if (head_size == 1 && PyUnicode_READ_CHAR(head.get(), 0) == '.') return tail;
    if (PyUnicode_READ_CHAR(head.get(), head_size - 1) == '/') {
        return Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    return Ref::steal(PyUnicode_FromFormat("%U/%U", head.get(), tail.get()));
}

}  // namespace

Ref joined_path_text(PlainPaths& plain, PyObject* base, PyObject* relative,
                     LastJoin& last) noexcept {
    Ref head = plain.text_of(base);
    if (!head) return {};
    Ref tail = plain.text_of(relative);
    if (!tail) return {};
    if (head.get() == last.base && tail.get() == last.relative) return Ref::borrow(last.joined);
    PyObject* base_text = head.get();
    PyObject* relative_text = tail.get();
    Ref joined = join_texts(std::move(head), std::move(tail));
    if (joined && joined.get() != Py_None) {
        Py_XSETREF(last.base, Py_NewRef(base_text));
        Py_XSETREF(last.relative, Py_NewRef(relative_text));
        Py_XSETREF(last.joined, Py_NewRef(joined.get()));
    }
    return joined;
}

Ref sibling_path(PlainPaths& plain, PyObject* directory, PyObject* name,
                 PyObject* with_name) noexcept {
    if (!PyUnicode_CheckExact(name) || !plain.accepts(directory)) return {};
    const Py_ssize_t size = PyUnicode_GET_LENGTH(name);
    if (size == 0 || (size == 1 && PyUnicode_READ_CHAR(name, 0) == '.') ||
        PyUnicode_FindChar(name, '/', 0, size, 1) != -1) {
        return {};
    }
    Ref made;
    const int direct = plain.with_name(directory, name, made);
    if (direct != 0) return made;
    Ref sibling = Ref::steal(PyObject_CallMethodOneArg(directory, with_name, name));
    // "/" and "." have no name to change: with_name says so with ValueError, and `parent`
    // and `/` decide. Any other error is the caller's.
    if (!sibling) (void)py::clear_if(PyExc_ValueError);
    return sibling;
}

}  // namespace kestrix::pathlib
