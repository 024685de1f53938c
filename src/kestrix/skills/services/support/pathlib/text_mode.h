// A file's bytes as read_text(encoding="utf-8") sees them: strict UTF-8, universal newlines.
#pragma once

#include <Python.h>

#include <cstddef>

#include "support/py/ref.h"

namespace kestrix::pathlib {

using py::Ref;

/// True when `data[0, size)` is UTF-8 that the strict decoder accepts (no overlong forms,
/// no surrogates, nothing past U+10FFFF, no sequence cut off).
[[nodiscard]] bool is_strict_utf8(const char* data, std::size_t size) noexcept;

/// Raises the UnicodeDecodeError that read_text(encoding="utf-8") raises for bytes that
/// is_strict_utf8 refused: the same reason, object and positions.
void raise_decode_error(const char* data, std::size_t size) noexcept;

/// The text read_text(encoding="utf-8") gives for `data`: strict UTF-8 (a BOM stays a
/// character), then CR LF and lone CR turned into LF. Empty with an exception set.
[[nodiscard]] Ref text_mode(const char* data, std::size_t size) noexcept;

/// True when `needle` occurs in `haystack`. For valid UTF-8 on both sides, and a needle
/// without CR or LF, that is the same answer as `needle in text_mode(haystack)`: universal
/// newlines change only CR and LF, and UTF-8 matches only at character boundaries.
[[nodiscard]] bool contains_bytes(const char* haystack, std::size_t size, const char* needle,
                                  std::size_t needle_size) noexcept;

}  // namespace kestrix::pathlib
