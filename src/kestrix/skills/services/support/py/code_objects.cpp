// Synthetic code objects: location tables and the code objects that carry them.
#include <Python.h>

#include <opcode_ids.h>

#include "support/py/code_objects.h"

namespace kestrix::py {

Ref make_location_table(int first_line, const SourceSpan* spans, std::size_t count) noexcept {
    if (spans == nullptr && count != 0) {
        PyErr_BadInternalCall();
        return {};
    }
    if (!locations::spans_are_valid(spans, count)) {
        PyErr_SetString(PyExc_ValueError, "location table: span out of range");
        return {};
    }
    const std::size_t size = locations::table_size(first_line, spans, count);
    Ref table = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!table) return {};
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(table.get()));
    locations::encode(first_line, spans, count, out);
    return table;
}

Ref new_code_object(int argcount, PyObject* varnames, int first_line, PyObject* filename,
                    PyObject* name, PyObject* linetable) noexcept {
    if (varnames == nullptr || !PyTuple_Check(varnames) || linetable == nullptr ||
        !PyBytes_Check(linetable)) {
        PyErr_BadInternalCall();
        return {};
    }
    // The byte code gives the table instructions to describe, and must be safe to run
    // should anyone make a function of it: RESUME, then "raise" (with no exception being
    // handled that raises RuntimeError) in every other code unit. Neither needs a stack slot
    // or a cache entry.
    const auto code_size = static_cast<Py_ssize_t>(
        locations::code_size_for_table(static_cast<std::size_t>(PyBytes_GET_SIZE(linetable))));
    Ref code = Ref::steal(PyBytes_FromStringAndSize(nullptr, code_size));
    if (!code) return {};
    auto* units = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(code.get()));
    for (Py_ssize_t i = 0; i + 1 < code_size; i += 2) {
        units[i] = i == 0 ? RESUME : RAISE_VARARGS;
        units[i + 1] = 0;
    }

    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    PyObject* empty = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_TUPLE);
    return Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, /*posonlyargcount=*/0, /*kwonlyargcount=*/0, nlocals, /*stacksize=*/0,
        CO_OPTIMIZED | CO_NEWLOCALS, code.get(), /*consts=*/empty, /*names=*/empty, varnames,
        /*freevars=*/empty, /*cellvars=*/empty, filename, name, /*qualname=*/name, first_line,
        linetable, /*exceptiontable=*/Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_BYTES))));
}

}  // namespace kestrix::py
