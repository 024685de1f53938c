// Whole-file reads and crash-safe replacement on POSIX systems.
#include <Python.h>

#include "support/files.h"

#include <cstdlib>
#include <utility>

namespace kestrix::support::files {

Buffer::Buffer(Buffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      capacity_(std::exchange(o.capacity_, 0)) {}

Buffer& Buffer::operator=(Buffer&& o) noexcept {
    if (this != &o) {
        std::free(data_);
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
        capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
}

Buffer::~Buffer() { std::free(data_); }

bool Buffer::reserve(std::size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) return false;
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
}

}  // namespace kestrix::support::files

#if defined(__unix__) || defined(__APPLE__)

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace kestrix::support::files {

namespace {

/// Reads past this size let the caller's lock go; smaller ones are over before it matters.
constexpr std::size_t kBlockingThreshold = 256 * 1024;
/// Symbolic links followed before giving up, as the kernel does.
constexpr int kMaxLinks = 40;

/// A file descriptor, closed on scope exit unless handed over.
class Descriptor {
 public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    [[nodiscard]] int get() const noexcept { return fd_; }
    void reset(int fd) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    /// Closes now and reports close()'s own error (a late write error on some systems).
    [[nodiscard]] int close() noexcept {
        int fd = std::exchange(fd_, -1);
        return fd >= 0 && ::close(fd) < 0 ? errno : 0;
    }

 private:
    int fd_;
};

/// A NUL-terminated path built piece by piece; fails quietly when too long.
class PathText {
 public:
    [[nodiscard]] bool assign(const char* s, std::size_t n) noexcept {
        if (n >= sizeof text_) return false;
        std::memcpy(text_, s, n);
        text_[n] = '\0';
        size_ = n;
        return true;
    }
    [[nodiscard]] bool assign(const char* s) noexcept { return assign(s, std::strlen(s)); }
    [[nodiscard]] bool append(const char* s, std::size_t n) noexcept {
        if (size_ + n >= sizeof text_) return false;
        std::memcpy(text_ + size_, s, n);
        size_ += n;
        text_[size_] = '\0';
        return true;
    }
    [[nodiscard]] const char* c_str() const noexcept { return text_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    /// Offset just past the last '/', or 0 when there is none.
    [[nodiscard]] std::size_t base_offset() const noexcept {
        for (std::size_t i = size_; i > 0; --i) {
            if (text_[i - 1] == '/') return i;
        }
        return 0;
    }

 private:
    char text_[PATH_MAX];
    std::size_t size_ = 0;
};

/// Runs `call` with the caller's lock let go.
template <typename F>
auto unlocked(const Observer& observer, F call) noexcept {
    void* token = observer.release != nullptr ? observer.release(observer.context) : nullptr;
    auto result = call();
    if (observer.reacquire != nullptr) observer.reacquire(observer.context, token);
    return result;
}

[[nodiscard]] int notify(const Observer& observer, Step step, const char* path,
                         const char* other = nullptr, int flags = 0) noexcept {
    if (observer.before == nullptr) return 0;
    return observer.before(observer.context, step, path, other, flags) < 0 ? kRefused : 0;
}

[[nodiscard]] Kind kind_of(mode_t mode) noexcept {
    if (S_ISREG(mode)) return Kind::Regular;
    if (S_ISDIR(mode)) return Kind::Directory;
    return Kind::Other;
}

/// Writes all of `data` at the descriptor's offset (or at `offset` when it is not -1),
/// resuming after short writes and interruptions.
[[nodiscard]] int write_all(int fd, const char* data, std::size_t size, off_t offset) noexcept {
    while (size > 0) {
        std::size_t chunk = size < (1u << 30) ? size : (1u << 30);
        ssize_t n = offset < 0 ? ::write(fd, data, chunk) : ::pwrite(fd, data, chunk, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        data += n;
        size -= static_cast<std::size_t>(n);
        if (offset >= 0) offset += n;
    }
    return 0;
}

[[nodiscard]] int sync_file(int fd) noexcept {
    while (::fsync(fd) < 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

/// Flushes a directory's entries; some file systems cannot, which changes nothing.
void sync_directory(const char* directory, const Observer& observer) noexcept {
    Descriptor fd(::open(directory, O_RDONLY | O_CLOEXEC | O_DIRECTORY));
    if (fd.get() >= 0) (void)unlocked(observer, [&] { return sync_file(fd.get()); });
}

/// Follows symbolic links from `path` to the name that is finally opened.
/// The last name need not exist. Returns 0 or an errno.
[[nodiscard]] int resolve_links(const char* path, PathText& out, struct stat& info,
                                bool& exists) noexcept {
    if (!out.assign(path)) return ENAMETOOLONG;
    for (int hops = 0;; ++hops) {
        if (::lstat(out.c_str(), &info) < 0) {
            if (errno != ENOENT) return errno;
            exists = false;
            return 0;
        }
        if (!S_ISLNK(info.st_mode)) {
            exists = true;
            return 0;
        }
        if (hops == kMaxLinks) return ELOOP;
        char target[PATH_MAX];
        ssize_t n = ::readlink(out.c_str(), target, sizeof target);
        if (n < 0) return errno;
        if (static_cast<std::size_t>(n) >= sizeof target) return ENAMETOOLONG;
        if (target[0] == '/') {
            if (!out.assign(target, static_cast<std::size_t>(n))) return ENAMETOOLONG;
        } else {
            // A relative link is read from the directory that holds it.
            PathText next;
            std::size_t keep = out.base_offset();
            if (!next.assign(out.c_str(), keep) ||
                !next.append(target, static_cast<std::size_t>(n))) {
                return ENAMETOOLONG;
            }
            out = next;
        }
    }
}

/// The directory part of `path` ("." when it has none).
[[nodiscard]] bool directory_of(const PathText& path, PathText& out) noexcept {
    std::size_t keep = path.base_offset();
    if (keep == 0) return out.assign(".", 1);
    return out.assign(path.c_str(), keep == 1 ? 1 : keep - 1);
}

/// A hard-to-guess suffix for a temporary name; uniqueness comes from O_EXCL.
[[nodiscard]] std::uint64_t random_suffix() noexcept {
    static std::uint64_t counter = 0;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x = static_cast<std::uint64_t>(now.tv_nsec) ^
                      (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
                      (static_cast<std::uint64_t>(::getpid()) << 42) ^ (++counter * 0x9E3779B97F4A7C15u);
    // splitmix64 finaliser: neighbouring inputs give unrelated names.
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9u;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

/// `.rule_injector.<name>.<16 hex>.tmp` beside the target, its name cut to fit NAME_MAX.
[[nodiscard]] bool temporary_name(const PathText& target, PathText& out) noexcept {
    std::size_t base = target.base_offset();
    const char* name = target.c_str() + base;
    std::size_t name_size = target.size() - base;
    constexpr std::size_t kFixed = sizeof kTemporaryPrefix - 1 + 1 + 16 + sizeof kTemporarySuffix - 1;
    constexpr std::size_t kNameMax = 255;
    if (name_size > kNameMax - kFixed) name_size = kNameMax - kFixed;
    char hex[17];
    std::uint64_t r = random_suffix();
    for (int i = 15; i >= 0; --i, r >>= 4) hex[i] = "0123456789abcdef"[r & 0xF];
    hex[16] = '\0';
    return out.assign(target.c_str(), base) &&
           out.append(kTemporaryPrefix, sizeof kTemporaryPrefix - 1) &&
           out.append(name, name_size) && out.append(".", 1) && out.append(hex, 16) &&
           out.append(kTemporarySuffix, sizeof kTemporarySuffix - 1);
}

/// Writes the changed part of the content into the open target itself. If that fails,
/// the bytes it overwrote and the old length are put back.
[[nodiscard]] int write_in_place(int fd, const struct stat& info, const char* data,
                                 std::size_t size, std::size_t unchanged_prefix,
                                 const Observer& observer) noexcept {
    const std::size_t old_size = static_cast<std::size_t>(info.st_size);
    std::size_t from = unchanged_prefix < size ? unchanged_prefix : size;
    if (from > old_size) from = old_size;
    Buffer saved;  // what lies past the unchanged prefix today
    if (old_size > from) {
        if (!saved.reserve(old_size - from)) return kNoMemory;
        while (saved.size() < old_size - from) {
            ssize_t n = ::pread(fd, saved.spare(), old_size - from - saved.size(),
                                static_cast<off_t>(from + saved.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno;
            if (n == 0) break;
            saved.grow(static_cast<std::size_t>(n));
        }
    }
    int error = unlocked(observer, [&] {
        int e = write_all(fd, data + from, size - from, static_cast<off_t>(from));
        if (e == 0 && size != old_size && ::ftruncate(fd, static_cast<off_t>(size)) < 0) {
            e = errno;
        }
        return e != 0 ? e : sync_file(fd);
    });
    if (error != 0) {
        // Best effort: the write's own error is what the caller must hear of.
        (void)write_all(fd, saved.data(), saved.size(), static_cast<off_t>(from));
        (void)::ftruncate(fd, static_cast<off_t>(from + saved.size()));
        (void)sync_file(fd);
    }
    return error;
}

/// Removes a temporary file, telling the observer first.
void remove_temporary(const PathText& name, const Observer& observer) noexcept {
    (void)notify(observer, Step::Remove, name.c_str());
    ::unlink(name.c_str());
}

}  // namespace

int probe(const char* path, Kind& kind) noexcept {
    struct stat info {};
    if (::stat(path, &info) < 0) {
        switch (errno) {
            case ENOENT:
            case ENOTDIR:
            case EBADF:
            case ELOOP:
                kind = Kind::Missing;
                return 0;
            default:
                return errno;
        }
    }
    kind = kind_of(info.st_mode);
    return 0;
}

int read_existing(const char* path, Buffer& out, const Observer& observer) noexcept {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; regular files ignore it.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    Descriptor fd(::open(path, flags));
    if (fd.get() < 0) {
        int error = errno;
        if (error == ENOENT || error == ENOTDIR || error == ELOOP || error == EBADF) return kMissing;
        Kind kind = Kind::Missing;
        if (error == ENXIO && probe(path, kind) == 0 && kind == Kind::Other) return kNotRegular;
        return error;
    }
    // Told once the file is known to be there, and before a byte of it is read: a path that
    // names nothing is only looked at, as an existence test does.
    if (notify(observer, Step::Open, path, nullptr, flags) < 0) return kRefused;
    struct stat info {};
    if (::fstat(fd.get(), &info) < 0) return errno;
    if (S_ISDIR(info.st_mode)) return EISDIR;
    if (!S_ISREG(info.st_mode)) return kNotRegular;

    Buffer buffer;
    const auto size = static_cast<std::size_t>(info.st_size);
    // One byte more than the size, so that a file which grew is seen to have grown.
    if (!buffer.reserve(size + 1)) return kNoMemory;
    auto read_rest = [&]() -> int {
        for (;;) {
            if (buffer.spare_size() == 0 && !buffer.reserve(buffer.size() * 2)) return kNoMemory;
            const std::size_t asked = buffer.spare_size();
            ssize_t n = ::read(fd.get(), buffer.spare(), asked);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if (n == 0) return 0;
            buffer.grow(static_cast<std::size_t>(n));
            // A short read that reaches the size stat gave is the end: no read just to see
            // it. (Files that report no size, as in /proc, are read until read() says so.)
            if (size > 0 && buffer.size() == size && static_cast<std::size_t>(n) < asked) return 0;
        }
    };
    int error = size >= kBlockingThreshold ? unlocked(observer, read_rest) : read_rest();
    if (error != 0) return error;
    out = std::move(buffer);
    return 0;
}

int make_directory(const char* path, const Observer& observer) noexcept {
    if (notify(observer, Step::MakeDirectory, path, nullptr, 0777) < 0) return kRefused;
    return ::mkdir(path, 0777) < 0 ? errno : 0;
}

int replace_contents(const char* path, const char* data, std::size_t size,
                     std::size_t unchanged_prefix, const Observer& observer) noexcept {
    PathText target;
    struct stat info {};
    bool exists = false;
    if (int error = resolve_links(path, target, info, exists); error != 0) return error;

    Descriptor target_fd;
    if (exists) {
        if (S_ISDIR(info.st_mode)) return EISDIR;
        // Never write to, or rename over, a device, FIFO or socket.
        if (!S_ISREG(info.st_mode)) return kNotRegular;
        // Opening it for writing asks the question the rewrite would ask: may this
        // process change this file? A read-only file stays refused.
        // Read access too, so an in-place write can keep what it overwrites; a file that
        // may be written but not read is still written.
        int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        if (notify(observer, Step::Open, target.c_str(), nullptr, flags) < 0) return kRefused;
        target_fd.reset(::open(target.c_str(), flags));
        if (target_fd.get() < 0 && errno == EACCES) {
            flags = (flags & ~O_RDWR) | O_WRONLY;
            target_fd.reset(::open(target.c_str(), flags));
        }
        if (target_fd.get() < 0) return errno;
        if (::fstat(target_fd.get(), &info) < 0) return errno;
        if (!S_ISREG(info.st_mode)) return kNotRegular;
        if (info.st_nlink > 1) {
            // Every name of the file must see the new text: no new file for this one.
            return write_in_place(target_fd.get(), info, data, size, unchanged_prefix, observer);
        }
    }

    PathText directory;
    PathText temporary;
    if (!directory_of(target, directory)) return ENAMETOOLONG;
    Descriptor temporary_fd;
    const int create_flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    for (int attempt = 0;; ++attempt) {
        if (!temporary_name(target, temporary)) return ENAMETOOLONG;
        if (notify(observer, Step::Open, temporary.c_str(), nullptr, create_flags) < 0) {
            return kRefused;
        }
        // 0666 less the umask, as open() gives a new file; an existing target's mode follows.
        temporary_fd.reset(::open(temporary.c_str(), create_flags, 0666));
        if (temporary_fd.get() >= 0) break;
        int error = errno;
        if (error == EEXIST && attempt < 100) continue;
        if (exists && (error == EACCES || error == EPERM || error == EROFS)) {
            // The directory takes no new file, but the file itself may be written.
            return write_in_place(target_fd.get(), info, data, size, unchanged_prefix, observer);
        }
        return error;
    }

    int error = 0;
    if (exists) {
        // Keep owner and group where this process may; then the mode (chown may clear
        // set-id bits, so it goes first).
        if (info.st_uid != ::geteuid() || info.st_gid != ::getegid()) {
            (void)::fchown(temporary_fd.get(), info.st_uid, info.st_gid);
        }
        if (::fchmod(temporary_fd.get(), info.st_mode & 07777) < 0) error = errno;
    }
    if (error == 0) {
        error = unlocked(observer, [&] {
            int e = write_all(temporary_fd.get(), data, size, -1);
            return e != 0 ? e : sync_file(temporary_fd.get());
        });
    }
    if (error == 0) error = temporary_fd.close();
    if (error == 0) {
        // The target may have changed kind while the new file was written.
        struct stat now {};
        if (::lstat(target.c_str(), &now) == 0 && !S_ISREG(now.st_mode)) {
            error = S_ISDIR(now.st_mode) ? EISDIR : kNotRegular;
        } else if (notify(observer, Step::Rename, temporary.c_str(), target.c_str()) < 0) {
            error = kRefused;
        } else if (::rename(temporary.c_str(), target.c_str()) < 0) {
            error = errno;
        }
    }
    if (error != 0) {
        temporary_fd.reset(-1);
        remove_temporary(temporary, observer);
        return error;
    }
    // The rename is done; a directory that cannot be flushed changes nothing of that.
    sync_directory(directory.c_str(), observer);
    return 0;
}

}  // namespace kestrix::support::files

#else  // not POSIX: callers take the path objects' own methods instead.

#include <cerrno>

namespace kestrix::support::files {
int probe(const char*, Kind&) noexcept { return ENOSYS; }
int read_existing(const char*, Buffer&, const Observer&) noexcept { return ENOSYS; }
int make_directory(const char*, const Observer&) noexcept { return ENOSYS; }
int replace_contents(const char*, const char*, std::size_t, std::size_t,
                     const Observer&) noexcept {
    return ENOSYS;
}
}  // namespace kestrix::support::files

#endif
