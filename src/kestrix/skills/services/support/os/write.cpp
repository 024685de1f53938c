#include "support/os/write.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "support/os/descriptor.h"
#include "support/os/location.h"
#include "support/os/metadata.h"
#include "support/os/raw_calls.h"
#include "support/os/temporary.h"

namespace kestrix::os {

namespace {

/// How long a writer waits for another writer of ours to finish with the file.
constexpr long kLockWaitMicroseconds = 10'000'000;

[[nodiscard]] bool same_file(const struct stat& info, const Identity& identity) noexcept {
    return info.st_dev == identity.device && info.st_ino == identity.inode;
}

[[nodiscard]] bool same_time(const struct timespec& a, const struct timespec& b) noexcept {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

/// 0 while the open file still holds what was read; kChanged otherwise. Its timestamps
/// tell when they can; the bytes themselves are compared when they cannot.
[[nodiscard]] int unchanged(int fd, const struct stat& info, const Expected& expected,
                            const Hooks& hooks) noexcept {
    const Identity& was = expected.identity;
    if (!same_file(info, was) || info.st_size != was.size ||
        static_cast<std::size_t>(info.st_size) != expected.bytes.size ||
        !same_time(info.st_mtim, was.modified) || !same_time(info.st_ctim, was.changed)) {
        return kChanged;
    }
    return was.settled ? 0 : holds_exactly(fd, expected.bytes, hooks);
}

/// Takes an exclusive lock on the whole file behind `fd`, waiting (with the caller's lock
/// let go) while another writer holds it. A file system without such locks is written
/// without them.
[[nodiscard]] int lock_exclusively(int fd, const Hooks& hooks) noexcept {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    long waited = 0;
    long pause = 1000;
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLK, &whole) == 0) return 0;
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EINVAL || error == ENOLCK || error == EOPNOTSUPP) return 0;
        if (error != EAGAIN && error != EACCES) return error;
        if (waited >= kLockWaitMicroseconds) return kBusy;
        (void)unlocked(hooks, [&] {
            const timespec nap{0, pause * 1000};
            return ::nanosleep(&nap, nullptr);
        });
        if (hooks.should_stop != nullptr && hooks.should_stop(hooks.context) != 0) return kRefused;
        waited += pause;
        pause = pause * 2 < 50'000 ? pause * 2 : 50'000;
    }
}

/// 0 while the name still stands for the file `info` describes; kChanged otherwise.
[[nodiscard]] int still_named(const Location& where, const struct stat& info) noexcept {
    struct stat now {};
    if (::fstatat(where.folder.get(), where.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) < 0) {
        return errno == ENOENT ? kChanged : errno;
    }
    return now.st_dev == info.st_dev && now.st_ino == info.st_ino ? 0 : kChanged;
}

/// Flushes the folder's entries after a rename; some file systems cannot, which changes
/// nothing of the rename.
void sync_folder(int folder, const Hooks& hooks) noexcept {
    Descriptor fd(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) (void)unlocked(hooks, [&] { return sync_file(fd.get()); });
}

[[nodiscard]] int synced(int error, int fd, const Hooks& hooks) noexcept {
    return error != 0 ? error : unlocked(hooks, [&] { return sync_file(fd); });
}

/// Writes the new content into the file itself. Its old bytes are `old`, checked under the
/// lock, so a failure can put them back without having saved them.
[[nodiscard]] int write_in_place(int fd, Bytes old, Bytes head, Bytes tail, bool& write_error,
                                 const Hooks& hooks) noexcept {
    int error = 0;
    if (head.data == old.data && head.size == old.size) {
        // An append: nothing before the old end is touched, and the file never grows past
        // old plus tail, so no other writer's change can be stretched or undone.
        error = synced(write_at(fd, static_cast<off_t>(old.size), &tail, 1, hooks), fd, hooks);
        if (error != 0) {
            (void)::ftruncate(fd, static_cast<off_t>(old.size));
            (void)sync_file(fd);
        }
    } else {
        std::size_t keep = 0;
        const std::size_t new_size = head.size + tail.size;
        while (keep < old.size && keep < new_size &&
               old.data[keep] ==
                   (keep < head.size ? head.data[keep] : tail.data[keep - head.size])) {
            ++keep;
        }
        Bytes rest[2];
        std::size_t count = 0;
        if (keep < head.size) rest[count++] = Bytes{head.data + keep, head.size - keep};
        const std::size_t tail_from = keep > head.size ? keep - head.size : 0;
        rest[count++] = Bytes{tail.data + tail_from, tail.size - tail_from};
        error = write_at(fd, static_cast<off_t>(keep), rest, count, hooks);
        if (error == 0 && new_size < old.size &&
            ::ftruncate(fd, static_cast<off_t>(new_size)) < 0) {
            error = errno;
        }
        error = synced(error, fd, hooks);
        if (error != 0) {
            // Best effort: the write's own error is what the caller must hear of.
            Bytes back{old.data + keep, old.size - keep};
            (void)write_at(fd, static_cast<off_t>(keep), &back, 1, Hooks{});
            (void)::ftruncate(fd, static_cast<off_t>(old.size));
            (void)sync_file(fd);
        }
    }
    write_error = error > 0;
    return error;
}

/// Fills a new temporary file with `head + tail` and flushes it.
[[nodiscard]] int fill(TemporaryFile& file, Bytes head, Bytes tail, bool& write_error,
                       const Hooks& hooks) noexcept {
    Bytes pieces[] = {head, tail};
    int error = synced(write_at(file.fd(), 0, pieces, 2, hooks), file.fd(), hooks);
    write_error = error > 0;
    return error;
}

/// Replaces the open file `fd` (lstat `info`) by a new one through a rename. Sets
/// `in_place` and answers 0 when the new file could not be the old one in every respect.
[[nodiscard]] int replace(const Location& where, int fd, const struct stat& info, Bytes head,
                          Bytes tail, bool& write_error, bool& in_place,
                          const Hooks& hooks) noexcept {
    TemporaryFile file;
    int error = file.create(where.folder.get(), where.folder_text, where.name.c_str(), hooks);
    if (error == EACCES || error == EPERM || error == EROFS) {
        in_place = true;  // the folder takes no new file, but the file itself may be written
        return 0;
    }
    if (error != 0) return error;
    if (copy_owner_and_attributes(fd, info, file.fd()) != 0) {
        in_place = true;
        return 0;
    }
    if ((error = fill(file, head, tail, write_error, hooks)) != 0) return error;
    if (set_mode_exactly(file.fd(), info.st_mode) != 0) {
        in_place = true;
        return 0;
    }
    if ((error = file.close()) != 0) {
        write_error = true;
        return error;
    }
    if ((error = still_named(where, info)) != 0) return error;
    Text target;
    if (!where.full_text(target)) return kNoMemory;
    if (announce(hooks, Step::Rename, file.text(), target.c_str()) != 0) return kRefused;
    if (::renameat(where.folder.get(), file.name(), where.folder.get(), where.name.c_str()) < 0) {
        error = errno;
        if (error == EPERM || error == EACCES) {
            // A sticky folder lets us write another user's file but not replace it.
            in_place = true;
            return 0;
        }
        return error;
    }
    file.handed_over();
    sync_folder(where.folder.get(), hooks);
    return 0;
}

/// Makes the file, which does not exist, through a temporary file: a crash never leaves a
/// half-written one under its name, and a file that appears meanwhile is never replaced.
[[nodiscard]] int create(const Location& where, Bytes head, Bytes tail, bool& write_error,
                         const Hooks& hooks) noexcept {
    TemporaryFile file;
    int error = file.create(where.folder.get(), where.folder_text, where.name.c_str(), hooks);
    if (error != 0) return error;
    if ((error = fill(file, head, tail, write_error, hooks)) != 0) return error;
    if (::fchmod(file.fd(), new_file_mode()) < 0) return errno;
    if ((error = file.close()) != 0) {
        write_error = true;
        return error;
    }
    Text target;
    if (!where.full_text(target)) return kNoMemory;
    if (announce(hooks, Step::Rename, file.text(), target.c_str()) != 0) return kRefused;
    const int folder = where.folder.get();
    const char* name = where.name.c_str();
    if (raw::renameat2(folder, file.name(), folder, name, raw::kRenameNoreplace) < 0) {
        error = errno;
        if (error == EEXIST) return kChanged;
        if (error != EINVAL && error != ENOSYS) return error;
        // No such rename on this file system: a hard link does not replace either.
        if (::linkat(folder, file.name(), folder, name, 0) < 0) {
            return errno == EEXIST ? kChanged : errno;
        }
        // The link is the file now; the temporary name goes.
        ::unlinkat(folder, file.name(), 0);
    }
    file.handed_over();
    sync_folder(folder, hooks);
    return 0;
}

}  // namespace

int write_whole_file(const char* path, const Expected& expected, Bytes head, Bytes tail,
                     bool& write_error, const Hooks& hooks) noexcept {
    write_error = false;
    // Told before anything is made or changed, as opening the file for writing would be.
    if (announce(hooks, Step::Write, path, nullptr, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC) !=
        0) {
        return kRefused;
    }
    Location where;
    if (int error = locate(path, where); error != 0) return error;
    // open(O_CREAT) of "name/" says EISDIR, whatever stands at "name".
    if (where.must_be_folder) return EISDIR;
    if (!where.exists) {
        if (expected.identity.exists) return kChanged;
        if (!where.folder.valid()) return where.folder_error;
        return create(where, head, tail, write_error, hooks);
    }
    const mode_t kind = where.info.st_mode & S_IFMT;
    if (kind == S_IFDIR) return EISDIR;
    if (kind == S_IFSOCK) return ENXIO;
    if (kind != S_IFREG) return kNotRegular;
    if (!expected.identity.exists || !same_file(where.info, expected.identity)) return kChanged;

    Descriptor fd(::openat(where.folder.get(), where.name.c_str(),
                           O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) return errno == ELOOP || errno == ENOENT ? kChanged : errno;
    struct stat info {};
    if (::fstat(fd.get(), &info) < 0) return errno;
    if (!S_ISREG(info.st_mode)) return kNotRegular;
    if (!same_file(info, expected.identity)) return kChanged;
    if (int error = lock_exclusively(fd.get(), hooks); error != 0) return error;
    // Under the lock: another writer may have replaced or changed it while we waited.
    if (int error = still_named(where, info); error != 0) return error;
    if (::fstat(fd.get(), &info) < 0) return errno;
    if (int error = unchanged(fd.get(), info, expected, hooks); error != 0) return error;

    bool in_place = info.st_nlink != 1;  // every name of the file must see the new text
    if (!in_place) {
        int error = replace(where, fd.get(), info, head, tail, write_error, in_place, hooks);
        if (error != 0 || !in_place) return error;
    }
    return write_in_place(fd.get(), expected.bytes, head, tail, write_error, hooks);
}

}  // namespace kestrix::os
