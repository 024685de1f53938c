// Names made from a table the caller gives: each row a field of the caller's struct and
// the text it holds, interned (attribute, keyword and global names) or not (values).
#pragma once

#include <Python.h>

#include <cstddef>

namespace kestrix::py {

/// One row: where the object goes, its text, and whether it is interned.
template <typename Fields>
struct NameRow {
    PyObject* Fields::*field;
    const char* text;
    bool interned;
};

/// Makes the text once into `field` (left alone when already made), hashed now so every
/// later dictionary probe reads the cached hash; interned when asked. 0, or -1 with an
/// exception set and `field` still null.
[[nodiscard]] int make_name(PyObject*& field, const char* text, bool interned) noexcept;

/// Makes every row's object that is not made yet: an import retried after a failure
/// finds the ones made and makes the rest. 0, or -1 with an exception set.
template <typename Fields, std::size_t N>
[[nodiscard]] int make_names(Fields& fields, const NameRow<Fields> (&rows)[N]) noexcept {
    for (const NameRow<Fields>& row : rows) {
        if (make_name(fields.*(row.field), row.text, row.interned) < 0) return -1;
    }
    return 0;
}

}  // namespace kestrix::py
