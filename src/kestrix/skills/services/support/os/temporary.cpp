#include "support/os/temporary.h"
#include "support/os/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace kestrix::os {

namespace {

constexpr std::size_t kNameMax = 255;

/// A hard-to-guess suffix; uniqueness itself comes from O_EXCL.
[[nodiscard]] std::uint64_t random_suffix() noexcept {
    std::uint64_t x = 0;
    if (platform::random_bytes(&x, sizeof x)) return x;
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

bool TemporaryFile::pick_name(const Text& folder_text, const char* name) noexcept {
    const char* prefix = hooks_->temporary_prefix != nullptr ? hooks_->temporary_prefix : "";
    const std::size_t prefix_size = std::strlen(prefix);
    const std::size_t fixed = prefix_size + 1 + 16 + sizeof kTemporarySuffix - 1;
    std::size_t name_size = std::strlen(name);
    if (fixed < kNameMax && name_size > kNameMax - fixed) name_size = kNameMax - fixed;
    char hex[16];
    std::uint64_t r = random_suffix();
    for (int i = 15; i >= 0; --i, r >>= 4) hex[i] = "0123456789abcdef"[r & 0xF];
    return name_.assign(prefix, prefix_size) && name_.append(name, name_size) &&
           name_.append(".", 1) && name_.append(hex, 16) &&
           name_.append(kTemporarySuffix, sizeof kTemporarySuffix - 1) &&
           text_.assign(folder_text.c_str(), folder_text.size()) && text_.append("/", 1) &&
           text_.append(name_.c_str(), name_.size());
}

int TemporaryFile::create_unnamed(int folder, const Text& folder_text, const char* name,
                                  mode_t mode, const Hooks& hooks) noexcept {
    hooks_ = &hooks;
    const int flags = O_RDWR | O_CLOEXEC;  // and O_TMPFILE, where there is one
    // Told as os.open(folder, O_TMPFILE) would tell it; the name is only for later.
    if (!folder_text_.assign(folder_text.c_str(), folder_text.size()) || !base_name_.assign(name)) {
        return ENOMEM;
    }
    if (announce(hooks, Step::Temporary, folder_text.c_str(), nullptr, flags) != 0) return kRefused;
    const int fd = platform::open_unnamed(folder, mode);
    if (fd < 0) return errno;
    fd_.reset(fd);
    unnamed_ = true;
    folder_ = folder;
    return 0;
}

int TemporaryFile::create(int folder, const Text& folder_text, const char* name, mode_t mode,
                          const Hooks& hooks) noexcept {
    hooks_ = &hooks;
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    for (int attempt = 0;; ++attempt) {
        if (!pick_name(folder_text, name)) return ENOMEM;
        if (announce(hooks, Step::Temporary, text_.c_str(), nullptr, flags) != 0) return kRefused;
        int fd = ::openat(folder, name_.c_str(), flags, mode);
        if (fd >= 0) {
            fd_.reset(fd);
            folder_ = folder;
            return 0;
        }
        if (errno != EEXIST || attempt == 100) return errno;
    }
}

int TemporaryFile::link_unnamed(const char* name, const char* name_text) noexcept {
    char self[48];
    platform::unnamed_source(fd_.get(), self, sizeof self);
    if (announce(*hooks_, Step::Link, self, name_text) != 0) return kRefused;
    return platform::link_unnamed(fd_.get(), folder_, name) < 0 ? errno : 0;
}

int TemporaryFile::link_as(const char* target, const char* target_text) noexcept {
    if (int error = link_unnamed(target, target_text); error != 0) return error;
    unnamed_ = false;
    folder_ = -1;  // the name is the file's now
    return 0;
}

int TemporaryFile::name_it() noexcept {
    for (int attempt = 0;; ++attempt) {
        if (!pick_name(folder_text_, base_name_.c_str())) return ENOMEM;
        const int error = link_unnamed(name_.c_str(), text_.c_str());
        if (error == 0) {
            unnamed_ = false;
            return 0;
        }
        if (error != EEXIST || attempt == 100) return error;
    }
}

void TemporaryFile::remove() noexcept {
    if (folder_ < 0) return;
    fd_.reset(-1);
    if (unnamed_) {  // nothing to remove: it went with its descriptor
        folder_ = -1;
        return;
    }
    if (hooks_ != nullptr) (void)announce(*hooks_, Step::Remove, text_.c_str());
    ::unlinkat(folder_, name_.c_str(), 0);
    folder_ = -1;
}

TemporaryFile::~TemporaryFile() { remove(); }

}  // namespace kestrix::os
