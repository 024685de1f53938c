#include "support/os/write.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "support/os/descriptor.h"
#include "support/os/journal.h"
#include "support/os/location.h"
#include "support/os/lock.h"
#include "support/os/metadata.h"
#include "support/os/planted_link.h"
#include "support/os/platform.h"
#include "support/os/temporary.h"

namespace kestrix::os {

namespace {

[[nodiscard]] bool same_file(const struct stat& info, const Identity& identity) noexcept {
    return info.st_dev == identity.device && info.st_ino == identity.inode;
}

[[nodiscard]] bool same_time(const struct timespec& a, const struct timespec& b) noexcept {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

/// Timestamps tell a change apart only once they have moved on from it: a file whose last
/// change is this recent, by the file system's own clock, has its bytes compared.
constexpr long kSettledSeconds = 2;

/// 0 while the open file (fstat `info`) still holds what was read; kChanged otherwise.
/// Its timestamps tell when the file had settled by `now`, a time of the file system's
/// own clock; otherwise (or with no such time) the bytes themselves are compared.
[[nodiscard]] int unchanged(int fd, const struct stat& info, const Expected& expected,
                            const struct timespec* now, const Hooks& hooks) noexcept {
    const Identity& was = expected.identity;
    if (!same_file(info, was) || info.st_size != was.size ||
        static_cast<std::size_t>(info.st_size) != expected.bytes.size ||
        !same_time(platform::modified_time(info), was.modified) ||
        !same_time(platform::changed_time(info), was.changed)) {
        return kChanged;
    }
    const bool settled = now != nullptr && now->tv_sec - was.changed.tv_sec > kSettledSeconds;
    return settled ? 0 : holds_exactly(fd, expected.bytes, hooks);
}

/// The same, cheaply: only what fstat tells (the bytes are compared later, before the
/// point of no return).
[[nodiscard]] bool looks_unchanged(const struct stat& info, const Expected& expected) noexcept {
    const Identity& was = expected.identity;
    return same_file(info, was) && info.st_size == was.size &&
           static_cast<std::size_t>(info.st_size) == expected.bytes.size &&
           same_time(platform::modified_time(info), was.modified) &&
           same_time(platform::changed_time(info), was.changed);
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

/// Appends `tail` to the file itself, at its end as it is when each piece goes: bytes that
/// another program added since the check are kept, before the block. On failure only our
/// own bytes are taken away, and only while nothing follows them.
[[nodiscard]] int append_in_place(int fd, Bytes tail, bool& write_error,
                                  const Hooks& hooks) noexcept {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_APPEND) < 0) return errno;
    off_t start = -1;
    std::size_t written = 0;
    int error = synced(append_at_end(fd, tail, start, written, hooks), fd, hooks);
    if (error != 0 && written > 0 && start >= 0) {
        struct stat now {};
        if (::fstat(fd, &now) == 0 && now.st_size == start + static_cast<off_t>(written)) {
            (void)::ftruncate(fd, start);
            (void)sync_file(fd);
        }
    }
    write_error = error > 0;
    return error;
}

/// Writes the new content into the file itself from the first byte that differs. What it
/// overwrites is journaled first, so a kill at any point leaves something the next read
/// puts back; a failure puts the old bytes back at once.
[[nodiscard]] int rewrite_in_place(const Location& where, int fd, const struct stat& info,
                                   Bytes old, Bytes head, Bytes tail, bool& write_error,
                                   const Hooks& hooks) noexcept {
    std::size_t keep = 0;
    const std::size_t new_size = head.size + tail.size;
    while (keep < old.size && keep < new_size &&
           old.data[keep] == (keep < head.size ? head.data[keep] : tail.data[keep - head.size])) {
        ++keep;
    }
    Bytes rest[2];
    std::size_t count = 0;
    if (keep < head.size) rest[count++] = Bytes{head.data + keep, head.size - keep};
    const std::size_t tail_from = keep > head.size ? keep - head.size : 0;
    rest[count++] = Bytes{tail.data + tail_from, tail.size - tail_from};
    const Bytes old_rest{old.data + keep, old.size - keep};

    Journal journal;
    if (int error = journal.begin(where.folder.get(), where.folder_text, where.name.c_str(), info,
                                  keep, old_rest, rest, count, hooks);
        error != 0) {
        return error;
    }
    int error = write_at(fd, static_cast<off_t>(keep), rest, count, hooks);
    if (error == 0 && new_size < old.size && ::ftruncate(fd, static_cast<off_t>(new_size)) < 0) {
        error = errno;
    }
    error = synced(error, fd, hooks);
    if (error != 0) {
        // The write's own error is what the caller must hear of; should putting the old
        // bytes back fail too, the journal stays for the next read to finish it.
        Bytes back = old_rest;
        int undo = write_at(fd, static_cast<off_t>(keep), &back, 1, Hooks{});
        if (undo == 0 && ::ftruncate(fd, static_cast<off_t>(old.size)) < 0) undo = errno;
        if (undo == 0) undo = sync_file(fd);
        if (undo != 0) {
            write_error = error > 0;
            return error;
        }
    }
    journal.end();
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

/// Makes the private new file for a replacement: unnamed where the file system allows it
/// (nothing of the user's text outlives a kill), else named and private.
[[nodiscard]] int make_temporary(TemporaryFile& file, const Location& where, mode_t mode,
                                 const Hooks& hooks) noexcept {
    int error =
        file.create_unnamed(where.folder.get(), where.folder_text, where.name.c_str(), mode, hooks);
    if (error != EOPNOTSUPP) return error;
    return file.create(where.folder.get(), where.folder_text, where.name.c_str(), mode, hooks);
}

/// Rename errors that mean "not here" rather than "not at all": the file itself may still
/// be written in place. A sticky folder lets us write another user's file but not replace
/// it; a file mounted on its own (a container's bind mount) or on another file system
/// cannot be renamed over.
[[nodiscard]] bool write_in_place_instead(int error) noexcept {
    return error == EPERM || error == EACCES || error == EBUSY || error == EXDEV || error == EINVAL;
}

/// Replaces the open file `fd` (fstat `info`, taken under the lock) by a new one through a
/// rename. Sets `in_place` and answers 0 when the new file could not be the old one in
/// every respect.
[[nodiscard]] int replace(const Location& where, int fd, const struct stat& info,
                          const Expected& expected, Bytes head, Bytes tail, bool& write_error,
                          bool& in_place, const Hooks& hooks) noexcept {
    TemporaryFile file;
    int error = make_temporary(file, where, 0600, hooks);
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
    // The new file's change time is the file system's clock, which may not be ours.
    struct stat made {};
    if (::fstat(file.fd(), &made) < 0) return errno;
    if (!file.named() && (error = file.name_it()) != 0) return error;
    if ((error = file.close()) != 0) {
        write_error = true;
        return error;
    }
    Text target;
    if (!where.full_text(target)) return kNoMemory;
    if (announce(hooks, Step::Rename, file.text(), target.c_str()) != 0) return kRefused;
    // Last look before the point of no return: still the file read, holding what was read
    // (an edit made in place while the new file was flushed is not lost).
    if ((error = still_named(where, info)) != 0) return error;
    struct stat now {};
    if (::fstat(fd, &now) < 0) return errno;
    const timespec file_system_now = platform::changed_time(made);
    if ((error = unchanged(fd, now, expected, &file_system_now, hooks)) != 0) return error;
    if (::renameat(where.folder.get(), file.name(), where.folder.get(), where.name.c_str()) < 0) {
        error = errno;
        if (write_in_place_instead(error)) {
            in_place = true;
            return 0;
        }
        return error;
    }
    file.handed_over();
    sync_folder(where.folder.get(), hooks);
    return 0;
}

/// Where neither a no-replace rename nor a hard link exists (FAT, some FUSE file systems):
/// the file is made under its own name, exclusively, and written under the lock, so a
/// file that appeared meanwhile is still never replaced. What a failure leaves is removed.
[[nodiscard]] int create_exclusively(const Location& where, Bytes head, Bytes tail,
                                     bool& write_error, const Hooks& hooks) noexcept {
    const int folder = where.folder.get();
    Descriptor fd(::openat(folder, where.name.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666));
    if (!fd.valid()) return errno == EEXIST ? kChanged : errno;
    int error = 0;
    {
        FileLock lock;
        error = lock.acquire(fd.get(), hooks);
        Bytes pieces[] = {head, tail};
        if (error == 0) {
            error = synced(write_at(fd.get(), 0, pieces, 2, hooks), fd.get(), hooks);
            write_error = error > 0;
        }
        if (error != 0) {
            Text target;
            if (where.full_text(target)) (void)announce(hooks, Step::Remove, target.c_str());
            (void)::unlinkat(folder, where.name.c_str(), 0);
        }
    }
    if (error == 0 && (error = fd.close()) != 0) write_error = true;
    if (error == 0) sync_folder(folder, hooks);
    return error;
}

/// Makes the file, which does not exist, through a temporary file: a crash never leaves a
/// half-written one under its name, and a file that appears meanwhile is never replaced.
/// It is asked for as open(O_CREAT, 0666) asks, so it gets the mode and ACL that open()
/// would give it in that folder (the umask of the calling thread, the folder's default
/// ACL): its content is all new, nothing of anyone's to keep private.
[[nodiscard]] int create(const Location& where, Bytes head, Bytes tail, bool& write_error,
                         const Hooks& hooks) noexcept {
    TemporaryFile file;
    int error = make_temporary(file, where, 0666, hooks);
    if (error != 0) return error;
    if ((error = fill(file, head, tail, write_error, hooks)) != 0) return error;
    Text target;
    if (!where.full_text(target)) return kNoMemory;
    const int folder = where.folder.get();
    if (!file.named()) {
        // A name given to a file that had none never replaces one.
        error = file.link_as(where.name.c_str(), target.c_str());
        if (error == EEXIST) return kChanged;
        if (error == 0) {
            sync_folder(folder, hooks);
            return 0;
        }
        if (error != EPERM && error != EOPNOTSUPP && error != ENOENT) return error;
        return create_exclusively(where, head, tail, write_error, hooks);
    }
    if ((error = file.close()) != 0) {
        write_error = true;
        return error;
    }
    if (announce(hooks, Step::Rename, file.text(), target.c_str()) != 0) return kRefused;
    if (platform::rename_no_replace(folder, file.name(), folder, where.name.c_str()) < 0) {
        error = errno;
        if (error == EEXIST) return kChanged;
        if (error != EINVAL && error != ENOSYS && error != ENOTSUP) return error;
        // No such rename on this file system: a hard link does not replace either.
        if (::linkat(folder, file.name(), folder, where.name.c_str(), 0) < 0) {
            error = errno;
            if (error == EEXIST) return kChanged;
            if (error != EPERM && error != EOPNOTSUPP && error != ENOSYS && error != EMLINK) {
                return error;
            }
            file.remove();
            return create_exclusively(where, head, tail, write_error, hooks);
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

    int open_error = 0;
    Descriptor fd(open_past_leases(where.folder.get(), where.name.c_str(),
                                   O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, hooks,
                                   open_error));
    if (!fd.valid()) {
        return open_error == ELOOP || open_error == ENOENT ? kChanged : open_error;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) < 0) return errno;
    if (!S_ISREG(info.st_mode)) return kNotRegular;
    if (!same_file(info, expected.identity)) return kChanged;
    if (int error = check_planted_link(where.folder.get(), fd.get(), info); error != 0) {
        return error;
    }
    FileLock lock;
    if (int error = lock.acquire(fd.get(), hooks); error != 0) return error;
    // Under the lock: another writer may have replaced or changed it while we waited.
    if (int error = still_named(where, info); error != 0) return error;
    if (::fstat(fd.get(), &info) < 0) return errno;
    if (!looks_unchanged(info, expected)) return kChanged;

    // Every name of the file must see the new text; a file mounted on its own name (or
    // from another file system) cannot be renamed over.
    struct stat folder_info {};
    bool in_place = info.st_nlink != 1 || (::fstat(where.folder.get(), &folder_info) == 0 &&
                                           folder_info.st_dev != info.st_dev);
    if (!in_place) {
        int error =
            replace(where, fd.get(), info, expected, head, tail, write_error, in_place, hooks);
        if (error != 0 || !in_place) return error;
    }
    // In place, with no clock of the file system's at hand: its bytes tell.
    if (int error = unchanged(fd.get(), info, expected, nullptr, hooks); error != 0) return error;
    if (head.data == expected.bytes.data && head.size == expected.bytes.size) {
        return append_in_place(fd.get(), tail, write_error, hooks);
    }
    return rewrite_in_place(where, fd.get(), info, expected.bytes, head, tail, write_error, hooks);
}

}  // namespace kestrix::os
