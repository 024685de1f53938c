#include "support/os/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "support/os/descriptor.h"
#include "support/os/location.h"
#include "support/os/lock.h"

namespace kestrix::os {

namespace {

constexpr char kMagic[8] = {'K', 'X', 'J', 'R', 'N', 'L', '0', '1'};
constexpr std::size_t kNameMax = 255;

/// What comes first in a journal; the bytes follow: old_size - keep old ones, then
/// new_size - keep new ones.
struct Header {
    char magic[8];
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t keep;
    std::uint64_t old_size;
    std::uint64_t new_size;
    std::uint64_t check;  ///< of everything after this field
};

/// A quick checksum: it tells a journal cut short by a crash (zeros, a missing end) from a
/// whole one, nothing more.
class Checksum {
 public:
    void add(const char* data, std::size_t size) noexcept {
        for (std::size_t i = 0; i < size; ++i) {
            h_ ^= static_cast<unsigned char>(data[i]);
            h_ *= 0x100000001B3u;
        }
    }
    [[nodiscard]] std::uint64_t value() const noexcept { return h_; }

 private:
    std::uint64_t h_ = 0xCBF29CE484222325u;
};

[[nodiscard]] std::uint64_t checksum_of(const Header& header, const Bytes* pieces,
                                        std::size_t count) noexcept {
    Checksum sum;
    sum.add(reinterpret_cast<const char*>(&header.device),
            offsetof(Header, check) - offsetof(Header, device));
    for (std::size_t i = 0; i < count; ++i) sum.add(pieces[i].data, pieces[i].size);
    return sum.value();
}

void sync_folder(int folder) noexcept {
    Descriptor fd(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) (void)sync_file(fd.get());
}

[[nodiscard]] std::size_t common_prefix(const char* a, std::size_t a_size, const char* b,
                                        std::size_t b_size) noexcept {
    std::size_t n = 0;
    const std::size_t limit = a_size < b_size ? a_size : b_size;
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

/// Puts the old bytes back into the open file `fd`, if it is a mix of old and new.
/// 0 when it was put back or needs nothing; an errno.
[[nodiscard]] int put_back(int fd, const struct stat& info, const Header& header, Bytes old_rest,
                           Bytes new_rest, const Hooks& hooks) noexcept {
    if (static_cast<std::uint64_t>(info.st_size) < header.keep) return 0;  // not ours to mend
    const auto now_size = static_cast<std::size_t>(info.st_size) - header.keep;
    Buffer now;
    if (!now.reserve(now_size + 1)) return ENOMEM;
    if (::lseek(fd, static_cast<off_t>(header.keep), SEEK_SET) < 0) return errno;
    if (int error = read_to_end(fd, now_size, now, Hooks{}); error != 0) return error;
    const std::size_t k = common_prefix(now.data(), now.size(), new_rest.data, new_rest.size);
    if (k == new_rest.size && now.size() == new_rest.size) return 0;  // the change was whole
    // A cut-short change is the new bytes up to some point, then the old ones.
    const std::size_t expected_size = old_rest.size > k ? old_rest.size : k;
    if (now.size() != expected_size ||
        (now.size() > k && std::memcmp(now.data() + k, old_rest.data + k, now.size() - k) != 0)) {
        return 0;  // changed by someone since: theirs now
    }
    int error = write_at(fd, static_cast<off_t>(header.keep), &old_rest, 1, hooks);
    if (error == 0 && ::ftruncate(fd, static_cast<off_t>(header.keep + old_rest.size)) < 0) {
        error = errno;
    }
    return error != 0 ? error : sync_file(fd);
}

}  // namespace

/// Whether a journal stands beside `name` in `folder` (AT_FDCWD: `name` is a path).
bool journaled(int folder, const char* name, const Hooks& hooks) noexcept {
    // On every read's way: built on the stack, one look, nothing allocated.
    const char* slash = std::strrchr(name, '/');
    const char* base = slash != nullptr ? slash + 1 : name;
    if (*base == '\0') return false;
    const char* prefix = hooks.temporary_prefix != nullptr ? hooks.temporary_prefix : "";
    const std::size_t prefix_size = std::strlen(prefix);
    const std::size_t fixed = prefix_size + sizeof kJournalSuffix - 1;
    std::size_t base_size = std::strlen(base);
    if (fixed < kNameMax && base_size > kNameMax - fixed) base_size = kNameMax - fixed;
    const auto folder_size = static_cast<std::size_t>(base - name);
    char path[PATH_MAX + kNameMax + 1];
    if (folder_size + fixed + base_size >= sizeof path) return false;  // no open() takes it
    char* at = path;
    std::memcpy(at, name, folder_size);
    at += folder_size;
    std::memcpy(at, prefix, prefix_size);
    at += prefix_size;
    std::memcpy(at, base, base_size);
    at += base_size;
    std::memcpy(at, kJournalSuffix, sizeof kJournalSuffix);
    struct stat info {};
    return ::fstatat(folder, path, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

int recover_beside(const char* path, const Hooks& hooks) noexcept {
    if (!journaled(AT_FDCWD, path, hooks)) return 0;
    Location where;
    if (locate(path, where) != 0 || !where.folder.valid()) return 0;
    return recover_from_journal(where.folder.get(), where.name.c_str(), hooks);
}

bool journal_name(const char* name, const Hooks& hooks, Text& out) noexcept {
    const char* prefix = hooks.temporary_prefix != nullptr ? hooks.temporary_prefix : "";
    const std::size_t fixed = std::strlen(prefix) + sizeof kJournalSuffix - 1;
    std::size_t name_size = std::strlen(name);
    if (fixed < kNameMax && name_size > kNameMax - fixed) name_size = kNameMax - fixed;
    return out.assign(prefix) && out.append(name, name_size) && out.append(kJournalSuffix);
}

int Journal::begin(int folder, const Text& folder_text, const char* name, const struct stat& info,
                   std::size_t keep, Bytes old_rest, const Bytes* new_rest, std::size_t count,
                   const Hooks& hooks) noexcept {
    if (!journal_name(name, hooks, name_)) return ENOMEM;
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.device = static_cast<std::uint64_t>(info.st_dev);
    header.inode = static_cast<std::uint64_t>(info.st_ino);
    header.keep = keep;
    header.old_size = keep + old_rest.size;
    std::size_t new_size = keep;
    for (std::size_t i = 0; i < count; ++i) new_size += new_rest[i].size;
    header.new_size = new_size;
    Bytes pieces[4] = {Bytes{reinterpret_cast<const char*>(&header), sizeof header}, old_rest};
    std::size_t used = 2;
    for (std::size_t i = 0; i < count && used < 4; ++i) pieces[used++] = new_rest[i];
    header.check = checksum_of(header, pieces + 1, used - 1);

    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    // Told as the new file it is; a hook may refuse it, and nothing of the file is touched.
    Text text;
    if (!text.assign(folder_text.c_str(), folder_text.size()) || !text.append("/", 1) ||
        !text.append(name_.c_str(), name_.size())) {
        return ENOMEM;
    }
    if (announce(hooks, Step::Temporary, text.c_str(), nullptr, flags) != 0) return kRefused;
    Descriptor fd(::openat(folder, name_.c_str(), flags, 0600));
    if (!fd.valid() && errno == EEXIST) {
        // One left by a change that recovery has found no use for: it holds nothing now.
        (void)::unlinkat(folder, name_.c_str(), 0);
        fd.reset(::openat(folder, name_.c_str(), flags, 0600));
    }
    if (!fd.valid()) return errno;
    folder_ = folder;
    int error = write_at(fd.get(), 0, pieces, used, hooks);
    if (error == 0) error = sync_file(fd.get());
    if (error == 0) error = fd.close();
    if (error != 0) {
        end();
        return error;
    }
    sync_folder(folder);  // its name must last before the file's first byte changes
    return 0;
}

void Journal::end() noexcept {
    if (folder_ < 0) return;
    (void)::unlinkat(folder_, name_.c_str(), 0);
    folder_ = -1;
}

int recover_from_journal(int folder, const char* name, const Hooks& hooks) noexcept {
    Text journal;
    if (!journal_name(name, hooks, journal)) return ENOMEM;
    Descriptor fd(::openat(folder, journal.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) return 0;  // none (or not one we may read: not ours)
    struct stat seen {};
    // Only a journal this user made, private and with one name, is trusted with the file.
    if (::fstat(fd.get(), &seen) < 0 || !S_ISREG(seen.st_mode) || seen.st_uid != ::geteuid() ||
        seen.st_nlink != 1 || (seen.st_mode & 077) != 0) {
        return 0;
    }
    Buffer bytes;
    const auto size = static_cast<std::size_t>(seen.st_size);
    if (!bytes.reserve(size + 1)) return ENOMEM;
    if (int error = read_to_end(fd.get(), size, bytes, Hooks{}); error != 0) return error;
    fd.reset(-1);
    Header header{};
    bool whole = bytes.size() >= sizeof header;
    Bytes old_rest{};
    Bytes new_rest{};
    if (whole) {
        std::memcpy(&header, bytes.data(), sizeof header);
        const std::uint64_t old_count = header.old_size - header.keep;
        const std::uint64_t new_count = header.new_size - header.keep;
        whole = std::memcmp(header.magic, kMagic, sizeof kMagic) == 0 &&
                header.old_size >= header.keep && header.new_size >= header.keep &&
                bytes.size() - sizeof header == old_count + new_count;
        if (whole) {
            old_rest = Bytes{bytes.data() + sizeof header, old_count};
            new_rest = Bytes{old_rest.data + old_count, new_count};
            Bytes pieces[] = {old_rest, new_rest};
            whole = checksum_of(header, pieces, 2) == header.check;
        }
    }
    int error = 0;
    if (whole) {
        // A journal cut short never saw the file change: it only goes.
        Descriptor file(
            ::openat(folder, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat info {};
        if (file.valid() && ::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<std::uint64_t>(info.st_dev) == header.device &&
            static_cast<std::uint64_t>(info.st_ino) == header.inode) {
            FileLock lock;
            error = lock.acquire(file.get(), hooks);
            if (error == 0 && ::fstat(file.get(), &info) < 0) error = errno;
            if (error == 0) error = put_back(file.get(), info, header, old_rest, new_rest, hooks);
        }
    }
    if (error != 0) return error;
    (void)::unlinkat(folder, journal.c_str(), 0);
    sync_folder(folder);
    return 0;
}

}  // namespace kestrix::os
