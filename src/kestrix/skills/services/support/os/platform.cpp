#include "support/os/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__linux__)
#include <sys/syscall.h>
#include <sys/xattr.h>
// Older C libraries' headers (glibc 2.17, which the widest wheels build against) lack
// these; the kernel has had them since 3.11 and 3.15.
#if !defined(O_TMPFILE)
#define O_TMPFILE (020000000 | O_DIRECTORY)
#endif
#if !defined(F_OFD_GETLK)
#define F_OFD_GETLK 36
#define F_OFD_SETLK 37
#endif
#elif defined(__APPLE__)
#include <stdio.h>
#include <sys/random.h>
// Cross builds from Linux (zig) carry only part of the SDK's headers: what they lack is
// declared as the SDK declares it.
#if __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#else
extern "C" {
ssize_t flistxattr(int fd, char* names, size_t size, int options);
ssize_t fgetxattr(int fd, const char* name, void* value, size_t size, uint32_t position,
                  int options);
int fsetxattr(int fd, const char* name, const void* value, size_t size, uint32_t position,
              int options);
int fremovexattr(int fd, const char* name, int options);
}
#endif
#if __has_include(<copyfile.h>)
#include <copyfile.h>
#else
extern "C" {
typedef struct _copyfile_state* copyfile_state_t;
typedef uint32_t copyfile_flags_t;
int fcopyfile(int from, int to, copyfile_state_t state, copyfile_flags_t flags);
}
#define COPYFILE_ACL (1 << 0)
#endif
#if !defined(RENAME_EXCL)
extern "C" int renameatx_np(int from_folder, const char* from, int to_folder, const char* to,
                            unsigned int flags);
#define RENAME_EXCL 0x00000004
#endif
#endif

namespace kestrix::os::platform {

#if defined(__linux__) && !defined(KESTRIX_PORTABLE_OS)

// Linux's own calls. getrandom and renameat2 are reached through syscall(): glibc gained
// their wrappers only in 2.25 and 2.28, and musl has no renameat2, while every kernel the
// wheels run on has both.

int open_folder(int base, const char* name) noexcept {
    return ::openat(base, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int rename_no_replace(int from_folder, const char* from, int to_folder, const char* to) noexcept {
    constexpr unsigned int kNoReplace = 1;  // RENAME_NOREPLACE
    return static_cast<int>(::syscall(SYS_renameat2, from_folder, from, to_folder, to, kNoReplace));
}

bool random_bytes(void* out, std::size_t size) noexcept {
    constexpr unsigned int kNonBlock = 1;  // GRND_NONBLOCK
    return ::syscall(SYS_getrandom, out, size, kNonBlock) == static_cast<long>(size);
}

int open_unnamed(int folder, mode_t mode) noexcept {
    const int fd = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd < 0 && (errno == EISDIR || errno == EINVAL || errno == ENOENT)) errno = EOPNOTSUPP;
    return fd;
}

UnnamedSource unnamed_source(int fd) noexcept {
    // Written by hand: this is on every new file's way, and snprintf costs more than the rest.
    UnnamedSource out{};
    constexpr char kStem[] = "/proc/self/fd/";
    std::memcpy(out.text, kStem, sizeof kStem - 1);
    char digits[12];
    int count = 0;
    auto value = static_cast<unsigned int>(fd);
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < 11);
    std::size_t at = sizeof kStem - 1;
    while (count > 0) out.text[at++] = digits[--count];
    out.text[at] = '\0';
    return out;
}

int link_unnamed(const UnnamedSource& source, int folder, const char* name) noexcept {
    // The descriptor's entry in /proc is the one way to name a file that has none without
    // privileges (linkat's AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH).
    return ::linkat(AT_FDCWD, source.text, folder, name, AT_SYMLINK_FOLLOW);
}

int try_lock_exclusively(int fd) noexcept {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &whole);
}

bool locked_by_another_program(int fd) noexcept {
    // Ours are open-file-description locks, which report no process.
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_GETLK, &probe) < 0) return false;
    return probe.l_type != F_UNLCK && probe.l_pid > 0;
}

int point_descriptor(int to, int fd) noexcept { return ::dup3(to, fd, O_CLOEXEC) < 0 ? -1 : 0; }

timespec modified_time(const struct stat& info) noexcept { return info.st_mtim; }
timespec changed_time(const struct stat& info) noexcept { return info.st_ctim; }

void* map_memory(std::size_t size) noexcept {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void* grow_mapping(void* data, std::size_t old_size, std::size_t new_size) noexcept {
    void* p = ::mremap(data, old_size, new_size, MREMAP_MAYMOVE);
    return p == MAP_FAILED ? nullptr : p;
}

bool free_pages_lazily(void* data, std::size_t size) noexcept {
    return ::madvise(data, size, MADV_FREE) == 0;  // Linux 4.5 and later
}

int flush_to_disk(int fd) noexcept { return ::fsync(fd); }

ssize_t access_acl(int fd, bool folder, unsigned char* out, std::size_t size) noexcept {
    constexpr const char* kAttribute = "system.posix_acl_access";
    ssize_t got = 0;
    if (folder) {
        char path[48];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        got = ::getxattr(path, kAttribute, out, size);
    } else {
        got = ::fgetxattr(fd, kAttribute, out, size);
    }
    if (got < 0 && (errno == ENODATA || errno == ENOTSUP)) return 0;
    return got;
}

#else

// The portable variant: POSIX calls and those macOS adds, nothing Linux alone has.

int open_folder(int base, const char* name) noexcept {
#if defined(O_SEARCH)
    const int fd = ::openat(base, name, O_SEARCH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno != EINVAL) return fd;
#endif
    return ::openat(base, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int rename_no_replace(int from_folder, const char* from, int to_folder, const char* to) noexcept {
#if defined(__APPLE__)
    return ::renameatx_np(from_folder, from, to_folder, to, RENAME_EXCL);
#else
    (void)from_folder, (void)from, (void)to_folder, (void)to;
    errno = ENOSYS;  // the caller links, which does not replace either
    return -1;
#endif
}

bool random_bytes(void* out, std::size_t size) noexcept {
    return size <= 256 && ::getentropy(out, size) == 0;
}

int open_unnamed(int, mode_t) noexcept {
    errno = EOPNOTSUPP;
    return -1;
}

UnnamedSource unnamed_source(int) noexcept { return UnnamedSource{}; }

int link_unnamed(const UnnamedSource&, int, const char*) noexcept {
    errno = EOPNOTSUPP;
    return -1;
}

int try_lock_exclusively(int fd) noexcept {
    // flock locks belong to the open file description, as Linux's OFD locks do.
    while (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) errno = EAGAIN;
        return -1;
    }
    return 0;
}

bool locked_by_another_program(int) noexcept { return false; }

int point_descriptor(int to, int fd) noexcept {
    if (::dup2(to, fd) < 0) return -1;
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

#if defined(__APPLE__)
timespec modified_time(const struct stat& info) noexcept { return info.st_mtimespec; }
timespec changed_time(const struct stat& info) noexcept { return info.st_ctimespec; }
#else
timespec modified_time(const struct stat& info) noexcept { return info.st_mtim; }
timespec changed_time(const struct stat& info) noexcept { return info.st_ctim; }
#endif

void* map_memory(std::size_t size) noexcept {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void* grow_mapping(void* data, std::size_t old_size, std::size_t new_size) noexcept {
    void* fresh = map_memory(new_size);
    if (fresh == nullptr) return nullptr;
    std::memcpy(fresh, data, old_size);
    ::munmap(data, old_size);
    return fresh;
}

bool free_pages_lazily(void* data, std::size_t size) noexcept {
#if defined(MADV_FREE)
    return ::madvise(data, size, MADV_FREE) == 0;
#else
    (void)data;
    (void)size;
    return false;
#endif
}

int flush_to_disk(int fd) noexcept {
#if defined(__APPLE__)
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;  // not every file system has it
#endif
    return ::fsync(fd);
}

ssize_t access_acl(int fd, bool, unsigned char* out, std::size_t size) noexcept {
    // Folders are opened for reading here, so the attribute calls take them too. Systems
    // that keep POSIX ACLs as this attribute (Linux) answer; macOS keeps its own ACLs
    // apart, which this does not read: there the mode bits alone decide.
    const ssize_t got = get_attribute(fd, "system.posix_acl_access", out, size);
    if (got < 0 && (errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP
#if defined(ENOATTR)
                    || errno == ENOATTR
#endif
                    )) {
        return 0;
    }
    return got;
}

#endif

// Extended attributes: the same calls everywhere but for macOS's extra arguments.
#if defined(__APPLE__)
ssize_t list_attributes(int fd, char* names, std::size_t size) noexcept {
    return ::flistxattr(fd, names, size, 0);
}
ssize_t get_attribute(int fd, const char* name, void* value, std::size_t size) noexcept {
    return ::fgetxattr(fd, name, value, size, 0, 0);
}
int set_attribute(int fd, const char* name, const void* value, std::size_t size) noexcept {
    return ::fsetxattr(fd, name, value, size, 0, 0);
}
int remove_attribute(int fd, const char* name) noexcept { return ::fremovexattr(fd, name, 0); }
int copy_other_metadata(int from, int to) noexcept {
    return ::fcopyfile(from, to, nullptr, COPYFILE_ACL) == 0 ? 0 : errno;
}
#elif defined(__linux__)
ssize_t list_attributes(int fd, char* names, std::size_t size) noexcept {
    return ::flistxattr(fd, names, size);
}
ssize_t get_attribute(int fd, const char* name, void* value, std::size_t size) noexcept {
    return ::fgetxattr(fd, name, value, size);
}
int set_attribute(int fd, const char* name, const void* value, std::size_t size) noexcept {
    return ::fsetxattr(fd, name, value, size, 0);
}
int remove_attribute(int fd, const char* name) noexcept { return ::fremovexattr(fd, name); }
int copy_other_metadata(int, int) noexcept { return 0; }  // ACLs are attributes here
#else
ssize_t list_attributes(int, char*, std::size_t) noexcept { return 0; }
ssize_t get_attribute(int, const char*, void*, std::size_t) noexcept {
    errno = ENOTSUP;
    return -1;
}
int set_attribute(int, const char*, const void*, std::size_t) noexcept {
    errno = ENOTSUP;
    return -1;
}
int remove_attribute(int, const char*) noexcept {
    errno = ENOTSUP;
    return -1;
}
int copy_other_metadata(int, int) noexcept { return 0; }
#endif

}  // namespace kestrix::os::platform
