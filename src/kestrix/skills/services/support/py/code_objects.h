// Synthetic code objects for introspection and tracebacks; never executed.
#pragma once

#include <Python.h>

#include <cstddef>

#include "support/py/ref.h"

namespace kestrix::py {

/// One token span that the location table reports: a line, its columns, and how many
/// code units (two-byte instructions) in a row carry it.
struct SourceSpan {
    int line;
    int start_column;
    int end_column;
    int code_units;  ///< 1 or more; runs longer than 8 take several table entries
};

namespace locations {

inline constexpr int kMaxUnitsPerEntry = 8;

constexpr std::size_t put_byte(unsigned char* out, std::size_t at, unsigned value) noexcept {
    if (out != nullptr) out[at] = static_cast<unsigned char>(value);
    return at + 1;
}

constexpr std::size_t put_varint(unsigned char* out, std::size_t at, unsigned value) noexcept {
    for (; value >= 64; value >>= 6) at = put_byte(out, at, 0x40 | (value & 63));
    return put_byte(out, at, value);
}

constexpr std::size_t put_signed_varint(unsigned char* out, std::size_t at, int value) noexcept {
    return put_varint(out, at,
                      value < 0 ? (static_cast<unsigned>(-value) << 1) | 1
                                : static_cast<unsigned>(value) << 1);
}

/// True when every span can be encoded: a positive line, columns that read back as
/// given, and at least one code unit.
constexpr bool spans_are_valid(const SourceSpan* spans, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const SourceSpan& s = spans[i];
        if (s.line < 1 || s.start_column < 0 || s.end_column < s.start_column ||
            s.end_column > 0xFFFF || s.code_units < 1 || s.code_units > 0xFFFF) {
            return false;
        }
    }
    return true;
}

/// Writes the location table into `out` (or only measures it when `out` is null) and
/// returns its length in bytes. Each entry takes the smallest form that holds it: short
/// (same line, narrow span), one-line (line step 0..2) or long.
constexpr std::size_t encode(int first_line, const SourceSpan* spans, std::size_t count,
                             unsigned char* out) noexcept {
    std::size_t at = 0;
    int line = first_line;
    for (std::size_t i = 0; i < count; ++i) {
        const SourceSpan& s = spans[i];
        const int width = s.end_column - s.start_column;
        for (int left = s.code_units; left > 0; left -= kMaxUnitsPerEntry) {
            const unsigned length =
                static_cast<unsigned>((left < kMaxUnitsPerEntry ? left : kMaxUnitsPerEntry) - 1);
            const int delta = s.line - line;
            line = s.line;
            auto head = [&](unsigned code) { return 0x80u | (code << 3) | length; };
            if (delta == 0 && s.start_column < 80 && width < 16) {
                at = put_byte(out, at,
                              head(PY_CODE_LOCATION_INFO_SHORT0 +
                                   static_cast<unsigned>(s.start_column >> 3)));
                at = put_byte(out, at,
                              (static_cast<unsigned>(s.start_column & 7) << 4) |
                                  static_cast<unsigned>(width));
            } else if (delta >= 0 && delta <= 2 && s.end_column < 256) {
                at = put_byte(out, at,
                              head(PY_CODE_LOCATION_INFO_ONE_LINE0 + static_cast<unsigned>(delta)));
                at = put_byte(out, at, static_cast<unsigned>(s.start_column));
                at = put_byte(out, at, static_cast<unsigned>(s.end_column));
            } else {
                at = put_byte(out, at, head(PY_CODE_LOCATION_INFO_LONG));
                at = put_signed_varint(out, at, delta);
                at = put_varint(out, at, 0);  // spans never leave their line
                at = put_varint(out, at, static_cast<unsigned>(s.start_column) + 1);
                at = put_varint(out, at, static_cast<unsigned>(s.end_column) + 1);
            }
        }
    }
    return at;
}

/// Length in bytes of the encoded table.
constexpr std::size_t table_size(int first_line, const SourceSpan* spans,
                                 std::size_t count) noexcept {
    return encode(first_line, spans, count, nullptr);
}

/// Code units that the spans describe.
constexpr std::size_t code_units(const SourceSpan* spans, std::size_t count) noexcept {
    std::size_t units = 0;
    for (std::size_t i = 0; i < count; ++i) units += static_cast<std::size_t>(spans[i].code_units);
    return units;
}

/// Length in bytes of the byte code that goes with a table of `table_bytes`.
constexpr std::size_t code_size_for_table(std::size_t table_bytes) noexcept {
    return (2 * table_bytes + 4) / 4 * 4;
}

/// True when the spans cover exactly the byte code that their own table calls for.
constexpr bool spans_fill_code(int first_line, const SourceSpan* spans,
                               std::size_t count) noexcept {
    return 2 * code_units(spans, count) ==
           code_size_for_table(table_size(first_line, spans, count));
}

}  // namespace locations

/// Encodes `spans` (in order, first span on `first_line`) in the interpreter's
/// location-table format. Returns a new bytes object, or empty with an exception set.
[[nodiscard]] Ref make_location_table(int first_line, const SourceSpan* spans,
                                      std::size_t count) noexcept;

/// A code object with `argcount` positional-or-keyword arguments, local names
/// `varnames`, and a byte code sized for `linetable` that raises when run; name and
/// qualified name are both `name`. Empty with an exception set on failure.
[[nodiscard]] Ref new_code_object(int argcount, PyObject* varnames, int first_line,
                                  PyObject* filename, PyObject* name, PyObject* linetable) noexcept;

}  // namespace kestrix::py
