// Argument binding for fast-call entry functions, with fixed TypeError messages.
#include <Python.h>

#include <cassert>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "support/py/binding.h"
#include "support/py/errors.h"

namespace kestrix::py {

namespace {

/// Slot index of a keyword's parameter, or one of these when there is none.
inline constexpr Py_ssize_t kNoMatch = -1;
inline constexpr Py_ssize_t kFailed = -2;  ///< hashing or comparing raised

enum class BindError { count, multiple_values, unexpected_keyword, keywords_not_strings };

/// Every binding message, built from the signature. Always returns -1 with TypeError set.
/// `given` is used by `count`, `keyword` by the two keyword messages.
[[nodiscard]] int raise_bind_error(const Signature& sig, BindError kind, Py_ssize_t given,
                                   PyObject* keyword) noexcept {
    switch (kind) {
        case BindError::count: {
            const char* qualifier = "exactly";
            Py_ssize_t number = sig.nparams;
            if (sig.nrequired != sig.nparams) {
                if (given < sig.nrequired) {
                    qualifier = "at least";
                    number = sig.nrequired;
                } else {
                    qualifier = "at most";
                }
            }
            PyErr_Format(PyExc_TypeError,
                         "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name,
                         qualifier, number, number == 1 ? "" : "s", given);
            break;
        }
        case BindError::multiple_values:
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, keyword);
            break;
        case BindError::unexpected_keyword:
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                         keyword);
            break;
        case BindError::keywords_not_strings:
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            break;
    }
    return -1;
}

/// Same code units, compared without calling back into Python. Hashes are cached on
/// both sides (parameter names are hashed when made), so a mismatch usually costs one compare.
[[nodiscard]] bool same_text(PyObject* param, Py_hash_t key_hash, PyObject* key) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    const int kind = PyUnicode_KIND(key);
    return PyObject_Hash(param) == key_hash && PyUnicode_GET_LENGTH(param) == length &&
           PyUnicode_KIND(param) == kind &&
           std::memcmp(PyUnicode_DATA(param), PyUnicode_DATA(key),
                       static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
}

/// Finds the parameter for an exact-str keyword: open (still empty) slots first, then the
/// filled ones. `*filled` tells which pass matched.
[[nodiscard]] Py_ssize_t match_exact(const Signature& sig, PyObject* const* slots, PyObject* key,
                                     bool* filled) noexcept {
    const Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1) return kFailed;
    for (const bool want_filled : {false, true}) {
        for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
            if ((slots[i] != nullptr) == want_filled && same_text(sig.params[i], hash, key)) {
                *filled = want_filled;
                return i;
            }
        }
    }
    return kNoMatch;
}

/// The same two passes for a keyword of a str subclass, by its own equality.
[[nodiscard]] Py_ssize_t match_by_equality(const Signature& sig, PyObject* const* slots,
                                           PyObject* key, bool* filled) noexcept {
    for (const bool want_filled : {false, true}) {
        for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
            if ((slots[i] != nullptr) != want_filled) continue;
            const int eq = PyObject_RichCompareBool(sig.params[i], key, Py_EQ);
            if (eq < 0) return kFailed;
            if (eq > 0) {
                *filled = want_filled;
                return i;
            }
        }
    }
    return kNoMatch;
}

/// Binds one keyword into its slot; 0, or -1 with an exception set.
/// A slot already filled, by position or by an earlier keyword, counts as given, so a
/// repeated name is refused rather than overwriting (and leaking) the first value.
[[nodiscard]] int bind_keyword(const Signature& sig, PyObject** slots, PyObject* key,
                               PyObject* value) noexcept {
    // Callers pass interned names, so identity settles nearly every keyword.
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        if (slots[i] == nullptr && sig.params[i] == key) {
            slots[i] = Py_NewRef(value);
            return 0;
        }
    }
    bool filled = false;
    Py_ssize_t index = kNoMatch;
    if (PyUnicode_CheckExact(key)) {
        index = match_exact(sig, slots, key, &filled);
    } else if (PyUnicode_Check(key)) {
        index = match_by_equality(sig, slots, key, &filled);
    } else {
        return raise_bind_error(sig, BindError::keywords_not_strings, 0, nullptr);
    }
    if (index == kFailed) return -1;
    if (index == kNoMatch) return raise_bind_error(sig, BindError::unexpected_keyword, 0, key);
    if (filled) return raise_bind_error(sig, BindError::multiple_values, 0, key);
    slots[index] = Py_NewRef(value);
    return 0;
}

[[nodiscard]] int bind_with_keywords(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, Py_ssize_t nkw, PyObject** slots) noexcept {
    // Too many positionals is reported before any keyword is looked at.
    if (nargs > sig.nparams) return raise_bind_error(sig, BindError::count, nargs, nullptr);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = Py_NewRef(args[i]);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (bind_keyword(sig, slots, PyTuple_GET_ITEM(kwnames, j), args[nargs + j]) < 0) {
            return -1;
        }
    }
    for (Py_ssize_t i = sig.nrequired; i < sig.nparams; ++i) {
        if (slots[i] == nullptr) slots[i] = Py_NewRef(Py_None);
    }
    // The number given is how many parameters before the first missing one have values.
    for (Py_ssize_t i = nargs; i < sig.nrequired; ++i) {
        if (slots[i] == nullptr) return raise_bind_error(sig, BindError::count, i, nullptr);
    }
    return 0;
}

/// Adds `note` to the pending exception, which stays the one that propagates.
void add_note_to_pending(const char* note) noexcept {
    HeldError error("adding a note to a TypeError");
    add_note(error.get(), PyUnicode_FromString(note));
}

}  // namespace

int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) noexcept {
    assert(sig.nparams >= 1 && sig.nparams <= kMaxParams);
    assert(sig.nrequired >= 0 && sig.nrequired <= sig.nparams);
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) assert(slots[i] == nullptr);

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0) {
        if (nargs < sig.nrequired || nargs > sig.nparams) {
            return raise_bind_error(sig, BindError::count, nargs, nullptr);
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = Py_NewRef(args[i]);
        for (Py_ssize_t i = nargs; i < sig.nparams; ++i) slots[i] = Py_NewRef(Py_None);
        return 0;
    }
    if (bind_with_keywords(sig, args, nargs, kwnames, nkw, slots) < 0) {
        for (Py_ssize_t i = 0; i < sig.nparams; ++i) Py_CLEAR(slots[i]);
        return -1;
    }
    return 0;
}

bool binds_in_order(const Signature& sig, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs + nkw != sig.nparams || nargs < 0) return false;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) != sig.params[nargs + i]) return false;
    }
    return true;
}

int check_exact_str(PyObject* value, const char* param_name, const char* subclass_note) noexcept {
    if (Py_IS_TYPE(value, &PyUnicode_Type)) return 0;
    PyTypeObject* type = Py_TYPE(value);
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param_name,
                 PyUnicode_Type.tp_name, type->tp_name);
    // PyType_IsSubtype walks tp_mro, or the tp_base chain for a type not yet readied.
    if (subclass_note != nullptr && PyType_IsSubtype(type, &PyUnicode_Type))
        add_note_to_pending(subclass_note);
    return -1;
}

int check_str_or_none(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value) || value == Py_None) return 0;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value)->tp_name);
    return -1;
}

}  // namespace kestrix::py
