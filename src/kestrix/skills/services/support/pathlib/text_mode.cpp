#include "support/pathlib/text_mode.h"

#include <cstdint>
#include <cstring>

namespace kestrix::pathlib {

using py::Ref;

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080u;

[[nodiscard]] std::uint64_t load(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[nodiscard]] bool continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

}  // namespace

/// True when the 64 bytes at `p` are all ASCII; written so that the compiler turns it into
/// vector instructions.
[[nodiscard]] bool ascii_block(const unsigned char* p) noexcept {
    unsigned char any = 0;
    for (int i = 0; i < 64; ++i) any |= p[i];
    return any < 0x80;
}

bool is_strict_utf8(const char* data, std::size_t size) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* end = p + size;
    while (p < end) {
        // Text is mostly ASCII: a block of 64 bytes a test while it lasts.
        while (end - p >= 64 && ascii_block(p)) p += 64;
        while (end - p >= 8 && (load(p) & kHighBits) == 0) p += 8;
        if (p == end) break;
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        const std::size_t left = static_cast<std::size_t>(end - p);
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || !continuation(p[1])) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (left < 3 || !continuation(p[1]) || !continuation(p[2])) return false;
            if (c == 0xE0 && p[1] < 0xA0) return false;   // overlong
            if (c == 0xED && p[1] >= 0xA0) return false;  // surrogate
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (left < 4 || !continuation(p[1]) || !continuation(p[2]) || !continuation(p[3])) {
                return false;
            }
            if (c == 0xF0 && p[1] < 0x90) return false;   // overlong
            if (c == 0xF4 && p[1] >= 0x90) return false;  // past U+10FFFF
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

void raise_decode_error(const char* data, std::size_t size) noexcept {
    // The decoder itself says what is wrong; on the bytes that were refused it cannot succeed.
    PyObject* text = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict");
    if (text != nullptr) {
        Py_DECREF(text);
        PyErr_SetString(PyExc_SystemError, "UTF-8 check and decoder disagree");
    }
}

Ref text_mode(const char* data, std::size_t size) noexcept {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict"));
    if (!text || size == 0 || std::memchr(data, '\r', size) == nullptr) return text;
    Ref crlf = Ref::steal(PyUnicode_FromString("\r\n"));
    Ref cr = Ref::steal(PyUnicode_FromString("\r"));
    Ref lf = Ref::steal(PyUnicode_FromString("\n"));
    if (!crlf || !cr || !lf) return {};
    text = Ref::steal(PyUnicode_Replace(text.get(), crlf.get(), lf.get(), -1));
    if (!text) return {};
    return Ref::steal(PyUnicode_Replace(text.get(), cr.get(), lf.get(), -1));
}

bool contains_bytes(const char* haystack, std::size_t size, const char* needle,
                    std::size_t needle_size) noexcept {
    if (needle_size == 0) return true;
    if (size < needle_size) return false;
    // The first byte found with memchr, which runs at memory speed; the rest compared where
    // it stands. A needle's first byte is seldom common in the text searched.
    const char* const last = haystack + (size - needle_size);
    for (const char* at = haystack; at <= last;) {
        at = static_cast<const char*>(
            std::memchr(at, needle[0], static_cast<std::size_t>(last - at) + 1));
        if (at == nullptr) return false;
        if (std::memcmp(at + 1, needle + 1, needle_size - 1) == 0) return true;
        ++at;
    }
    return false;
}

}  // namespace kestrix::pathlib
