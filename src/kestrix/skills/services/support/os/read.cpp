#include "support/os/read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "support/os/descriptor.h"
#include "support/os/io.h"
#include "support/os/journal.h"
#include "support/os/location.h"
#include "support/os/lock.h"
#include "support/os/platform.h"

namespace kestrix::os {

namespace {

/// Attempts at reading a name that keeps turning into a link under our feet.
constexpr int kAttempts = 8;
/// Reads of a file that keeps changing while it is read; the last one is taken as it is.
constexpr int kReadings = 4;

[[nodiscard]] Identity identity_of(const struct stat& info) noexcept {
    return Identity{true,
                    info.st_dev,
                    info.st_ino,
                    info.st_size,
                    platform::modified_time(info),
                    platform::changed_time(info)};
}

/// Opens the regular file that `path` leads to, as read_whole_file describes, into `fd`
/// with its fstat in `info`; 0 with `fd` not open when nothing is there.
[[nodiscard]] int open_regular_file(const char* path, Descriptor& fd, struct stat& info,
                                    ReadStage& stage, const Hooks& hooks,
                                    bool written_by_us) noexcept {
    if (int error = written_by_us ? recover_beside(path, hooks) : 0; error != 0) {
        stage = ReadStage::Read;
        return error;
    }
    // O_NONBLOCK: should the name turn into a FIFO meanwhile, opening it must not wait.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        fd.reset(-1);
        struct stat first {};
        const int looked =
            attempt == 0 ? ::fstatat(AT_FDCWD, path, &first, AT_SYMLINK_NOFOLLOW) : -1;
        if (looked < 0 && attempt == 0 && (errno == ENOENT || errno == ENOTDIR)) return 0;
        if (looked == 0 && S_ISREG(first.st_mode)) {
            // The common case, a regular file and no link at its end: the kernel finds it,
            // and the folders on the way are the ones it finds for any open().
            if (announce(hooks, Step::Read, path, nullptr, O_RDONLY | O_CLOEXEC) != 0)
                return kRefused;
            stage = ReadStage::Read;
            int error = 0;
            fd.reset(open_past_leases(AT_FDCWD, path, flags, hooks, error));
            if (!fd.valid()) {
                if (error == ELOOP || error == ENOENT) continue;  // swapped since: look again
                return error;
            }
        } else {
            stage = ReadStage::Test;
            Location where;
            int error = locate(path, where);
            if (error == ELOOP) return 0;  // an existence test says "not there"
            // The link led elsewhere: a journal would stand beside the file it leads to.
            if (error == 0 && written_by_us && where.exists &&
                journaled(where.folder.get(), where.name.c_str(), hooks)) {
                error = recover_from_journal(where.folder.get(), where.name.c_str(), hooks);
            }
            if (error == kProtectedLink) {
                stage = ReadStage::Read;  // the kernel refuses the open, not the look
                return error;
            }
            if (error != 0) return error;
            if (!where.exists) return 0;
            const mode_t kind = where.info.st_mode & S_IFMT;
            if (where.must_be_folder && kind != S_IFDIR) return 0;
            stage = ReadStage::Read;
            if (kind == S_IFDIR) return EISDIR;
            if (kind == S_IFSOCK) return ENXIO;
            if (kind != S_IFREG) return kNotRegular;  // never opened: opening a device may act
            if (announce(hooks, Step::Read, path, nullptr, O_RDONLY | O_CLOEXEC) != 0)
                return kRefused;
            fd.reset(open_past_leases(where.folder.get(), where.name.c_str(), flags, hooks, error));
            if (!fd.valid()) {
                if (error == ELOOP || error == ENOENT) continue;  // swapped since: look again
                return error;
            }
        }
        if (::fstat(fd.get(), &info) < 0) return errno;
        if (S_ISDIR(info.st_mode)) return EISDIR;
        if (!S_ISREG(info.st_mode)) return kNotRegular;
        return 0;
    }
    stage = ReadStage::Read;
    return ELOOP;
}

[[nodiscard]] bool same_time(const struct timespec& a, const struct timespec& b) noexcept {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

/// Whether the open file's fstat `after` says it held still since `before`.
[[nodiscard]] bool held_still(const struct stat& before, const struct stat& after) noexcept {
    return before.st_size == after.st_size &&
           same_time(platform::modified_time(before), platform::modified_time(after)) &&
           same_time(platform::changed_time(before), platform::changed_time(after));
}

}  // namespace

int read_whole_file(const char* path, Buffer& out, Identity& found, ReadStage& stage,
                    const Hooks& hooks, bool written_by_us) noexcept {
    found = Identity{};
    Descriptor fd;
    struct stat info {};
    if (int error = open_regular_file(path, fd, info, stage, hooks, written_by_us);
        error != 0 || !fd.valid()) {
        return error;
    }
    Buffer bytes;
    const auto size = static_cast<std::size_t>(info.st_size);
    // One byte more than the size, so that a file which grew is seen to have grown.
    if (!bytes.reserve(size + 1)) return kNoMemory;
    int error = read_to_end(fd.get(), size, bytes, hooks);
    if (error == ENOMEM) return kNoMemory;
    if (error != 0) return error;
    out = static_cast<Buffer&&>(bytes);
    found = identity_of(info);
    return 0;
}

int read_whole_file(const char* path, Sink& out, std::size_t& size, Identity& found,
                    ReadStage& stage, const Hooks& hooks, bool written_by_us) noexcept {
    found = Identity{};
    size = 0;
    Descriptor fd;
    struct stat info {};
    if (int error = open_regular_file(path, fd, info, stage, hooks, written_by_us);
        error != 0 || !fd.valid()) {
        return error;
    }
    for (int attempt = 1;; ++attempt) {
        const auto expected = static_cast<std::size_t>(info.st_size);
        // One byte more than the size, so that a file which grew is seen to have grown.
        std::size_t room = expected + 1;
        char* memory = out.room(room, 0);
        std::size_t got = 0;
        for (;;) {
            if (memory == nullptr) return kNoMemory;
            if (int error = read_into(fd.get(), memory, room, expected, got, hooks); error != 0) {
                return error;
            }
            if (got < room) break;
            if (room > SIZE_MAX / 2) return kNoMemory;
            room *= 2;
            memory = out.room(room, got);
        }
        struct stat after {};
        if (::fstat(fd.get(), &after) < 0) return errno;
        if ((got == expected && held_still(info, after)) || attempt == kReadings) {
            size = got;
            found = identity_of(info);
            return 0;
        }
        info = after;
    }
}

int compare_whole_file(const char* path, Bytes bytes, Identity& found, ReadStage& stage,
                       const Hooks& hooks, bool written_by_us) noexcept {
    found = Identity{};
    Descriptor fd;
    struct stat info {};
    if (int error = open_regular_file(path, fd, info, stage, hooks, written_by_us);
        error != 0 || !fd.valid()) {
        return error;
    }
    found = identity_of(info);
    // Another size is other bytes: nothing to read.
    if (static_cast<std::size_t>(info.st_size) != bytes.size) return kChanged;
    return holds_exactly(fd.get(), bytes, hooks);
}

}  // namespace kestrix::os
