#include "support/pathlib/text_mode.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

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

namespace {

// The ASCII test of 64 bytes at a time is most of the check on real text, so it uses the
// processor's vector instructions where they are known: SSE2 (every x86-64) or AVX2 when the
// processor has it, NEON on ARM64; elsewhere eight 8-byte words.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
[[nodiscard]] bool ascii_block_sse2(const unsigned char* p) noexcept {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0;
}

/// Advances `p` past the whole 64-byte blocks that are ASCII.
__attribute__((target("avx2"))) const unsigned char* skip_ascii_avx2(
    const unsigned char* p, const unsigned char* end) noexcept {
    while (end - p >= 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) != 0) break;
        p += 64;
    }
    return p;
}

/// True when the processor has AVX2 and the system saves its registers (asked of the
/// processor itself: no runtime library is needed for it).
[[nodiscard]] bool has_avx2() noexcept {
    unsigned int eax = 0;
    unsigned int ebx = 0;
    unsigned int ecx = 0;
    unsigned int edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool osxsave = (ecx & (1u << 27)) != 0;
    const bool avx = (ecx & (1u << 28)) != 0;
    if (!osxsave || !avx) return false;
    unsigned int xcr0_low = 0;
    unsigned int xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & 0x6u) != 0x6u) return false;  // XMM and YMM state
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ebx & (1u << 5)) != 0;
}

/// 0 until asked, then 1 with AVX2, 2 without. A plain atomic rather than a static local: a
/// guarded static would need the C++ runtime, which the module does not link.
std::atomic<int> avx2_known{0};

[[nodiscard]] const unsigned char* skip_ascii_blocks(const unsigned char* p,
                                                     const unsigned char* end) noexcept {
    int known = avx2_known.load(std::memory_order_relaxed);
    if (known == 0) {
        known = has_avx2() ? 1 : 2;  // the same answer on every thread that asks
        avx2_known.store(known, std::memory_order_relaxed);
    }
    if (known == 1) return skip_ascii_avx2(p, end);
    while (end - p >= 64 && ascii_block_sse2(p)) p += 64;
    return p;
}
#elif defined(__aarch64__)
[[nodiscard]] const unsigned char* skip_ascii_blocks(const unsigned char* p,
                                                     const unsigned char* end) noexcept {
    while (end - p >= 64) {
        const uint8x16_t any = vorrq_u8(vorrq_u8(vld1q_u8(p), vld1q_u8(p + 16)),
                                        vorrq_u8(vld1q_u8(p + 32), vld1q_u8(p + 48)));
        if (vmaxvq_u8(any) >= 0x80) break;
        p += 64;
    }
    return p;
}
#else
[[nodiscard]] const unsigned char* skip_ascii_blocks(const unsigned char* p,
                                                     const unsigned char* end) noexcept {
    while (end - p >= 64) {
        std::uint64_t any = 0;
        for (int i = 0; i < 64; i += 8) any |= load(p + i);
        if ((any & kHighBits) != 0) break;
        p += 64;
    }
    return p;
}
#endif

}  // namespace

bool is_strict_utf8(const char* data, std::size_t size) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* end = p + size;
    while (p < end) {
        // Text is mostly ASCII: a block of 64 bytes a test while it lasts.
        p = skip_ascii_blocks(p, end);
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
