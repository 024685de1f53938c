#include "support/os/temporary.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "support/os/raw_calls.h"

namespace kestrix::os {

namespace {

constexpr std::size_t kNameMax = 255;

/// A hard-to-guess suffix; uniqueness itself comes from O_EXCL.
[[nodiscard]] std::uint64_t random_suffix() noexcept {
    std::uint64_t x = 0;
    const ssize_t got = raw::getrandom(&x, sizeof x, raw::kRandomNonblock);
    if (got == static_cast<ssize_t>(sizeof x)) return x;
    static std::uint64_t counter = 0;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    x = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
        (static_cast<std::uint64_t>(::getpid()) << 42) ^ (++counter * 0x9E3779B97F4A7C15u);
    // splitmix64 finaliser: neighbouring inputs give unrelated names.
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9u;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

}  // namespace

int TemporaryFile::create(int folder, const Text& folder_text, const char* name,
                          const Hooks& hooks) noexcept {
    const char* prefix = hooks.temporary_prefix != nullptr ? hooks.temporary_prefix : "";
    const std::size_t prefix_size = std::strlen(prefix);
    const std::size_t fixed = prefix_size + 1 + 16 + sizeof kTemporarySuffix - 1;
    if (fixed >= kNameMax) return ENAMETOOLONG;
    std::size_t name_size = std::strlen(name);
    if (name_size > kNameMax - fixed) name_size = kNameMax - fixed;
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    for (int attempt = 0;; ++attempt) {
        char hex[16];
        std::uint64_t r = random_suffix();
        for (int i = 15; i >= 0; --i, r >>= 4) hex[i] = "0123456789abcdef"[r & 0xF];
        if (!name_.assign(prefix, prefix_size) || !name_.append(name, name_size) ||
            !name_.append(".", 1) || !name_.append(hex, 16) ||
            !name_.append(kTemporarySuffix, sizeof kTemporarySuffix - 1) ||
            !text_.assign(folder_text.c_str(), folder_text.size()) || !text_.append("/", 1) ||
            !text_.append(name_.c_str(), name_.size())) {
            return ENOMEM;
        }
        if (announce(hooks, Step::Temporary, text_.c_str(), nullptr, flags) != 0) return kRefused;
        // Private until it holds all it should: its owner, attributes, content, then mode.
        int fd = ::openat(folder, name_.c_str(), flags, 0600);
        if (fd >= 0) {
            fd_.reset(fd);
            folder_ = folder;
            hooks_ = &hooks;
            return 0;
        }
        if (errno != EEXIST || attempt == 100) return errno;
    }
}

void TemporaryFile::remove() noexcept {
    if (folder_ < 0) return;
    fd_.reset(-1);
    if (hooks_ != nullptr) (void)announce(*hooks_, Step::Remove, text_.c_str());
    ::unlinkat(folder_, name_.c_str(), 0);
    folder_ = -1;
}

TemporaryFile::~TemporaryFile() { remove(); }

}  // namespace kestrix::os
