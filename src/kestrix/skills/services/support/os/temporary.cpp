#include "support/os/temporary.h"
#include "support/os/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

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

/// Named temporary files being written: a SIGTERM or SIGHUP that would end the process
/// (no handler of anyone's) removes them first, so no copy of the user's text is left
/// where unnamed files cannot be made. (SIGKILL cannot be caught: there, a named file may
/// stay behind.)
struct Pending {
    std::atomic<int> folder{-1};
    char name[kNameMax + 1];
};
constexpr int kPendingSlots = 32;
Pending pending[kPendingSlots];
struct sigaction before_term {};
struct sigaction before_hup {};

void remove_pending_then_end(int signal_number) noexcept {
    for (auto& slot : pending) {
        const int folder = slot.folder.load(std::memory_order_acquire);
        if (folder >= 0) (void)::unlinkat(folder, slot.name, 0);
    }
    // As if the handler had never been there: the default action ends the process.
    ::signal(signal_number, SIG_DFL);
    (void)::raise(signal_number);
}

/// Takes over SIGTERM and SIGHUP where they would end the process; once per process.
void watch_ending_signals() noexcept {
    static std::atomic<bool> watched{false};
    if (watched.exchange(true)) return;
    struct sigaction ours {};
    ours.sa_handler = remove_pending_then_end;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = SA_RESTART;
    for (auto [number, before] :
         {std::pair{SIGTERM, &before_term}, std::pair{SIGHUP, &before_hup}}) {
        if (::sigaction(number, nullptr, before) == 0 && before->sa_handler == SIG_DFL &&
            (before->sa_flags & SA_SIGINFO) == 0) {
            (void)::sigaction(number, &ours, nullptr);
        }
    }
}

/// A slot remembering the named file `name` in `folder`, or -1 when all are taken.
[[nodiscard]] int remember_pending(int folder, const Text& name) noexcept {
    if (name.size() > kNameMax) return -1;
    watch_ending_signals();
    for (int i = 0; i < kPendingSlots; ++i) {
        int expected = -1;
        // Claimed with an impossible descriptor while the name is copied in.
        if (!pending[i].folder.compare_exchange_strong(expected, -2)) continue;
        std::memcpy(pending[i].name, name.c_str(), name.size() + 1);
        pending[i].folder.store(folder, std::memory_order_release);
        return i;
    }
    return -1;
}

void forget_pending(int& slot) noexcept {
    if (slot >= 0) pending[slot].folder.store(-1, std::memory_order_release);
    slot = -1;
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
    folder_text_ = &folder_text;
    base_name_ = name;
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
            pending_slot_ = remember_pending(folder, name_);
            return 0;
        }
        if (errno != EEXIST || attempt == 100) return errno;
    }
}

int TemporaryFile::link_unnamed(const char* name, const char* name_text) noexcept {
    const platform::UnnamedSource self = platform::unnamed_source(fd_.get());
    if (announce(*hooks_, Step::Link, self.text, name_text) != 0) return kRefused;
    return platform::link_unnamed(self, folder_, name) < 0 ? errno : 0;
}

int TemporaryFile::link_as(const char* target, const char* target_text) noexcept {
    if (int error = link_unnamed(target, target_text); error != 0) return error;
    unnamed_ = false;
    folder_ = -1;  // the name is the file's now
    return 0;
}

int TemporaryFile::name_it() noexcept {
    for (int attempt = 0;; ++attempt) {
        if (!pick_name(*folder_text_, base_name_)) return ENOMEM;
        const int error = link_unnamed(name_.c_str(), text_.c_str());
        if (error == 0) {
            unnamed_ = false;
            pending_slot_ = remember_pending(folder_, name_);
            return 0;
        }
        if (error != EEXIST || attempt == 100) return error;
    }
}

void TemporaryFile::remove() noexcept {
    forget_pending(pending_slot_);
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

void TemporaryFile::handed_over() noexcept {
    forget_pending(pending_slot_);
    folder_ = -1;
}

TemporaryFile::~TemporaryFile() { remove(); }

}  // namespace kestrix::os
